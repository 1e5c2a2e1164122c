// The text decoding of Open XML package parts: element texts to their final
// characters (character and entity references, UTF-8, the "_xHHHH_" escapes
// of characters XML cannot hold).
#pragma once

#include <string>
#include <string_view>

namespace tabulon {

// Element text to its final wide string: character references, the entity
// table, then the UTF-8 bytes (a malformed sequence empties the whole text),
// then the "_xHHHH_" escapes of characters XML cannot hold.
std::u16string DecodeText(std::string_view text);
// The same into out, reusing its room.
void DecodeTextTo(std::string_view text, std::u16string& out);

}  // namespace tabulon
