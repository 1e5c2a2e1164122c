#include "support/xml_check.h"

#include <cstdint>
#include <set>
#include <vector>

namespace tabulon::test {

namespace {

bool IsXmlChar(uint32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
         (c >= 0x10000 && c <= 0x10FFFF);
}

bool IsNameStart(uint32_t c) {
  return c == ':' || c == '_' || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= 0xC0 && c <= 0xD6) ||
         (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) || (c >= 0x370 && c <= 0x37D) ||
         (c >= 0x37F && c <= 0x1FFF) || (c >= 0x200C && c <= 0x200D) || (c >= 0x2070 && c <= 0x218F) ||
         (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) || (c >= 0xF900 && c <= 0xFDCF) ||
         (c >= 0xFDF0 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0xEFFFF);
}

bool IsNameChar(uint32_t c) {
  return IsNameStart(c) || c == '-' || c == '.' || (c >= '0' && c <= '9') || c == 0xB7 ||
         (c >= 0x300 && c <= 0x36F) || (c >= 0x203F && c <= 0x2040);
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Decodes the UTF-8 sequence at text[at]; 0 bytes for a malformed one
// (overlong forms, surrogates and values past U+10FFFF included).
std::size_t DecodeUtf8(std::string_view text, std::size_t at, uint32_t& c) {
  const auto b0 = static_cast<uint8_t>(text[at]);
  if (b0 < 0x80) {
    c = b0;
    return 1;
  }
  std::size_t length;
  uint32_t min;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
    min = 0x80;
    c = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    min = 0x800;
    c = b0 & 0x0F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    min = 0x10000;
    c = b0 & 0x07;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const auto b = static_cast<uint8_t>(text[at + i]);
    if ((b & 0xC0) != 0x80) return 0;
    c = (c << 6) | (b & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  return length;
}

class TChecker {
 public:
  explicit TChecker(std::string_view text) : text_(text) {}

  std::string Run() {
    if (!CheckCharacters()) return error_;
    if (!Document()) return error_;
    return {};
  }

 private:
  bool Fail(std::size_t at, const std::string& what) {
    error_ = "byte " + std::to_string(at) + ": " + what;
    return false;
  }
  bool AtEnd() const { return pos_ >= text_.size(); }
  bool Next(std::string_view s) const { return text_.substr(pos_, s.size()) == s; }
  void SkipSpace() {
    while (!AtEnd() && IsSpace(text_[pos_])) ++pos_;
  }

  // Every character valid UTF-8 and allowed by XML 1.0.
  bool CheckCharacters() {
    for (std::size_t at = 0; at < text_.size();) {
      uint32_t c = 0;
      const std::size_t length = DecodeUtf8(text_, at, c);
      if (length == 0) return Fail(at, "invalid UTF-8 byte " + Hex(static_cast<uint8_t>(text_[at])));
      if (!IsXmlChar(c)) return Fail(at, "character U+" + Hex(c) + " is not allowed in XML");
      at += length;
    }
    return true;
  }

  static std::string Hex(uint32_t value) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    do {
      out.insert(out.begin(), digits[value & 0xF]);
      value >>= 4;
    } while (value != 0);
    while (out.size() < 2) out.insert(out.begin(), '0');
    return out;
  }

  // A name at the position (text known to be valid UTF-8).
  bool Name(std::string_view& name) {
    const std::size_t start = pos_;
    uint32_t c = 0;
    while (!AtEnd()) {
      const std::size_t length = DecodeUtf8(text_, pos_, c);
      if (!(pos_ == start ? IsNameStart(c) : IsNameChar(c))) break;
      pos_ += length;
    }
    if (pos_ == start) return Fail(start, "a name is expected");
    name = text_.substr(start, pos_ - start);
    return true;
  }

  // "&name;" or a character reference, at "&".
  bool Reference() {
    const std::size_t start = pos_++;
    if (!AtEnd() && text_[pos_] == '#') {
      ++pos_;
      const bool hex = !AtEnd() && text_[pos_] == 'x';
      if (hex) ++pos_;
      uint32_t value = 0;
      std::size_t digits = 0;
      for (; !AtEnd(); ++pos_, ++digits) {
        const char c = text_[pos_];
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (hex && c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (hex && c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else break;
        value = value * (hex ? 16 : 10) + static_cast<uint32_t>(d);
        if (value > 0x10FFFF) value = 0x110000;
      }
      if (digits == 0 || AtEnd() || text_[pos_] != ';') return Fail(start, "malformed character reference");
      ++pos_;
      if (!IsXmlChar(value)) return Fail(start, "character reference to a character XML does not allow");
      return true;
    }
    std::string_view name;
    if (!Name(name)) return false;
    if (AtEnd() || text_[pos_] != ';') return Fail(start, "entity reference without \";\"");
    ++pos_;
    if (name != "lt" && name != "gt" && name != "amp" && name != "apos" && name != "quot")
      return Fail(start, "undeclared entity &" + std::string(name) + ";");
    return true;
  }

  // Up to and including the terminator; false when it never comes.
  bool SkipPast(std::string_view terminator, std::size_t start, const char* what) {
    const std::size_t end = text_.find(terminator, pos_);
    if (end == std::string_view::npos) return Fail(start, std::string("unterminated ") + what);
    pos_ = end + terminator.size();
    return true;
  }

  bool Comment() {
    const std::size_t start = pos_;
    pos_ += 4;
    const std::size_t end = text_.find("--", pos_);
    if (end == std::string_view::npos) return Fail(start, "unterminated comment");
    if (end + 2 >= text_.size() || text_[end + 2] != '>') return Fail(end, "\"--\" inside a comment");
    pos_ = end + 3;
    return true;
  }

  bool ProcessingInstruction() {
    const std::size_t start = pos_;
    pos_ += 2;
    std::string_view target;
    if (!Name(target)) return false;
    if (target.size() == 3 && (target[0] | 0x20) == 'x' && (target[1] | 0x20) == 'm' && (target[2] | 0x20) == 'l')
      return Fail(start, "processing instruction named xml (a declaration not at the start)");
    if (Next("?>")) {
      pos_ += 2;
      return true;
    }
    if (AtEnd() || !IsSpace(text_[pos_])) return Fail(pos_, "space expected after the target");
    return SkipPast("?>", start, "processing instruction");
  }

  bool Declaration() {
    const std::size_t start = pos_;
    pos_ += 5;
    const char* const names[] = {"version", "encoding", "standalone"};
    std::size_t next = 0;
    for (;;) {
      const bool spaced = !AtEnd() && IsSpace(text_[pos_]);
      SkipSpace();
      if (Next("?>")) break;
      if (!spaced) return Fail(pos_, "space expected in the declaration");
      std::string_view name;
      if (!Name(name)) return false;
      while (next < 3 && name != names[next]) {
        if (next == 0) return Fail(start, "declaration without version");
        ++next;
      }
      if (next == 3) return Fail(start, "unexpected declaration item " + std::string(name));
      ++next;
      SkipSpace();
      if (AtEnd() || text_[pos_] != '=') return Fail(pos_, "\"=\" expected");
      ++pos_;
      SkipSpace();
      if (AtEnd() || (text_[pos_] != '"' && text_[pos_] != '\'')) return Fail(pos_, "quoted value expected");
      const char quote = text_[pos_++];
      const std::size_t end = text_.find(quote, pos_);
      if (end == std::string_view::npos) return Fail(start, "unterminated declaration");
      const std::string_view value = text_.substr(pos_, end - pos_);
      if (name == "version" && (value.size() < 3 || value.substr(0, 2) != "1."))
        return Fail(pos_, "unknown XML version " + std::string(value));
      pos_ = end + 1;
    }
    if (next == 0) return Fail(start, "declaration without version");
    pos_ += 2;
    return true;
  }

  // Comments, processing instructions and white space.
  bool Misc() {
    for (;;) {
      SkipSpace();
      if (Next("<!--")) {
        if (!Comment()) return false;
      } else if (Next("<?")) {
        if (!ProcessingInstruction()) return false;
      } else {
        return true;
      }
    }
  }

  // A start tag at "<"; sets empty for "/>".
  bool StartTag(std::string_view& name, bool& empty) {
    ++pos_;
    if (!Name(name)) return false;
    std::set<std::string_view> seen;
    for (;;) {
      const bool spaced = !AtEnd() && IsSpace(text_[pos_]);
      SkipSpace();
      if (AtEnd()) return Fail(pos_, "unterminated start tag <" + std::string(name));
      if (text_[pos_] == '>') {
        ++pos_;
        empty = false;
        return true;
      }
      if (Next("/>")) {
        pos_ += 2;
        empty = true;
        return true;
      }
      if (!spaced) return Fail(pos_, "space expected before an attribute");
      const std::size_t at = pos_;
      std::string_view attribute;
      if (!Name(attribute)) return false;
      if (!seen.insert(attribute).second) return Fail(at, "attribute " + std::string(attribute) + " given twice");
      SkipSpace();
      if (AtEnd() || text_[pos_] != '=') return Fail(pos_, "\"=\" expected after " + std::string(attribute));
      ++pos_;
      SkipSpace();
      if (AtEnd() || (text_[pos_] != '"' && text_[pos_] != '\''))
        return Fail(pos_, "quoted value expected for " + std::string(attribute));
      const char quote = text_[pos_++];
      for (;;) {
        if (AtEnd()) return Fail(at, "unterminated value of " + std::string(attribute));
        const char c = text_[pos_];
        if (c == quote) break;
        if (c == '<') return Fail(pos_, "\"<\" in the value of " + std::string(attribute));
        if (c == '&') {
          if (!Reference()) return false;
        } else {
          ++pos_;
        }
      }
      ++pos_;
    }
  }

  bool Document() {
    if (Next("\xEF\xBB\xBF")) pos_ += 3;
    if (Next("<?xml") && pos_ + 5 < text_.size() && (IsSpace(text_[pos_ + 5]) || text_[pos_ + 5] == '?')) {
      if (!Declaration()) return false;
    }
    if (!Misc()) return false;
    if (Next("<!DOCTYPE")) return Fail(pos_, "document type declarations are not checked");
    if (AtEnd() || text_[pos_] != '<' || Next("</") || Next("<!")) return Fail(pos_, "no root element");

    std::vector<std::string_view> open;
    bool rootDone = false;
    while (!rootDone) {
      if (AtEnd()) return Fail(pos_, "end tag </" + std::string(open.back()) + "> missing");
      const char c = text_[pos_];
      if (c == '<') {
        if (Next("<!--")) {
          if (!Comment()) return false;
        } else if (Next("<![CDATA[")) {
          const std::size_t start = pos_;
          pos_ += 9;
          if (!SkipPast("]]>", start, "CDATA section")) return false;
        } else if (Next("<?")) {
          if (!ProcessingInstruction()) return false;
        } else if (Next("</")) {
          const std::size_t at = pos_;
          pos_ += 2;
          std::string_view name;
          if (!Name(name)) return false;
          SkipSpace();
          if (AtEnd() || text_[pos_] != '>') return Fail(pos_, "\">\" expected after </" + std::string(name));
          ++pos_;
          if (name != open.back())
            return Fail(at, "end tag </" + std::string(name) + "> closes <" + std::string(open.back()) + ">");
          open.pop_back();
          rootDone = open.empty();
        } else if (Next("<!")) {
          return Fail(pos_, "unexpected markup declaration");
        } else {
          std::string_view name;
          bool empty = false;
          if (!StartTag(name, empty)) return false;
          if (!empty) open.push_back(name);
          rootDone = open.empty();
        }
      } else if (c == '&') {
        if (!Reference()) return false;
      } else {
        if (Next("]]>")) return Fail(pos_, "\"]]>\" in text");
        if (open.empty()) return Fail(pos_, "text outside the root element");
        ++pos_;
      }
    }
    if (!Misc()) return false;
    if (!AtEnd()) return Fail(pos_, "content after the root element");
    return true;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  std::string error_;
};

}  // namespace

std::string CheckXmlWellFormed(std::string_view text) { return TChecker(text).Run(); }

}  // namespace tabulon::test
