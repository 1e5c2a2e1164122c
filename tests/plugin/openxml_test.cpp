// Open XML workbooks through the loaded plug-in: every cell of the fixtures
// written by third-party programs answers the text of its value as an
// independent reader (python3-openpyxl, cached values) gives it, with the
// plug-in's own rules for number texts, booleans and errors. Where the
// answer differs from that reader on purpose, the case says why.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "biff/cfb_writer.h"
#include "ooxml/zip_writer.h"
#include "plugin/plugin_host.h"

namespace tabulon::test {
namespace {

using TCells = std::map<std::string, std::string>;

// The pieces of a success answer, by cell reference; the whole answer under
// "!" when it is no success.
TCells Pieces(const std::string& answer) {
  const std::string ok = "<result state=\"ok\">";
  if (answer.rfind(ok, 0) != 0) return {{"!", answer}};
  TCells cells;
  std::size_t at = ok.size();
  for (;;) {
    const std::size_t cell = answer.find(" cell=\"", at);
    if (cell == std::string::npos) break;
    const std::size_t refEnd = answer.find('"', cell + 7);
    const std::size_t data = answer.find("<![CDATA[", refEnd) + 9;
    const std::size_t dataEnd = answer.find("]]></xls>", data);
    cells[answer.substr(cell + 7, refEnd - cell - 7)] = answer.substr(data, dataEnd - data);
    at = dataEnd;
  }
  return cells;
}

// Every cell of A1:H6 of the sheet; cells without a value are left out.
TCells Block(TPluginHost& host, int sheet) {
  const auto answer = host.MultiRequest("<range><r sheet=\"" + std::to_string(sheet) +
                                        "\" cellMin=\"A1\" cellMax=\"H6\"/></range>");
  TCells cells = Pieces(answer.value_or("(null)"));
  for (auto it = cells.begin(); it != cells.end();) it = it->second.empty() ? cells.erase(it) : std::next(it);
  return cells;
}

TCells Answers(const std::string& fixture, int sheet, const std::string& name = "book.xlsx") {
  TPluginHost host(TPluginHost::Config(name));
  host.CopyFile(std::string(TABULON_FIXTURES) + "/" + fixture, name);
  host.Start();
  return Block(host, sheet);
}

// U+1F600, a character beyond the 16-bit range, in UTF-8.
const std::string kGrinning = "\xF0\x9F\x98\x80";

// The cells of values_openpyxl.xlsx's first sheet as openpyxl reads them.
TCells OpenpyxlValues() {
  return {
      {"A1", "Text"},
      {"B1", "Z\xC3\xBCrich & <Co> \"q\" 'a'"},
      {"C1", "emoji " + kGrinning + " \xE2\x82\xAC"},
      {"D1", "  padded  "},
      {"E1", "line1\nline2"},
      {"A2", "42"},
      {"B2", "2.5"},
      {"C2", "0.333333333333333"},
      {"D2", "-1E-5"},
      {"E2", "1E15"},
      {"F2", "123456789012345"},
      {"G2", "0.1"},
      {"H2", "0.666666666666667"},
      {"A3", "TRUE"},
      {"B3", "FALSE"},
      // openpyxl gives datetime(2024, 3, 1, 12, 0) and datetime(2024, 3, 1):
      // answers never apply number formats, so dates are serial numbers.
      {"A5", "45352.5"},
      {"B5", "45352"},
      {"A6", "#N/A"},
      // A4 and B4 are formulas saved without a result (openpyxl: None).
  };
}

TEST(PluginOpenXml, OpenpyxlFixture) {
  EXPECT_EQ(Answers("values_openpyxl.xlsx", 1), OpenpyxlValues());
  EXPECT_EQ(Answers("values_openpyxl.xlsx", 2), (TCells{{"A1", "second sheet"}, {"B2", "7"}}));
}

TEST(PluginOpenXml, LibreOfficeFixture) {
  TCells expected = OpenpyxlValues();
  expected["A4"] = "84";
  expected["B4"] = "Z\xC3\xBCrich & <Co> \"q\" 'a'x";
  EXPECT_EQ(Answers("values_libreoffice.xlsx", 1), expected);
  EXPECT_EQ(Answers("values_libreoffice.xlsx", 2), (TCells{{"A1", "second sheet"}, {"B2", "7"}}));
  // The same workbook saved as a template, under its own extension.
  EXPECT_EQ(Answers("values_libreoffice.xltx", 1, "book.xltx"), expected);
  EXPECT_EQ(Answers("values_libreoffice.xltx", 2, "book.xltx"), (TCells{{"A1", "second sheet"}, {"B2", "7"}}));
}

TEST(PluginOpenXml, GnumericFixture) {
  TCells expected = OpenpyxlValues();
  expected["A4"] = "84";
  expected["B4"] = "Z\xC3\xBCrich & <Co> \"q\" 'a'x";
  // Gnumeric writes "  padded  " without xml:space="preserve"; element
  // texts are trimmed unless they carry it (openpyxl keeps the blanks).
  expected["D1"] = "padded";
  EXPECT_EQ(Answers("values_gnumeric.xlsx", 1), expected);
  EXPECT_EQ(Answers("values_gnumeric.xlsx", 2), (TCells{{"A1", "second sheet"}, {"B2", "7"}}));
}

TEST(PluginOpenXml, XlsxWriterFixture) {
  EXPECT_EQ(Answers("rich_xlsxwriter.xlsx", 1), (TCells{
                                                    {"A1", "plain bold and red italic"},
                                                    {"A2", "  spaced"},
                                                    {"B2", "Tom & Jerry <3"},
                                                    {"A3", "3.75"},
                                                    {"B3", "TRUE"},
                                                    {"A4", "7.5"},
                                                    {"B4", "ab"},
                                                    {"C4", "#DIV/0!"},
                                                    {"D4", "TRUE"},
                                                    {"E4", "0"},
                                                    {"A5", "\xC3\x9Cn\xC3\xAF" "c\xC3\xB6" "d\xC3\xA9 \xC4\x80\xC4\x92\xC4\xAA"},
                                                    {"C5", "plain "},
                                                }));
  EXPECT_EQ(Answers("rich_xlsxwriter.xlsx", 2), (TCells{{"C3", "on second"}}));
}

TEST(PluginOpenXml, XlsxWriterConstantMemoryFixture) {
  EXPECT_EQ(Answers("inline_xlsxwriter.xlsx", 1), (TCells{
                                                      {"A1", "inline one"},
                                                      {"B1", "\xC3\x9F & <tag>"},
                                                      {"C1", "1.25"},
                                                      {"A2", " lead and trail "},
                                                      {"B2", "5"},
                                                      {"A3", "rich inline"},
                                                      {"B3", "FALSE"},
                                                  }));
}

TEST(PluginOpenXml, SheetsFollowTheirRelationshipsAndChartSheetsMakeNone) {
  // The first sheet element names sheet2.xml, the second a chart sheet, the
  // third sheet1.xml (as openpyxl reads it: "Second" holds "two", "First"
  // "one"). Sheets are numbered as in legacy workbooks: the chart sheet
  // makes none, so there are two.
  const std::string main = R"(xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main")";
  const std::string workbook = "<workbook " + main +
                               R"( xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships"><sheets>)"
                               R"(<sheet name="Second" sheetId="2" r:id="rId2"/><sheet name="Chart" sheetId="3" r:id="rId3"/>)"
                               R"(<sheet name="First" sheetId="1" r:id="rId1"/></sheets></workbook>)";
  const std::string ns = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";
  const std::string rels =
      R"(<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">)"
      R"(<Relationship Id="rId1" Type=")" + ns + R"(worksheet" Target="worksheets/sheet1.xml"/>)"
      R"(<Relationship Id="rId2" Type=")" + ns + R"(worksheet" Target="/xl/worksheets/sheet2.xml"/>)"
      R"(<Relationship Id="rId3" Type=")" + ns + R"(chartsheet" Target="chartsheets/sheet1.xml"/>)"
      "</Relationships>";
  auto sheet = [&](const char* text) {
    return "<worksheet " + main + R"(><sheetData><row r="1"><c r="A1" t="inlineStr"><is><t>)" + text +
           "</t></is></c></row></sheetData></worksheet>";
  };
  TPluginHost host(TPluginHost::Config("book.xlsx"));
  host.WriteFile("book.xlsx", BuildZip({{"xl/workbook.xml", workbook},
                                        {"xl/_rels/workbook.xml.rels", rels},
                                        {"xl/worksheets/sheet1.xml", sheet("one")},
                                        {"xl/worksheets/sheet2.xml", sheet("two")},
                                        {"xl/chartsheets/sheet1.xml", "<chartsheet " + main + "/>"}}));
  host.Start();
  EXPECT_EQ(Block(host, 1), (TCells{{"A1", "two"}}));
  EXPECT_EQ(Block(host, 2), (TCells{{"A1", "one"}}));
  EXPECT_EQ(host.Request(R"(<cells><c sheet="3" cell="A1"/></cells>)"), ErrorAnswer("List index out of bounds (2)"));
}

// Packages laid out as writers other than Excel save them.
TEST(PluginOpenXml, PackagesOfOtherWriters) {
  const std::string main = R"(xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main")";
  const std::string r = R"( xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships")";
  const std::string ns = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";
  auto rels = [&](const std::string& items) {
    return R"(<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">)" + items +
           "</Relationships>";
  };
  auto rel = [&](const char* id, const char* type, const char* target) {
    return std::string("<Relationship Id=\"") + id + "\" Type=\"" + ns + type + "\" Target=\"" + target + "\"/>";
  };
  auto utf16 = [](const std::string& ascii) {
    std::string out = "\xFF\xFE";
    for (const char c : ascii) out += std::string{c, '\0'};
    return out;
  };
  const std::string workbook =
      "<workbook " + main + r + R"(><sheets><sheet name="Data" sheetId="1" r:id="R7"/></sheets></workbook>)";
  const std::string sst = "<sst " + main + "><si><t><![CDATA[Tom & <Jerry>]]></t></si></sst>";
  const std::string sheet = "<worksheet " + main + R"(><sheetData><row r="1"><c r="a1" t="s"><v>0</v></c>)"
                            R"(<c r="e1"><v>5</v></c></row></sheetData></worksheet>)";
  const std::string styles =
      "<styleSheet " + main + R"( xmlns:mc="http://schemas.openxmlformats.org/markup-compatibility/2006")"
      R"( xmlns:x14ac="http://schemas.microsoft.com/office/spreadsheetml/2009/9/ac"><cellXfs count="1">)"
      R"(<mc:AlternateContent><mc:Choice Requires="x14ac"><xf/></mc:Choice><mc:Fallback><xf/></mc:Fallback>)"
      R"(</mc:AlternateContent></cellXfs></styleSheet>)";
  // The .NET SDK's layout: the workbook part at the root, sheet.xml.
  const std::string sdk = BuildZip({{"_rels/.rels", rels(rel("rId1", "officeDocument", "/workbook.xml"))},
                                    {"workbook.xml", workbook},
                                    {"_rels/workbook.xml.rels", rels(rel("R7", "worksheet", "sheets/sheet.xml") +
                                                                     rel("R8", "sharedStrings", "/strings.xml"))},
                                    {"strings.xml", sst},
                                    {"sheets/sheet.xml", sheet}});
  // Excel Mobile's: every part UTF-16, markup compatibility in the styles.
  const std::string mobile =
      BuildZip({{"_rels/.rels", utf16(rels(rel("rId1", "officeDocument", "xl/workbook.xml")))},
                {"xl/workbook.xml", utf16(workbook)},
                {"xl/_rels/workbook.xml.rels", utf16(rels(rel("R7", "worksheet", "worksheets/sheet1.xml") +
                                                          rel("R8", "sharedStrings", "sharedStrings.xml") +
                                                          rel("R9", "styles", "styles.xml")))},
                {"xl/styles.xml", utf16(styles)},
                {"xl/sharedStrings.xml", utf16(sst)},
                {"xl/worksheets/sheet1.xml", utf16(sheet)}});
  for (const std::string& package : {sdk, mobile}) {
    TPluginHost host(TPluginHost::Config("book.xlsx"));
    host.WriteFile("book.xlsx", package);
    host.Start();
    EXPECT_EQ(Block(host, 1), (TCells{{"A1", "Tom & <Jerry>"}, {"E1", "5"}}));
  }
}

TEST(PluginOpenXml, TheContentChoosesTheReaderWhateverTheName) {
  // A template, an add-in and a download named .xls that hold packages; a
  // legacy workbook named .xlsx.
  for (const char* name : {"book.xltx", "book.xlam", "book.xls"}) {
    TPluginHost host(TPluginHost::Config(name));
    host.CopyFile(std::string(TABULON_FIXTURES) + "/inline_xlsxwriter.xlsx", name);
    host.Start();
    EXPECT_EQ(host.Request(R"(<cells><c sheet="1" cell="C1"/></cells>)"),
              "<result state=\"ok\"><xls sheet=\"1\" cell=\"C1\"><![CDATA[1.25]]></xls></result>")
        << name;
  }
  TPluginHost host(TPluginHost::Config("book.xlsx"));
  host.CopyFile(std::string(TABULON_FIXTURES) + "/prices_biff8_xlwt.xls", "book.xlsx");
  host.Start();
  EXPECT_EQ(host.Request(R"(<cells><c sheet="1" cell="A1"/></cells>)"),
            "<result state=\"ok\"><xls sheet=\"1\" cell=\"A1\"><![CDATA[Item]]></xls></result>");

  // A compound file without a workbook stream (an encrypted package) named
  // .xlsx is no workbook the legacy reader knows.
  CfbWriter cfb;
  cfb.AddStream(u"EncryptedPackage", std::vector<uint8_t>(600, 0x5A));
  const std::vector<uint8_t> bytes = cfb.Build();
  host.WriteFile("book.xlsx", std::string(bytes.begin(), bytes.end()));
  EXPECT_EQ(host.Request(R"(<cells><c sheet="1" cell="A1"/></cells>)"),
            ErrorAnswer("The file is not an Excel workbook"));
}

TEST(PluginOpenXml, AnswersParseWhateverTheTextsHold) {
  // Shared strings with the escapes writers use for control characters, and
  // an escaped lone surrogate: the answer carries them as the same escapes
  // (the test host checks that every answer is well-formed XML).
  const std::string main = R"(xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main")";
  const std::string sst = "<sst " + main + "><si><t>a_x0000_b</t></si><si><t>_x001F_</t></si>"
                          "<si><t>x_x0001_y&#9;z</t></si><si><t>_xD800_!</t></si></sst>";
  std::string cells;
  for (int i = 0; i < 4; ++i)
    cells += "<c r=\"A" + std::to_string(i + 1) + "\" t=\"s\"><v>" + std::to_string(i) + "</v></c>";
  TPluginHost host(TPluginHost::Config("book.xlsx"));
  host.WriteFile("book.xlsx",
                 BuildZip({{"xl/workbook.xml", "<workbook " + main + R"(><sheets><sheet name="S"/></sheets></workbook>)"},
                           {"xl/sharedStrings.xml", sst},
                           {"xl/worksheets/sheet1.xml",
                            "<worksheet " + main + "><sheetData><row r=\"1\">" + cells + "</row></sheetData></worksheet>"}}));
  host.Start();
  EXPECT_EQ(host.MultiRequest(R"(<range><r sheet="1" cellMin="A1" cellMax="A4"/></range>)"),
            "<result state=\"ok\"><xls sheet=\"1\" cell=\"A1\"><![CDATA[a_x0000_b]]></xls>"
            "<xls sheet=\"1\" cell=\"A2\"><![CDATA[_x001F_]]></xls>"
            "<xls sheet=\"1\" cell=\"A3\"><![CDATA[x_x0001_y\tz]]></xls>"
            "<xls sheet=\"1\" cell=\"A4\"><![CDATA[_xD800_!]]></xls></result>");
  // Echoed request texts: a character reference to a control character.
  EXPECT_EQ(host.Request(R"(<cells><c sheet="1" cell="A&#1;1"/></cells>)"),
            ErrorAnswer("Invalid cell reference: A_x0001_1"));
#ifndef _WIN32
  // A byte that is no part of valid UTF-8, the host text here.
  EXPECT_EQ(host.Request("<cells><c sheet=\"1\" cell=\"A\xFF" "1\"/></cells>"),
            ErrorAnswer("Invalid cell reference: A_x00FF_1"));
#endif
}

TEST(PluginOpenXml, EveryRequestRereadsTheFileAndFailuresAreAnswered) {
  TPluginHost host(TPluginHost::Config("book.xlsx"));
  host.CopyFile(std::string(TABULON_FIXTURES) + "/inline_xlsxwriter.xlsx", "book.xlsx");
  host.Start();
  const std::string request = R"(<cells><c sheet="1" cell="C1"/><c sheet="1" cell="A3"/></cells>)";
  EXPECT_EQ(host.Request(request),
            "<result state=\"ok\"><xls sheet=\"1\" cell=\"C1\"><![CDATA[1.25]]></xls>"
            "<xls sheet=\"1\" cell=\"A3\"><![CDATA[rich inline]]></xls></result>");

  host.WriteFile("book.xlsx", "no archive");
  EXPECT_EQ(host.Request(request), ErrorAnswer("The file is not an Excel workbook"));

  host.CopyFile(std::string(TABULON_FIXTURES) + "/rich_xlsxwriter.xlsx", "book.xlsx");
  EXPECT_EQ(host.Request(R"(<cells><c sheet="1" cell="C4"/></cells>)"),
            "<result state=\"ok\"><xls sheet=\"1\" cell=\"C4\"><![CDATA[#DIV/0!]]></xls></result>");
  EXPECT_EQ(host.Request(R"(<cells><c sheet="3" cell="A1"/></cells>)"), ErrorAnswer("List index out of bounds (2)"));
}

}  // namespace
}  // namespace tabulon::test
