#include <gtest/gtest.h>

#include <array>
#include <string>

#include "platform/error.h"
#include "workbook/cellref.h"

namespace tabulon {
namespace {

// Sets the module-wide limits for one test and restores the legacy ones.
class Limits {
 public:
  Limits(int32_t col, int32_t row) { MaxCol = col, MaxRow = row; }
  ~Limits() { MaxCol = 255, MaxRow = 65535; }
};

TEST(CellRefText, Table) {
  struct Case {
    int32_t col, row;
    bool absCol, absRow;
    const char16_t* text;
  } cases[] = {
      {0, 0, false, false, u"A1"},          {27, 9, true, true, u"$AB$10"},
      {25, 0, false, false, u"Z1"},         {26, 0, false, false, u"AA1"},
      {51, 0, false, true, u"AZ$1"},        {52, 0, true, false, u"$BA1"},
      {701, 0, false, false, u"ZZ1"},       {702, 0, false, false, u"AAA1"},
      {16383, 1048575, false, false, u"XFD1048576"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(CellRefText(c.col, c.row, c.absCol, c.absRow), c.text) << c.col << "," << c.row;
  EXPECT_EQ(AreaRefText(0, 0, false, false, 2, 3, true, true), u"A1:$C$4");
}

TEST(ParseCellRef, StrictTable) {
  struct Case {
    const char16_t* text;
    bool ok;
    uint16_t col, row;
    bool absCol, absRow;
  } cases[] = {
      {u"A1", true, 0, 0, false, false},
      {u"$C$12", true, 2, 11, true, true},
      {u"IV65536", true, 255, 65535, false, false},
      {u"IZ5", true, 255, 4, false, false},
      {u"A0", true, 0, 65535, false, false},       // row kept in 16 bits
      {u"A65537", true, 0, 0, false, false},
      {u"B007", true, 1, 6, false, false},
      {u"JA1", false, 0, 0, false, false},         // two letters starting after "I"
      {u"AAA1", false, 26, 0, false, false},
      {u"a1", false, 0, 0, false, false},
      {u"B", false, 0, 0, false, false},
      {u"", false, 0, 0, false, false},
      {u"$", false, 0, 0, true, false},
      {u"C$", false, 2, 0, false, true},           // column set before the failure
      {u"A1x", false, 0, 0, false, false},
      {u"AB", false, 27, 0, false, false},
      {u"A2147483648", false, 0, 0, false, false}, // beyond the 32-bit range
      {u"A\u0661", false, 0, 0, false, false},     // only ASCII digits count
  };
  for (const Case& c : cases) {
    uint16_t col = 99, row = 99;
    bool absCol = true, absRow = true;
    EXPECT_EQ(ParseCellRef(c.text, col, row, absCol, absRow), c.ok) << std::u16string(c.text).size();
    EXPECT_EQ(col, c.col);
    EXPECT_EQ(row, c.row);
    EXPECT_EQ(absCol, c.absCol);
    EXPECT_EQ(absRow, c.absRow);
  }
}

TEST(ParseCellRef, ExtendedTable) {
  struct Case {
    const char16_t* text;
    bool ok;
    int32_t col, row;
    bool absCol, absRow;
  } cases[] = {
      {u"$A$12", true, 0, 11, true, true},
      {u"A$12", true, 0, 11, false, true},
      {u"$A12", true, 0, 11, true, false},
      {u"A12", true, 0, 11, false, false},
      {u"IV65536", true, 255, 65535, false, false},
      {u"IW1", false, 256, 0, false, false},       // beyond MaxCol of a legacy workbook
      {u"A65537", false, 0, 65536, false, false},
      {u"1", false, 0, -7, false, false},          // no letters: row untouched
      {u"", false, -7, -7, false, false},
  };
  for (const Case& c : cases) {
    int32_t col = -7, row = -7;
    bool absCol = true, absRow = true;
    EXPECT_EQ(ParseCellRefExt(c.text, col, row, absCol, absRow), c.ok)
        << std::u16string(c.text).size();
    EXPECT_EQ(col, c.col);
    EXPECT_EQ(row, c.row);
    EXPECT_EQ(absCol, c.absCol);
    EXPECT_EQ(absRow, c.absRow);
  }
}

TEST(ParseCellRef, ExtendedLimitsFollowTheWorkbook) {
  int32_t col, row;
  bool absCol, absRow;
  EXPECT_FALSE(ParseCellRefExt(u"XFD1048576", col, row, absCol, absRow));
  Limits openXml(16383, 1048575);
  EXPECT_TRUE(ParseCellRefExt(u"XFD1048576", col, row, absCol, absRow));
  EXPECT_EQ(col, 16383);
  EXPECT_EQ(row, 1048575);
  EXPECT_FALSE(ParseCellRefExt(u"XFE1", col, row, absCol, absRow));
  EXPECT_FALSE(ParseCellRefExt(u"A1048577", col, row, absCol, absRow));
}

TEST(ParseCellRef, LongRunsAndRowZeroFail) {
  Limits openXml(16383, 1048575);
  std::u16string letters(40, u'Z');
  std::u16string digits(40, u'9');
  int32_t col, row;
  bool absCol, absRow;
  // Runs long enough to overflow 32 or 64 bits saturate and fail the range check.
  EXPECT_FALSE(ParseCellRefExt(letters + u"1", col, row, absCol, absRow));
  EXPECT_GT(col, 16383);
  EXPECT_FALSE(ParseCellRefExt(u"A" + digits, col, row, absCol, absRow));
  EXPECT_GT(row, 1048575);
  EXPECT_FALSE(ParsePlainCellRef(letters + u"1", col, row));
  EXPECT_FALSE(ParsePlainCellRef(u"A" + digits, col, row));
  EXPECT_FALSE(ParsePlainCellRef(std::string(40, 'Z') + "1", col, row));
  // Row "0" names no row.
  row = 5;
  EXPECT_FALSE(ParseCellRefExt(u"A0", col, row, absCol, absRow));
  EXPECT_FALSE(ParsePlainCellRef(u"B000", col, row));
  EXPECT_FALSE(ParsePlainCellRef("B0", col, row));
  EXPECT_GE(row, 0);
}

// Byte and wide texts give the same column, row and result for every shape,
// in both workbook limits (the byte parser has a quick way for the usual one).
TEST(ParseCellRef, ByteAndWideTextsAgree) {
  const char* const texts[] = {"A1",    "Z9",     "AA10",     "XFD1048576", "XFE1",     "IV65536", "IW1",
                               "A0",    "A00001", "ZZZ9999999", "AAAA1",    "A12345678", "xA1",    "1A1",
                               "a1",    "A",      "$A$1",     "A1B2",       "ZZZ1",     "B000",    "A1048577"};
  for (const bool openXml : {false, true}) {
    Limits limits(openXml ? 16383 : 255, openXml ? 1048575 : 65535);
    for (const char* text : texts) {
      const std::string bytes(text);
      int32_t col1 = -7, row1 = -7, col2 = -7, row2 = -7;
      bool ok1 = false, ok2 = false;
      bool threw1 = false, threw2 = false;
      try {
        ok1 = ParsePlainCellRef(bytes, col1, row1);
      } catch (const Exception&) {
        threw1 = true;
      }
      try {
        ok2 = ParsePlainCellRef(std::u16string(bytes.begin(), bytes.end()), col2, row2);
      } catch (const Exception&) {
        threw2 = true;
      }
      EXPECT_EQ(threw1, threw2) << text;
      EXPECT_EQ(ok1, ok2) << text;
      EXPECT_EQ(col1, col2) << text;
      EXPECT_EQ(row1, row2) << text;
    }
  }
}

TEST(ParseCellRef, MissingRowDigitsRaiseTheConversionError) {
  int32_t col, row;
  bool absCol, absRow;
  try {
    ParseCellRefExt(u"AB", col, row, absCol, absRow);
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "'' is not a valid integer value");
  }
  EXPECT_THROW(ParsePlainCellRef(u"C", col, row), Exception);
  EXPECT_THROW(ParsePlainCellRef("C", col, row), Exception);
}

TEST(ParseCellRef, PlainTable) {
  struct Case {
    const char* text;
    bool ok;
    int32_t col, row;
  } cases[] = {
      {"AB7", true, 27, 6}, {"A1", true, 0, 0}, {"IV65536", true, 255, 65535},
      {"ab7", true, 27, 6}, {"e1", true, 4, 0}, {"aAbBcC7", false, 0, 0},  // either case, still at most XFD
      {"$A1", true, 0, 0},  // the "$" is not a mark here, just a character before the letters
      {"A$1", false, 0, 0}, {"7", false, 0, 0},
  };
  for (const Case& c : cases) {
    int32_t col = 0, row = 0, col16 = 0, row16 = 0;
    std::u16string wide(c.text, c.text + std::char_traits<char>::length(c.text));
    EXPECT_EQ(ParsePlainCellRef(std::string_view(c.text), col, row), c.ok) << c.text;
    EXPECT_EQ(ParsePlainCellRef(wide, col16, row16), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(col, c.col);
      EXPECT_EQ(row, c.row);
      EXPECT_EQ(col16, c.col);
      EXPECT_EQ(row16, c.row);
    }
  }
}

TEST(ParseAreaRef, Table) {
  uint16_t c1, r1, c2, r2;
  bool a1, b1, a2, b2;
  EXPECT_TRUE(ParseAreaRef(u"Sheet1!A1:C4", c1, r1, a1, b1, c2, r2, a2, b2));
  EXPECT_EQ((std::array<int, 4>{c1, r1, c2, r2}), (std::array<int, 4>{0, 0, 2, 3}));
  EXPECT_TRUE(ParseAreaRef(u"$B$2:D5", c1, r1, a1, b1, c2, r2, a2, b2));
  EXPECT_TRUE(a1 && b1 && !a2 && !b2);
  EXPECT_FALSE(ParseAreaRef(u"A1", c1, r1, a1, b1, c2, r2, a2, b2));
  c2 = 77;
  EXPECT_FALSE(ParseAreaRef(u"a1:C4", c1, r1, a1, b1, c2, r2, a2, b2));
  EXPECT_EQ(c2, 77);  // the second corner is not parsed after the first fails

  int32_t x1, y1, x2, y2;
  EXPECT_TRUE(ParseAreaRefExt(u"$A$1:B$2", x1, y1, a1, b1, x2, y2, a2, b2));
  EXPECT_EQ((std::array<int, 4>{x1, y1, x2, y2}), (std::array<int, 4>{0, 0, 1, 1}));
  EXPECT_TRUE(a1 && b1 && !a2 && b2);
  EXPECT_TRUE(ParsePlainAreaRef(u"B2:AB7", x1, y1, x2, y2));
  EXPECT_EQ((std::array<int, 4>{x1, y1, x2, y2}), (std::array<int, 4>{1, 1, 27, 6}));
  EXPECT_TRUE(ParsePlainAreaRef("B2:AB7", x1, y1, x2, y2));
  EXPECT_FALSE(ParsePlainAreaRef("B2", x1, y1, x2, y2));
}

TEST(Area, OrderAndClip) {
  int32_t c1 = 5, r1 = 9, c2 = 2, r2 = 3;
  OrderArea(c1, r1, c2, r2);
  EXPECT_EQ((std::array<int, 4>{c1, r1, c2, r2}), (std::array<int, 4>{2, 3, 5, 9}));

  struct Case {
    std::array<int32_t, 4> in;
    bool ok;
    std::array<int32_t, 4> out;
  } cases[] = {
      {{-3, -1, 300, 70000}, true, {0, 0, 255, 65535}},
      {{1, 2, 3, 4}, true, {1, 2, 3, 4}},
      {{256, 0, 300, 1}, false, {256, 0, 300, 1}},
      {{0, 65536, 1, 70000}, false, {0, 65536, 1, 70000}},
      {{-5, 0, -1, 3}, false, {-5, 0, -1, 3}},
      {{0, -5, 3, -1}, false, {0, -5, 3, -1}},
  };
  for (const Case& c : cases) {
    auto v = c.in;
    EXPECT_EQ(ClipArea(v[0], v[1], v[2], v[3]), c.ok);
    EXPECT_EQ(v, c.out);
  }
}

}  // namespace
}  // namespace tabulon
