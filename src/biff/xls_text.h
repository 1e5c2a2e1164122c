// The three ways record bodies store text. Each decoder reads `count`
// characters from a record buffer of `size` bytes into `out` (reusing its
// capacity) and returns the number of bytes it took. A string that runs past
// the end of the buffer is cut to the whole characters the buffer holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tabulon {

namespace platform {
class TCodePageConverter;
}

// The signature of the decoders below.
using TTextDecoder = std::size_t (*)(const uint8_t* data, std::size_t size, std::size_t count, std::u16string& out);

// Flagged string: one flag byte, then the characters: UTF-16LE when the flag
// is exactly 0x01, otherwise single bytes widened to U+0000-U+00FF.
std::size_t DecodeFlaggedString(const uint8_t* data, std::size_t size, std::size_t count, std::u16string& out);
// Widened byte string: single bytes widened to U+0000-U+00FF.
std::size_t DecodeWidenedString(const uint8_t* data, std::size_t size, std::size_t count, std::u16string& out);
// ANSI byte string: single bytes converted through the ANSI code page.
std::size_t DecodeAnsiString(const uint8_t* data, std::size_t size, std::size_t count, std::u16string& out);
// Byte string of a BIFF2-BIFF5 file in the code page its CODEPAGE record
// names; `count` counts bytes (a double-byte character takes two).
std::size_t DecodeCodePageString(const platform::TCodePageConverter& codePage, const uint8_t* data, std::size_t size,
                                 std::size_t count, std::u16string& out);

// The same, for strings that carry their character count in front
// (`countBytes` 1 or 2, little-endian); the returned size includes it.
std::size_t ReadFlaggedString(const uint8_t* data, std::size_t size, unsigned countBytes, std::u16string& out);
std::size_t ReadWidenedString(const uint8_t* data, std::size_t size, unsigned countBytes, std::u16string& out);
std::size_t ReadAnsiString(const uint8_t* data, std::size_t size, unsigned countBytes, std::u16string& out);

}  // namespace tabulon
