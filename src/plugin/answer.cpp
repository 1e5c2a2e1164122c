#include "plugin/answer.h"

#include <algorithm>
#include <cstring>

#include "platform/error.h"
#include "platform/platform.h"

namespace tabulon {

namespace {

constexpr std::string_view kOkOpen = "<result state=\"ok\">";
constexpr std::string_view kResultClose = "</result>";
constexpr std::string_view kCDataEnd = "]]>";
// What a "]]>" inside a value becomes: the section ends after "]]" and the
// next one starts with ">".
constexpr std::string_view kCDataSplit = "]]]]><![CDATA[>";

bool IsSpecial(char c) { return c == '&' || c == '<' || c == '>' || c == '"'; }

// Characters XML 1.0 cannot carry, surrogates aside: the C0 controls other
// than tab, line feed and carriage return, and U+FFFE, U+FFFF.
inline bool IsXmlForbidden(char16_t c) {
  return (c < 0x20 && c != 0x09 && c != 0x0A && c != 0x0D) || c == 0xFFFE || c == 0xFFFF;
}
inline bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
inline bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

template <typename Text>
void AppendUnitEscape(Text& out, uint32_t unit) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  out.push_back('_');
  out.push_back('x');
  for (int shift = 12; shift >= 0; shift -= 4) out.push_back(kDigits[(unit >> shift) & 0xF]);
  out.push_back('_');
}

// The message as host text that XML carries: "&", "<", ">" and the double
// quote as entities; a character XML cannot carry, and a byte that is no
// part of a valid character of the host text (HostToWide gives such a byte
// as U+DC80..U+DCFF on Linux), as its "_xHHHH_" escape.
void AppendEscaped(std::string& out, std::string_view text) {
  const bool plain = std::all_of(text.begin(), text.end(), [](char c) {
    const auto b = static_cast<unsigned char>(c);
    return b >= 0x20 && b < 0x7F && !IsSpecial(c);
  });
  if (plain) {
    out += text;
    return;
  }
  const std::u16string wide = platform::HostToWide(text);
  std::u16string safe;
  safe.reserve(wide.size() + 16);
  for (std::size_t i = 0; i < wide.size(); ++i) {
    const char16_t c = wide[i];
    if (IsHighSurrogate(c) && i + 1 < wide.size() && IsLowSurrogate(wide[i + 1])) {
      safe.push_back(c);
      safe.push_back(wide[++i]);
      continue;
    }
    if (c >= 0xDC80 && c <= 0xDCFF) {
      AppendUnitEscape(safe, c - 0xDC00u);  // an undecodable byte
      continue;
    }
    if (IsXmlForbidden(c) || IsHighSurrogate(c) || IsLowSurrogate(c)) {
      AppendUnitEscape(safe, c);
      continue;
    }
    switch (c) {
      case u'&': safe += u"&amp;"; break;
      case u'<': safe += u"&lt;"; break;
      case u'>': safe += u"&gt;"; break;
      case u'"': safe += u"&quot;"; break;
      default: safe.push_back(c);
    }
  }
  out += platform::WideToHost(safe);
}

// Letters of a column name; 0 for anything else.
inline uint32_t LetterValue(char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<uint32_t>(c - 'A' + 1);
  if (c >= 'a' && c <= 'z') return static_cast<uint32_t>(c - 'a' + 1);
  return 0;
}

}  // namespace

void AppendUtf8(std::string& out, std::u16string_view text) {
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n; ++i) {
    uint32_t code = text[i];
    if (code < 0x80) {
      if (code < 0x20 && IsXmlForbidden(static_cast<char16_t>(code))) AppendUnitEscape(out, code);
      else out.push_back(static_cast<char>(code));
      continue;
    }
    if (code < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (code >> 6)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
      continue;
    }
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < n && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (static_cast<uint32_t>(text[i + 1]) - 0xDC00);
      ++i;
      out.push_back(static_cast<char>(0xF0 | (code >> 18)));
      out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
      continue;
    }
    if (IsHighSurrogate(static_cast<char16_t>(code)) || IsLowSurrogate(static_cast<char16_t>(code)) ||
        code >= 0xFFFE) {
      AppendUnitEscape(out, code);  // unpaired, or a noncharacter XML cannot carry
      continue;
    }
    out.push_back(static_cast<char>(0xE0 | (code >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

std::string EscapeMarkup(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  AppendEscaped(out, text);
  return out;
}

std::string FailureAnswer(std::string_view message) {
  std::string out = "<result state=\"error\"><error>";
  out.reserve(out.size() + message.size() + 32);
  AppendEscaped(out, message);
  out += "</error></result>";
  return out;
}

TAnswer::TAnswer(std::size_t limit) : text_(kOkOpen), limit_(limit) {}

void TAnswer::CheckSize() {
  if (text_.size() > limit_) Throw("Answer too large");
}

void TAnswer::AppendPiece(int32_t sheet, std::string_view cellRef, std::u16string_view value) {
  text_ += "<xls sheet=\"";
  text_ += std::to_string(sheet);
  text_ += "\" cell=\"";
  if (std::find_if(cellRef.begin(), cellRef.end(), IsSpecial) == cellRef.end()) text_ += cellRef;
  else AppendEscaped(text_, cellRef);
  text_ += "\"><![CDATA[";
  // Every unit takes at least one byte: a value that cannot fit is refused
  // before it is converted.
  if (text_.size() + value.size() > limit_) Throw("Answer too large");
  const std::size_t start = text_.size();
  AppendUtf8(text_, value);
  std::size_t at = text_.find(kCDataEnd, start);
  if (at != std::string::npos) {
    std::string split;
    split.reserve(text_.size() - start + 16);
    std::size_t from = start;
    for (; at != std::string::npos; at = text_.find(kCDataEnd, from)) {
      split.append(text_, from, at - from);
      split += kCDataSplit;
      from = at + kCDataEnd.size();
    }
    split.append(text_, from, std::string::npos);
    text_.resize(start);
    text_ += split;
  }
  text_ += "]]></xls>";
  CheckSize();
}

std::string TAnswer::Finish() {
  text_ += kResultClose;
  CheckSize();
  return std::move(text_);
}

bool ParseRequestCellRef(std::string_view text, uint32_t& col, uint32_t& row) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  if (i < n && text[i] == '$') ++i;
  uint32_t column = 0;
  std::size_t letters = 0;
  while (i < n && letters < 4) {
    const uint32_t v = LetterValue(text[i]);
    if (v == 0) break;
    column = column * 26 + v;
    ++letters;
    ++i;
  }
  // Column "XFD" is 16384 in the 1-based letter count.
  if (letters == 0 || letters > 3 || column > 16384) return false;
  if (i < n && text[i] == '$') ++i;
  if (i == n) return false;
  uint32_t number = 0;
  for (; i < n; ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return false;
    number = number * 10 + static_cast<uint32_t>(c - '0');
    if (number > 1048576) return false;
  }
  if (number == 0) return false;
  col = column - 1;
  row = number - 1;
  return true;
}

void ReadRequestCellRef(std::string_view text, uint32_t& col, uint32_t& row) {
  if (!ParseRequestCellRef(text, col, row)) Throw("Invalid cell reference: " + std::string(text));
}

char* AnswerToHostBlock(std::string_view answer) noexcept {
  char* block = platform::AllocHostBlock(answer.size() + 1);
  if (block == nullptr) return nullptr;
  std::memcpy(block, answer.data(), answer.size());
  block[answer.size()] = '\0';
  return block;
}

}  // namespace tabulon
