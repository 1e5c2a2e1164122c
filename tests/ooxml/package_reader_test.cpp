#include "ooxml/package_reader.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/platform.h"
#include "support/temp_dir.h"
#include "workbook/cells.h"
#include "workbook/formats.h"
#include "workbook/sheet.h"
#include "workbook/workbook.h"
#include "ooxml/zip.h"
#include "zip_writer.h"

namespace tabulon {
namespace {

using test::BuildZip;
using test::ZipMember;

std::string Narrow(const std::u16string& text) { return platform::WideToHost(text); }

class PackageReaders final : public IWorkbookReaders {
 public:
  std::unique_ptr<TStream> ReadLegacy(TXLSWorkbook&) override { Throw("legacy reader not expected"); }
  void ReadOpenXml(TXLSWorkbook& workbook, TStream& package, TStream* scratch) override {
    TXLSRead2007XML reader(workbook);
    reader.Read(package, scratch);
    partsRead = reader.PartsRead();
  }
  std::vector<std::u16string> partsRead;
};

constexpr const char* kMain = R"(xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main")";
constexpr const char* kRelNs = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";

std::string WorkbookXml(const std::vector<std::string>& sheets, const std::string& extra = "") {
  std::string xml = std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?><workbook ") + kMain +
                    " xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\"><sheets>";
  int id = 1;
  for (const std::string& name : sheets) {
    xml += "<sheet name=\"" + name + "\" sheetId=\"" + std::to_string(id) + "\" r:id=\"rId" + std::to_string(id) + "\"/>";
    ++id;
  }
  return xml + "</sheets>" + extra + "</workbook>";
}

std::string SheetXml(const std::string& sheetData, const std::string& before = "", const std::string& after = "") {
  return std::string("<worksheet ") + kMain + ">" + before + "<sheetData>" + sheetData + "</sheetData>" + after +
         "</worksheet>";
}

std::string SstXml(const std::string& items) { return std::string("<sst ") + kMain + ">" + items + "</sst>"; }

class PackageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::filesystem::path dir = test::MakeTempDirectory("tabulon-package");
    directory_ = dir.string() + static_cast<char>(std::filesystem::path::preferred_separator);
    test::UseAsTempDirectory(dir);
    book_ = std::make_unique<TXLSWorkbook>(&readers_);
    book_->TempFileMode = tfmInMemory;
  }
  void TearDown() override {
    book_.reset();
    std::error_code error;
    std::filesystem::remove_all(directory_, error);
    ASSERT_FALSE(error) << error.message();
  }

  // Writes the bytes as book.xlsx and reads it; the failure message or "".
  std::string ReadBytes(const std::string& bytes) {
    const std::string path = directory_ + "book.xlsx";
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    book_->Filename = platform::HostToWide(path);
    try {
      book_->Read();
    } catch (const Exception& e) {
      return e.Message();
    }
    return "";
  }
  std::string Read(const std::vector<ZipMember>& members) { return ReadBytes(BuildZip(members)); }
  // A package of one workbook part, sheets named S1.. and the given parts.
  std::string ReadSheets(const std::vector<std::string>& sheets, std::vector<ZipMember> more = {},
                         const std::string& workbookExtra = "") {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < sheets.size(); ++i) names.push_back("S" + std::to_string(i + 1));
    if (names.empty()) names.push_back("S1");
    more.emplace_back("xl/workbook.xml", WorkbookXml(names, workbookExtra));
    for (std::size_t i = 0; i < sheets.size(); ++i)
      more.emplace_back("xl/worksheets/sheet" + std::to_string(i + 1) + ".xml", sheets[i]);
    return Read(more);
  }

  TSheet& Sheet(int index = 0) { return book_->Sheets()[index]; }
  std::string Text(const char* ref, int sheet = 0) { return Narrow(Sheet(sheet).GetCellTextRef(platform::HostToWide(ref))); }
  uint8_t Type(uint32_t col, uint32_t row, int sheet = 0) { return Sheet(sheet).GetCellType(col, row); }

  std::string directory_;
  PackageReaders readers_;
  std::unique_ptr<TXLSWorkbook> book_;
};

// ---- Package level ------------------------------------------------------------------------

TEST_F(PackageTest, ReadsSheetsStringsAndCells) {
  const std::string sheet1 = SheetXml(
      R"(<row r="1"><c r="A1" t="s"><v>0</v></c><c r="B1"><v>1.5</v></c><c r="C1" t="b"><v>1</v></c></row>)"
      R"(<row r="2"><c r="A2" t="s"><v>1</v></c><c r="B2"><f>B1*2</f><v>3</v></c><c r="C2" t="e"><v>#DIV/0!</v></c></row>)");
  const std::string sheet2 = SheetXml(R"(<row r="3"><c r="XFD3" t="str"><f>"x"&amp;"y"</f><v>xy</v></c></row>)");
  const std::string sst = SstXml("<si><t>Apple</t></si><si><t>Z&#252;rich &amp; Co</t></si>");
  ASSERT_EQ(ReadSheets({sheet1, sheet2}, {{"xl/sharedStrings.xml", sst}}), "");

  ASSERT_EQ(book_->Sheets().Count(), 2);
  EXPECT_EQ(Sheet(0).Name(), u"S1");
  EXPECT_EQ(Sheet(1).Name(), u"S2");
  EXPECT_EQ(Text("A1"), "Apple");
  EXPECT_EQ(Sheet(0).GetCellText(0, 1), u"Z\u00FCrich & Co");
  EXPECT_EQ(Text("B1"), "1.5");
  EXPECT_EQ(Text("C1"), "TRUE");
  EXPECT_EQ(Text("B2"), "3");
  EXPECT_EQ(Type(1, 1), ctNumberFormula);
  EXPECT_EQ(Text("C2"), "#DIV/0!");
  EXPECT_EQ(Sheet(1).GetCellText(16383, 2), u"xy");
  const auto* formula = static_cast<const TFormulaCell*>(Sheet(1).GetCell(16383, 2));
  EXPECT_EQ(formula->FormulaText(), u"\"x\"&\"y\"");
  EXPECT_EQ(book_->Version(), xvExcel2007);
}

TEST_F(PackageTest, NotAWorkbookPackage) {
  const char* const kMessage = "The file is not an Excel workbook";
  EXPECT_EQ(ReadBytes("just text, no archive"), kMessage);
  EXPECT_EQ(ReadBytes(""), kMessage);
  EXPECT_EQ(Read({{"xl/Workbook2.xml", WorkbookXml({"A"})}, {"xl/worksheets/sheet1.xml", SheetXml("")}}), kMessage);
  EXPECT_EQ(book_->Sheets().Count(), 1);
}

TEST_F(PackageTest, OptionalPartsAndNamesInAnyCase) {
  // No styles, no shared strings; member names in other letter case.
  ASSERT_EQ(Read({{"XL/WORKBOOK.XML", WorkbookXml({"Only"})},
                  {"xl/Worksheets/Sheet1.xml", SheetXml(R"(<row r="1"><c r="A1"><v>7</v></c></row>)")}}),
            "");
  EXPECT_EQ(Sheet().Name(), u"Only");
  EXPECT_EQ(Text("A1"), "7");
  // A shared string without a shared-string part.
  EXPECT_EQ(ReadSheets({SheetXml(R"(<row r="1"><c r="A1" t="s"><v>0</v></c></row>)")}),
            "List index out of bounds (0)");
}

TEST_F(PackageTest, SheetPartsMatchSheetsByNumber) {
  const std::string cell = R"(<row r="1"><c r="A1"><v>%</v></c></row>)";
  auto sheet = [&](const char* value) {
    std::string data = cell;
    data.replace(data.find('%'), 1, value);
    return SheetXml(data);
  };
  // Without workbook relationships: parts 1, 2 and 4 for three sheets, the
  // fourth part is never read.
  ASSERT_EQ(Read({{"xl/workbook.xml", WorkbookXml({"A", "B", "C"})},
                  {"xl/worksheets/sheet2.xml", sheet("2")},
                  {"xl/worksheets/sheet1.xml", sheet("1")},
                  {"xl/worksheets/sheet4.xml", sheet("4")}}),
            "");
  EXPECT_EQ(Text("A1", 0), "1");
  EXPECT_EQ(Text("A1", 1), "2");
  EXPECT_EQ(Text("A1", 2), "");
  // More worksheet parts than sheets.
  EXPECT_EQ(Read({{"xl/workbook.xml", WorkbookXml({"A"})},
                  {"xl/worksheets/sheet1.xml", sheet("1")},
                  {"xl/worksheets/sheet2.xml", sheet("2")}}),
            "List index out of bounds (1)");
  EXPECT_EQ(Text("A1", 0), "1");  // cells read before the failure stay
}

// ---- Parts found through relationships ----------------------------------------------------

constexpr const char* kPackageRelNs = "http://schemas.openxmlformats.org/package/2006/relationships";

// A relationships part: (id, type's last segment in the transitional
// namespace, or a whole type with "/", target).
std::string RelsXml(const std::vector<std::array<std::string, 3>>& items) {
  std::string xml = std::string("<Relationships xmlns=\"") + kPackageRelNs + "\">";
  for (const auto& [id, type, target] : items) {
    const std::string fullType = type.find('/') == std::string::npos ? kRelNs + type : type;
    xml += "<Relationship Id=\"" + id + "\" Type=\"" + fullType + "\" Target=\"" + target + "\"/>";
  }
  return xml + "</Relationships>";
}

// A workbook part with sheets (name, r:id).
std::string SheetsXml(const std::vector<std::pair<std::string, std::string>>& sheets) {
  std::string xml = std::string("<workbook ") + kMain +
                    " xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\"><sheets>";
  for (const auto& [name, id] : sheets) xml += "<sheet name=\"" + name + "\" sheetId=\"9\" r:id=\"" + id + "\"/>";
  return xml + "</sheets></workbook>";
}

std::string OneCell(const std::string& value) {
  return SheetXml("<row r=\"1\"><c r=\"A1\" t=\"s\"><v>" + value + "</v></c></row>");
}

TEST_F(PackageTest, WorkbookPartFromThePackageRelationships) {
  const std::string strict = "http://purl.oclc.org/ooxml/officeDocument/relationships/officeDocument";
  struct Case {
    const char* what;
    std::vector<ZipMember> parts;
  } const cases[] = {
      {"workbook part at the root, worksheet part named sheet.xml",
       {{"_rels/.rels", RelsXml({{"rId1", "officeDocument", "workbook.xml"}})},
        {"workbook.xml", SheetsXml({{"Only", "R1"}})},
        {"_rels/workbook.xml.rels", RelsXml({{"R1", "worksheet", "worksheets/sheet.xml"},
                                             {"R2", "sharedStrings", "strings.xml"}})},
        {"strings.xml", SstXml("<si><t>root</t></si>")},
        {"worksheets/sheet.xml", OneCell("0")}}},
      {"workbook part in another folder, absolute and parent-relative targets, Strict type",
       {{"_rels/.rels", RelsXml({{"rId3", strict, "/wtf/workbook.xml"}})},
        {"wtf/workbook.xml", SheetsXml({{"Only", "rId7"}})},
        {"wtf/_rels/workbook.xml.rels", RelsXml({{"rId7", "worksheet", "/wtf/sheets/a%20b.xml"},
                                                 {"rId8", "sharedStrings", "../shared/./strings.xml"},
                                                 {"rId9", "styles", "/styles.xml"}})},
        {"shared/strings.xml", SstXml("<si><t>root</t></si>")},
        {"styles.xml", std::string("<styleSheet ") + kMain + "/>"},
        {"wtf/sheets/a b.xml", OneCell("0")}}},
      {"package relationships naming a missing part: the fixed name",
       {{"_rels/.rels", RelsXml({{"rId1", "officeDocument", "nowhere.xml"}})},
        {"xl/workbook.xml", SheetsXml({{"Only", "rId1"}})},
        {"xl/_rels/workbook.xml.rels", RelsXml({{"rId1", "worksheet", "worksheets/sheet1.xml"}})},
        {"xl/sharedStrings.xml", SstXml("<si><t>root</t></si>")},  // no relationship: the fixed name
        {"xl/worksheets/sheet1.xml", OneCell("0")}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(Read(c.parts), "");
    ASSERT_EQ(book_->Sheets().Count(), 1);
    EXPECT_EQ(Sheet().Name(), u"Only");
    EXPECT_EQ(Text("A1"), "root");
  }
}

TEST_F(PackageTest, SheetsFollowTheirRelationshipsAndChartSheetsMakeNone) {
  const std::string rels = RelsXml({{"rId1", "worksheet", "worksheets/sheet3.xml"},
                                    {"rId2", "chartsheet", "chartsheets/sheet1.xml"},
                                    {"rId3", "worksheet", "worksheets/sheet1.xml"},
                                    {"rId4", "worksheet", "worksheets/missing.xml"},
                                    {"rId5", "dialogsheet", "dialogsheets/sheet1.xml"},
                                    {"rId6", "http://schemas.microsoft.com/office/2006/relationships/xlMacrosheet",
                                     "macrosheets/sheet1.xml"},
                                    {"rId9", "sharedStrings", "sharedStrings.xml"}});
  ASSERT_EQ(Read({{"xl/workbook.xml", SheetsXml({{"First", "rId1"}, {"Chart", "rId2"}, {"Second", "rId3"},
                                                 {"NoPart", "rId4"}, {"NoRelationship", "rId77"},
                                                 {"Dialog", "rId5"}, {"Macro", "rId6"}})},
                  {"xl/_rels/workbook.xml.rels", rels},
                  {"xl/sharedStrings.xml", SstXml("<si><t>three</t></si><si><t>one</t></si><si><t>macro</t></si>")},
                  {"xl/worksheets/sheet1.xml", OneCell("1")},
                  {"xl/worksheets/sheet3.xml", OneCell("0")},
                  {"xl/worksheets/_rels/sheet3.xml.rels", RelsXml({{"rId1", "drawing", "../drawings/d.xml"}})},
                  {"xl/chartsheets/sheet1.xml", OneCell("1")},
                  {"xl/dialogsheets/sheet1.xml", std::string("<dialogsheet ") + kMain + "/>"},
                  {"xl/macrosheets/sheet1.xml", OneCell("2")}}),
            "");
  std::vector<std::u16string> names;
  for (int i = 0; i < book_->Sheets().Count(); ++i) names.push_back(Sheet(i).Name());
  EXPECT_EQ(names, (std::vector<std::u16string>{u"First", u"Second", u"NoPart", u"NoRelationship", u"Dialog", u"Macro"}));
  EXPECT_EQ(Text("A1", 0), "three");
  EXPECT_EQ(Text("A1", 1), "one");
  EXPECT_EQ(Text("A1", 2), "");
  EXPECT_EQ(Text("A1", 3), "");
  EXPECT_EQ(Text("A1", 4), "");
  EXPECT_EQ(Text("A1", 5), "macro");
  // The worksheet's own relationships sit beside its part.
  ASSERT_EQ(Sheet(0).Relations().Count(), 1u);
  EXPECT_EQ(Sheet(0).Relations()[0].Target, "../drawings/d.xml");
}

// Every part as UTF-16 with a byte-order mark, as Excel Mobile writes them.
std::string AsUtf16(const std::string& ascii) {
  std::string out = "\xFF\xFE";
  for (const char c : ascii) out += std::string{c, '\0'};
  return out;
}

TEST_F(PackageTest, Utf16PartsAndCDataSections) {
  ASSERT_EQ(Read({{"_rels/.rels", AsUtf16(RelsXml({{"rId1", "officeDocument", "xl/workbook.xml"}}))},
                  {"xl/workbook.xml", AsUtf16(SheetsXml({{"Mobile", "rId1"}}))},
                  {"xl/_rels/workbook.xml.rels", AsUtf16(RelsXml({{"rId1", "worksheet", "worksheets/sheet1.xml"},
                                                                   {"rId2", "sharedStrings", "sharedStrings.xml"},
                                                                   {"rId3", "styles", "styles.xml"}}))},
                  {"xl/styles.xml", AsUtf16(std::string("<styleSheet ") + kMain + "/>")},
                  {"xl/sharedStrings.xml",
                   AsUtf16(SstXml("<si><t>Z&#252;rich</t></si><si><t><![CDATA[Hello & <you>]]></t></si>"))},
                  {"xl/worksheets/sheet1.xml",
                   AsUtf16(SheetXml(R"(<row r="1"><c r="A1" t="s"><v>0</v></c><c r="B1" t="s"><v>1</v></c>)"
                                    R"(<c r="C1" t="str"><f><![CDATA[A1&"x"]]></f><v><![CDATA[1<2]]></v></c>)"
                                    R"(<c r="D1"><v><![CDATA[2.5]]></v></c></row>)"))}}),
            "");
  EXPECT_EQ(Sheet().Name(), u"Mobile");
  EXPECT_EQ(Sheet().GetCellText(0, 0), u"Z\u00FCrich");
  EXPECT_EQ(Text("B1"), "Hello & <you>");
  EXPECT_EQ(Text("C1"), "1<2");
  EXPECT_EQ(Text("D1"), "2.5");
}

TEST_F(PackageTest, MarkupCompatibilityInStylesAndWorksheets) {
  const std::string mc = R"( xmlns:mc="http://schemas.openxmlformats.org/markup-compatibility/2006")"
                         R"( xmlns:x14ac="http://schemas.microsoft.com/office/spreadsheetml/2009/9/ac")";
  const std::string styles =
      std::string("<styleSheet ") + kMain + mc + "><fonts count=\"2\"><font><sz val=\"11\"/></font>"
      "<mc:AlternateContent><mc:Choice Requires=\"x14ac\"><font><b/><sz val=\"9\"/></font></mc:Choice>"
      "<mc:Fallback><font><i/><sz val=\"10\"/></font></mc:Fallback></mc:AlternateContent></fonts>"
      "<cellXfs count=\"2\"><xf fontId=\"0\"/><mc:AlternateContent><mc:Choice Requires=\"x14ac\"><xf fontId=\"1\"/>"
      "<xf fontId=\"1\"/></mc:Choice><mc:Fallback><xf fontId=\"1\"/></mc:Fallback></mc:AlternateContent></cellXfs>"
      "</styleSheet>";
  const std::string sheet = std::string("<worksheet ") + kMain + mc + "><sheetData><row r=\"1\"><c r=\"A1\"><v>1</v></c>"
                            "<mc:AlternateContent><mc:Choice Requires=\"x14ac\"><c r=\"B1\"><v>2</v></c></mc:Choice>"
                            "<mc:Fallback><c r=\"C1\" s=\"1\"><v>3</v></c></mc:Fallback></mc:AlternateContent>"
                            "</row></sheetData><mc:AlternateContent><mc:Choice Requires=\"x14ac\"><controls/>"
                            "</mc:Choice></mc:AlternateContent></worksheet>";
  ASSERT_EQ(ReadSheets({sheet}, {{"xl/styles.xml", styles}}), "");
  EXPECT_EQ(book_->CellFormats().Count(), 21 + 2);
  EXPECT_EQ(Text("A1"), "1");
  EXPECT_EQ(Text("B1"), "");
  EXPECT_EQ(Text("C1"), "3");
  ASSERT_EQ(book_->Fonts().Count(), 2);
  EXPECT_EQ(book_->Fonts().Items(1)->Height(), 200);  // the fallback's 10 points
}

TEST_F(PackageTest, ScratchStreamGetsThePackage) {
  const std::string bytes = BuildZip({{"xl/workbook.xml", WorkbookXml({"A"})},
                                      {"xl/styles.xml", std::string("<styleSheet ") + kMain + "/>"},
                                      {"xl/worksheets/sheet1.xml", SheetXml("")}});
  ASSERT_EQ(ReadBytes(bytes), "");
  TStream* scratch = book_->ScratchStream();
  ASSERT_NE(scratch, nullptr);
  ASSERT_EQ(scratch->Size(), static_cast<int64_t>(bytes.size()));
  std::string copy(bytes.size(), '\0');
  scratch->SetPosition(0);
  scratch->ReadBuffer(copy.data(), copy.size());
  EXPECT_EQ(copy, bytes);
  EXPECT_EQ(readers_.partsRead,
            (std::vector<std::u16string>{u"xl/styles.xml", u"xl/workbook.xml", u"xl/worksheets/sheet1.xml"}));
}

TEST_F(PackageTest, PrefixBoundToTheMainNamespace) {
  const std::string sheet =
      R"(<x:worksheet xmlns:x="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><x:sheetData>)"
      R"(<x:row r="2"><x:c r="B2" t="s"><x:v>0</x:v></x:c><x:c r="C2"><x:v>5</x:v></x:c></x:row>)"
      R"(</x:sheetData></x:worksheet>)";
  const std::string sst =
      R"(<x:sst xmlns:x="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><x:si><x:t>sdk</x:t></x:si></x:sst>)";
  ASSERT_EQ(ReadSheets({sheet}, {{"xl/sharedStrings.xml", sst}}), "");
  EXPECT_EQ(Text("B2"), "sdk");
  EXPECT_EQ(Text("C2"), "5");
}

// ---- Cells ---------------------------------------------------------------------------------

TEST_F(PackageTest, CellKindsAndTexts) {
  struct Case {
    const char* cell;  // the c element at A1
    uint8_t type;
    const char* text;
  } const cases[] = {
      {R"(<c r="A1"><v>1.5</v></c>)", ctFloat, "1.5"},
      {R"(<c r="A1"><v>1E-3</v></c>)", ctFloat, "0.001"},
      {R"(<c r="A1"><v>abc</v></c>)", ctFloat, "0"},
      {R"(<c r="A1" t="n"><v> 42 </v></c>)", ctFloat, "42"},
      {R"(<c r="A1" t="b"><v>1</v></c>)", ctBoolean, "TRUE"},
      {R"(<c r="A1" t="b"><v>true</v></c>)", ctBoolean, "FALSE"},
      {R"(<c r="A1" t="e"><v>#DIV/0!</v></c>)", ctError, "#DIV/0!"},
      {R"(<c r="A1" t="e"><v>#N/A</v></c>)", ctError, "#N/A"},
      {R"(<c r="A1" t="s"><v>1</v></c>)", ctString, "second"},
      {R"(<c r="A1" s="3"/>)", ctBlank, ""},
      {R"(<c r="A1" t="n"><v></v></c>)", ctBlank, ""},
      // Error texts of newer versions stay as written.
      {R"(<c r="A1" t="e"><v>#SPILL!</v></c>)", ctString, "#SPILL!"},
      {R"(<c r="A1" t="e"><v>#GETTING_DATA</v></c>)", ctString, "#GETTING_DATA"},
      // Inline strings.
      {R"(<c r="A1" t="inlineStr"><is><t>inline &lt;1&gt;</t></is></c>)", ctString, "inline <1>"},
      {R"(<c r="A1" t="inlineStr"><is><r><t xml:space="preserve">a </t></r><r><rPr><b/></rPr><t>b</t></r><rPh><t>x</t></rPh></is></c>)",
       ctString, "a b"},
      {R"(<c r="A1" t="inlineStr"><v>from v</v></c>)", ctString, "from v"},
      {R"(<c r="A1" t="inlineStr"/>)", ctBlank, ""},
      // Plain text in a str cell, date texts.
      {R"(<c r="A1" t="str"><v>0</v></c>)", ctString, "0"},
      {R"(<c r="A1" t="d"><v>2024-03-01T12:00:00</v></c>)", ctString, "2024-03-01T12:00:00"},
      // Formulas.
      {R"(<c r="A1"><f>1/3</f><v>0.33333333333333331</v></c>)", ctNumberFormula, "0.333333333333333"},
      {R"(<c r="A1" t="b"><f>TRUE()</f><v>1</v></c>)", ctBooleanFormula, "TRUE"},
      {R"(<c r="A1" t="e"><f>NA()</f><v>#N/A</v></c>)", ctErrorFormula, "#N/A"},
      {R"(<c r="A1" t="e"><f>SEQUENCE(0)</f><v>#CALC!</v></c>)", ctStringFormula, "#CALC!"},
      {R"(<c r="A1" t="str"><f>"a"</f><v>a&amp;b</v></c>)", ctStringFormula, "a&b"},
      {R"(<c r="A1"><f>B1</f></c>)", ctStringFormula, ""},
      {R"(<c r="A1"><f>B1</f><v></v></c>)", ctStringFormula, ""},
      {R"(<c r="A1" t="s"><f>B1</f><v>1</v></c>)", ctStringFormula, "second"},
      {R"(<c r="A1" t="d"><f>B1</f><v>2024-03-01</v></c>)", ctStringFormula, "2024-03-01"},
      {R"(<c r="A1" t="inlineStr"><f>B1</f><is><t>i</t></is></c>)", ctStringFormula, "i"},
  };
  const std::string sst = SstXml("<si><t>first</t></si><si><t>second</t></si>");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cell);
    ASSERT_EQ(ReadSheets({SheetXml(std::string("<row r=\"1\">") + c.cell + "</row>")}, {{"xl/sharedStrings.xml", sst}}),
              "");
    EXPECT_EQ(Type(0, 0), c.type);
    EXPECT_EQ(Text("A1"), c.text);
  }
}

TEST_F(PackageTest, CellFailures) {
  struct Case {
    const char* cell;
    const char* message;
  } const cases[] = {
      {R"(<c r="A1" t="x"><v>1</v></c>)", "Unknown Excel XML cell type"},
      {R"(<c r="A1" t=""><v>1</v></c>)", "Unknown Excel XML cell type"},
      {R"(<c r="A1" t="x"><f>1</f><v>1</v></c>)", "Unknown Excel XML formula type"},
      {R"(<c r="A1" t="s"><v>2</v></c>)", "List index out of bounds (2)"},
      {R"(<c r="A1" t="s"><f>B1</f><v>7</v></c>)", "List index out of bounds (7)"},
      {R"(<c r="AB"><v>1</v></c>)", "'' is not a valid integer value"},
      {R"(<c r="XFE1"><v>1</v></c>)", "Cell position out of range (16384, 0)"},
  };
  const std::string sst = SstXml("<si><t>first</t></si><si><t>second</t></si>");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cell);
    EXPECT_EQ(ReadSheets({SheetXml(std::string("<row r=\"1\"><c r=\"C3\"><v>9</v></c>") + c.cell + "</row>")},
                         {{"xl/sharedStrings.xml", sst}}),
              c.message);
    EXPECT_EQ(Text("C3"), "9");  // stored before the failure
  }
}

// Cells of the usual shape are read from the part's bytes without nodes;
// every other shape goes through the tag reader. "<c\t" always takes the tag
// reader's way, so each row read both ways must give the same sheet.
TEST_F(PackageTest, CellsReadWholeAsTheTagReaderReadsThem) {
  const char* const rows[] = {
      R"(<c r="A1"><v>1.5</v></c><c r="B1" t="s"><v>1</v></c><c r="C1" s="2" t="b"><v>1</v></c>)",
      R"(<c r="A1"><f>B1*2</f><v>3</v></c><c r="B1" t="str"><f>"a"</f><v> a&amp;b </v></c><c r="C1"><f>1</f></c>)",
      R"(<c r="A1" t="e"><v>#N/A</v></c><c r="B1" t="e"><v>#SPILL!</v></c><c r="C1" t="inlineStr"><v>x</v></c>)",
      // Without r: the column after the previous cell; empty and blank cells.
      R"(<c><v>1</v></c><c s="1"/><c t="n"><v></v></c>)",
      // Blanks of every kind, single quotes, text between the elements.
      "<c  r='B1'\n s=\"3\"\t>\r\n <v>\t2 </v>\n<f>A1</f> x </c><c r=\"C1\" />",
      // Shapes declined: attributes of other names, a second v, markup
      // inside, elements with attributes, an end tag with a blank.
      R"(<c r="A1" cm="1"><v>7</v></c><c r="B1"><v>1</v><v>2</v></c><c r="C1"><v>1<!-- c --></v></c>)",
      R"(<c r="A1"><v><![CDATA[8]]></v></c><c r="B1"><f t="shared" ref="B1:B2" si="0">A1</f><v>1</v></c>)",
      R"(<c r="A1"><v xml:space="preserve"> 9 </v></c><c r="B1"><v>2</v></c ><c r="C1"><is><t>i</t></is></c>)",
      R"(<c r="A1"s="1"><v>7</v></c><c r="B1"><v>3</v></x><c r="C1"><x/><v>4</v></c>)",
      R"(<c r="C1"><v>1</v></c><c><v>2</v></c><c r="A1" r="B1"><v>5</v></c>)",
      // Failures: the same message both ways.
      R"(<c r="A1" t="x"><v>1</v></c>)",
      R"(<c r="A1" t="s"><v>5</v></c>)",
      R"(<c r="XFE1"><v>1</v></c>)",
      R"(<c r="A1"><v>1</v>)",
  };
  const std::string sst = SstXml("<si><t>first</t></si><si><t>second</t></si>");
  const std::string styles =
      std::string("<styleSheet ") + kMain + "><cellXfs><xf/><xf/><xf/><xf/></cellXfs></styleSheet>";
  auto readRow = [&](const std::string& row) {
    std::string result = ReadSheets({SheetXml("<row r=\"1\">" + row + "</row><row><c><v>0</v></c></row>")},
                                    {{"xl/sharedStrings.xml", sst}, {"xl/styles.xml", styles}});
    if (!result.empty() || book_->Sheets().Count() == 0) return result;
    for (uint32_t r = 0; r < 2; ++r)
      for (uint32_t c = 0; c < 3; ++c)
        if (TCell* cell = Sheet().Cells().GetCell(c, r))
          result += std::to_string(Type(c, r)) + ":" + Narrow(Sheet().GetCellText(c, r)) + ":" +
                    std::to_string(cell->FormatIndex()) + "|";
        else
          result += "-|";
    return result;
  };
  for (const char* row : rows) {
    SCOPED_TRACE(row);
    std::string tagByTag = row;
    for (std::size_t at = tagByTag.find("<c "); at != std::string::npos; at = tagByTag.find("<c ", at))
      tagByTag[at + 2] = '\t';
    EXPECT_EQ(readRow(row), readRow(tagByTag));
  }
  EXPECT_EQ(readRow(rows[0]), "4:1.5:21|5:second:21|6:TRUE:23|4:0:21|-|-|")
      << "the row above the comparison must hold values";
}

TEST_F(PackageTest, CellFormatIsStylePlus21) {
  const std::string styles = std::string("<styleSheet ") + kMain + "><cellXfs><xf/><xf/><xf/></cellXfs></styleSheet>";
  // D1 written twice: the format its first value used is not deleted, so
  // later style numbers keep their formats.
  ASSERT_EQ(ReadSheets({SheetXml(R"(<row r="1"><c r="D1" s="1"><v>0</v></c><c r="D1"><v>0</v></c>)"
                                 R"(<c r="A1"><v>1</v></c><c r="B1" s="2"><v>1</v></c>)"
                                 R"(<c r="C1" s="3"><v>1</v></c></row>)")},
                       {{"xl/styles.xml", styles}}),
            "");
  ASSERT_EQ(book_->CellFormats().Count(), 24);
  EXPECT_EQ(Sheet().GetCell(0, 0)->FormatIndex(), 21u);
  EXPECT_EQ(Sheet().GetCell(1, 0)->CellFormat(), book_->CellFormats()[23]);
  // A style number past the cell formats gives the default format.
  EXPECT_EQ(Sheet().GetCell(2, 0)->FormatIndex(), 15u);
}

TEST_F(PackageTest, CellAddressesInLowerCase) {
  const std::string data = R"(<row r="1"><c r="a1"><v>1</v></c><c r="e1"><v>5</v></c><c r="Ab1"><v>28</v></c></row>)"
                           R"(<row r="2"><c r="xfd2"><v>2</v></c></row>)";
  ASSERT_EQ(ReadSheets({SheetXml(data, "", R"(<mergeCells><mergeCell ref="b3:c4"/></mergeCells>)")}), "");
  EXPECT_EQ(Text("A1"), "1");
  EXPECT_EQ(Text("E1"), "5");
  EXPECT_EQ(Text("AB1"), "28");
  EXPECT_EQ(Sheet().GetCellText(16383, 1), u"2");
  ASSERT_EQ(Sheet().MergedCells().size(), 1u);
  EXPECT_EQ(Sheet().MergedCells()[0].Col1, 1);
  EXPECT_EQ(Sheet().MergedCells()[0].Row2, 3);
}

TEST_F(PackageTest, RowsAndCellsWithoutAddress) {
  const std::string data =
      R"(<row><c><v>1</v></c><c><v>2</v></c><c r="E1"><v>5</v></c><c><v>6</v></c></row>)"
      R"(<row><c><v>7</v></c></row>)"
      R"(<row r="10"><c><v>10</v></c></row>)"
      R"(<row><c r="C11"><v>11</v></c></row>)";
  ASSERT_EQ(ReadSheets({SheetXml(data)}), "");
  EXPECT_EQ(Text("A1"), "1");
  EXPECT_EQ(Text("B1"), "2");
  EXPECT_EQ(Text("E1"), "5");
  EXPECT_EQ(Text("F1"), "6");
  EXPECT_EQ(Text("A2"), "7");
  EXPECT_EQ(Text("A10"), "10");
  EXPECT_EQ(Text("C11"), "11");
  EXPECT_EQ(Sheet().Rows().Count(), 4u);
  EXPECT_NE(Sheet().Rows().Find(10), nullptr);
}

TEST_F(PackageTest, SharedFormulaGroups) {
  const std::string data =
      R"(<row r="2"><c r="A2"><f t="shared" ref="A2:A4" si="0">B2*2</f><v>2</v></c></row>)"
      R"(<row r="3"><c r="A3"><f t="shared" si="0"/><v>4</v></c>)"
      // Groups out of order: 3 before 1.
      R"(<c r="B3"><f t="shared" ref="B3:B4" si="3" ca="1" dt2D="1">C3</f><v>1</v></c>)"
      R"(<c r="C3"><f t="shared" ref="C3:C4" si="1">D3</f><v>1</v></c>)"
      // Beyond the 16-bit group numbers: no group.
      R"(<c r="D3"><f t="shared" ref="D3:D4" si="70000">E3</f><v>1</v></c>)"
      R"(<c r="E3"><f t="shared" ref="E3:E4" si="65535">F3</f><v>1</v></c></row>)";
  ASSERT_EQ(ReadSheets({SheetXml(data)}), "");
  EXPECT_EQ(Sheet().Cells().SharedFormulaRanges(), (std::vector<std::string>{"A2:A4", "C3:C4", "", "B3:B4"}));
  auto formula = [&](uint32_t col, uint32_t row) { return static_cast<const TFormulaCell*>(Sheet().GetCell(col, row)); };
  EXPECT_EQ(formula(0, 1)->SharedIndex(), 0);
  EXPECT_EQ(formula(0, 2)->SharedIndex(), 0);
  EXPECT_EQ(formula(0, 2)->FormulaText(), u"");
  EXPECT_EQ(Text("A3"), "4");
  EXPECT_EQ(formula(1, 2)->SharedIndex(), 3);
  EXPECT_EQ(formula(1, 2)->FormulaOptions(), 0x04 | 0x20);
  EXPECT_EQ(formula(3, 2)->SharedIndex(), kNoSharedIndex);
  EXPECT_EQ(formula(4, 2)->SharedIndex(), kNoSharedIndex);
}

TEST_F(PackageTest, RowsColumnsMergesAndDimension) {
  const std::string before =
      R"(<dimension ref="A1:C3"/><cols><col min="1" max="2" width="10" customWidth="1"/>)"
      R"(<col min="2" max="3" width="20" hidden="1"/><col min="16000" max="2000000000" width="5"/>)"
      R"(<col min="5" max="4" width="1"/></cols>)";
  const std::string data =
      R"(<row r="5" ht="15" customHeight="1"/><row r="2" hidden="1" s="3" customFormat="1"/><row r="1" ht="12.5"/>)";
  const std::string after = R"(<mergeCells count="2"><mergeCell ref="A1:B2"/><mergeCell ref="D4"/></mergeCells>)";
  ASSERT_EQ(ReadSheets({SheetXml(data, before, after)}), "");

  TXLSRows& rows = Sheet().Rows();
  ASSERT_EQ(rows.Count(), 3u);
  EXPECT_EQ(rows[0].Row, 0u);
  EXPECT_EQ(rows[0].Height, 250u);
  EXPECT_EQ(rows[1].Row, 1u);
  EXPECT_EQ(rows[1].Height, 255u);
  EXPECT_EQ(rows[1].FormatIndex, 24);
  EXPECT_EQ(rows[1].Flags, rfHidden | rfCustomFormat);
  EXPECT_EQ(rows[2].Height, 300u);
  EXPECT_EQ(rows[2].Flags, rfCustomHeight);

  TXLSColumns& cols = Sheet().Columns();
  ASSERT_EQ(cols.Count(), 3u + 385u);  // A..C and the clamped range up to XFD
  EXPECT_EQ(cols[0].Width, 2560u);
  EXPECT_EQ(cols[1].Width, 5120u);  // the later range wins
  EXPECT_EQ(cols[1].Flags, rfHidden);
  EXPECT_EQ(cols[3].Col, 15999u);
  EXPECT_EQ(cols[cols.Count() - 1].Col, 16383u);

  ASSERT_EQ(Sheet().MergedCells().size(), 2u);
  EXPECT_EQ(Sheet().MergedCells()[0].Col2, 1);
  EXPECT_EQ(Sheet().MergedCells()[0].Row2, 1);
  EXPECT_EQ(Sheet().MergedCells()[1].Col1, 3);
  EXPECT_EQ(Sheet().MergedCells()[1].Col2, 3);
  EXPECT_TRUE(Sheet().HasDimension);
  EXPECT_EQ(Sheet().Dimension.Col2, 2);
  EXPECT_EQ(Sheet().Dimension.Row2, 2);
}

TEST_F(PackageTest, ManyOverlappingColumnRangesStayCheap) {
  std::string cols = "<cols>";
  for (int i = 0; i < 20000; ++i) cols += R"(<col min="1" max="16384" width="3"/>)";
  cols += "</cols>";
  ASSERT_EQ(ReadSheets({SheetXml("", cols)}), "");
  EXPECT_EQ(Sheet().Columns().Count(), 16384u);
}

TEST_F(PackageTest, SavedTagsOfTheWorksheet) {
  const std::string before =
      R"(<sheetPr><tabColor rgb="FFFF0000"/></sheetPr><sheetViews><sheetView workbookViewId="0"/></sheetViews>)"
      R"(<customSheetViews><customSheetView guid="{1}"><pageSetup paperSize="9"/></customSheetView></customSheetViews>)";
  ASSERT_EQ(ReadSheets({SheetXml("", before, R"(<pageMargins left="0.7"/>)")}), "");
  TXLSSavedTags& tags = Sheet().SavedTags();
  std::vector<std::string> texts;
  for (std::size_t i = 0; i < tags.Count(); ++i) texts.push_back(tags[i].Xml);
  EXPECT_EQ(texts, (std::vector<std::string>{
                       R"(<sheetPr><tabColor rgb="FFFF0000"/></sheetPr>)",
                       R"(<sheetViews><sheetView workbookViewId="0"/></sheetViews>)",
                       R"(<customSheetViews><customSheetView guid="{1}"><pageSetup paperSize="9"/></customSheetView></customSheetViews>)",
                       "<sheetData/>",
                       R"(<pageMargins left="0.7"/>)",
                   }));
  EXPECT_TRUE(tags[3].Placeholder);
}

// ---- Shared strings ------------------------------------------------------------------------

constexpr const char* kFontsXml =
    R"(<fonts count="2"><font><sz val="11"/><color theme="1"/><name val="Calibri"/><family val="2"/><scheme val="minor"/></font>)"
    R"(<font><b/><sz val="11"/><color theme="1"/><name val="Calibri"/><family val="2"/><scheme val="minor"/></font></fonts>)";

TEST_F(PackageTest, RichTextRunsFindOrAddTheirFonts) {
  const std::string styles = std::string("<styleSheet ") + kMain + ">" + kFontsXml + "</styleSheet>";
  const std::string sst = SstXml(
      R"(<si><r><t xml:space="preserve">plain </t></r>)"
      R"(<r><rPr><b/><sz val="11"/><color theme="1"/><rFont val="Calibri"/><family val="2"/><scheme val="minor"/></rPr><t>bold</t></r>)"
      R"(<r><rPr><i/><sz val="14"/><color rgb="FFFF0000"/><rFont val="Arial"/></rPr><t>new</t></r></si>)"
      R"(<si><rPh sb="0" eb="1"><t>phonetic</t></rPh></si><si><t>after</t></si>)");
  ASSERT_EQ(ReadSheets({SheetXml(R"(<row r="1"><c r="A1" t="s"><v>0</v></c><c r="B1" t="s"><v>2</v></c></row>)")},
                       {{"xl/styles.xml", styles}, {"xl/sharedStrings.xml", sst}}),
            "");
  EXPECT_EQ(Text("A1"), "plain boldnew");
  EXPECT_EQ(Text("B1"), "after");
  TSST2& table = book_->SST();
  ASSERT_EQ(table.Count(), 3);
  EXPECT_EQ(TSST2::GetText(table.GetEntry(1)), u"");
  const TSSTEntry* rich = table.GetEntry(0);
  ASSERT_EQ(rich->RunCount, 3u);
  TXFonts& fonts = book_->Fonts();
  ASSERT_EQ(fonts.Count(), 3);  // the italic run's font joined the list
  EXPECT_EQ(rich->Runs()[0].Font, fonts[0]);
  EXPECT_EQ(rich->Runs()[1].Font, fonts[1]);
  EXPECT_EQ(rich->Runs()[1].Position, 6u);
  EXPECT_EQ(rich->Runs()[2].Font, fonts[2]);
  EXPECT_EQ(fonts[2]->Name, u"Arial");
  EXPECT_EQ(fonts[2]->Height(), 280u);
  EXPECT_EQ(fonts[2]->Style(), kFontItalic);
}

TEST_F(PackageTest, SharedStringFailures) {
  struct Case {
    const char* items;
    const char* message;
  } const cases[] = {
      {"<si><r><rPr><b/></rPr><t>x</t></r></si>", "Tag value rFont:val missing"},
      {"<si><r><rPr><rFont val=\"Arial\"/></rPr></r></si>", "Excepcted tag missing: \"T\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.items);
    EXPECT_EQ(ReadSheets({SheetXml("")}, {{"xl/sharedStrings.xml", SstXml(c.items)}}), c.message);
  }
}

// ---- Styles ----------------------------------------------------------------------------------

TEST_F(PackageTest, StylesPart) {
  const std::string styles = std::string("<styleSheet ") + kMain + ">" +
                             R"(<numFmts count="1"><numFmt numFmtId="164" formatCode="&quot;EUR&quot; 0.00"/></numFmts>)" +
                             kFontsXml +
                             R"(<fills count="4"><fill><patternFill patternType="none"/></fill><fill><patternFill patternType="gray125"/></fill>)"
                             R"(<fill><patternFill patternType="solid"><fgColor rgb="FFFFFF00"/><bgColor indexed="64"/></patternFill></fill>)"
                             R"(<fill/></fills>)"
                             R"(<borders count="1"><border diagonalUp="1"><left style="thin"><color auto="1"/></left><right/><top style="bogus"/><bottom/><diagonal/></border></borders>)"
                             R"(<cellStyleXfs count="1"><xf numFmtId="0" fontId="0" fillId="0" borderId="0"/></cellStyleXfs>)"
                             R"(<cellXfs count="3"><xf numFmtId="0" fontId="0" fillId="0" borderId="0" xfId="0"/>)"
                             R"(<xf numFmtId="164" fontId="1" fillId="2" borderId="0" xfId="0" applyNumberFormat="1" applyFont="1"><alignment horizontal="center" wrapText="1"/></xf>)"
                             R"(<xf numFmtId="200" fontId="9" fillId="9" borderId="9" xfId="9"/></cellXfs>)"
                             R"(<cellStyles count="1"><cellStyle name="Normal" xfId="0" builtinId="0"/></cellStyles>)"
                             R"(<dxfs count="0"/><tableStyles count="0" defaultTableStyle="TableStyleMedium2"/></styleSheet>)";
  ASSERT_EQ(ReadSheets({SheetXml(R"(<row r="1"><c r="A1" s="1"><v>1</v></c></row>)")}, {{"xl/styles.xml", styles}}), "");

  TCellFormats& formats = book_->CellFormats();
  ASSERT_EQ(formats.Count(), 21 + 3);
  auto* second = dynamic_cast<TCellFormatEx12*>(formats[22]);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->NumberFormatIndex(), 164);
  EXPECT_EQ(formats.NumberFormats().FormatByIndex(164)->Text, u"\"EUR\" 0.00");
  EXPECT_EQ(second->FontRef, book_->Fonts()[1]);
  EXPECT_EQ(second->FontRef->Style(), kFontBold);
  EXPECT_EQ(second->FillRef->PatternType, 1);
  EXPECT_EQ(second->FillRef->Foreground, (TEx12Color{2, 0xFFFFFF00, 0}));
  EXPECT_EQ(second->ApplyFlags, TCellFormatEx12::kApplyNumberFormat | TCellFormatEx12::kApplyFont);
  EXPECT_EQ(second->Horizontal, 2);
  EXPECT_TRUE(second->WrapText);
  EXPECT_EQ(Sheet().GetCell(0, 0)->CellFormat(), second);
  // References past their lists resolve to the first entries.
  auto* third = dynamic_cast<TCellFormatEx12*>(formats[23]);
  EXPECT_EQ(third->NumberFormatIndex(), 0);
  EXPECT_EQ(third->FontRef, book_->Fonts()[0]);
  EXPECT_EQ(third->FillRef, formats.Fills()[0]);
  EXPECT_EQ(third->BorderRef, formats.Borders()[0]);
  EXPECT_EQ(third->XfId, 0);

  ASSERT_EQ(formats.Fills().Count(), 4);
  EXPECT_EQ(formats.Fills()[1]->PatternType, 17);
  EXPECT_EQ(formats.Fills()[3]->PatternType, 0);  // an empty fill
  const TBorder& border = *formats.Borders()[0];
  EXPECT_TRUE(border.DiagonalUp);
  EXPECT_EQ(border.Left.Style, 1);
  EXPECT_EQ(border.Left.Color.Kind, 4);
  EXPECT_EQ(border.Top.Style, 0);
  EXPECT_EQ(book_->CellFormats2().Count(), 1);
  ASSERT_EQ(book_->Ex12CellStyles().Count(), 1);
  EXPECT_EQ(book_->Ex12CellStyles()[0]->Name, u"Normal");
  EXPECT_EQ(book_->Ex12CellStyles()[0]->ILevel, -1);
  ASSERT_EQ(book_->StyleTags().Count(), 2u);
  EXPECT_EQ(book_->StyleTags()[1].Xml, R"(<tableStyles count="0" defaultTableStyle="TableStyleMedium2"/>)");
  EXPECT_EQ(book_->Fonts()[0]->Height(), 220u);
  EXPECT_EQ(book_->Fonts()[0]->Name, u"Calibri");
}

TEST_F(PackageTest, StylesFailures) {
  struct Case {
    const char* part;
    const char* message;
  } const cases[] = {
      {R"(<fills><fill><gradientFill><stop position="0"/></gradientFill></fill><fill><other/></fill></fills>)",
       "Unknown fill type"},
      {R"(<fills><fill><gradientFill><stop/></gradientFill></fill></fills>)", "Required value missing: position"},
      {R"(<fonts><font/><fill/></fonts>)", "Unexpected tag 57, fill"},
      {R"(<numFmts><numFmt numFmtId="170"/></numFmts>)", "Required value missing: formatCode"},
      {R"(<numFmts><numFmt formatCode="0"/></numFmts>)", "Required value missing: numFmtId"},
      {R"(<cellStyles><cellStyle name="x"/></cellStyles>)", "Required value missing: xfId"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.part);
    EXPECT_EQ(ReadSheets({SheetXml("")}, {{"xl/styles.xml", std::string("<styleSheet>") + c.part + "</styleSheet>"}}),
              c.message);
  }
}

// ---- Relationships and the workbook part --------------------------------------------------------

std::string Relationships(const std::string& items) {
  return R"(<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">)" + items +
         "</Relationships>";
}
std::string Relationship(const std::string& id, const std::string& type, const std::string& extra = "") {
  return R"(<Relationship Id=")" + id + R"(" Type=")" + type + R"(" Target="t/)" + id + "\"" + extra + "/>";
}

TEST_F(PackageTest, WorkbookRelationships) {
  const std::string rels = Relationships(
      Relationship("rId3", std::string(kRelNs) + "worksheet") + Relationship("rId9", std::string(kRelNs) + "theme") +
      Relationship("rId10", std::string(kRelNs) + "externalLink", R"( TargetMode="External")") +
      Relationship("rId2", "http://schemas.microsoft.com/office/2006/relationships/vbaProject") +
      Relationship("rId5", "http://schemas.microsoft.com/office/2017/10/relationships/person") +
      Relationship("rId6", "http://purl.oclc.org/ooxml/officeDocument/relationships/theme") +
      Relationship("rIdX", std::string(kRelNs) + "richData") + Relationship("rId7", "noslash") +
      Relationship("rId8", std::string(kRelNs) + "styles"));
  const std::string extra =
      R"(<externalReferences><externalReference r:id="rId10"/></externalReferences>)"
      R"(<definedNames><definedName name="Total" localSheetId="1" hidden="1">S1!$A$1&amp;"x"</definedName></definedNames>)"
      R"(<calcPr calcId="191029"/>)";
  ASSERT_EQ(ReadSheets({SheetXml("")}, {{"xl/_rels/workbook.xml.rels", rels}}, extra), "");

  TXMLRelationsWorkbook& list = book_->Relations();
  std::vector<std::string> ids;
  for (std::size_t i = 0; i < list.Count(); ++i) ids.push_back(list[i].Id);
  EXPECT_EQ(ids, (std::vector<std::string>{"rId10", "rId2", "rId5", "rId6", "rId9", "rIdX"}));
  const TXMLRelation* theme = list.Find("rId9");
  ASSERT_NE(theme, nullptr);
  EXPECT_EQ(theme->TypeName, "theme");
  EXPECT_EQ(theme->TypeNumber, 12);
  EXPECT_EQ(theme->Namespace, 1);
  EXPECT_EQ(theme->Number, 9);
  EXPECT_EQ(theme->Target, "t/rId9");
  EXPECT_EQ(list.Find("rId2")->TypeNumber, 20);
  EXPECT_EQ(list.Find("rId2")->Namespace, 2);
  EXPECT_EQ(list.Find("rId10")->TargetMode, 2);
  // Types outside the table are kept with number 0.
  EXPECT_EQ(list.Find("rId5")->TypeNumber, 0);
  EXPECT_EQ(list.Find("rId5")->TypeName, "http://schemas.microsoft.com/office/2017/10/relationships/person");
  EXPECT_EQ(list.Find("rId6")->TypeNumber, 0);
  EXPECT_EQ(list.Find("rIdX")->TypeNumber, 0);
  EXPECT_EQ(list.Find("rIdX")->Number, 0);
  EXPECT_FALSE(list.Loading);

  ASSERT_EQ(book_->FormulaHandler().ExtRelations().size(), 1u);
  EXPECT_EQ(book_->FormulaHandler().ExtRelations()[0], list.Find("rId10"));
  ASSERT_EQ(book_->FormulaHandler().Names().size(), 1u);
  const TDefinedName& name = book_->FormulaHandler().Names()[0];
  EXPECT_EQ(name.Name, u"Total");
  EXPECT_EQ(name.FormulaText, u"S1!$A$1&\"x\"");
  EXPECT_EQ(name.SheetIndex, 1);
  EXPECT_EQ(name.Options, noHidden);
  EXPECT_EQ(book_->CalcId, 191029u);
}

TEST_F(PackageTest, SheetRelationshipsTakeAnyType) {
  const std::string rels = Relationships(Relationship("rId1", "urn:anything/x") + Relationship("rId2", "plain"));
  ASSERT_EQ(ReadSheets({SheetXml("")}, {{"xl/worksheets/_rels/sheet1.xml.rels", rels}}), "");
  ASSERT_EQ(Sheet().Relations().Count(), 2u);
  EXPECT_EQ(Sheet().Relations()[0].TypeName, "urn:anything/x");
  EXPECT_EQ(Sheet().Relations()[1].TypeName, "plain");
}

TEST_F(PackageTest, RelationshipAndWorkbookFailures) {
  struct Case {
    std::string rels;
    std::string workbookExtra;
    const char* message;
  } const cases[] = {
      {Relationships(Relationship("rId1", std::string(kRelNs) + "theme", R"( TargetMode="external")")), "",
       "Unknown Relation TargetMode"},
      {Relationships(R"(<Relationship Id="rId1" Target="x"/>)"), "", "Required value missing: Type"},
      {Relationships(R"(<Relationship Type="a/theme" Target="x"/>)"), "", "Required value missing: Id"},
      {Relationships(R"(<Relationship Id="rId1" Type="a/theme"/>)"), "", "Required value missing: Target"},
      {Relationships(""), R"(<externalReferences><externalReference r:id="rId4"/></externalReferences>)",
       "Required relationship missing: rId4"},
      {Relationships(""), R"(<definedNames><definedName>x</definedName></definedNames>)",
       "Required value missing: name"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(ReadSheets({SheetXml("")}, {{"xl/_rels/workbook.xml.rels", c.rels}}, c.workbookExtra), c.message);
  }
}

TEST_F(PackageTest, WorkbookSavedTagsAndDateSystem) {
  const std::string workbook = std::string("<workbook ") + kMain +
                               R"(><fileVersion appName="xl"/><workbookPr date1904="1"/><bookViews><workbookView/></bookViews>)"
                               R"(<sheets><sheet name="A" sheetId="1"/></sheets></workbook>)";
  ASSERT_EQ(Read({{"xl/workbook.xml", workbook},
                  {"xl/worksheets/sheet1.xml", SheetXml(R"(<row r="1"><c r="A1"><v>45000</v></c></row>)")}}),
            "");
  EXPECT_EQ(Text("A1"), "45000");  // the 1904 flag changes nothing
  TXLSSavedTags& tags = book_->SavedTags();
  ASSERT_EQ(tags.Count(), 4u);
  EXPECT_EQ(tags[0].Xml, R"(<fileVersion appName="xl"/>)");
  EXPECT_EQ(tags[1].Xml, "<workbookPr/>");  // date1904 is no attribute of the tables
  EXPECT_EQ(tags[2].Xml, "<bookViews><workbookView/></bookViews>");
  EXPECT_EQ(tags[3].Xml, "<sheets/>");
  EXPECT_TRUE(tags[3].Placeholder);
}

}  // namespace
}  // namespace tabulon

namespace tabulon {
namespace {

// The parts of a fixture package, as its writer stored them.
std::vector<ZipMember> FixtureParts(const std::string& fixture) {
  std::ifstream in(std::string(TABULON_FIXTURES) + "/" + fixture, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  TMemoryStream package;
  package.WriteBuffer(bytes.data(), bytes.size());
  TXLSZipArchive archive;
  archive.OpenStream(package);
  std::vector<ZipMember> parts;
  for (int i = 0; i < archive.Reader().Entries().Count(); ++i) {
    const std::string name = archive.Reader().Entries().Item(i).FileName();
    TMemoryStream part;
    archive.ExtractFile(platform::AnsiToWide(name), part);
    parts.emplace_back(name, std::string(reinterpret_cast<const char*>(part.Memory()), part.Bytes().size()));
  }
  return parts;
}

// Parts cut short or with a byte replaced by a markup character end in a
// message or in fewer cells, never in a crash.
TEST_F(PackageTest, DamagedPartsOfRealPackages) {
  const char* const fixtures[] = {"values_openpyxl.xlsx", "values_libreoffice.xlsx", "values_gnumeric.xlsx",
                                  "rich_xlsxwriter.xlsx", "inline_xlsxwriter.xlsx"};
  const char kMarkup[] = "<>\"/='&";
  int reads = 0;
  for (const char* fixture : fixtures) {
    const std::vector<ZipMember> parts = FixtureParts(fixture);
    ASSERT_EQ(Read(parts), "") << fixture;
    for (std::size_t p = 0; p < parts.size(); ++p) {
      const std::string& name = parts[p].name;
      if (name != "xl/workbook.xml" && name != "xl/styles.xml" && name != "xl/sharedStrings.xml" &&
          name != "xl/worksheets/sheet1.xml")
        continue;
      const std::string& data = parts[p].data;
      const std::size_t step = std::max<std::size_t>(1, data.size() / 16);
      for (std::size_t cut = 0; cut < data.size(); cut += step) {
        std::vector<ZipMember> damaged = parts;
        damaged[p].data = data.substr(0, cut);
        Read(damaged);
        damaged[p].data = data;
        damaged[p].data[cut] = kMarkup[cut % (sizeof kMarkup - 1)];
        Read(damaged);
        reads += 2;
      }
    }
  }
  EXPECT_GT(reads, 300);
}

}  // namespace
}  // namespace tabulon
