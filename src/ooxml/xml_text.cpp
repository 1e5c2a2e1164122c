#include "ooxml/xml_text.h"

#include "platform/code_page.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace tabulon {

namespace {

// ---- Entities ---------------------------------------------------------------------
// The entity table in its order: "&nbsp;", "&quot;" and "&apos;" act on the
// raw text, "&amp;" next, then "&lt;", "&gt;" and the Latin-1 names act on the
// text with "&amp;" replaced, so an escaped ampersand can start one of them.

struct TEntity {
  std::string_view name;  // without "&" and ";"
  char16_t ch;
  bool afterAmp;
};

constexpr std::string_view kLatin1Names[95] = {
    "iexcl",  "cent",   "pound",  "curren", "yen",    "brvbar", "sect",   "uml",    "copy",   "ordf",
    "laquo",  "not",    "shy",    "reg",    "macr",   "deg",    "plusmn", "sup2",   "sup3",   "acute",
    "micro",  "para",   "middot", "cedil",  "sup1",   "ordm",   "raquo",  "frac14", "frac12", "frac34",
    "iquest", "Agrave", "Aacute", "Acirc",  "Atilde", "Auml",   "Aring",  "AElig",  "Ccedil", "Egrave",
    "Eacute", "Ecirc",  "Euml",   "Igrave", "Iacute", "Icirc",  "Iuml",   "ETH",    "Ntilde", "Ograve",
    "Oacute", "Ocirc",  "Otilde", "Ouml",   "times",  "Oslash", "Ugrave", "Uacute", "Ucircv", "Uuml",
    "Yacute", "THORN",  "szlig",  "agrave", "aacute", "acirc",  "atilde", "auml",   "aring",  "aelig",
    "ccedil", "egrave", "eacute", "ecirc",  "euml",   "igrave", "iacute", "icirc",  "iuml",   "eth",
    "ntilde", "ograve", "oacute", "ocirc",  "otilde", "ouml",   "divide", "oslash", "ugrave", "uacute",
    "ucirc",  "uuml",   "yacute", "thorn",  "yuml"};

constexpr std::size_t kEntityCount = 6 + 95;
constexpr std::size_t kMaxEntityName = 6;

constexpr std::array<TEntity, kEntityCount> SortedEntities() {
  std::array<TEntity, kEntityCount> e{};
  e[0] = {"nbsp", u' ', false};
  e[1] = {"quot", u'"', false};
  e[2] = {"apos", u'\'', false};
  e[3] = {"amp", u'&', false};
  e[4] = {"lt", u'<', true};
  e[5] = {"gt", u'>', true};
  for (std::size_t i = 0; i < 95; ++i) e[6 + i] = {kLatin1Names[i], static_cast<char16_t>(0xA1 + i), true};
  std::sort(e.begin(), e.end(), [](const TEntity& a, const TEntity& b) { return a.name < b.name; });
  return e;
}

constexpr std::array<TEntity, kEntityCount> kEntities = SortedEntities();

const TEntity* FindEntity(std::string_view name) {
  auto it = std::lower_bound(kEntities.begin(), kEntities.end(), name,
                             [](const TEntity& e, std::string_view n) { return e.name < n; });
  return (it != kEntities.end() && it->name == name) ? &*it : nullptr;
}

// The entity whose name starts at name and ends with ";" before end, or
// nullptr; after is set past the ";".
const TEntity* EntityNamed(const char* name, const char* end, const char*& after) {
  const char* q = name;
  const char* limit = std::min(end, name + kMaxEntityName + 1);
  while (q < limit && *q != ';' && *q != '&') ++q;
  if (q == limit || *q != ';') return nullptr;
  const TEntity* e = FindEntity(std::string_view(name, static_cast<std::size_t>(q - name)));
  if (e != nullptr) after = q + 1;
  return e;
}

// "&#NNN;" or "&#xHHH;" at p; its code point or 0 when there is none.
char32_t CharRefAt(const char* p, const char* end, const char*& after) {
  const char* q = p + 2;
  if (q > end || p[1] != '#') return 0;
  const bool hex = q < end && (*q == 'x' || *q == 'X');
  if (hex) ++q;
  const char* digits = q;
  uint32_t value = 0;
  for (; q < end; ++q) {
    unsigned d;
    const char c = *q;
    if (c >= '0' && c <= '9')
      d = static_cast<unsigned>(c - '0');
    else if (hex && c >= 'a' && c <= 'f')
      d = static_cast<unsigned>(c - 'a' + 10);
    else if (hex && c >= 'A' && c <= 'F')
      d = static_cast<unsigned>(c - 'A' + 10);
    else
      break;
    value = value * (hex ? 16 : 10) + d;
    if (value > 0x10FFFF) value = 0x110000;  // stays out of range, digits go on
  }
  if (q == digits || q == end || *q != ';') return 0;
  if (value == 0 || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  after = q + 1;
  return value;
}

void AppendCodePoint(std::u16string& out, char32_t c) {
  if (c < 0x10000) {
    out.push_back(static_cast<char16_t>(c));
  } else {
    c -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
  }
}

// UTF-8 decoding by the platform's rule: a lead byte from 0x80 up takes one
// continuation byte, or two when its bit 0x20 is set, and the character is
// cut to 16 bits; four-byte sequences (lead 0xF0-0xF7) give surrogate pairs.
class TUtf8Decoder {
 public:
  explicit TUtf8Decoder(std::u16string& out) : out_(out) {}

  // False when the byte breaks the sequence in progress.
  bool Byte(uint8_t b) {
    if (need_ == 0) {
      if (b < 0x80) {
        out_.push_back(b);
      } else if ((b & 0xF8) == 0xF0) {
        need_ = 3;
        four_ = true;
        value_ = b & 0x07u;
      } else {
        need_ = (b & 0x20) ? 2 : 1;
        four_ = false;
        value_ = b & 0x3Fu;
      }
      return true;
    }
    if (b < 0x80 || b > 0xBF) return false;
    value_ = (value_ << 6) | (b & 0x3Fu);
    if (--need_ == 0) {
      if (!four_)
        out_.push_back(static_cast<char16_t>(value_ & 0xFFFF));
      else
        AppendCodePoint(out_, value_ <= 0x10FFFF ? value_ : 0xFFFD);
    }
    return true;
  }
  // A character that comes from a reference; false inside a sequence.
  bool Char(char32_t c) {
    if (need_ != 0) return false;
    AppendCodePoint(out_, c);
    return true;
  }
  bool Complete() const { return need_ == 0; }

 private:
  std::u16string& out_;
  uint32_t value_ = 0;
  int need_ = 0;
  bool four_ = false;
};

// A malformed text decodes to nothing.
void Fail(std::u16string& out) { out.clear(); }

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// Writers store characters that XML cannot hold (CR, control characters) as
// "_xHHHH_", and a literal "_x" that would read as such as "_x005F_x": each
// escape becomes its UTF-16 code unit, in place. The text after an escape is
// not read again, so "_x005F_x0041_" ends as "_x0041_".
void UnescapeXStrings(std::u16string& out) {
  std::size_t at = out.find(u"_x");
  if (at == std::u16string::npos) return;
  std::size_t put = at;
  const std::size_t size = out.size();
  while (at < size) {
    if (out[at] == u'_' && at + 6 < size && out[at + 1] == u'x' && out[at + 6] == u'_') {
      int value = 0;
      int i = 2;
      for (; i < 6; ++i) {
        const int d = HexDigit(out[at + i]);
        if (d < 0) break;
        value = value * 16 + d;
      }
      if (i == 6) {
        out[put++] = static_cast<char16_t>(value);
        at += 7;
        continue;
      }
    }
    out[put++] = out[at++];
  }
  out.resize(put);
}

}  // namespace

void DecodeTextTo(std::string_view text, std::u16string& out) {
  out.clear();
  out.reserve(text.size());
  const char* p = text.data();
  const char* const end = p + text.size();
  // Plain ASCII without references is the common case.
  while (p < end && *p != '&' && *p != '\r' && static_cast<uint8_t>(*p) < 0x80) out.push_back(static_cast<char16_t>(*p++));
  if (p == end) return UnescapeXStrings(out);

  TUtf8Decoder decoder(out);
  while (p < end) {
    if (*p == '&') {
      const char* after = nullptr;
      if (const char32_t c = CharRefAt(p, end, after)) {
        if (!decoder.Char(c)) return Fail(out);
        p = after;
        continue;
      }
      if (const TEntity* e = EntityNamed(p + 1, end, after)) {
        if (e->ch == u'&') {
          // The ampersand of "&amp;" can start one of the later entities.
          const char* after2 = nullptr;
          const TEntity* next = EntityNamed(after, end, after2);
          if (next != nullptr && next->afterAmp) {
            if (!decoder.Char(next->ch)) return Fail(out);
            p = after2;
            continue;
          }
        }
        if (!decoder.Char(e->ch)) return Fail(out);
        p = after;
        continue;
      }
    }
    if (*p == '\r') {
      // A line break in the part is one line feed, as XML reads it: CR LF
      // and a lone CR become LF (a CR written as "&#13;" stays).
      if (p + 1 == end || p[1] != '\n') {
        if (!decoder.Byte('\n')) return Fail(out);
      }
      ++p;
      continue;
    }
    if (!decoder.Byte(static_cast<uint8_t>(*p))) return Fail(out);
    ++p;
  }
  if (!decoder.Complete()) return Fail(out);
  UnescapeXStrings(out);
}

std::u16string DecodeText(std::string_view text) {
  std::u16string out;
  DecodeTextTo(text, out);
  return out;
}

bool Utf16PartToUtf8(const uint8_t* data, std::size_t size, std::string& out) {
  if (size < 2) return false;
  bool littleEndian;
  std::size_t at = 0;
  if (data[0] == 0xFF && data[1] == 0xFE) {
    littleEndian = true;
    at = 2;
  } else if (data[0] == 0xFE && data[1] == 0xFF) {
    littleEndian = false;
    at = 2;
  } else if (data[0] == '<' && data[1] == 0) {
    littleEndian = true;
  } else if (data[0] == 0 && data[1] == '<') {
    littleEndian = false;
  } else {
    return false;
  }
  auto unit = [&](std::size_t i) -> uint32_t {
    return littleEndian ? data[i] | data[i + 1] << 8 : data[i] << 8 | data[i + 1];
  };
  out.clear();
  out.reserve((size - at) / 2 * 3 / 2 + 16);
  for (; at + 1 < size; at += 2) {
    uint32_t c = unit(at);
    if (c >= 0xD800 && c <= 0xDBFF && at + 3 < size) {
      const uint32_t low = unit(at + 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        at += 2;
      }
    }
    platform::AppendUtf8(out, c);
  }
  return true;
}

void AppendCDataAsText(std::string& text, std::string_view content) {
  for (const char c : content) {
    if (c == '&') text += "&#38;";
    else text.push_back(c);
  }
}

}  // namespace tabulon
