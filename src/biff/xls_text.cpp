#include "biff/xls_text.h"

#include <algorithm>
#include <string_view>

#include "platform/code_page.h"
#include "platform/platform.h"

namespace tabulon {

namespace {

void Widen(const uint8_t* data, std::size_t n, std::u16string& out) {
  out.resize(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<char16_t>(data[i]);
}

// Reads the character count in front of a string; false when the buffer is
// too short to hold it.
bool ReadCount(const uint8_t* data, std::size_t size, unsigned countBytes, std::size_t& count) {
  if (countBytes == 1) {
    if (size < 1) return false;
    count = data[0];
    return true;
  }
  if (size < 2) return false;
  count = static_cast<std::size_t>(data[0] | (data[1] << 8));
  return true;
}

std::size_t ReadCounted(TTextDecoder decode, const uint8_t* data, std::size_t size, unsigned countBytes,
                        std::u16string& out) {
  std::size_t count = 0;
  if (!ReadCount(data, size, countBytes, count)) {
    out.clear();
    return std::min<std::size_t>(size, countBytes);
  }
  return countBytes + decode(data + countBytes, size - countBytes, count, out);
}

}  // namespace

std::size_t DecodeFlaggedString(const uint8_t* data, std::size_t size, std::size_t count, std::u16string& out) {
  if (size == 0) {
    out.clear();
    return 0;
  }
  const uint8_t* chars = data + 1;
  const std::size_t room = size - 1;
  if (data[0] != 0x01) {
    const std::size_t n = std::min(count, room);
    Widen(chars, n, out);
    return 1 + n;
  }
  const std::size_t n = std::min(count, room / 2);
  out.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    out[i] = static_cast<char16_t>(chars[2 * i] | (chars[2 * i + 1] << 8));
  }
  return 1 + 2 * n;
}

std::size_t DecodeWidenedString(const uint8_t* data, std::size_t size, std::size_t count, std::u16string& out) {
  const std::size_t n = std::min(count, size);
  Widen(data, n, out);
  return n;
}

std::size_t DecodeAnsiString(const uint8_t* data, std::size_t size, std::size_t count, std::u16string& out) {
  const std::size_t n = std::min(count, size);
  // The whole text at once: a double-byte code page pairs its bytes.
  out = platform::AnsiToWide(std::string_view(reinterpret_cast<const char*>(data), n));
  return n;
}

std::size_t DecodeCodePageString(const platform::TCodePageConverter& codePage, const uint8_t* data, std::size_t size,
                                 std::size_t count, std::u16string& out) {
  const std::size_t n = std::min(count, size);
  codePage.ToWide(std::string_view(reinterpret_cast<const char*>(data), n), out);
  return n;
}

std::size_t ReadFlaggedString(const uint8_t* data, std::size_t size, unsigned countBytes, std::u16string& out) {
  return ReadCounted(DecodeFlaggedString, data, size, countBytes, out);
}

std::size_t ReadWidenedString(const uint8_t* data, std::size_t size, unsigned countBytes, std::u16string& out) {
  return ReadCounted(DecodeWidenedString, data, size, countBytes, out);
}

std::size_t ReadAnsiString(const uint8_t* data, std::size_t size, unsigned countBytes, std::u16string& out) {
  return ReadCounted(DecodeAnsiString, data, size, countBytes, out);
}

}  // namespace tabulon
