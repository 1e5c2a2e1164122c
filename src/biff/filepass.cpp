#include "biff/filepass.h"

#include "biff/xls_stream.h"
#include "platform/error.h"
#include "workbook/workbook.h"

namespace tabulon {

bool ReadFilePass(TXLSStream& /*stream*/, const uint8_t* body, std::size_t length, TXLSWorkbook& /*workbook*/) {
  const unsigned type = length >= 2 ? static_cast<unsigned>(body[0] | (body[1] << 8)) : 0xFFFFu;
  if (type == 0) Throw("File encrypted with non-standard key. French?");
  if (type != 1) Throw("Can not read file, unknown type of encryption.");
  // Decryption is not available in this build.
  Throw("File is encrypted. Password required.");
}

}  // namespace tabulon
