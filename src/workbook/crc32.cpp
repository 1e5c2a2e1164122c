#include "workbook/crc32.h"

#include <array>

namespace tabulon {

namespace {

// Slicing-by-4 tables: table[0] is the classic byte table, table[k] advances
// a byte that lies k positions further on.
constexpr std::array<std::array<uint32_t, 256>, 4> MakeTables() {
  std::array<std::array<uint32_t, 256>, 4> t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    t[0][i] = c;
  }
  for (uint32_t i = 0; i < 256; ++i)
    for (int k = 1; k < 4; ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
  return t;
}

constexpr auto kTables = MakeTables();

}  // namespace

uint32_t Crc32(const void* data, std::size_t size, uint32_t crc) noexcept {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  while (size >= 4) {
    crc ^= static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
    crc = kTables[3][crc & 0xFF] ^ kTables[2][(crc >> 8) & 0xFF] ^ kTables[1][(crc >> 16) & 0xFF] ^
          kTables[0][crc >> 24];
    p += 4;
    size -= 4;
  }
  while (size-- > 0) crc = kTables[0][(crc ^ *p++) & 0xFF] ^ (crc >> 8);
  return crc;
}

}  // namespace tabulon
