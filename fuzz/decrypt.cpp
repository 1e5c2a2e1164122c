// Decryption headers with a fixed password, the default workbook password
// that a read without a configured password tries. The first byte chooses:
// even, the rest is a FILEPASS body (XOR obfuscation, RC4, RC4 CryptoAPI)
// whose cipher, when the password fits, decrypts a run of bytes across
// several key blocks; odd, the rest is the length of an EncryptionInfo
// stream (u32), that stream, and the EncryptedPackage stream after it.
// Key derivation for packages runs at most kHashRounds rounds, so that an
// input asking for 100,000 costs no more than one asking for a few; the
// seeds are encrypted with that many.
#include "targets.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

#include "biff/xls_cipher.h"
#include "ooxml/encrypted_package.h"
#include "platform/error.h"
#include "workbook/encryption.h"
#include "workbook/workbook.h"

namespace tabulon::fuzz {

namespace {

constexpr uint32_t kHashRounds = 1000;

void FilePass(const uint8_t* body, std::size_t length) {
  const TXLSEncryption kind = FilePassEncryption(body, length);
  if (kind == TXLSEncryption::kUnknown) return;
  std::unique_ptr<TXLSCipher> cipher = OpenXLSCipher(kind, body, length, kDefaultWorkbookPassword);
  if (!cipher) return;
  // Record bodies as a stream holds them: one after the FILEPASS, one
  // across the boundary of blocks 0 and 1, one spanning block 2 whole, and
  // one back at an earlier offset.
  std::vector<uint8_t> data(3000, 0x5A);
  struct TRun {
    int64_t start;
    std::size_t count;
  };
  for (const TRun run : {TRun{80, 60}, TRun{1000, 48}, TRun{2040, 1500}, TRun{500, 20}}) {
    cipher->Decrypt(data.data(), run.count, run.start, static_cast<uint16_t>(run.count));
  }
}

void Package(const uint8_t* data, std::size_t size) {
  static TXLSWorkbook workbook;  // no password: the default one is tried
  if (size < 4) return;
  const std::size_t infoSize =
      std::min<std::size_t>(size - 4, data[0] | (data[1] << 8) | (data[2] << 16) | (std::size_t{data[3]} << 24));
  const std::vector<uint8_t> info(data + 4, data + 4 + infoSize);
  const std::vector<uint8_t> package(data + 4 + infoSize, data + size);
  try {
    const std::vector<uint8_t> plain = DecryptPackage(workbook, info, package, kHashRounds);
    if (plain.size() > package.size()) std::abort();
  } catch (const Exception&) {
  }
}

}  // namespace

void Decrypt(const uint8_t* data, std::size_t size) {
  if (size == 0) return;
  if (data[0] % 2 == 0) {
    FilePass(data + 1, size - 1);
  } else {
    Package(data + 1, size - 1);
  }
}

}  // namespace tabulon::fuzz
