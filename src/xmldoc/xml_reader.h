// The two readers behind TXmlDocument::LoadFromText/LoadFromFile.
#pragma once

#include <string_view>

#include "xmldoc/xml_document.h"

namespace tabulon::xmlread {

inline constexpr std::string_view kBinarySignature = "< binary-xml >";

// Parses XML text into the document's child list.
void ParseText(TXmlDocument& document, std::string_view text);
// Reads the binary form (the bytes after the signature) into the document,
// replacing its name table by the one stored.
void ReadBinary(TXmlDocument& document, std::string_view data);

// Name characters: the first one "_" or a letter of the ANSI code page,
// further ones also digits, "-", "." and ":".
class TNameClass {
 public:
  TNameClass();
  bool IsStart(char c) const { return (table_[static_cast<unsigned char>(c)] & kStart) != 0; }
  bool IsPart(char c) const { return (table_[static_cast<unsigned char>(c)] & kPart) != 0; }

 private:
  static constexpr unsigned char kStart = 1;
  static constexpr unsigned char kPart = 2;
  unsigned char table_[256];
};

}  // namespace tabulon::xmlread
