// The XML text parser. It works in place on the input bytes: names and
// texts without references are taken straight from the input, texts with
// references are collected in one reused buffer. Line and position for
// messages are worked out from the byte offset only when an error is
// raised.
#include <cstring>

#include "platform/error.h"
#include "platform/platform.h"
#include "xmldoc/xml_messages.h"
#include "xmldoc/xml_reader.h"

namespace tabulon::xmlread {

TNameClass::TNameClass() {
  for (int c = 0; c < 256; ++c) {
    const auto b = static_cast<unsigned char>(c);
    const bool alpha = platform::IsAnsiAlpha(b);
    table_[c] = static_cast<unsigned char>(
        (alpha || c == '_' ? kStart : 0) |
        (platform::IsAnsiAlphaNumeric(b) || c == '_' || c == '-' || c == '.' || c == ':' ? kPart : 0));
  }
}

namespace {

inline bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 32; }

bool HasNonBlank(const char* p, const char* end) {
  for (; p < end; ++p) {
    if (!IsBlank(*p)) return true;
  }
  return false;
}

class TXmlTextParser {
 public:
  TXmlTextParser(TXmlDocument& document, std::string_view text)
      : document_(document),
        names_(document.NameTable()),
        begin_(text.data()),
        p_(text.data()),
        end_(text.data() + text.size()),
        preserve_(document.PreserveWhiteSpace()) {}

  void Run() { ParseContent(document_, 0); }

 private:
  // ---- errors
  // Line and position of the byte at `at`: a carriage return, or a line
  // feed that does not follow a carriage return or another line feed,
  // starts a new line; every other byte except a line feed moves the
  // position on by one.
  void LinePos(const char* at, int& line, int& pos) const {
    line = 0;
    pos = 0;
    for (const char* q = begin_; q < at; ++q) {
      if (*q == '\r') {
        ++line;
        pos = 0;
      } else if (*q == '\n') {
        if (q == begin_ || (q[-1] != '\r' && q[-1] != '\n')) {
          ++line;
          pos = 0;
        }
      } else {
        ++pos;
      }
    }
  }
  [[noreturn]] void Fail(const char16_t* message, const char* at) const {
    int line, pos;
    LinePos(at, line, pos);
    Throw(Format(xmlmsg::Msg(message).c_str(), line, pos));
  }
  [[noreturn]] void FailExpected(std::string_view what, const char* at) const {
    int line, pos;
    LinePos(at, line, pos);
    Throw(Format(xmlmsg::Msg(xmlmsg::kExpected).c_str(), std::string(what).c_str(), line, pos));
  }

  // ---- scanning
  // Consumes the text, raising "Ожидается" at the first byte that differs.
  void Expect(std::string_view what) {
    for (char c : what) {
      if (p_ >= end_ || *p_ != c) FailExpected(what, p_);
      ++p_;
    }
  }
  void SkipBlanks() {
    while (p_ < end_ && IsBlank(*p_)) ++p_;
  }
  bool AtNameStart() const { return p_ < end_ && name_class_.IsStart(*p_); }
  // Reads a name whose first byte is known to be a name start.
  std::string_view ReadNameAfterStart() {
    const char* start = p_++;
    while (p_ < end_ && name_class_.IsPart(*p_)) ++p_;
    return std::string_view(start, static_cast<std::size_t>(p_ - start));
  }
  std::string_view ReadName() {
    if (p_ >= end_) Throw(xmlmsg::Msg(xmlmsg::kElementIncomplete));
    if (!name_class_.IsStart(*p_)) Fail(xmlmsg::kNameStart, p_);
    return ReadNameAfterStart();
  }
  // The bytes up to the terminator, which is consumed too.
  std::string_view ReadUpTo(std::string_view terminator) {
    const std::string_view rest(p_, static_cast<std::size_t>(end_ - p_));
    const std::size_t at = rest.find(terminator);
    if (at == std::string_view::npos) FailExpected(terminator, end_);
    p_ += at + terminator.size();
    return rest.substr(0, at);
  }

  // ---- references: p_ is just after "&"
  char ParseReference() {
    if (p_ >= end_) Fail(xmlmsg::kExpectedHashOrName, p_);
    if (*p_ == '#') {
      ++p_;
      if (p_ >= end_) Fail(xmlmsg::kExpectedNumber, p_);
      // Only the low 8 bits of the code count, so the sum is kept modulo
      // 256 and long digit runs cannot overflow.
      unsigned code = 0;
      const char* digits;
      if (*p_ == 'x') {
        ++p_;
        digits = p_;
        for (; p_ < end_; ++p_) {
          const char c = *p_;
          unsigned d;
          if (c >= '0' && c <= '9')
            d = static_cast<unsigned>(c - '0');
          else if (c >= 'a' && c <= 'f')
            d = static_cast<unsigned>(c - 'a' + 10);
          else if (c >= 'A' && c <= 'F')
            d = static_cast<unsigned>(c - 'A' + 10);
          else
            break;
          code = (code * 16 + d) & 0xFF;
        }
        if (p_ == digits) Fail(xmlmsg::kExpectedHex, p_);
      } else {
        digits = p_;
        for (; p_ < end_ && *p_ >= '0' && *p_ <= '9'; ++p_)
          code = (code * 10 + static_cast<unsigned>(*p_ - '0')) & 0xFF;
        if (p_ == digits) Fail(xmlmsg::kExpectedNumber, p_);
      }
      Expect(";");
      return static_cast<char>(code);
    }
    if (!name_class_.IsStart(*p_)) Fail(xmlmsg::kNameStart, p_);
    const char* start = p_;
    const std::string_view name = ReadNameAfterStart();
    char c;
    if (name == "amp")
      c = '&';
    else if (name == "quot")
      c = '"';
    else if (name == "lt")
      c = '<';
    else if (name == "gt")
      c = '>';
    else if (name == "apos")
      c = '\'';
    else
      Fail(xmlmsg::kBadEntityName, start);
    Expect(";");
    return c;
  }

  // ---- content of a node list
  void ParseContent(TXmlNode& parent, int depth) {
    while (p_ < end_) {
      if (*p_ != '<') {
        ParseText(parent);
        if (p_ >= end_) return;
      }
      ++p_;  // "<"
      if (p_ < end_) {
        const char c = *p_;
        if (c == '/') return;  // an end tag follows
        if (c == '?') {
          ++p_;
          ParseProcessingInstruction(parent);
          continue;
        }
        if (c == '!') {
          ++p_;
          if (p_ < end_ && *p_ == '-') {
            Expect("--");
            parent.AddChild(std::make_unique<TXmlComment>(names_, std::string(ReadUpTo("-->"))));
          } else if (p_ < end_ && *p_ == '[') {
            Expect("[CDATA[");
            parent.AddChild(std::make_unique<TXmlCDATASection>(names_, std::string(ReadUpTo("]]>"))));
          } else {
            // A document type declaration is skipped up to its first ">".
            Expect("DOCTYPE");
            ReadUpTo(">");
          }
          continue;
        }
      }
      ParseElement(parent, depth + 1);
    }
  }

  // Text up to the next "<" or the end; references resolved.
  void ParseText(TXmlNode& parent) {
    const char* start = p_;
    const auto* lt = static_cast<const char*>(std::memchr(p_, '<', static_cast<std::size_t>(end_ - p_)));
    if (lt == nullptr) lt = end_;
    const auto* amp = static_cast<const char*>(std::memchr(p_, '&', static_cast<std::size_t>(lt - p_)));
    if (amp == nullptr) {
      p_ = lt;
      if (preserve_ || HasNonBlank(start, lt)) {
        parent.AddChild(std::make_unique<TXmlText>(names_, std::string(start, lt)));
      }
      return;
    }
    // A reference never consumes "<", so the text still ends at lt.
    scratch_.assign(start, amp);
    p_ = amp;
    while (p_ < lt) {
      if (*p_ == '&') {
        ++p_;
        scratch_.push_back(ParseReference());
        continue;
      }
      const char* run = p_;
      while (p_ < lt && *p_ != '&') ++p_;
      scratch_.append(run, p_);
    }
    if (preserve_ || HasNonBlank(scratch_.data(), scratch_.data() + scratch_.size())) {
      parent.AddChild(std::make_unique<TXmlText>(names_, scratch_));
    }
  }

  // After "<?".
  void ParseProcessingInstruction(TXmlNode& parent) {
    const std::string_view target = ReadName();
    const int32_t id = names_.Add(target);
    if (target == "xml") {
      TXmlNode* declaration = parent.AddChild(std::make_unique<TXmlProcessingInstruction>(names_, id, std::string()));
      ParseAttributes(*declaration);
      Expect("?>");
    } else {
      parent.AddChild(std::make_unique<TXmlProcessingInstruction>(names_, id, std::string(ReadUpTo("?>"))));
    }
  }

  void ParseAttributes(TXmlNode& node) {
    SkipBlanks();
    while (AtNameStart()) {
      const int32_t id = names_.Add(ReadNameAfterStart());
      SkipBlanks();
      Expect("=");
      SkipBlanks();
      if (p_ >= end_) Fail(xmlmsg::kExpectedAttrValue, p_);
      const char quote = *p_;
      if (quote != '"' && quote != '\'') Fail(xmlmsg::kExpectedString, p_);
      ++p_;
      node.SetAttributeById(id, TXmlValue(ReadAttributeValue(quote)));
      SkipBlanks();
    }
  }

  // The value after its opening quote, up to and including the closing one.
  std::string ReadAttributeValue(char quote) {
    const auto* close = static_cast<const char*>(std::memchr(p_, quote, static_cast<std::size_t>(end_ - p_)));
    if (close == nullptr) close = end_;
    const char* start = p_;
    while (p_ < close && *p_ != '<' && *p_ != '&') ++p_;
    if (p_ == close && close < end_) {
      ++p_;
      return std::string(start, close);
    }
    // References or an error: collect, checking byte by byte. A reference
    // never consumes a quote, so the value still ends at close.
    scratch_.assign(start, p_);
    while (p_ < close) {
      const char c = *p_;
      if (c == '<') Fail(xmlmsg::kLessInAttr, p_);
      ++p_;
      if (c == '&')
        scratch_.push_back(ParseReference());
      else
        scratch_.push_back(c);
    }
    if (close == end_) FailExpected(std::string_view(&quote, 1), end_);
    ++p_;
    return scratch_;
  }

  // After "<".
  void ParseElement(TXmlNode& parent, int depth) {
    if (depth > kXmlMaxDepth) Fail(xmlmsg::kTooDeep, p_);
    const std::string_view name = ReadName();
    if (p_ >= end_) Throw(xmlmsg::Msg(xmlmsg::kElementIncomplete));
    if (!IsBlank(*p_) && *p_ != '/' && *p_ != '>') Throw(xmlmsg::Msg(xmlmsg::kBadNameChar));
    TXmlNode* element = parent.AddChild(std::make_unique<TXmlElement>(names_, names_.Add(name)));
    ParseAttributes(*element);
    if (p_ < end_ && *p_ == '/') {
      Expect("/>");
      return;
    }
    Expect(">");
    ParseContent(*element, depth);
    Expect("/");
    Expect(name);
    SkipBlanks();
    Expect(">");
  }

  TXmlDocument& document_;
  TXmlNameTable& names_;
  const char* const begin_;
  const char* p_;
  const char* const end_;
  const bool preserve_;
  const TNameClass name_class_;
  std::string scratch_;
};

}  // namespace

void ParseText(TXmlDocument& document, std::string_view text) { TXmlTextParser(document, text).Run(); }

}  // namespace tabulon::xmlread
