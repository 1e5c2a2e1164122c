#include "biff/filepass.h"

#include <algorithm>
#include <string>
#include <vector>

#include "biff/xls_stream.h"
#include "platform/error.h"
#include "workbook/workbook.h"

namespace tabulon {

bool ReadFilePass(TXLSStream& stream, const uint8_t* body, std::size_t length, TXLSWorkbook& workbook) {
  const TXLSEncryption kind = FilePassEncryption(body, length);
  if (kind == TXLSEncryption::kUnknown) Throw("Can not read file, unknown type of encryption.");
  // XOR obfuscation without its key and verifier.
  if (kind == TXLSEncryption::kXor && length < 6 && length != 4) {
    Throw("File encrypted with non-standard key. French?");
  }

  if (!workbook.OnPassword && workbook.Password.empty()) {
    if (stream.CheckPassword(body, length, kDefaultWorkbookPassword)) return true;
    Throw("File is encrypted. Password required.");
  }
  std::u16string password = workbook.Password;
  if (workbook.OnPassword) workbook.OnPassword(password);
  if (workbook.Abort) return false;
  if (password.empty()) Throw("Password is missing.");
  if (!stream.CheckPassword(body, length, password)) Throw("Invalid password");
  return true;
}

namespace {

// A BIFF8 BOF of one of the substream types the record loop knows.
bool IsKnownBof8(const uint8_t* body, std::size_t length) {
  if (length < 4) return false;
  const unsigned version = body[0] | (body[1] << 8);
  const unsigned type = body[2] | (body[3] << 8);
  if (version != 0x0600) return false;
  switch (type) {
    case 0x0005:  // workbook globals
    case 0x0010:  // worksheet
    case 0x0006:  // Visual Basic module
    case 0x0040:  // macro sheet
    case 0x0020:  // chart
    case 0x0100:  // workspace
      return true;
    default:
      return false;
  }
}

}  // namespace

bool TakeEncryptedBof(TXLSStream& stream, uint8_t* body, std::size_t length) {
  if (!stream.Encrypted() || IsKnownBof8(body, length)) return false;
  const std::vector<uint8_t> asRead(body, body + length);
  stream.DecryptUnencrypted(body, length);
  if (IsKnownBof8(body, length)) return true;
  std::copy(asRead.begin(), asRead.end(), body);
  return false;
}

}  // namespace tabulon
