// The seam through which the workbook model reads BIFF records it parses
// itself (the shared string table and its CONTINUE records). The legacy
// reader's record stream implements it; the model knows no reader.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tabulon {

class TRecordSource {
 public:
  virtual ~TRecordSource() = default;
  // Reads the next 4-byte record header. Returns the number of header bytes
  // read: 4, or fewer when the stream has ended.
  virtual std::size_t ReadHeader(uint16_t& id, uint16_t& length) = 0;
  // Reads up to count bytes of the current record's body (decrypted when the
  // stream is encrypted). Returns the number of bytes read.
  virtual std::size_t ReadBody(void* buffer, std::size_t count) = 0;
};

}  // namespace tabulon
