#include "workbook/sheet.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/error.h"
#include "platform/platform.h"
#include "support/host_text.h"
#include "support/temp_dir.h"
#include "workbook/formats.h"
#include "workbook/sst.h"
#include "workbook/workbook.h"

namespace tabulon {
namespace {

// Cell texts and names as UTF-8, to compare with the literals.
std::string Narrow(const std::u16string& text) { return test::Utf8(text); }

std::string MessageOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const Exception& e) {
    return e.Message();
  }
  return "(no exception)";
}

class SheetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The component clears scratch files of its temporary directory: give it its own.
    directory_ = test::MakeTempDirectory("tabulon-sheet");
    test::UseAsTempDirectory(directory_);
    workbook_ = std::make_unique<TXLSWorkbook>();
  }
  void TearDown() override {
    workbook_.reset();
    std::error_code error;
    std::filesystem::remove_all(directory_, error);
    ASSERT_FALSE(error) << error.message();
  }
  TSheet& Sheet() { return workbook_->Sheets()[0]; }
  std::string Text(uint32_t col, uint32_t row) { return Narrow(Sheet().GetCellText(col, row)); }

  std::filesystem::path directory_;
  std::unique_ptr<TXLSWorkbook> workbook_;
};

TEST_F(SheetTest, CellTextOfEveryKind) {
  TSheet& sheet = Sheet();
  const uint8_t tokens[] = {0x1E, 0x01, 0x00};
  sheet.WriteBlank(0, 0, 15);
  sheet.WriteNumber(1, 0, 15, 2.5);
  sheet.WriteString(2, 0, 15, u"h\u00e9llo \u0100");
  sheet.WriteBoolean(3, 0, 15, 1);
  sheet.WriteBoolean(4, 0, 15, 0);
  sheet.WriteError(5, 0, 15, 4);
  sheet.WriteNumberFormula(0, 1, 15, tokens, 3, 3, 45000.5);
  sheet.WriteStringFormula(1, 1, 15, tokens, 3, 3, u"res");
  sheet.WriteStringFormula(2, 1, 15, tokens, 3, 3, u"");
  sheet.WriteBooleanFormula(3, 1, 15, tokens, 3, 3, 7);
  sheet.WriteErrorFormula(4, 1, 15, tokens, 3, 3, 0x2A);
  sheet.WriteErrorFormula(5, 1, 15, tokens, 3, 3, 0x99);
  sheet.WriteNumberArrayFormula(0, 2, 15, tokens, 3, 3, -1e-5, tokens, 3, 0);
  sheet.WriteStringArrayFormula(1, 2, 15, tokens, 3, 3, u"arr", nullptr, 0, 1);
  sheet.WriteNumberFormulaText(2, 2, 15, u"A1*2", 1e15, 0, kNoSharedIndex);
  sheet.WriteStringFormulaText(3, 2, 15, u"\"x\"", u"x", 0, kNoSharedIndex);
  sheet.WriteBooleanFormulaText(4, 2, 15, u"TRUE()", 0, 0, kNoSharedIndex);
  sheet.WriteErrorFormulaText(5, 2, 15, u"1/0", 2, 0, kNoSharedIndex);

  struct Case {
    uint32_t col, row;
    uint8_t type;
    const char* text;
  } const cases[] = {
      {0, 0, ctBlank, ""},           {1, 0, ctFloat, "2.5"},          {2, 0, ctString, "h\u00e9llo \u0100"},
      {3, 0, ctBoolean, "TRUE"},     {4, 0, ctBoolean, "FALSE"},      {5, 0, ctError, "#REF!"},
      {0, 1, ctNumberFormula, "45000.5"}, {1, 1, ctStringFormula, "res"}, {2, 1, ctStringFormula, ""},
      {3, 1, ctBooleanFormula, "TRUE"},   {4, 1, ctErrorFormula, "#N/A"},
      {5, 1, ctErrorFormula, "[int] No error value"},
      {0, 2, ctNumberArrayFormula, "-1E-5"}, {1, 2, ctStringArrayFormula, "arr"},
      {2, 2, ctNumberFormula, "1E15"},   {3, 2, ctStringFormula, "x"}, {4, 2, ctBooleanFormula, "FALSE"},
      {5, 2, ctErrorFormula, "#DIV/0!"}, {9, 9, ctNone, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(sheet.GetCellType(c.col, c.row), c.type) << c.col << "," << c.row;
    EXPECT_EQ(Text(c.col, c.row), c.text) << c.col << "," << c.row;
  }
  EXPECT_EQ(sheet.GetCellAsFloat(1, 0), 2.5);
  EXPECT_EQ(sheet.GetCellAsFloat(0, 1), 45000.5);
  EXPECT_EQ(sheet.GetCellAsFloat(0, 2), -1e-5);
  EXPECT_EQ(sheet.GetCellAsFloat(2, 0), 0);
  EXPECT_EQ(sheet.GetCellAsFloat(9, 9), 0);

  // Boolean texts are the module-wide ones.
  workbook_->SetStrTRUE(u"WAHR");
  EXPECT_EQ(Text(3, 0), "WAHR");
  workbook_->SetStrTRUE(u"TRUE");

  // Formula cells show their formula text when asked to; values stay.
  workbook_->ShowFormulas = true;
  EXPECT_EQ(Text(2, 2), "A1*2");
  EXPECT_EQ(Text(1, 0), "2.5");
  workbook_->ShowFormulas = false;
}

TEST_F(SheetTest, TokenAndTextFormulaFields) {
  const uint8_t tokens[] = {0x17, 0x02, 0x00, 0x41, 0x42, 0x99};
  Sheet().WriteNumberFormula(0, 0, 15, tokens, 6, 5, 1);
  Sheet().WriteNumberFormulaText(1, 0, 15, u"B1", 1, 0x12, 7);
  Sheet().WriteNumberFormulaText(2, 0, 15, u"", 1, 0, 7);
  auto* token = static_cast<TFormulaCell*>(Sheet().GetCell(0, 0));
  EXPECT_EQ(token->FormulaDataSize(), 6u);
  EXPECT_EQ(token->ExpressionLength(), 5u);
  EXPECT_EQ(token->FormulaIsText(), 0);
  EXPECT_EQ(token->SharedIndex(), kNoSharedIndex);
  EXPECT_EQ(token->FormulaText(), u"");
  EXPECT_EQ(token->FormulaData()[5], 0x99);
  auto* text = static_cast<TFormulaCell*>(Sheet().GetCell(1, 0));
  EXPECT_EQ(text->FormulaIsText(), 1);
  EXPECT_EQ(text->FormulaDataSize(), 4u);
  EXPECT_EQ(text->ExpressionLength(), 0u);
  EXPECT_EQ(text->FormulaOptions(), 0x12);
  EXPECT_EQ(text->SharedIndex(), 7);
  EXPECT_EQ(text->FormulaText(), u"B1");
  auto* empty = static_cast<TFormulaCell*>(Sheet().GetCell(2, 0));
  EXPECT_EQ(empty->FormulaData(), nullptr);
  EXPECT_EQ(empty->FormulaDataSize(), 0u);
}

TEST_F(SheetTest, WritesKeepFormatsAndRefuseBadValues) {
  TSheet& sheet = Sheet();
  sheet.WriteBlank(0, 0, 20);
  sheet.WriteNumber(0, 0, 3, 1.5);
  EXPECT_EQ(sheet.GetCellType(0, 0), ctFloat);
  EXPECT_EQ(sheet.GetCell(0, 0)->FormatIndex(), 20u);

  sheet.WriteNumber(1, 0, 500, 1);
  EXPECT_EQ(sheet.GetCell(1, 0)->FormatIndex(), 15u);

  EXPECT_EQ(MessageOf([&] { sheet.WriteError(2, 0, 15, 0); }), "Invalid cell error value");
  EXPECT_EQ(sheet.GetCell(2, 0), nullptr);
  sheet.WriteNumber(3, 0, 15, 1);
  EXPECT_EQ(MessageOf([&] { sheet.WriteError(3, 0, 15, 8); }), "Invalid cell error value");
  EXPECT_EQ(sheet.GetCellType(3, 0), ctFloat);

  EXPECT_EQ(MessageOf([&] { sheet.WriteNumber(16384, 7, 15, 1); }), "Cell position out of range (16384, 7)");
  EXPECT_EQ(MessageOf([&] { sheet.WriteString(0, 1048576, 15, u"x"); }),
            "Cell position out of range (0, 1048576)");
  sheet.WriteNumber(16383, 1048575, 15, 9);
  EXPECT_EQ(Text(16383, 1048575), "9");
}

TEST_F(SheetTest, SharedStringReferences) {
  TSheet& sheet = Sheet();
  TSST2& sst = workbook_->SST();
  sst.AddString(u"alpha");
  sst.AddString(u"beta");

  EXPECT_EQ(MessageOf([&] { sheet.WriteSSTString(0, 0, 15, 2); }), "List index out of bounds (2)");
  EXPECT_EQ(sheet.GetCell(0, 0), nullptr);

  sheet.WriteSSTString(0, 0, 15, 1);
  sheet.WriteSSTString(1, 0, 15, 1);
  EXPECT_EQ(Text(1, 0), "beta");
  EXPECT_EQ(sst.GetEntry(1)->RefCount, 2);

  sheet.WriteString(0, 1, 15, u"gamma");
  sheet.WriteString(1, 1, 15, u"gamma");
  auto* gamma = static_cast<TStringCell*>(sheet.GetCell(0, 1))->StringEntry();
  EXPECT_EQ(static_cast<TStringCell*>(sheet.GetCell(1, 1))->StringEntry(), gamma);
  EXPECT_EQ(gamma->RefCount, 2);

  sheet.DeleteCell(1, 1);
  EXPECT_EQ(sheet.GetCell(1, 1), nullptr);
  EXPECT_EQ(gamma->RefCount, 1);
  EXPECT_EQ(Text(0, 1), "gamma");
  sheet.DeleteCell(1, 0);
  EXPECT_EQ(sst.GetEntry(1)->RefCount, 1);
  sheet.DeleteCell(5, 5);  // nothing there
}

TEST_F(SheetTest, DeleteCellReplacesFailuresWithItsOwnMessage) {
  TSheet& sheet = Sheet();
  sheet.WriteNumberFormulaText(3, 4, 15, u"A1", 1, 0, 0);
  workbook_->FormulaHandler().CellValues().OnDeleteSharedFormula = [](TCellValues&, TCell&) {
    Throw("Excpected shared formula not found");
  };
  EXPECT_EQ(MessageOf([&] { sheet.DeleteCell(3, 4); }), "Error on deleting cell 3:4");
  EXPECT_NE(sheet.GetCell(3, 4), nullptr);
  workbook_->FormulaHandler().CellValues().OnDeleteSharedFormula = nullptr;
  sheet.DeleteCell(3, 4);
  EXPECT_EQ(sheet.GetCell(3, 4), nullptr);
}

TEST_F(SheetTest, CellTextRefReadsWhatTheReferenceParserReached) {
  TSheet& sheet = Sheet();
  sheet.WriteNumber(0, 0, 15, 1);  // A1
  sheet.WriteNumber(1, 1, 15, 2);  // B2
  sheet.WriteNumber(2, 0, 15, 3);  // C1
  sheet.WriteNumber(2, 2, 15, 4);  // C3
  const std::pair<const char16_t*, const char*> cases[] = {
      {u"B2", "2"}, {u"$C$3", "4"}, {u"b2", "1"}, {u"B", "1"}, {u"C$", "3"}, {u"", "1"}, {u"Z9", ""},
  };
  for (const auto& [ref, text] : cases) EXPECT_EQ(Narrow(sheet.GetCellTextRef(ref)), text) << Narrow(ref);
}

TEST_F(SheetTest, SheetNamesAndIDs) {
  TSheets& sheets = workbook_->Sheets();
  sheets.Clear();
  EXPECT_EQ(sheets.Count(), 0);
  const uint64_t first = sheets.NextID();
  TSheet& a = sheets.Add(skWorksheet);
  TSheet& b = sheets.Add(skMacroSheet);
  EXPECT_EQ(Narrow(a.Name()), "Sheet" + std::to_string(first + 1));
  EXPECT_EQ(b.ID(), first + 1);
  EXPECT_EQ(b.Kind(), skMacroSheet);
  EXPECT_EQ(b.Index(), 1);

  a.SetName(u"Data");
  b.SetName(u"Other");
  a.SetName(u"DATA");  // a change of case alone is ignored
  EXPECT_EQ(a.Name(), u"Data");
  EXPECT_EQ(MessageOf([&] { b.SetName(u"data"); }), "Sheet name \"data\" allready exists");
  EXPECT_EQ(b.Name(), u"Other");
  EXPECT_EQ(sheets.Names(), (std::vector<std::u16string>{u"Data", u"Other"}));
  // A name given up is free again.
  a.SetName(u"Third");
  b.SetName(u"data");
  EXPECT_EQ(MessageOf([&] { b.SetName(u"third"); }), "Sheet name \"third\" allready exists");
  b.SetName(u"Other");
  a.SetName(u"Data");
  EXPECT_EQ(sheets.FindByName(u"oTHER"), &b);
  EXPECT_EQ(sheets.FindByName(u"None"), nullptr);

  EXPECT_EQ(MessageOf([&] { sheets[2]; }), "List index out of bounds (2)");
  EXPECT_EQ(MessageOf([&] { sheets[-1]; }), "List index out of bounds (-1)");

  // IDs keep counting over clears, in 64 bits.
  sheets.ClearAndAddDefault();
  EXPECT_EQ(sheets.Count(), 1);
  EXPECT_EQ(sheets[0].ID(), first + 2);
  EXPECT_EQ(sheets.Names().size(), 1u);
  sheets.SetNextID(0xFFFFFFFFull);
  EXPECT_EQ(sheets.Add(skWorksheet).Name(), u"Sheet4294967296");
  EXPECT_EQ(sheets.Add(skWorksheet).ID(), 0x100000000ull);
}

// A workbook holds at most kMaxSheets sheets. Sheets without cells cost
// little, names are checked by lookup, and the containers go last first, so
// filling and clearing the most sheets stays linear.
TEST_F(SheetTest, SheetCountIsBounded) {
  TSheets& sheets = workbook_->Sheets();
  sheets.Clear();
  for (int32_t i = 0; i < kMaxSheets; ++i) {
    const std::string number = std::to_string(i);
    sheets.Add(skWorksheet).SetName(u"S" + std::u16string(number.begin(), number.end()));
  }
  EXPECT_EQ(MessageOf([&] { sheets.Add(skWorksheet); }), "Too many sheets (more than 65535)");
  EXPECT_EQ(sheets.Count(), kMaxSheets);
  EXPECT_EQ(MessageOf([&] { sheets[7].SetName(u"s65534"); }), "Sheet name \"s65534\" allready exists");
  sheets[kMaxSheets - 1].WriteString(3, 70000, 15, u"last");
  EXPECT_EQ(sheets[kMaxSheets - 1].GetCellText(3, 70000), u"last");
  sheets.ClearAndAddDefault();
  EXPECT_EQ(workbook_->FormulaHandler().CellValues().Count(), 1u);
  sheets[0].SetName(u"S7");  // free again after the clear
}

TEST_F(SheetTest, ClearFreesCellsStringsAndContainers) {
  TSheets& sheets = workbook_->Sheets();
  sheets.Add(skWorksheet).WriteString(0, 0, 15, u"x");
  Sheet().WriteString(1, 0, 15, u"y");
  EXPECT_EQ(workbook_->FormulaHandler().CellValues().Count(), 2u);
  sheets.ClearAndAddDefault();
  EXPECT_EQ(workbook_->FormulaHandler().CellValues().Count(), 1u);
  EXPECT_EQ(workbook_->SST().StringCount(), 0);
  EXPECT_EQ(Sheet().GetCell(1, 0), nullptr);
}

}  // namespace
}  // namespace tabulon
