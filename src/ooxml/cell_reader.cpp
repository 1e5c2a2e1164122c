// Cells of worksheet parts: the c element read from its node, and the usual
// shape of it (<c r s t>, at most one plain f and v, </c>) read straight
// from the part's bytes without nodes. Both end in WriteCell, so that a cell
// gives the same value whichever way it was read.
#include <bit>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "ooxml/package_reader.h"
#include "platform/error.h"
#include "workbook/cellref.h"
#include "workbook/cells.h"
#include "workbook/sheet.h"
#include "workbook/workbook.h"

namespace tabulon {

namespace {

// Formula options by attribute.
constexpr std::pair<int, uint8_t> kFormulaOptions[] = {
    {xaAca, 0x01}, {xaBx, 0x02}, {xaCa, 0x04}, {xaDel1, 0x08}, {xaDel2, 0x10}, {xaDt2D, 0x20}, {xaDtr, 0x40},
};

// Error index of an error text; 0 for a text that is none of the seven.
uint8_t ErrorIndexOf(std::u16string_view text) {
  for (uint8_t i = 1; i < kErrorIndexCount; ++i)
    if (ErrorText(i) == text) return i;
  return 0;
}

double ValueAsFloat(std::string_view text) {
  double v = 0;
  return XMLTextToFloat(text, v) ? v : 0.0;
}

int32_t ValueAsInteger(std::string_view text) {
  int32_t v = 0;
  return XMLTextToInt(text, v) ? v : 0;
}

// ---- Scanning the usual cell -------------------------------------------------------------

inline bool IsBlank(uint8_t b) { return b == ' ' || b == '\t' || b == '\r' || b == '\n'; }

inline std::string_view Bytes(const uint8_t* from, const uint8_t* to) {
  return {reinterpret_cast<const char*>(from), static_cast<std::size_t>(to - from)};
}

// Moves p past text when the input continues with it.
inline bool Take(const uint8_t*& p, const uint8_t* end, std::string_view text) {
  if (static_cast<std::size_t>(end - p) < text.size() || std::memcmp(p, text.data(), text.size()) != 0) return false;
  p += text.size();
  return true;
}

// The first byte b in [p, end), else end: sixteen bytes at a compare where
// that many remain. The texts of a cell are short, and a call of memchr
// costs more than the search.
inline const uint8_t* FindByte(const uint8_t* p, const uint8_t* end, uint8_t b) {
#if defined(__SSE2__)
  const __m128i wanted = _mm_set1_epi8(static_cast<char>(b));
  for (; end - p >= 16; p += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const auto hits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, wanted)));
    if (hits != 0) return p + std::countr_zero(hits);
  }
#endif
  while (p < end && *p != b) ++p;
  return p;
}

// The bytes up to the next "<", where p then stands; false without one.
inline bool TextToTag(const uint8_t*& p, const uint8_t* end, std::string_view& text) {
  const uint8_t* const lt = FindByte(p, end, '<');
  if (lt == end) return false;
  text = Bytes(p, lt);
  p = lt;
  return true;
}

// An element of the cell that holds text and nothing else: "<v>text</v>"
// with p after "<v>"; false for any other shape (markup in the text, a
// second element of the same name).
inline bool TakeTextElement(const uint8_t*& p, const uint8_t* end, std::string_view close, bool& seen,
                            std::string_view& text) {
  if (seen || !TextToTag(p, end, text) || !Take(p, end, close)) return false;
  text = TrimTagText(text);
  seen = true;
  return true;
}

}  // namespace

// ---- Position and value ------------------------------------------------------------------

void TXLSRead2007XML::PlaceCell(const std::string_view* ref, const std::string_view* style, uint32_t& col,
                                uint32_t& row, uint16_t& format) {
  int32_t c = 0;
  int32_t r = currentRow_;
  if (ref != nullptr)
    ParsePlainCellRef(*ref, c, r);
  else
    c = lastCol_ + 1;  // a cell without r is the one after the previous cell of its row
  lastCol_ = c;
  col = static_cast<uint32_t>(c);
  row = static_cast<uint32_t>(r);
  format = static_cast<uint16_t>(int64_t{style != nullptr ? ValueAsInteger(*style) : 0} + kCellFormatOffset);
}

std::u16string TXLSRead2007XML::InlineText(const TExXMLTag& is) const {
  if (is.FindChild(xtR) == nullptr) {
    const TExXMLTag* t = is.FindChild(xtT);
    return t != nullptr ? t->DecodedText() : std::u16string();
  }
  std::u16string text;
  for (int i = 0; i < is.ChildCount(); ++i) {
    const TExXMLTag& run = *is.Child(i);
    if (run.Tag() != xtR) continue;
    if (const TExXMLTag* t = run.FindChild(xtT)) text += t->DecodedText();
  }
  return text;
}

void TXLSRead2007XML::WriteCell(uint32_t c, uint32_t r, uint16_t format, const TCellContent& cell) {
  const std::string_view type = cell.Type;
  const bool inlineString = type == "inlineStr";
  const bool hasValue = cell.HasValue;
  const std::string_view value = cell.Value;
  TSheet& sheet = *sheet_;

  if (cell.HasFormula) {
    const uint8_t options = cell.Options;
    const uint16_t group = cell.Group;
    // Decoded into a string kept for every formula: no block of its own.
    DecodeTextTo(cell.Formula, formulaText_);
    const std::u16string_view formula = formulaText_;

    if (inlineString) {
      const std::u16string result = cell.Inline != nullptr ? InlineText(*cell.Inline)
                                    : hasValue             ? DecodeText(value)
                                                           : std::u16string();
      sheet.WriteStringFormulaText(c, r, format, formula, result, options, group);
      return;
    }
    if (!hasValue) {
      // Saved without a result: the formula answers the empty text.
      sheet.WriteStringFormulaText(c, r, format, formula, std::u16string_view(), options, group);
      return;
    }
    switch (type.empty() ? '\0' : type.front()) {
      case 'b': sheet.WriteBooleanFormulaText(c, r, format, formula, value == "1", options, group); return;
      case 'e': {
        const std::u16string text = DecodeText(value);
        const uint8_t index = ErrorIndexOf(text);
        // Error texts of newer versions (#SPILL!, #CALC!, ...) stay texts.
        if (index == 0)
          sheet.WriteStringFormulaText(c, r, format, formula, text, options, group);
        else
          sheet.WriteErrorFormulaText(c, r, format, formula, index, options, group);
        return;
      }
      case 'n': sheet.WriteNumberFormulaText(c, r, format, formula, ValueAsFloat(value), options, group); return;
      case 's':
        if (type == "str") {
          sheet.WriteStringFormulaText(c, r, format, formula, DecodeText(value), options, group);
        } else {
          // The text result given as a shared string index.
          const TSSTEntry* entry = workbook_.SST().GetEntry(ValueAsInteger(value));
          sheet.WriteStringFormulaText(c, r, format, formula, TSST2::GetText(entry), options, group);
        }
        return;
      case 'd': sheet.WriteStringFormulaText(c, r, format, formula, DecodeText(value), options, group); return;
      default: Throw("Unknown Excel XML formula type");
    }
  }

  if (inlineString) {
    if (cell.Inline != nullptr)
      sheet.WriteString(c, r, format, InlineText(*cell.Inline));
    else if (hasValue)
      sheet.WriteString(c, r, format, DecodeText(value));
    else
      sheet.WriteBlank(c, r, format);
    return;
  }
  if (!hasValue) {
    sheet.WriteBlank(c, r, format);
    return;
  }
  switch (type.empty() ? '\0' : type.front()) {
    case 'b': sheet.WriteBoolean(c, r, format, value == "1"); return;
    case 'e': {
      const std::u16string text = DecodeText(value);
      const uint8_t index = ErrorIndexOf(text);
      if (index == 0)
        sheet.WriteString(c, r, format, text);
      else
        sheet.WriteError(c, r, format, index);
      return;
    }
    case 'n': sheet.WriteNumber(c, r, format, ValueAsFloat(value)); return;
    case 's':
      if (type == "str")
        sheet.WriteString(c, r, format, DecodeText(value));  // plain text stored as a formula result type
      else
        sheet.WriteSSTString(c, r, format, ValueAsInteger(value));
      return;
    case 'd': sheet.WriteString(c, r, format, DecodeText(value)); return;
    default: Throw("Unknown Excel XML cell type");
  }
}

// ---- The cell from its node ----------------------------------------------------------------

void TXLSRead2007XML::ReadCell(TExXMLTag& node) {
  const std::string_view ref = node.RawValue(xaR);
  const std::string_view style = node.RawValue(xaS);
  uint32_t c = 0, r = 0;
  uint16_t format = 0;
  PlaceCell(node.HasValue(xaR) ? &ref : nullptr, node.HasValue(xaS) ? &style : nullptr, c, r, format);

  TCellContent cell;
  if (node.HasValue(xaT)) cell.Type = node.RawValue(xaT);
  const TExXMLTag* f = nullptr;
  const TExXMLTag* v = nullptr;
  for (int i = 0; i < node.ChildCount(); ++i) {
    const TExXMLTag* child = node.Child(i);
    switch (child->Tag()) {
      case xtF: if (f == nullptr) f = child; break;
      case xtV: if (v == nullptr) v = child; break;
      case xtIs: if (cell.Inline == nullptr) cell.Inline = child; break;
      default: break;
    }
  }
  // An empty v caches no value, as no v does.
  if (v != nullptr && !v->RawText().empty()) {
    cell.HasValue = true;
    cell.Value = v->RawText();
  }
  if (f != nullptr) {
    cell.HasFormula = true;
    cell.Formula = f->RawText();
    for (const auto& [attr, bit] : kFormulaOptions)
      if (f->GetBoolean(attr, false)) cell.Options |= bit;
    // SharedIndex is 16 bits with 0xFFFF for none: larger groups are none.
    const int32_t si = f->GetInteger(xaSi, kNoSharedIndex);
    cell.Group = si >= 0 && si < kNoSharedIndex ? static_cast<uint16_t>(si) : kNoSharedIndex;
    if (cell.Group != kNoSharedIndex && f->HasValue(xaRef) && !f->RawValue(xaRef).empty()) {
      // Groups need not come in order: the list grows to the group's number.
      std::vector<std::string>& ranges = sheet_->Cells().SharedFormulaRanges();
      if (cell.Group >= ranges.size()) ranges.resize(std::size_t{cell.Group} + 1);
      ranges[cell.Group] = f->RawValue(xaRef);
    }
  }
  WriteCell(c, r, format, cell);
}

// ---- The usual cell from the part's bytes --------------------------------------------------

// <c> with r, s and t attributes (each at most once, blanks before each),
// then either "/>" or ">" followed by at most one <f> and one <v> without
// attributes or markup in their texts, and "</c>"; text between them is
// passed over as the tag reader does. Any other shape is declined before
// anything is written, and the tag reader reads it.
bool TXLSRead2007XML::ReadWholeElement() {
  const uint8_t* p = Cursor() + 2;  // after "<c"
  const uint8_t* const end = InputEnd();
  std::string_view attrs[3];  // r, s, t
  bool has[3] = {false, false, false};
  bool empty = false;
  for (;;) {
    if (p == end) return false;
    if (*p == '>') {
      ++p;
      break;
    }
    if (*p == '/') {
      if (!Take(p, end, "/>")) return false;
      empty = true;
      break;
    }
    if (!IsBlank(*p)) return false;
    do ++p;
    while (p < end && IsBlank(*p));
    if (end - p < 4) return false;
    if (*p == '>' || *p == '/') continue;
    const int which = *p == 'r' ? 0 : *p == 's' ? 1 : *p == 't' ? 2 : -1;
    if (which < 0 || has[which] || p[1] != '=' || (p[2] != '"' && p[2] != '\'')) return false;
    const uint8_t* const value = p + 3;
    const uint8_t* const close = FindByte(value, end, p[2]);
    if (close == end) return false;
    attrs[which] = Bytes(value, close);
    has[which] = true;
    p = close + 1;
  }

  TCellContent cell;
  bool hasValue = false;
  if (!empty) {
    for (;;) {
      std::string_view between;
      if (!TextToTag(p, end, between)) return false;
      if (Take(p, end, "</c>")) break;
      if (Take(p, end, "<v>")) {
        if (!TakeTextElement(p, end, "</v>", hasValue, cell.Value)) return false;
      } else if (Take(p, end, "<f>")) {
        if (!TakeTextElement(p, end, "</f>", cell.HasFormula, cell.Formula)) return false;
      } else {
        return false;
      }
    }
  }
  SetCursor(p);

  uint32_t c = 0, r = 0;
  uint16_t format = 0;
  PlaceCell(has[0] ? &attrs[0] : nullptr, has[1] ? &attrs[1] : nullptr, c, r, format);
  if (has[2]) cell.Type = attrs[2];
  cell.HasValue = hasValue && !cell.Value.empty();  // an empty v caches no value
  WriteCell(c, r, format, cell);
  return true;
}

}  // namespace tabulon
