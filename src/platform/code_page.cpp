#include "platform/code_page.h"

namespace tabulon::platform {

void AppendUtf8(std::string& out, uint32_t code) {
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code >> 6)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

namespace {

struct TPageTable {
  uint16_t CodePage;
  char16_t Upper[128];  // the characters of the bytes 0x80..0xFF
};

constexpr TPageTable kPageTables[] = {
#include "platform/code_page_tables.inc"
};

const char16_t* FindTable(uint16_t codePage) {
  if (codePage == 32768) codePage = 10000;  // Mac Roman under its other number
  if (codePage == 32769) codePage = 1252;
  for (const TPageTable& table : kPageTables)
    if (table.CodePage == codePage) return table.Upper;
  return nullptr;
}

bool IsDoubleBytePage(uint16_t codePage) {
  return codePage == 932 || codePage == 936 || codePage == 949 || codePage == 950;
}

// The first byte of a two-byte character.
bool IsLeadByte(uint16_t codePage, uint8_t byte) {
  if (codePage == 932) return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
  return byte >= 0x81 && byte <= 0xFE;
}

char16_t Undefined(uint8_t byte) { return byte < 0xA0 ? byte : u'\uFFFD'; }

// A byte of a double-byte page that stands for a character of its own.
char16_t SingleOfDoubleBytePage(uint16_t codePage, uint8_t byte) {
  if (byte < 0x80) return byte;
  if (codePage == 932) {
    if (byte >= 0xA1 && byte <= 0xDF) return static_cast<char16_t>(0xFF61 + (byte - 0xA1));  // half-width katakana
    if (byte == 0xA0) return u'\uF8F0';
    if (byte >= 0xFD) return static_cast<char16_t>(0xF8F1 + (byte - 0xFD));
  }
  if (codePage == 936 && byte == 0x80) return u'\u20AC';
  return Undefined(byte);
}

}  // namespace

TCodePageConverter::TCodePageConverter(uint16_t codePage) : codePage_(codePage) {
  ascii_ = codePage == 367;
  table_ = FindTable(codePage);
  if (IsDoubleBytePage(codePage)) system_ = TSystemConverter::Open(codePage);
}

TCodePageConverter::~TCodePageConverter() = default;

void TCodePageConverter::ToWide(std::string_view bytes, std::u16string& out) const {
  if (system_) return DoubleByteToWide(bytes, out);
  out.resize(bytes.size());
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto byte = static_cast<uint8_t>(bytes[i]);
    if (byte < 0x80 || !Supported()) out[i] = byte;
    else out[i] = table_ ? table_[byte - 0x80] : Undefined(byte);
  }
}

// Runs of two-byte characters go to the system's converter at once; when a
// run holds a character the page lacks, its characters go one by one, and
// the lead byte of the one that fails becomes U+FFFD (its second byte is
// then read again as the start of the next character).
void TCodePageConverter::DoubleByteToWide(std::string_view bytes, std::u16string& out) const {
  out.clear();
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    const auto byte = static_cast<uint8_t>(bytes[i]);
    if (!IsLeadByte(codePage_, byte)) {
      out.push_back(SingleOfDoubleBytePage(codePage_, byte));
      ++i;
      continue;
    }
    const std::size_t start = i;
    while (i + 1 < n && IsLeadByte(codePage_, static_cast<uint8_t>(bytes[i]))) i += 2;
    if (i == start) {  // a lead byte at the end of the text
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    if (system_->Convert(bytes.substr(start, i - start), out)) continue;
    for (std::size_t at = start; at < i; at += 2) {
      if (!system_->Convert(bytes.substr(at, 2), out)) {
        out.push_back(u'\uFFFD');
        i = at + 1;
        break;
      }
    }
  }
}

}  // namespace tabulon::platform
