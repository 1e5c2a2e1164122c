// The text decoding of Open XML package parts: element texts to their final
// characters (character and entity references, UTF-8, the "_xHHHH_" escapes
// of characters XML cannot hold; parts stored as UTF-16; CDATA sections).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tabulon {

// Element text to its final wide string: character references, the entity
// table, then the UTF-8 bytes (a malformed sequence empties the whole text),
// then the "_xHHHH_" escapes of characters XML cannot hold.
std::u16string DecodeText(std::string_view text);
// The same into out, reusing its room.
void DecodeTextTo(std::string_view text, std::u16string& out);

// A part stored as UTF-16 (a byte-order mark FF FE or FE FF, or without one
// a first "<" as 3C 00 or 00 3C) turned into UTF-8 in out, so that the tag
// reader reads it as any other part: surrogate pairs as four-byte
// sequences, an unpaired surrogate in the three-byte form that DecodeText
// gives back as that unit, an odd last byte dropped. False, and out left
// alone, for a part that is not UTF-16.
bool Utf16PartToUtf8(const uint8_t* data, std::size_t size, std::string& out);

// Appends the content of a CDATA section to element text so that DecodeText
// gives it back as written: its "&" is written as the reference "&#38;", so
// nothing in it reads as a reference.
void AppendCDataAsText(std::string& text, std::string_view content);

}  // namespace tabulon
