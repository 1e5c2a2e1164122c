#include "workbook/cellref.h"

#include <algorithm>
#include <utility>

#include "platform/error.h"
#include "platform/platform.h"

namespace tabulon {

int32_t MaxCol = 255;
int32_t MaxRow = 65535;

namespace {

// Column and row values of the extended and plain parsers saturate here, so
// that a long run of letters or digits fails the range check instead of
// overflowing.
constexpr int64_t kColumnCap = 16384 + 1;    // value of the letters, 1-based
constexpr int64_t kRowCap = 1048576 + 1;     // value of the digits, 1-based

template <typename Ch>
constexpr bool IsLetter(Ch c) {
  return c >= Ch('A') && c <= Ch('Z');
}
// Plain references (Open XML cell addresses) take their letters in either
// case: "a1" names A1.
template <typename Ch>
constexpr bool IsAnyCaseLetter(Ch c) {
  return IsLetter(c) || (c >= Ch('a') && c <= Ch('z'));
}
template <typename Ch>
constexpr int64_t LetterValue(Ch c) {
  return c >= Ch('a') ? c - Ch('a') + 1 : c - Ch('A') + 1;
}
template <typename Ch>
constexpr bool IsDigit(Ch c) {
  return c >= Ch('0') && c <= Ch('9');
}

void AppendColumnLetters(std::u16string& text, int32_t col) {
  if (col < 0) return;
  char16_t letters[8];
  int n = 0;
  uint32_t value = static_cast<uint32_t>(col) + 1;  // bijective base 26
  while (value > 0 && n < 8) {
    uint32_t digit = (value - 1) % 26;
    letters[n++] = static_cast<char16_t>(u'A' + digit);
    value = (value - 1) / 26;
  }
  while (n > 0) text.push_back(letters[--n]);
}

template <typename Ch>
[[noreturn]] void ThrowNotInteger(std::basic_string_view<Ch> digits) {
  std::u16string wide(digits.begin(), digits.end());
  Throw(Format("'%s' is not a valid integer value", platform::WideToHost(wide).c_str()));
}

// The extended and plain parsers. `marks` enables the "$" marks.
template <typename Ch>
bool ParseExtended(std::basic_string_view<Ch> text, bool marks, int32_t& col, int32_t& row,
                   bool& absCol, bool& absRow) {
  absCol = false;
  absRow = false;
  if (text.empty()) return false;
  col = 0;
  std::size_t digitsStart = text.size();
  while (digitsStart > 0 && IsDigit(text[digitsStart - 1])) --digitsStart;
  // p is the position just after the letters (1 past the last letter).
  std::size_t p = digitsStart;
  if (marks && p > 0 && text[p - 1] == Ch('$')) {
    absRow = true;
    --p;
  }
  // Formula references take upper-case letters only; plain ones either case.
  auto letter = [marks](Ch c) { return marks ? IsLetter(c) : IsAnyCaseLetter(c); };
  if (p == 0 || !letter(text[p - 1])) return false;
  std::size_t first = p - 1;
  while (first > 0 && letter(text[first - 1])) --first;
  int64_t value = 0;
  for (std::size_t i = first; i < p; ++i) {
    value = value * 26 + LetterValue(text[i]);
    if (value > kColumnCap) value = kColumnCap;
  }
  col = static_cast<int32_t>(value - 1);
  if (marks && first > 0 && text[first - 1] == Ch('$')) absCol = true;

  std::basic_string_view<Ch> digits = text.substr(digitsStart);
  if (digits.empty()) ThrowNotInteger(digits);
  int64_t number = 0;
  for (Ch c : digits) {
    number = number * 10 + (c - Ch('0'));
    if (number > kRowCap) number = kRowCap;
  }
  if (number == 0) return false;  // row "0" names no row
  row = static_cast<int32_t>(number - 1);
  return col <= MaxCol && row <= MaxRow;
}

template <typename Ch>
bool ParsePlainAreaImpl(std::basic_string_view<Ch> text, int32_t& col1, int32_t& row1,
                        int32_t& col2, int32_t& row2) {
  std::size_t colon = text.find(Ch(':'));
  if (colon == std::basic_string_view<Ch>::npos) return false;
  bool a, b;
  if (!ParseExtended(text.substr(0, colon), false, col1, row1, a, b)) return false;
  return ParseExtended(text.substr(colon + 1), false, col2, row2, a, b);
}

}  // namespace

std::u16string CellRefText(int32_t Col, int32_t Row, bool AbsCol, bool AbsRow) {
  std::u16string text;
  text.reserve(16);
  if (AbsCol) text.push_back(u'$');
  AppendColumnLetters(text, Col);
  if (AbsRow) text.push_back(u'$');
  int64_t number = static_cast<int64_t>(Row) + 1;
  if (number < 0) {
    text.push_back(u'-');
    number = -number;
  }
  char16_t digits[24];
  int n = 0;
  do {
    digits[n++] = static_cast<char16_t>(u'0' + number % 10);
    number /= 10;
  } while (number > 0);
  while (n > 0) text.push_back(digits[--n]);
  return text;
}

std::u16string AreaRefText(int32_t Col1, int32_t Row1, bool AbsCol1, bool AbsRow1, int32_t Col2,
                           int32_t Row2, bool AbsCol2, bool AbsRow2) {
  std::u16string text = CellRefText(Col1, Row1, AbsCol1, AbsRow1);
  text.push_back(u':');
  text += CellRefText(Col2, Row2, AbsCol2, AbsRow2);
  return text;
}

bool ParseCellRef(std::u16string_view Text, uint16_t& Col, uint16_t& Row, bool& AbsCol,
                  bool& AbsRow) {
  Col = 0;
  Row = 0;
  AbsCol = false;
  AbsRow = false;
  const std::size_t n = Text.size();
  if (n == 0) return false;
  std::size_t p = 0;
  if (Text[0] == u'$') {
    AbsCol = true;
    p = 1;
  }
  if (p >= n || !IsLetter(Text[p])) return false;
  if (p + 1 >= n) return false;
  if (!IsLetter(Text[p + 1])) {
    Col = static_cast<uint16_t>(Text[p] - u'A');
    p += 1;
  } else {
    // Two letters: "A?" to "I?", limited to column 255 ("IV").
    if (Text[p] > u'I') return false;
    int value = (Text[p] - u'A' + 1) * 26 + (Text[p + 1] - u'A');
    Col = static_cast<uint16_t>(value > 255 ? 255 : value);
    p += 2;
    if (p >= n) return false;
  }
  if (Text[p] == u'$') {
    AbsRow = true;
    ++p;
  }
  for (std::size_t i = p; i < n; ++i)
    if (!IsDigit(Text[i])) return false;
  // The integer conversion sees at most 1024 characters.
  std::u16string_view digits = Text.substr(p, 1024);
  if (digits.empty()) return false;
  int64_t value = 0;
  for (char16_t c : digits) {
    value = value * 10 + (c - u'0');
    if (value > INT32_MAX) return false;
  }
  // The row is kept in 16 bits: "A0" gives 65535, "A65537" gives 0.
  Row = static_cast<uint16_t>(value - 1);
  return true;
}

bool ParseCellRef(std::u16string_view Text, uint16_t& Col, uint16_t& Row) {
  bool absCol, absRow;
  return ParseCellRef(Text, Col, Row, absCol, absRow);
}

bool ParseCellRefExt(std::u16string_view Text, int32_t& Col, int32_t& Row, bool& AbsCol,
                     bool& AbsRow) {
  return ParseExtended(Text, true, Col, Row, AbsCol, AbsRow);
}

bool ParsePlainCellRef(std::u16string_view Text, int32_t& Col, int32_t& Row) {
  bool a, b;
  return ParseExtended(Text, false, Col, Row, a, b);
}

bool ParsePlainCellRef(std::string_view Text, int32_t& Col, int32_t& Row) {
  // The usual shape (up to 3 letters, then up to 7 digits, not row 0) in one
  // forward pass with the same results; anything else the general way.
  // Every Open XML cell goes through here: byte arithmetic without branches
  // per case (a byte with 0x20 set is a letter when it lies in 'a'..'z').
  std::size_t i = 0;
  int64_t col = 0;
  for (; i < Text.size() && i < 3; ++i) {
    const unsigned letter = static_cast<unsigned>(static_cast<uint8_t>(Text[i]) | 0x20) - 'a';
    if (letter >= 26) break;
    col = col * 26 + letter + 1;
  }
  const std::size_t letters = i;
  int64_t row = 0;
  for (; i < Text.size() && i - letters < 7; ++i) {
    const unsigned digit = static_cast<unsigned>(static_cast<uint8_t>(Text[i])) - '0';
    if (digit >= 10) break;
    row = row * 10 + digit;
  }
  if (letters > 0 && i > letters && i == Text.size() && row > 0) {
    Col = static_cast<int32_t>(std::min(col, kColumnCap) - 1);
    Row = static_cast<int32_t>(std::min(row, kRowCap) - 1);
    return Col <= MaxCol && Row <= MaxRow;
  }
  bool a, b;
  return ParseExtended(Text, false, Col, Row, a, b);
}

bool ParseAreaRef(std::u16string_view Text, uint16_t& Col1, uint16_t& Row1, bool& AbsCol1,
                  bool& AbsRow1, uint16_t& Col2, uint16_t& Row2, bool& AbsCol2, bool& AbsRow2) {
  std::size_t bang = Text.find(u'!');
  if (bang != std::u16string_view::npos) Text.remove_prefix(bang + 1);
  std::size_t colon = Text.find(u':');
  if (colon == std::u16string_view::npos) return false;
  if (!ParseCellRef(Text.substr(0, colon), Col1, Row1, AbsCol1, AbsRow1)) return false;
  return ParseCellRef(Text.substr(colon + 1), Col2, Row2, AbsCol2, AbsRow2);
}

bool ParseAreaRefExt(std::u16string_view Text, int32_t& Col1, int32_t& Row1, bool& AbsCol1,
                     bool& AbsRow1, int32_t& Col2, int32_t& Row2, bool& AbsCol2, bool& AbsRow2) {
  std::size_t colon = Text.find(u':');
  if (colon == std::u16string_view::npos) return false;
  if (!ParseCellRefExt(Text.substr(0, colon), Col1, Row1, AbsCol1, AbsRow1)) return false;
  return ParseCellRefExt(Text.substr(colon + 1), Col2, Row2, AbsCol2, AbsRow2);
}

bool ParsePlainAreaRef(std::u16string_view Text, int32_t& Col1, int32_t& Row1, int32_t& Col2,
                       int32_t& Row2) {
  return ParsePlainAreaImpl(Text, Col1, Row1, Col2, Row2);
}

bool ParsePlainAreaRef(std::string_view Text, int32_t& Col1, int32_t& Row1, int32_t& Col2,
                       int32_t& Row2) {
  return ParsePlainAreaImpl(Text, Col1, Row1, Col2, Row2);
}

void OrderArea(int32_t& Col1, int32_t& Row1, int32_t& Col2, int32_t& Row2) {
  if (Col1 > Col2) std::swap(Col1, Col2);
  if (Row1 > Row2) std::swap(Row1, Row2);
}

bool ClipArea(int32_t& Col1, int32_t& Row1, int32_t& Col2, int32_t& Row2) {
  if (Col1 > MaxCol || Row1 > MaxRow || Col2 < 0 || Row2 < 0) return false;
  if (Col1 < 0) Col1 = 0;
  if (Row1 < 0) Row1 = 0;
  if (Col2 > MaxCol) Col2 = MaxCol;
  if (Row2 > MaxRow) Row2 = MaxRow;
  return true;
}

}  // namespace tabulon
