// Legacy workbooks of other writers, read through the loaded plug-in: every
// cell answers the text of the value that an independent reader (xlrd) finds
// there, numbers written with 15 significant digits.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "plugin/plugin_host.h"
#include "support/host_text.h"

namespace tabulon::test {
namespace {

struct Expected {
  int sheet;  // 1-based, as requests name sheets
  const char* cell;
  std::string text;
  bool number;  // written with the locale's decimal symbol
};

std::string Repeat(const std::string& piece, int count) {
  std::string out;
  for (int i = 0; i < count; ++i) out += piece;
  return out;
}

// "long:" and 6000 Cyrillic capitals А..Я over and over, as the answer has
// it (UTF-8).
std::string LongCyrillic() {
  std::u16string text = u"long:";
  for (int i = 0; i < 6000; ++i) text += static_cast<char16_t>(0x410 + i % 32);
  return Utf8(text);
}

const std::vector<Expected> kPricesBiff8Xlwt = {
    {1, "A1", "Item", false},
    {1, "B1", "Price", false},
    {1, "C1", "Qty", false},
    {1, "A2", "Apple", false},
    {1, "B2", "1.25", true},
    {1, "C2", "4", true},
    {1, "A3", "Pear", false},
    {1, "B3", "0.5", true},
    {1, "C3", "10", true},
    {1, "A4", "Total", false},
    {1, "B4", "", false},
    {2, "A1", "Zürich", false},
    {2, "A2", "42", true},
};
const std::vector<Expected> kPricesBiff8Libreoffice = {
    {1, "A1", "Item", false},
    {1, "B1", "Price", false},
    {1, "C1", "Qty", false},
    {1, "A2", "Apple", false},
    {1, "B2", "1.25", true},
    {1, "C2", "4", true},
    {1, "A3", "Pear", false},
    {1, "B3", "0.5", true},
    {1, "C3", "10", true},
    {1, "A4", "Total", false},
    {1, "B4", "10", true},
    {2, "A1", "Zürich", false},
    {2, "A2", "42", true},
};
const std::vector<Expected> kPricesBiff5Gnumeric = {
    {1, "A1", "Item", false},
    {1, "B1", "Price", false},
    {1, "C1", "Qty", false},
    {1, "A2", "Apple", false},
    {1, "B2", "1.25", true},
    {1, "C2", "4", true},
    {1, "A3", "Pear", false},
    {1, "B3", "0.5", true},
    {1, "C3", "10", true},
    {1, "A4", "Total", false},
    {1, "B4", "10", true},
    {2, "A1", "Zürich", false},
    {2, "A2", "42", true},
};
const std::vector<Expected> kMixedBiff8Libreoffice = {
    {1, "A1", "Text", false},
    {1, "B1", "123", true},
    {1, "C1", "-4.5", true},
    {1, "D1", "1E-10", true},
    {1, "E1", "123456789012345", true},
    {1, "F1", "0.333333333333333", true},
    {1, "A2", "Привет мир", false},
    {1, "B2", "日本語", false},
    {1, "C2", "TRUE", false},
    {1, "D2", "FALSE", false},
    {1, "A3", "246", true},
    {1, "B3", "Привет мир!", false},
    {1, "C3", "TRUE", false},
    {1, "D3", "#DIV/0!", false},
    {1, "E3", "#N/A", false},
    {1, "A5", "1", true},
    {1, "B5", "2", true},
    {1, "C5", "2", true},
    {1, "D5", "10", true},
    {1, "E5", "770", true},
    {1, "A6", "2", true},
    {1, "B6", "4", true},
    {1, "C6", "3", true},
    {1, "D6", "20", true},
    {1, "A7", "3", true},
    {1, "B7", "6", true},
    {1, "C7", "4", true},
    {1, "D7", "30", true},
    {1, "A8", "4", true},
    {1, "B8", "8", true},
    {1, "C8", "5", true},
    {1, "A9", "5", true},
    {1, "B9", "10", true},
    {1, "C9", "6", true},
    {1, "A10", "6", true},
    {1, "B10", "12", true},
    {1, "C10", "7", true},
    {1, "A11", "7", true},
    {1, "B11", "14", true},
    {1, "C11", "8", true},
    {1, "A12", "8", true},
    {1, "B12", "16", true},
    {1, "C12", "9", true},
    {1, "A13", "9", true},
    {1, "B13", "18", true},
    {1, "C13", "10", true},
    {1, "A14", "10", true},
    {1, "B14", "20", true},
    {1, "C14", "11", true},
    {1, "A17", "after long", false},
    {1, "B17", "0.3", true},
    {1, "C17", "1E20", true},
    {1, "D17", "-0.000123456789012345", true},
    {3, "B2", "end", false},
};
const std::vector<Expected> kMixedBiff5Gnumeric = {
    {1, "A1", "Text", false},
    {1, "B1", "123", true},
    {1, "C1", "-4.5", true},
    {1, "D1", "1E-10", true},
    {1, "E1", "123456789012345", true},
    {1, "F1", "0.333333333333333", true},
    {1, "A2", "\?\?\?\?\?\? \?\?\?", false},
    {1, "B2", "\?\?\?", false},
    {1, "C2", "TRUE", false},
    {1, "D2", "FALSE", false},
    {1, "A3", "246", true},
    {1, "B3", "\?\?\?\?\?\? \?\?\?!", false},
    {1, "C3", "TRUE", false},
    {1, "D3", "#DIV/0!", false},
    {1, "E3", "#N/A", false},
    {1, "A5", "1", true},
    {1, "B5", "2", true},
    {1, "C5", "2", true},
    {1, "D5", "10", true},
    {1, "E5", "770", true},
    {1, "A6", "2", true},
    {1, "B6", "4", true},
    {1, "C6", "3", true},
    {1, "D6", "0", true},
    {1, "A7", "3", true},
    {1, "B7", "6", true},
    {1, "C7", "4", true},
    {1, "D7", "0", true},
    {1, "A8", "4", true},
    {1, "B8", "8", true},
    {1, "C8", "5", true},
    {1, "A9", "5", true},
    {1, "B9", "10", true},
    {1, "C9", "6", true},
    {1, "A10", "6", true},
    {1, "B10", "12", true},
    {1, "C10", "7", true},
    {1, "A11", "7", true},
    {1, "B11", "14", true},
    {1, "C11", "8", true},
    {1, "A12", "8", true},
    {1, "B12", "16", true},
    {1, "C12", "9", true},
    {1, "A13", "9", true},
    {1, "B13", "18", true},
    {1, "C13", "10", true},
    {1, "A14", "10", true},
    {1, "B14", "20", true},
    {1, "C14", "11", true},
    {1, "A17", "after long", false},
    {1, "B17", "0.3", true},
    {1, "C17", "1E20", true},
    {1, "D17", "-0.000123456789012345", true},
    {3, "B2", "end", false},
};
const std::vector<Expected> kMixedBiff5Sheetjs = {
    {1, "A1", "Text", false},
    {1, "B1", "123", true},
    {1, "C1", "-4.5", true},
    {1, "D1", "1E-10", true},
    {1, "E1", "123456789012345", true},
    {1, "F1", "0.333333333333333", true},
    {1, "A2", "______ ___", false},
    {1, "B2", "___", false},
    {1, "C2", "TRUE", false},
    {1, "D2", "FALSE", false},
    {1, "A3", "246", true},
    {1, "B3", "______ ___!", false},
    {1, "C3", "TRUE", false},
    {1, "D3", "#DIV/0!", false},
    {1, "E3", "#N/A", false},
    {1, "A5", "1", true},
    {1, "B5", "2", true},
    {1, "C5", "2", true},
    {1, "D5", "10", true},
    {1, "E5", "770", true},
    {1, "A6", "2", true},
    {1, "B6", "4", true},
    {1, "C6", "3", true},
    {1, "D6", "0", true},
    {1, "A7", "3", true},
    {1, "B7", "6", true},
    {1, "C7", "4", true},
    {1, "D7", "0", true},
    {1, "A8", "4", true},
    {1, "B8", "8", true},
    {1, "C8", "5", true},
    {1, "A9", "5", true},
    {1, "B9", "10", true},
    {1, "C9", "6", true},
    {1, "A10", "6", true},
    {1, "B10", "12", true},
    {1, "C10", "7", true},
    {1, "A11", "7", true},
    {1, "B11", "14", true},
    {1, "C11", "8", true},
    {1, "A12", "8", true},
    {1, "B12", "16", true},
    {1, "C12", "9", true},
    {1, "A13", "9", true},
    {1, "B13", "18", true},
    {1, "C13", "10", true},
    {1, "A14", "10", true},
    {1, "B14", "20", true},
    {1, "C14", "11", true},
    {1, "A17", "after long", false},
    {1, "B17", "0.3", true},
    {1, "C17", "1E20", true},
    {1, "D17", "-0.000123456789012345", true},
    {3, "B2", "end", false},
};
const std::vector<Expected> kMixedBiff2Sheetjs = {
    {1, "A1", "Text", false},
    {1, "B1", "123", true},
    {1, "C1", "-4.5", true},
    {1, "D1", "1E-10", true},
    {1, "E1", "123456789012345", true},
    {1, "F1", "0.333333333333333", true},
    {1, "A2", "______ ___", false},
    {1, "B2", "___", false},
    {1, "C2", "TRUE", false},
    {1, "D2", "FALSE", false},
    {1, "A3", "246", true},
    {1, "B3", "______ ___!", false},
    {1, "C3", "TRUE", false},
    {1, "D3", "#DIV/0!", false},
    {1, "E3", "#N/A", false},
    {1, "A5", "1", true},
    {1, "B5", "2", true},
    {1, "C5", "2", true},
    {1, "D5", "10", true},
    {1, "E5", "770", true},
    {1, "A6", "2", true},
    {1, "B6", "4", true},
    {1, "C6", "3", true},
    {1, "D6", "0", true},
    {1, "A7", "3", true},
    {1, "B7", "6", true},
    {1, "C7", "4", true},
    {1, "D7", "0", true},
    {1, "A8", "4", true},
    {1, "B8", "8", true},
    {1, "C8", "5", true},
    {1, "A9", "5", true},
    {1, "B9", "10", true},
    {1, "C9", "6", true},
    {1, "A10", "6", true},
    {1, "B10", "12", true},
    {1, "C10", "7", true},
    {1, "A11", "7", true},
    {1, "B11", "14", true},
    {1, "C11", "8", true},
    {1, "A12", "8", true},
    {1, "B12", "16", true},
    {1, "C12", "9", true},
    {1, "A13", "9", true},
    {1, "B13", "18", true},
    {1, "C13", "10", true},
    {1, "A14", "10", true},
    {1, "B14", "20", true},
    {1, "C14", "11", true},
    {1, "A17", "after long", false},
    {1, "B17", "0.3", true},
    {1, "C17", "1E20", true},
    {1, "D17", "-0.000123456789012345", true},
};
const std::vector<Expected> kMixedBiff8Xlwt = {
    {1, "A1", "Label", false},
    {1, "B1", "42", true},
    {1, "C1", "-1.5", true},
    {1, "D1", "1234567.891", true},
    {1, "E1", "2147483648", true},
    {1, "F1", "1E-300", true},
    {1, "A2", "Ελληνικά", false},
    {1, "B2", "TRUE", false},
    {1, "C2", "FALSE", false},
    {1, "D2", "", false},
    {1, "A4", "1", true},
    {1, "B4", "2", true},
    {1, "C4", "3", true},
    {1, "D4", "0.25", true},
    {1, "A6", "after", false},
    {1, "A7", "", false},
    {2, "A1", "Straße", false},
    {2, "F11", "3.14159265358979", true},
};

// A worksheet with two embedded charts (line and XY) before two more sheets.
const std::vector<Expected> kChartBiff8Libreoffice = {
    {1, "A1", "Day", false},
    {1, "B1", "Low", false},
    {1, "C1", "High", false},
    {1, "A2", "1", true},
    {1, "B2", "3.5", true},
    {1, "C2", "10", true},
    {1, "A3", "2", true},
    {1, "B3", "4.75", true},
    {1, "C3", "9.25", true},
    {1, "A4", "3", true},
    {1, "B4", "6", true},
    {1, "C4", "8.5", true},
    {1, "A5", "4", true},
    {1, "B5", "7.25", true},
    {1, "C5", "7.75", true},
    {1, "A6", "5", true},
    {1, "B6", "8.5", true},
    {1, "C6", "7", true},
    {1, "A7", "6", true},
    {1, "B7", "9.75", true},
    {1, "C7", "6.25", true},
    {1, "A8", "39.75", true},
    {1, "B8", "FALSE", false},
    {1, "C8", "Day and Low", false},
    {1, "A30", "after the charts", false},
    {1, "B30", "30", true},
    {2, "B2", "middle sheet", false},
    {2, "C3", "-1.5", true},
    {3, "D4", "last sheet", false},
};
// BIFF5 texts in the code pages 1251 and 932.
const std::vector<Expected> kCp1251Biff5Gnumeric = {
    {1, "A1", "Ладовность", false},
    {1, "B1", "0.5", true},
    {1, "C1", "Ладовность!", false},
    {1, "A2", "Привет, мир", false},
    {1, "B2", "1.5", true},
    {1, "A3", "Ёж ёлка", false},
    {1, "B3", "2.5", true},
    {2, "B2", "Ёж ёлка 2", false},
};
const std::vector<Expected> kCp932Biff5Gnumeric = {
    {1, "A1", "漢字データ", false},
    {1, "B1", "0.5", true},
    {1, "A2", "ｶﾀｶﾅ半角", false},
    {1, "B2", "1.5", true},
    {1, "A3", "テスト表", false},
    {1, "B3", "2.5", true},
    {2, "B2", "第二 2", false},
};

std::string Piece(int sheet, const std::string& cell, const std::string& value) {
  return "<xls sheet=\"" + std::to_string(sheet) + "\" cell=\"" + cell + "\"><![CDATA[" + value + "]]></xls>";
}

// Asks for every expected cell in one request and compares the answer.
void CheckWorkbook(const std::string& file, std::vector<Expected> cells, const std::vector<Expected>& longTexts = {}) {
  SCOPED_TRACE(file);
  cells.insert(cells.end(), longTexts.begin(), longTexts.end());
  TPluginHost host(TPluginHost::Config(file));
  host.CopyFile(std::string(TABULON_FIXTURES) + "/" + file, file);
  host.Start();
  std::string request = "<cells>";
  std::string expected = "<result state=\"ok\">";
  for (const Expected& e : cells) {
    request += "<c sheet=\"" + std::to_string(e.sheet) + "\" cell=\"" + e.cell + "\"/>";
    std::string text = e.text;
    if (e.number)
      for (char& c : text)
        if (c == '.') c = static_cast<char>(platform::DecimalSymbol());
    expected += Piece(e.sheet, e.cell, text);
  }
  request += "</cells>";
  expected += "</result>";
  const auto answer = host.Request(request);
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(*answer, expected);
}

TEST(LegacyFiles, EveryCellAnswersItsValue) {
  CheckWorkbook("prices_biff8_xlwt.xls", kPricesBiff8Xlwt);
  CheckWorkbook("prices_biff8_libreoffice.xls", kPricesBiff8Libreoffice);
  CheckWorkbook("prices_biff5_gnumeric.xls", kPricesBiff5Gnumeric);
  CheckWorkbook("mixed_biff8_libreoffice.xls", kMixedBiff8Libreoffice,
                {{1, "F3", Repeat("ж", 5000), false}, {1, "A16", LongCyrillic(), false}});
  CheckWorkbook("mixed_biff5_gnumeric.xls", kMixedBiff5Gnumeric,
                {{1, "F3", Repeat("?", 5000), false}, {1, "A16", "long:" + Repeat("?", 2067), false}});
  CheckWorkbook("mixed_biff5_sheetjs.xls", kMixedBiff5Sheetjs,
                {{1, "F3", Repeat("_", 255), false}, {1, "A16", "long:" + Repeat("_", 250), false}});
  CheckWorkbook("mixed_biff2_sheetjs.xls", kMixedBiff2Sheetjs,
                {{1, "F3", Repeat("_", 255), false}, {1, "A16", "long:" + Repeat("_", 250), false}});
  CheckWorkbook("mixed_biff8_xlwt.xls", kMixedBiff8Xlwt, {{1, "A5", Repeat("x", 9000), false}});
  CheckWorkbook("chart_biff8_libreoffice.xls", kChartBiff8Libreoffice);
  CheckWorkbook("cp1251_biff5_gnumeric.xls", kCp1251Biff5Gnumeric);
  CheckWorkbook("cp932_biff5_gnumeric.xls", kCp932Biff5Gnumeric);
}

}  // namespace
}  // namespace tabulon::test
