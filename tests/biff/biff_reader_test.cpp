#include "biff/biff_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "biff_builder.h"
#include "workbook/cells.h"
#include "workbook/fonts.h"
#include "workbook/formats.h"
#include "workbook/sheet.h"
#include "workbook/sst.h"

namespace tabulon {
namespace {

using test::Body;
using test::Book8;
using test::Bof5;
using test::Bof8;
using test::Cell;
using test::Formula8;
using test::Number;
using test::NumberResult;
using test::Stream;
using test::Wrapped;

std::string Host(const std::u16string& s) { return test::Utf8(s); }

std::vector<uint16_t> Ids(const TBaseRecordStorage& storage) {
  std::vector<uint16_t> ids;
  for (std::size_t i = 0; i < storage.Count(); ++i) ids.push_back(storage[i].Id);
  return ids;
}

bool Contains(const std::vector<uint16_t>& ids, uint16_t id) {
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

// ---- Substreams, sheets and the end of the read ------------------------------------------

TEST(BiffReader, ChartSheetBetweenWorksheetsCountsButMakesNoSheet) {
  // An embedded chart inside "One" must neither make a sheet nor end "One".
  Stream one;
  one.rec(0x0203, Number(0, 0, 1))
      .rec(0x005D, Body().zeros(8))  // OBJ of the chart
      .rec(0x0809, Bof8(0x0020))
      .rec(0x1001, Body().u16(0))
      .rec(0x0203, Number(5, 5, 99))  // inside the chart: not a cell of "One"
      .rec(0x000A)
      .rec(0x0203, Number(0, 1, 2));
  Stream chart;
  chart.rec(0x1002, Body().zeros(16)).rec(0x0203, Number(0, 0, 77));
  Stream three;
  three.rec(0x0204, Cell(1, 0).u16(3).u8(0).text("abc"));
  Stream s = Book8().sheet("One", one).sheet("Chart", chart, 0x0020).sheet("Three", three).build();
  // Nothing after the last sheet's EOF is read, even a broken record.
  s.rec(0x8001);

  auto r = test::ReadCompound(s);
  ASSERT_EQ(r->error, "");
  ASSERT_EQ(r->wb().Sheets().Count(), 2);
  EXPECT_EQ(Host(r->sheet(0).Name()), "One");
  EXPECT_EQ(Host(r->sheet(1).Name()), "Three");
  EXPECT_EQ(r->sheet(1).SheetNumber, 2);
  EXPECT_EQ(r->wb().SheetNameList(), (std::vector<std::u16string>{u"One", u"Chart", u"Three"}));
  EXPECT_EQ(r->text(0, "A1"), "1");
  EXPECT_EQ(r->text(0, "A2"), "2");
  EXPECT_EQ(r->text(0, "F6"), "");
  EXPECT_EQ(r->text(1, "B1"), "abc");
  EXPECT_EQ(r->wb().Version(), xvExcel97);
}

// An embedded chart as Excel lays it out in a worksheet: its drawing and OBJ,
// then the chart substream, whose records include ids that end in the byte
// 0x09 (MarkerFormat 0x1009 of line series, and others) and NUMBER records
// of the cached series values.
Stream EmbeddedChart(double seriesValue) {
  Stream chart;
  chart.rec(0x00EC, Body().zeros(60))
      .rec(0x005D, Body().zeros(26))
      .rec(0x0809, Bof8(0x0020))
      .rec(0x1033)  // BEGIN
      .rec(0x1009, Body().zeros(20))  // MARKERFORMAT
      .rec(0x1009, Body().zeros(20))
      .rec(0x0009, Body().zeros(4))  // a BIFF2 BOF id inside the chart: one level deeper
      .rec(0x000A)
      .rec(0x0209, Body().zeros(4))
      .rec(0x000A)
      .rec(0x0409, Body().zeros(4))
      .rec(0x000A)
      .rec(0x1034)  // END
      .rec(0x0203, Number(0, 0, seriesValue))
      .rec(0x0203, Number(1, 0, seriesValue + 1))
      .rec(0x000A);
  return chart;
}

TEST(BiffReader, EmbeddedChartsAndChartSheetsEndOnlyThemselves) {
  Stream one;
  one.rec(0x0203, Number(0, 0, 1))
      .raw(EmbeddedChart(101).data())
      .rec(0x0203, Number(0, 1, 2))
      .raw(EmbeddedChart(201).data())
      .rec(0x0203, Number(0, 2, 3))
      .rec(0x1009, Body().zeros(20));  // a stray chart record in a worksheet: kept raw, no BOF
  Stream chartSheet;
  chartSheet.rec(0x1009, Body().zeros(20)).rec(0x1809, Body().zeros(4)).rec(0x0203, Number(0, 0, 77));
  Stream two;
  two.rec(0x0203, Number(1, 1, 22));
  Stream three;
  three.rec(0x0203, Number(2, 2, 33));
  auto r = test::ReadCompound(
      Book8().sheet("One", one).sheet("Chart", chartSheet, 0x0020).sheet("Two", two).sheet("Three", three).build());
  ASSERT_EQ(r->error, "");
  ASSERT_EQ(r->wb().Sheets().Count(), 3);
  EXPECT_EQ(Host(r->sheet(2).Name()), "Three");
  EXPECT_EQ(r->text(0, "A1"), "1");
  EXPECT_EQ(r->text(0, "A2"), "2");
  EXPECT_EQ(r->text(0, "A3"), "3");
  EXPECT_EQ(r->text(0, "B1"), "");  // series values never land in the sheet
  EXPECT_EQ(r->text(1, "B2"), "22");
  EXPECT_EQ(r->text(1, "A1"), "");
  EXPECT_EQ(r->text(2, "C3"), "33");
  EXPECT_TRUE(Contains(Ids(r->sheet(0).Records()), 0x1009));
}

TEST(BiffReader, SheetsTakeNameAndVisibilityFromTheSheetList) {
  Stream s;
  s.rec(0x0809, Bof5(0x0005))  // an 8-byte globals BOF
      .rec(0x0085, test::BoundSheet5("Shown"))
      .rec(0x0085, test::BoundSheet5("Secret", 2))
      .rec(0x000A)
      .rec(0x0809, Bof5(0x0010))
      .rec(0x000A)
      .rec(0x0809, Bof5(0x0010))
      .rec(0x0204, Cell(0, 0).u16(2).text("hi"))  // BIFF5 LABEL: no option byte
      .rec(0x000A);
  auto r = test::ReadCompound(s, u"Book");
  ASSERT_EQ(r->error, "");
  EXPECT_EQ(r->wb().Version(), xvExcel50);
  ASSERT_EQ(r->wb().Sheets().Count(), 2);
  EXPECT_EQ(Host(r->sheet(1).Name()), "Secret");
  EXPECT_EQ(r->sheet(0).Visibility, 0);
  EXPECT_EQ(r->sheet(1).Visibility, 2);
  EXPECT_EQ(r->text(1, "A1"), "hi");

  // BIFF8: the visibility is also the low two bits of byte 4.
  Stream s8;
  s8.rec(0x0809, Bof8(5)).rec(0x0085, test::BoundSheet8("V", 0xFE)).rec(0x000A).rec(0x0809, Bof8(0x10)).rec(0x000A);
  auto r8 = test::ReadCompound(s8);
  ASSERT_EQ(r8->error, "");
  EXPECT_EQ(r8->sheet(0).Visibility, 2);
}

TEST(BiffReader, CustomViewsAreNeitherReadNorStored) {
  Stream sheet;
  sheet.rec(0x01AA, Body().zeros(8))
      .rec(0x0203, Number(0, 0, 5))
      .rec(0x0809, Bof8(0x0010))  // even a BOF inside a view is passed over
      .rec(0x01AB)
      .rec(0x0203, Number(0, 1, 6));
  auto r = test::ReadCompound(Book8().sheet("S", sheet).build());
  ASSERT_EQ(r->error, "");
  EXPECT_EQ(r->wb().Sheets().Count(), 1);
  EXPECT_EQ(r->text(0, "A1"), "");
  EXPECT_EQ(r->text(0, "A2"), "6");
  const std::vector<uint16_t> ids = Ids(r->sheet(0).Records());
  EXPECT_FALSE(Contains(ids, 0x01AA));
  EXPECT_FALSE(Contains(ids, 0x01AB));
}

TEST(BiffReader, DrawingRecordsAreConsumed) {
  // The drawing group is read in continue mode over its CONTINUE record;
  // OBJ, TXO and their CONTINUEs belong to the drawing; other records stay.
  std::vector<uint8_t> group = {0x0F, 0x00, 0x00, 0xF0};
  const uint32_t containerLength = 8224 - 8 + 100;
  for (int i = 0; i < 4; ++i) group.push_back(static_cast<uint8_t>(containerLength >> (8 * i)));
  group.resize(8224, 0xAB);
  Stream sheet;
  sheet.rec(0x00EC, Body().zeros(40))
      .rec(0x005D, Body().zeros(26))
      .rec(0x01B6, Body().zeros(18))
      .rec(0x003C, Body().zeros(10))
      .rec(0x0862, Body().zeros(20))  // SHEETLAYOUT: kept raw
      .rec(0x003C, Body().zeros(4))   // a CONTINUE after it: kept raw too
      .rec(0x0203, Number(2, 2, 3));
  Book8 book;
  book.globals(0x00EB, Body().bytes(group)).globals(0x003C, Body().zeros(100)).sheet("S", sheet);
  auto r = test::ReadCompound(book.build());
  ASSERT_EQ(r->error, "");
  EXPECT_EQ(r->text(0, "C3"), "3");
  const std::vector<uint16_t> sheetIds = Ids(r->sheet(0).Records());
  EXPECT_FALSE(Contains(sheetIds, 0x005D));
  EXPECT_FALSE(Contains(sheetIds, 0x01B6));
  EXPECT_TRUE(Contains(sheetIds, 0x0862));
  EXPECT_EQ(std::count(sheetIds.begin(), sheetIds.end(), 0x003C), 1);
  const std::vector<uint16_t> globalIds = Ids(r->wb().GlobalsRecords());
  EXPECT_TRUE(Contains(globalIds, 0x8004));
  EXPECT_FALSE(Contains(globalIds, 0x003C));
}

TEST(BiffReader, ProgressRisesToHundredAndAbortStopsQuietly) {
  Stream sheet;
  for (int i = 0; i < 50; ++i) sheet.rec(0x0203, Number(0, static_cast<uint16_t>(i), i));
  const Stream s = Book8().sheet("S", sheet).build();
  {
    test::TempDir dir;
    test::CfbWriter writer;
    writer.AddStream(u"Workbook", s.data());
    test::Loaded loaded;
    loaded.wb().Filename = dir.Write("p.xls", writer.Build());
    std::vector<int> seen;
    loaded.wb().OnProgress = [&](void*, int percent) { seen.push_back(percent); };
    loaded.wb().Read();
    ASSERT_GE(seen.size(), 3u);
    EXPECT_EQ(seen.front(), 0);
    EXPECT_EQ(seen.back(), 100);
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));

    // Abort as soon as the read is half way: no error, no 100, fewer cells.
    seen.clear();
    loaded.wb().OnProgress = [&](void*, int percent) {
      seen.push_back(percent);
      if (percent >= 50) loaded.wb().Abort = true;
    };
    loaded.wb().Read();
    EXPECT_NE(seen.back(), 100);
    EXPECT_EQ(loaded.text(0, "A1"), "0");
    EXPECT_EQ(loaded.text(0, "A50"), "");
  }
}

// ---- Errors: message, record number, id and offset ----------------------------------------

// Byte offset just after record number `record` of the stream.
std::size_t EndOfRecord(const Stream& stream, int record) {
  const std::vector<uint8_t>& bytes = stream.data();
  std::size_t at = 0;
  for (int i = 0; at + 4 <= bytes.size(); ++i) {
    at += 4 + (bytes[at + 2] | bytes[at + 3] << 8);
    if (i == record) return at;
  }
  return at;
}

TEST(BiffReader, ErrorsNameTheRecordNumberIdAndOffset) {
  struct Case {
    const char* what;
    Stream stream;
    int record;  // number of the failing record
    uint16_t id;
    std::string inner;
  };
  // Records 0-3 are the globals BOF, BOUNDSHEET, EOF and the sheet's BOF.
  auto inSheet = [](Stream records) { return Book8().sheet("S", std::move(records)).build(); };
  Stream twoBofs;
  twoBofs.rec(0x0809, Bof8(5)).rec(0x0085, test::BoundSheet8("Only")).rec(0x0809, Bof8(0x10)).rec(0x0809, Bof8(0x10));
  Stream chartWithoutList;
  chartWithoutList.rec(0x0809, Bof8(5)).rec(0x0809, Bof8(0x20));
  const std::vector<Case> cases = {
      {"bit 15", inSheet(Stream().rec(0x0203, Number(0, 0, 1)).rec(0x8123)), 5, 0x8123, "Bad record in file"},
      {"big globals BOF", Stream().rec(0x0809, Bof8(5).zeros(250)), 0, 0x0809, "Invalid BOF size"},
      {"workspace", Stream().rec(0x0809, Bof8(0x0100)), 0, 0x0809, "BIFF4 Workbook unhandled"},
      {"FILEPASS of the XOR kind without key", Stream().rec(0x0809, Bof8(5)).rec(0x002F, Body().u16(0)), 1, 0x002F,
       "File encrypted with non-standard key. French?"},
      {"LABELSST beyond the table", inSheet(Stream().rec(0x00FD, Cell(0, 0).u32(7))), 4, 0x00FD, "Read error"},
      {"NUMBER too short", inSheet(Stream().rec(0x0203, Cell(0, 0).u16(1))), 4, 0x0203,
       "Record 0203 is too short: 8 bytes, 14 needed"},
      {"BOOLERR with an unknown error code", inSheet(Stream().rec(0x0205, Cell(0, 0).u8(5).u8(1))), 4, 0x0205,
       "Invalid cell error value"},
      {"a default record twice, other length",
       inSheet(Stream().rec(0x000D, Body().u16(1)).rec(0x000D, Body().u16(1).u16(0))), 5, 0x000D,
       "Size missmatch on default record"},
      {"token crossing cce",
       inSheet(Stream()
                   .rec(0x0006, Formula8(0, 0, NumberResult(0), 8, {0x01, 0, 0, 0, 0}))
                   .rec(0x00BC, Body().u16(0).u16(0).u8(0).u8(0).u16(0).u16(2).bytes({0x1E, 0x01}))),
       4, 0x0006, "Unknown ptg[1E] in Shared Formula"},
      {"sheet BOF beyond the list", twoBofs, 3, 0x0809, "List index out of bounds (1)"},
      {"chart BOF beyond the list", chartWithoutList, 1, 0x0809, "List index out of bounds (0)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto r = test::ReadCompound(c.stream);
    std::size_t end = EndOfRecord(c.stream, c.record);
    if (c.id == 0x0006) end = EndOfRecord(c.stream, c.record + 1);  // the SHRFMLA was read ahead
    std::string inner = c.inner;
    if (inner == "Read error") inner = Format("Read error at %.8d", static_cast<int>(end));
    EXPECT_EQ(r->error, Wrapped(c.record, c.id, end, inner));
  }
}

TEST(BiffReader, OpenErrorsAreNotWrapped) {
  // Files on the bare path that are no BIFF workbook: text, a file shorter
  // than a record header. (A ZIP package goes to the Open XML reader.)
  const std::vector<std::vector<uint8_t>> files = {{'<', 'h', 't', 'm', 'l', '>'}, {0x09, 0x00}, {}};
  for (const auto& bytes : files) {
    auto r = test::ReadBare(bytes);
    EXPECT_EQ(r->error, "The file is not an Excel workbook");
    EXPECT_EQ(r->wb().Sheets().Count(), 1);  // the component's default sheet
  }
}

// ---- Cell records ------------------------------------------------------------------------------

TEST(BiffReader, NumbersRkAndMultipleCells) {
  struct Rk {
    uint32_t value;
    const char* text;
  };
  const std::vector<Rk> rks = {{0x3FF00000, "1"}, {0x3FF00001, "0.01"}, {0x00000192, "100"}, {0x00000193, "1"},
                               {0xFFFFFFFE, "-1"}, {0xC0000002u - 0x80000000u, "268435456"}};
  Stream sheet;
  for (std::size_t i = 0; i < rks.size(); ++i)
    sheet.rec(0x027E, Cell(0, static_cast<uint16_t>(i)).u32(rks[i].value));
  sheet.rec(0x00BD, Body().u16(10).u16(2).u16(15).u32(0x00000192).u16(15).u32(0x3FF00001).u16(3));  // length 18
  sheet.rec(0x00BE, Body().u16(11).u16(4).u16(15).u16(15).u16(5));                                   // length 10
  sheet.rec(0x0203, Number(1, 0, -2.5e-7));
  sheet.rec(0x0201, Cell(1, 1));
  sheet.rec(0x0205, Cell(1, 2).u8(1).u8(0));
  sheet.rec(0x0205, Cell(1, 3).u8(0x07).u8(1));
  auto r = test::ReadCompound(Book8().sheet("S", sheet).build());
  ASSERT_EQ(r->error, "");
  for (std::size_t i = 0; i < rks.size(); ++i)
    EXPECT_EQ(r->text(0, ("A" + std::to_string(i + 1)).c_str()), rks[i].text) << i;
  EXPECT_EQ(r->text(0, "C11"), "100");
  EXPECT_EQ(r->text(0, "D11"), "0.01");
  EXPECT_EQ(r->sheet(0).GetCellType(4, 10), 0);
  EXPECT_EQ(r->sheet(0).GetCellType(4, 11), 1);
  EXPECT_EQ(r->sheet(0).GetCellType(5, 11), 1);
  EXPECT_EQ(r->sheet(0).GetCellType(6, 11), 0);
  EXPECT_EQ(r->text(0, "B1"), "-2.5E-7");
  EXPECT_EQ(r->sheet(0).GetCellType(1, 1), 1);
  EXPECT_EQ(r->text(0, "B3"), "TRUE");
  EXPECT_EQ(r->text(0, "B4"), "#DIV/0!");
}

TEST(BiffReader, LabelTextsByTheirOptionByte) {
  // LABEL: byte 8 is an option byte when 0 or 1, else the first character.
  Stream sheet;
  sheet.rec(0x0204, Cell(0, 0).u16(3).u8(0).text("abc"))
      .rec(0x0204, Cell(0, 1).u16(2).u8(1).wide(u"Жж"))
      .rec(0x0204, Cell(0, 2).u16(2).text("AB"))
      .rec(0x0204, Cell(0, 3).u16(0))                        // an empty LABEL without a flag byte
      .rec(0x0204, Cell(0, 4).u16(50).u8(0).text("short"))   // a count past the body is cut
      .rec(0x00D6, Cell(0, 5).u16(3).u8(1).wide(u"Ωμέ").zeros(4));  // BIFF8 RSTRING with runs
  auto r = test::ReadCompound(Book8().sheet("S", sheet).build());
  ASSERT_EQ(r->error, "");
  EXPECT_EQ(r->text(0, "A1"), "abc");
  EXPECT_EQ(r->text(0, "A2"), "Жж");
  EXPECT_EQ(r->text(0, "A3"), "AB");
  EXPECT_EQ(r->sheet(0).GetCellType(0, 3), 5);
  EXPECT_EQ(r->text(0, "A4"), "");
  EXPECT_EQ(r->text(0, "A5"), "short");
  EXPECT_EQ(r->text(0, "A6"), "Ωμέ");
}

TEST(BiffReader, Biff5TextsAreAnsiCodePageBytes) {
  // Gnumeric and Excel 95 write "€" as the code-page byte 0x80; widened it
  // would be the control character U+0080. BIFF8's 8-bit strings stay
  // widened (their high byte is zero by definition).
  Stream s;
  s.rec(0x0809, Bof5(0x0005))
      .rec(0x0085, test::BoundSheet5("S"))
      .rec(0x000A)
      .rec(0x0809, Bof5(0x0010))
      .rec(0x0204, Cell(0, 0).u16(4).text("\x80 5\x9F"))
      .rec(0x0006, Formula8(1, 0, {0, 0, 0, 0, 0, 0, 0xFF, 0xFF}, 0, {0x17, 0, 0}))
      .rec(0x0207, Body().u16(2).text("\x80\x84"))
      .rec(0x000A);
  auto r = test::ReadCompound(s, u"Book");
  ASSERT_EQ(r->error, "");
  EXPECT_EQ(r->text(0, "A1"), "€ 5Ÿ");
  EXPECT_EQ(r->text(0, "B1"), "€„");

  Stream sheet8;
  sheet8.rec(0x0204, Cell(0, 0).u16(1).u8(0).text("\x80"));
  auto r8 = test::ReadCompound(Book8().sheet("S", sheet8).build());
  ASSERT_EQ(r8->error, "");
  EXPECT_EQ(r8->text(0, "A1"), "\u0080");
}

TEST(BiffReader, Biff5TextsByTheWorkbooksCodePage) {
  // Sheet names, LABEL, RSTRING, STRING (across a CONTINUE, a double-byte
  // character split between the two) and FORMAT texts in the code page the
  // CODEPAGE record names; a record count counts bytes.
  auto book = [](uint16_t codePage, const std::string& name, const std::string& label, const std::string& result) {
    const std::size_t half = result.size() / 2;
    Stream s;
    s.rec(0x0809, Bof5(0x0005))
        .rec(0x0042, Body().u16(codePage))
        .rec(0x041E, Body().u16(0xA4).u8(static_cast<uint32_t>(label.size())).text(label))
        .rec(0x0085, test::BoundSheet5(name))
        .rec(0x000A)
        .rec(0x0809, Bof5(0x0010))
        .rec(0x0204, Cell(0, 0).u16(static_cast<uint32_t>(label.size())).text(label))
        .rec(0x00D6, Cell(0, 1).u16(static_cast<uint32_t>(label.size())).text(label).u8(0))
        .rec(0x0006, Formula8(0, 2, {0, 0, 0, 0, 0, 0, 0xFF, 0xFF}, 0, {0x17, 0, 0}))
        .rec(0x0207, Body().u16(static_cast<uint32_t>(result.size())).text(result.substr(0, half)))
        .rec(0x003C, Body().text(result.substr(half)))
        .rec(0x000A);
    return test::ReadCompound(s, u"Book");
  };
  struct Case {
    uint16_t codePage;
    std::string name, label, result;
    const char *nameText, *labelText, *resultText;
  };
  const std::vector<Case> cases = {
      {932, "\x95\x5C", "\x8A\xBF\x8E\x9A\x83\x66\x81\x5B\x83\x5E", "\x82\xA0\x82\xA2\x82\xA4", "表",
       "漢字データ", "あいう"},
      {10029, "\x83\x6C\x97", "\xFC\x61\x64\x6F\x77\x6E\x6F\xE6\x8D", "\xFC\xF3\x8D", "Éló", "Ładowność", "Łůć"},
      {1251, "\xCB\xE8\xF1\xF2", "\xCF\xF0\xE8\xE2\xE5\xF2", "\xB8\xE6", "Лист", "Привет", "ёж"},
      {32769, "\x80", "\x80 5\x9F", "\x80\x84", "€", "€ 5Ÿ", "€„"},
      // Not a code page this reader knows, or none of 8-bit texts: the host's
      // ANSI code page (Windows-1252 on Linux), sheet names widened.
      {1200, "\xE9", "\x80\xE9", "\x80", "é", "€é", "€"},
      {20932, "\xE9", "\x80\xE9", "\x80", "é", "€é", "€"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.codePage);
    auto r = book(c.codePage, c.name, c.label, c.result);
    ASSERT_EQ(r->error, "");
    EXPECT_EQ(Host(r->sheet(0).Name()), c.nameText);
    EXPECT_EQ(r->text(0, "A1"), c.labelText);
    EXPECT_EQ(r->text(0, "A2"), c.labelText);
    EXPECT_EQ(r->text(0, "A3"), c.resultText);
  }
  // The FORMAT text, kept in the host's ANSI code page of number formats.
  auto r = book(32769, "x", "\x80 0.0", "");
  ASSERT_EQ(r->error, "");
  const TNumberFormat* format = r->wb().CellFormats().NumberFormats().FormatByIndex(164);
  ASSERT_NE(format, nullptr);
  EXPECT_EQ(Host(format->Text), "€ 0.0");

  // BIFF8: the CODEPAGE record changes no text; BIFF2: a bare file's LABEL.
  Stream sheet8;
  sheet8.rec(0x0204, Cell(0, 0).u16(1).u8(0).text("\xE9"));
  auto r8 = test::ReadCompound(Book8().globals(0x0042, Body().u16(1251)).sheet("S", sheet8).build());
  ASSERT_EQ(r8->error, "");
  EXPECT_EQ(r8->text(0, "A1"), "é");
  Stream s2;
  s2.rec(0x0009, Body().u16(2).u16(0x10))
      .rec(0x0042, Body().u16(1251))
      .rec(0x0004, Body().u16(0).u16(0).zeros(3).u8(2).text("\xB8\xE6"))
      .rec(0x000A);
  auto r2 = test::ReadBare(s2.data());
  ASSERT_EQ(r2->error, "");
  EXPECT_EQ(r2->text(0, "A1"), "ёж");
}

TEST(BiffReader, SharedStringsSplitAcrossContinue) {
  // Two strings; the second starts as 8-bit text in the SST record and goes
  // on as UTF-16 in the CONTINUE record, which starts with its option byte.
  Body sst;
  sst.u32(3).u32(2).u16(3).u8(0).text("one").u16(5).u8(0).text("ab");
  Body cont;
  cont.u8(1).wide(u"вгд");
  Stream sheet;
  sheet.rec(0x00FD, Cell(0, 0).u32(1)).rec(0x00FD, Cell(0, 1).u32(0)).rec(0x00FD, Cell(1, 1).u32(1));
  Book8 book;
  book.globals(0x00FC, sst).globals(0x003C, cont).sheet("S", sheet);
  auto r = test::ReadCompound(book.build());
  ASSERT_EQ(r->error, "");
  EXPECT_EQ(r->text(0, "A1"), "abвгд");
  EXPECT_EQ(r->text(0, "A2"), "one");
  EXPECT_EQ(r->text(0, "B2"), "abвгд");
  EXPECT_TRUE(Contains(Ids(r->wb().GlobalsRecords()), 0x8005));
}

TEST(BiffReader, EmptyContinueBetweenSharedStringsAndBlankedRecords) {
  // An empty CONTINUE between two whole strings of the table; and a record
  // id 0, where a decrypting tool blanked out the FILEPASS record.
  Body sst;
  sst.u32(2).u32(2).u16(3).u8(0).text("one");
  Stream sheet;
  sheet.rec(0x0000, Body().zeros(10)).rec(0x00FD, Cell(0, 0).u32(0)).rec(0x00FD, Cell(0, 1).u32(1));
  Book8 book;
  book.globals(0x0000, Body().zeros(54))
      .globals(0x00FC, sst)
      .globals(0x003C)
      .globals(0x003C, Body().u16(3).u8(1).wide(u"два"))
      .sheet("S", sheet);
  auto r = test::ReadCompound(book.build());
  ASSERT_EQ(r->error, "");
  EXPECT_EQ(r->text(0, "A1"), "one");
  EXPECT_EQ(r->text(0, "A2"), "два");
  EXPECT_FALSE(Contains(Ids(r->wb().GlobalsRecords()), 0x0000));
  EXPECT_FALSE(Contains(Ids(r->sheet(0).Records()), 0x0000));
}

TEST(BiffReader, Biff2CellsWithoutFontsOrFormats) {
  // A bare BIFF2 worksheet: BOF, cells, EOF; no FONT, no XF.
  Stream s;
  s.rec(0x0009, Body().u16(2).u16(0x10))
      .rec(0x0000, Body().zeros(8))  // BIFF2 DIMENSIONS: dropped
      .rec(0x0002, Body().u16(0).u16(0).zeros(3).u16(42))
      .rec(0x0003, Body().u16(1).u16(0).zeros(3).f64(2.5))
      .rec(0x0004, Body().u16(2).u16(0).zeros(3).u8(6).text("Gr\xFC\xDF" "e!"))
      .rec(0x0005, Body().u16(3).u16(0).zeros(3).u8(1).u8(0))
      .rec(0x0005, Body().u16(4).u16(0).zeros(3).u8(0x2A).u8(1))
      .rec(0x0001, Body().u16(5).u16(0).zeros(3))
      // FORMULA (BIFF2): number result, then a text result with a BIFF2 STRING.
      .rec(0x0006, Body().u16(6).u16(0).zeros(3).f64(7).u8(0).u8(1).u8(0x1E))
      .rec(0x0006, Body().u16(7).u16(0).zeros(3).bytes({0, 0, 0, 0, 0, 0, 0xFF, 0xFF}).u8(0).u8(0))
      .rec(0x0007, Body().u8(2).text("ok"))
      .rec(0x000A)
      .rec(0x0003, Body().u16(9).u16(0).zeros(3).f64(9));  // after the first EOF: not read
  auto r = test::ReadBare(s.data());
  ASSERT_EQ(r->error, "");
  EXPECT_EQ(r->wb().Version(), xvExcel21);
  ASSERT_EQ(r->wb().Sheets().Count(), 1);
  EXPECT_EQ(Host(r->sheet(0).Name()), "Sheet1");
  EXPECT_EQ(r->text(0, "A1"), "42");
  EXPECT_EQ(r->text(0, "A2"), "2.5");
  EXPECT_EQ(r->text(0, "A3"), "Grüße!");
  EXPECT_EQ(r->text(0, "A4"), "TRUE");
  EXPECT_EQ(r->text(0, "A5"), "#N/A");
  EXPECT_EQ(r->sheet(0).GetCellType(0, 5), 1);
  EXPECT_EQ(r->text(0, "A7"), "7");
  EXPECT_EQ(r->text(0, "A8"), "ok");
  EXPECT_EQ(r->text(0, "A10"), "");
  EXPECT_EQ(r->sheet(0).GetCell(0, 0)->FormatIndex(), 15);
}

TEST(BiffReader, Biff4WorksheetWithFormulas) {
  // BIFF4: cells refer to XF indexes the file never defines; a FORMULA
  // (0x0406) first gets its number, a text result replaces it.
  Stream s;
  s.rec(0x0409, Body().u16(0).u16(0x10).u16(0))
      .rec(0x020B, Body().zeros(16))  // INDEX: the sheet's records go to its storage from here
      .rec(0x000D, Body().u16(1))     // a BIFF5 setting: dropped in BIFF4
      .rec(0x0203, Number(0, 0, 3))
      .rec(0x0406, Cell(1, 0, 40).f64(8).u16(0).u16(3).bytes({0x1E, 8, 0}))
      .rec(0x0406, Cell(2, 0).bytes({0, 0, 0, 0, 0, 0, 0xFF, 0xFF}).u16(0).u16(0))
      .rec(0x0207, Body().u16(3).text("txt"))
      .rec(0x0406, Cell(3, 0).bytes({1, 0, 1, 0, 0, 0, 0xFF, 0xFF}).u16(0).u16(0))
      .rec(0x0203, Body().u16(0).u16(4).u16(15))  // too short: 6 of 14 bytes
      .rec(0x000A);
  auto r = test::ReadBare(s.data());
  EXPECT_EQ(r->wb().Version(), xvExcel40);
  EXPECT_EQ(r->text(0, "A1"), "3");
  EXPECT_EQ(r->text(0, "B1"), "8");
  EXPECT_EQ(r->text(0, "C1"), "txt");
  EXPECT_EQ(r->text(0, "D1"), "TRUE");
  EXPECT_EQ(r->error, Wrapped(7, 0x0203, s.size() - 4, "Record 0203 is too short: 6 bytes, 14 needed"));
  EXPECT_FALSE(Contains(Ids(r->sheet(0).Records()), 0x000D));
}

// ---- Formulas ------------------------------------------------------------------------------------

TEST(BiffReader, FormulaCachedResults) {
  const std::vector<uint8_t> tokens = {0x1E, 0x05, 0x00};  // ptgInt 5
  struct Case {
    std::vector<uint8_t> result;
    std::vector<uint8_t> tokens;
    uint8_t type;  // cell type code, 0: no cell
    const char* text;
  };
  const std::vector<Case> cases = {
      {NumberResult(2.5), tokens, 8, "2.5"},
      {{1, 0, 1, 0, 0, 0, 0xFF, 0xFF}, tokens, 10, "TRUE"},
      {{2, 0, 7, 0, 0, 0, 0xFF, 0xFF}, tokens, 11, "#DIV/0!"},
      {{3, 0, 0, 0, 0, 0, 0xFF, 0xFF}, tokens, 9, ""},
      {{0, 0, 0, 0, 0, 0, 0xFF, 0xFF}, tokens, 0, ""},  // text, but no STRING follows
      {NumberResult(4), {}, 0, ""},                       // no tokens: no cell
  };
  Stream sheet;
  for (std::size_t i = 0; i < cases.size(); ++i)
    sheet.rec(0x0006, Formula8(0, static_cast<uint16_t>(i), cases[i].result, 0, cases[i].tokens));
  auto r = test::ReadCompound(Book8().sheet("S", sheet).build());
  ASSERT_EQ(r->error, "");
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(r->sheet(0).GetCellType(0, static_cast<uint32_t>(i)), cases[i].type);
    EXPECT_EQ(r->text(0, ("A" + std::to_string(i + 1)).c_str()), cases[i].text);
  }
  const auto* cell = static_cast<const TFormulaCell*>(r->sheet(0).GetCell(0, 0));
  ASSERT_EQ(cell->FormulaDataSize(), 3u);
  EXPECT_EQ(cell->ExpressionLength(), 3u);
  EXPECT_EQ(cell->FormulaData()[0], 0x1E);
}

TEST(BiffReader, StringResultsKeepTheirTextAcrossContinue) {
  const std::vector<uint8_t> text = {0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  const std::vector<uint8_t> tokens = {0x17, 0x01, 0x00, 'x'};
  std::u16string longText(5000, u'ж');
  Body first;
  first.u16(5000).u8(1).wide(longText.substr(0, 4111));  // 2 + 1 + 8222 bytes
  Body rest;
  rest.u8(1).wide(longText.substr(4111));
  Stream sheet;
  sheet.rec(0x0006, Formula8(0, 0, text, 0, tokens))
      .rec(0x0207, Body().u16(6).u8(1).wide(u"Привет"))  // outside the ANSI code page
      .rec(0x0006, Formula8(0, 1, text, 0, tokens))
      .rec(0x0207, first)
      .rec(0x003C, rest)
      .rec(0x0006, Formula8(0, 2, text, 0, tokens))
      .rec(0x0207, Body().u16(4).u8(0).text("ab"))
      .rec(0x003C, Body().u8(1).wide(u"юя"))  // a piece may switch to UTF-16
      .rec(0x0006, Formula8(0, 3, text, 0, tokens))
      .rec(0x04BC, Body().zeros(10));
  auto r = test::ReadCompound(Book8().sheet("S", sheet).build());
  EXPECT_EQ(r->text(0, "A1"), "Привет");
  EXPECT_EQ(r->sheet(0).GetCellText(0, 1), longText);
  EXPECT_EQ(r->text(0, "A3"), "abюя");
  EXPECT_NE(r->error.find("\rUnxepected SHRFMLA"), std::string::npos) << r->error;
}

TEST(BiffReader, SharedFormulasAreConvertedForEachCell) {
  // B1:B3 share "=A1*2" (ptgRefN with a relative row and column, ptgInt 2,
  // ptgMul); the SHRFMLA follows the first FORMULA of the block.
  const std::vector<uint8_t> exp = {0x01, 0x00, 0x00, 0x01, 0x00};  // master B1
  const std::vector<uint8_t> shared = {0x4C, 0x00, 0x00, 0xFF, 0xC0, 0x1E, 0x02, 0x00, 0x05};
  Stream sheet;
  sheet.rec(0x0006, Formula8(1, 0, NumberResult(2), 0x0008, exp))
      .rec(0x04BC, Body().u16(0).u16(2).u8(1).u8(1).u16(0).u16(static_cast<uint32_t>(shared.size())).bytes(shared))
      .rec(0x0006, Formula8(1, 1, NumberResult(4), 0x0008, exp))
      .rec(0x0006, Formula8(1, 2, NumberResult(6), 0x0008, exp))
      .rec(0x0006, Formula8(1, 5, NumberResult(0), 0x0008, {0x01, 0x09, 0x00, 0x01, 0x00}));  // no entry
  auto r = test::ReadCompound(Book8().sheet("S", sheet).build());
  EXPECT_EQ(r->error.substr(r->error.find('\r') + 1), "Fixup error in shared formula at C=1,R=5 (B6)");
  EXPECT_EQ(r->text(0, "B3"), "6");
  const auto* cell = static_cast<const TFormulaCell*>(r->sheet(0).GetCell(1, 2));
  ASSERT_EQ(cell->FormulaDataSize(), shared.size());
  EXPECT_EQ(cell->ExpressionLength(), shared.size());
  // ptgRefV, row 2 (relative offset 0 + row 2), column 0 (-1 + column 1), flags kept.
  EXPECT_EQ(std::vector<uint8_t>(cell->FormulaData(), cell->FormulaData() + 5),
            (std::vector<uint8_t>{0x44, 0x02, 0x00, 0x00, 0xC0}));
}

TEST(BiffReader, ArrayFormulaAnchorAndMembers) {
  const std::vector<uint8_t> exp = {0x01, 0x00, 0x00, 0x00, 0x00};
  const Body array = Body().u16(0).u16(1).u8(0).u8(0).u16(0).u32(0).u16(3).bytes({0x1E, 1, 0});
  Stream sheet;
  sheet.rec(0x0006, Formula8(0, 0, {0, 0, 0, 0, 0, 0, 0xFF, 0xFF}, 0, exp))
      .rec(0x0221, array)
      .rec(0x0207, Body().u16(2).u8(0).text("hi"))
      .rec(0x0006, Formula8(0, 1, NumberResult(5), 0, exp))
      .rec(0x0006, Formula8(0, 2, NumberResult(9), 0, exp));  // outside the array: plain formula
  auto r = test::ReadCompound(Book8().sheet("S", sheet).build());
  ASSERT_EQ(r->error, "");
  EXPECT_EQ(r->sheet(0).GetCellType(0, 0), 13);
  EXPECT_EQ(r->text(0, "A1"), "hi");
  EXPECT_EQ(r->sheet(0).GetCellType(0, 1), 12);
  EXPECT_EQ(r->text(0, "A2"), "5");
  const auto* anchor = static_cast<const TBaseArrayFormulaCell*>(r->sheet(0).GetCell(0, 0));
  const auto* member = static_cast<const TBaseArrayFormulaCell*>(r->sheet(0).GetCell(0, 1));
  EXPECT_EQ(anchor->ArrayMember(), 0);
  EXPECT_EQ(member->ArrayMember(), 1);
  EXPECT_EQ(anchor->ArrayDataSize(), array.size());
  EXPECT_EQ(r->sheet(0).GetCellType(0, 2), 8);
  EXPECT_EQ(r->text(0, "A3"), "9");
}

TEST(BiffReader, ArrayFormulaResultsOfEveryType) {
  // A1:A5 are one array; each cell's cached result has its own type.
  const std::vector<uint8_t> exp = {0x01, 0x00, 0x00, 0x00, 0x00};
  const Body array = Body().u16(0).u16(4).u8(0).u8(0).u16(0).u32(0).u16(3).bytes({0x1E, 1, 0});
  struct Case {
    std::vector<uint8_t> result;
    uint8_t type;
    const char* text;
  };
  const std::vector<Case> cases = {
      {{1, 0, 1, 0, 0, 0, 0xFF, 0xFF}, ctBooleanArrayFormula, "TRUE"},   // the anchor
      {{1, 0, 0, 0, 0, 0, 0xFF, 0xFF}, ctBooleanArrayFormula, "FALSE"},
      {{2, 0, 0x2A, 0, 0, 0, 0xFF, 0xFF}, ctErrorArrayFormula, "#N/A"},
      {{3, 0, 0, 0, 0, 0, 0xFF, 0xFF}, ctStringArrayFormula, ""},
      {NumberResult(-2), ctNumberArrayFormula, "-2"},
  };
  Stream sheet;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    sheet.rec(0x0006, Formula8(0, static_cast<uint16_t>(i), cases[i].result, 0, exp));
    if (i == 0) sheet.rec(0x0221, array);
  }
  auto r = test::ReadCompound(Book8().sheet("S", sheet).build());
  ASSERT_EQ(r->error, "");
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(r->sheet(0).GetCellType(0, static_cast<uint32_t>(i)), cases[i].type);
    EXPECT_EQ(r->text(0, ("A" + std::to_string(i + 1)).c_str()), cases[i].text);
    const auto* cell = static_cast<const TBaseArrayFormulaCell*>(r->sheet(0).GetCell(0, static_cast<uint32_t>(i)));
    EXPECT_EQ(cell->ArrayMember(), i == 0 ? 0 : 1);
    EXPECT_EQ(cell->ArrayDataSize(), array.size());
  }
  // A copy keeps the kind and the result.
  const std::unique_ptr<TCell> copy = r->sheet(0).GetCell(0, 2)->Clone();
  EXPECT_EQ(static_cast<const TErrorArrayFormulaCell&>(*copy).ErrorResult(), 7);
}

TEST(BiffReader, DataTableTextResultsFollowTheirTableRecord) {
  // A cell of a data table: FORMULA (ptgTbl), TABLE, then its STRING.
  const std::vector<uint8_t> text = {0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  const std::vector<uint8_t> tbl = {0x02, 0x00, 0x00, 0x01, 0x00};
  const Body table = Body().u16(0).u16(1).u8(1).u8(1).u16(0).u16(0).u16(0).u16(0).u16(0);
  Stream sheet;
  sheet.rec(0x0006, Formula8(1, 0, text, 0, tbl))
      .rec(0x0236, table)
      .rec(0x0207, Body().u16(3).u8(0).text("yes"))
      .rec(0x0006, Formula8(1, 1, text, 0, tbl))
      .rec(0x0207, Body().u16(2).u8(0).text("no"))
      .rec(0x0006, Formula8(1, 2, {1, 0, 1, 0, 0, 0, 0xFF, 0xFF}, 0, tbl))
      .rec(0x0236, table);
  auto r = test::ReadCompound(Book8().sheet("S", sheet).build());
  ASSERT_EQ(r->error, "");
  EXPECT_EQ(r->text(0, "B1"), "yes");
  EXPECT_EQ(r->text(0, "B2"), "no");
  EXPECT_EQ(r->text(0, "B3"), "TRUE");
  const std::vector<uint16_t> ids = Ids(r->sheet(0).Records());
  EXPECT_EQ(std::count(ids.begin(), ids.end(), 0x0236), 2);  // both kept raw
  EXPECT_FALSE(Contains(ids, 0x0207));
}

TEST(BiffReader, BoundsWhatSharedAndArrayFormulasCopy) {
  // Every cell of an array copies the ARRAY record, every cell of a shared
  // formula the SHRFMLA tokens: from short FORMULA records, a few kilobytes
  // each. Past the limit the read ends; the cells before it stay.
  const std::vector<uint8_t> exp = {0x01, 0x00, 0x00, 0x00, 0x00};
  const std::vector<uint8_t> longTokens(8000, 0x16);  // ptgMissArg, one byte each
  const std::size_t cellsWithin = kMinCopiedFormulaLimit / longTokens.size();
  Stream array, shared;
  array.rec(0x0006, Formula8(0, 0, NumberResult(1), 0, exp))
      .rec(0x0221, Body().u16(0).u16(0xFFFF).u8(0).u8(0).u16(0).u32(0).u16(2).bytes(longTokens));
  shared.rec(0x0006, Formula8(0, 0, NumberResult(1), 0x0008, exp))
      .rec(0x04BC, Body().u16(0).u16(0xFFFF).u8(0).u8(0).u16(0).u16(8000).bytes(longTokens));
  for (uint16_t row = 1; row < cellsWithin + 8; ++row) {
    array.rec(0x0006, Formula8(0, row, NumberResult(row), 0, exp));
    shared.rec(0x0006, Formula8(0, row, NumberResult(row), 0x0008, exp));
  }
  for (const Stream* sheet : {&array, &shared}) {
    auto r = test::ReadCompound(Book8().sheet("S", *sheet).build());
    EXPECT_EQ(r->error.substr(r->error.find('\r') + 1),
              "Shared and array formulas copy more than " + std::to_string(kMinCopiedFormulaLimit) + " bytes");
    EXPECT_NE(r->sheet(0).GetCellType(0, 1000), 0);
  }
}

TEST(BiffReader, BoundsSharedFormulaLookups) {
  // 10,000 SHRFMLA ranges that together cross the whole sheet but hold none
  // of the later master cells; each later master is found only in the last
  // range, after walking all the others. The lookups' bound ends the read.
  const std::vector<uint8_t> one = {0x1E, 0x01, 0x00};  // ptgInt 1
  auto master = [](uint16_t col, uint16_t row) {
    return std::vector<uint8_t>{0x01, static_cast<uint8_t>(row), static_cast<uint8_t>(row >> 8),
                                static_cast<uint8_t>(col), static_cast<uint8_t>(col >> 8)};
  };
  auto entry = [&](uint16_t row1, uint16_t row2, uint8_t col1, uint8_t col2) {
    return Body().u16(row1).u16(row2).u8(col1).u8(col2).u16(0).u16(static_cast<uint32_t>(one.size())).bytes(one);
  };
  Stream sheet;
  for (uint16_t i = 0; i < 10000; ++i)
    sheet.rec(0x0006, Formula8(0, i + 1, NumberResult(1), 0x0008, master(0, 0)))
        .rec(0x04BC, i % 2 ? entry(0, 0xFFFF, 0, 0) : entry(0, 0, 0, 0xFF));
  sheet.rec(0x0006, Formula8(5, 1, NumberResult(1), 0x0008, master(5, 1))).rec(0x04BC, entry(1, 0xFFFF, 5, 5));
  for (uint16_t row = 2; row < 9000; ++row)
    sheet.rec(0x0006, Formula8(5, row, NumberResult(row), 0x0008, master(5, row)));
  auto r = test::ReadCompound(Book8().sheet("S", sheet).build());
  EXPECT_EQ(r->error.substr(r->error.find('\r') + 1),
            "Shared formula lookups take more than " + std::to_string(kMinSharedLookupSteps) + " steps");
  EXPECT_EQ(r->text(0, "F1000"), "999");  // cells before the end stay
}

// ---- Workbook globals -----------------------------------------------------------------------------

TEST(BiffReader, FontsFormatsAndFormatsIndexes) {
  Stream s;
  s.rec(0x0809, Bof5(5));
  for (int i = 0; i < 6; ++i)
    s.rec(0x0031, Body().u16(200 + 20 * i).u16(0).u16(0x7FFF).u16(400).u16(0).u8(0).u8(0).u8(0).u8(0).u8(5).text("Arial"));
  s.rec(0x041E, Body().u16(0xA4).u8(4).text("0.00"));
  for (int i = 0; i < 17; ++i) s.rec(0x00E0, Body().u16(0).u16(i == 16 ? 0xA4 : 0).u16(0).zeros(10));
  s.rec(0x0085, test::BoundSheet5("S")).rec(0x000A).rec(0x0809, Bof5(0x10));
  s.rec(0x0203, Cell(0, 0, 16).f64(1.5)).rec(0x000A);
  auto r = test::ReadCompound(s, u"Book");
  ASSERT_EQ(r->error, "");
  EXPECT_EQ(r->wb().Fonts().Count(), 7);
  EXPECT_EQ(r->wb().Fonts()[5]->Height(), 280u);
  EXPECT_EQ(r->wb().Fonts()[6]->Height(), 300u);
  const TNumberFormat* format = r->wb().CellFormats().NumberFormats().FormatByIndex(164);
  ASSERT_NE(format, nullptr);
  EXPECT_EQ(format->Text, u"0.00");
  EXPECT_EQ(r->wb().CellFormats().Count(), 17);
  EXPECT_EQ(r->sheet(0).GetCell(0, 0)->FormatIndex(), 16);
  EXPECT_EQ(r->text(0, "A1"), "1.5");
}

TEST(BiffReader, ExternalReferencesAndTheirCachedValues) {
  // BIFF8: SUPBOOK of an external document with two sheets, an XCT with its
  // CRN records; BIFF5 has no SUPBOOK for them.
  const Body supbook = Body().u16(2).u16(3).u8(0).text("x.x").u16(2).u8(0).text("s1").u16(2).u8(0).text("s2");
  const Body crn = Body().u8(0).u8(0).u16(0).u8(1).f64(1);
  struct Case {
    const char* what;
    bool biff8;
    bool withSupBook;
    uint16_t count;
    uint16_t sheet;
    int crns;
    std::string error;  // inner message, empty for success
  };
  const std::vector<Case> cases = {
      {"two CRNs", true, true, 2, 1, 2, ""},
      {"one CRN missing", true, true, 2, 0, 1, "CRN record missing"},
      {"sheet index beyond the book", true, true, 1, 2, 1, "Invalid SUPBOOK Sheet Index"},
      {"no SUPBOOK", true, false, 1, 0, 1, "No SUPBOOK for CRN"},
      {"BIFF5", false, true, 1, 0, 1, "No SUPBOOK for CRN"},
      {"BIFF5, empty XCT", false, true, 0, 0, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Stream s;
    s.rec(0x0809, c.biff8 ? Bof8(5) : Bof5(5));
    if (c.withSupBook) s.rec(0x01AE, supbook);
    s.rec(0x0059, Body().u16(c.count).u16(c.sheet));
    for (int i = 0; i < c.crns; ++i) s.rec(0x005A, crn);
    if (c.crns < c.count) s.rec(0x0204, Cell(0, 0).u16(1).text("z"));
    s.rec(0x0085, c.biff8 ? test::BoundSheet8("S") : test::BoundSheet5("S")).rec(0x000A);
    s.rec(0x0809, c.biff8 ? Bof8(0x10) : Bof5(0x10)).rec(0x000A);
    auto r = test::ReadCompound(s, c.biff8 ? u"Workbook" : u"Book");
    if (c.error.empty()) {
      EXPECT_EQ(r->error, "");
    } else {
      EXPECT_EQ(r->error.substr(r->error.find('\r') + 1), c.error);
      EXPECT_EQ(r->error.substr(0, 32), c.withSupBook ? "Error on reading record # 2, 005" : "Error on reading record # 1, 005");
    }
  }
  // The books as the model keeps them.
  Stream s;
  s.rec(0x0809, Bof8(5)).rec(0x01AE, Body().u16(1).u16(0x0401)).rec(0x01AE, supbook);
  s.rec(0x0023, Body().u16(0).u32(0).u8(1).u8(0).text("N")).rec(0x0017, Body().u16(1).u16(1).u16(0).u16(1));
  s.rec(0x0059, Body().u16(1).u16(1)).rec(0x005A, crn);
  s.rec(0x0018, Body().u16(0).u8(0).u8(4).u16(3).u16(0).u16(0).zeros(4).u8(0).text("Name").bytes({0x1E, 7, 0}));
  s.rec(0x0085, test::BoundSheet8("S")).rec(0x000A).rec(0x0809, Bof8(0x10)).rec(0x000A);
  auto r = test::ReadCompound(s);
  ASSERT_EQ(r->error, "");
  const TFormulaHandler& f = r->wb().FormulaHandler();
  auto& books = r->wb().FormulaHandler().SupBooks();
  ASSERT_EQ(books.size(), 2u);
  EXPECT_EQ(books[0].Kind, 0x0401);
  EXPECT_EQ(books[1].DocumentName, (std::vector<uint8_t>{0, 'x', '.', 'x'}));
  ASSERT_EQ(books[1].Sheets.size(), 2u);
  EXPECT_EQ(books[1].Sheets[1].CRNs.size(), 1u);
  EXPECT_EQ(books[1].ExternNames.size(), 1u);
  ASSERT_EQ(r->wb().FormulaHandler().ExtSheets().size(), 1u);
  EXPECT_EQ(r->wb().FormulaHandler().ExtSheets()[0].LastSheet, 1);
  ASSERT_EQ(r->wb().FormulaHandler().Names().size(), 1u);
  EXPECT_EQ(r->wb().FormulaHandler().Names()[0].Name, u"Name");
  EXPECT_EQ(r->wb().FormulaHandler().Names()[0].FormulaData.size(), 3u);
  (void)f;
}

TEST(BiffReader, RecordsFiledForWriting) {
  // Defaults move into the storages in writing order; records a writer put
  // into the other kind of substream are kept raw; BIFF5 records are filed
  // in their BIFF8 layout.
  Stream sheet;
  sheet.rec(0x0200, Body().u16(0).u16(3).u16(0).u16(2).u16(0))  // BIFF5 DIMENSIONS
      .rec(0x0019, Body().u16(0))                                // WINDOWPROTECT inside a sheet
      .rec(0x023E, Body().u16(0x06B6).u16(0).u16(0).u16(0).u16(0))
      .rec(0x0014, Body())                                       // empty HEADER
      .rec(0x0203, Number(0, 0, 1));
  Stream s;
  s.rec(0x0809, Bof5(5))
      .rec(0x005C, Body().u8(3).text("Bob"))
      .rec(0x0042, Body().u16(1252))
      .rec(0x0085, test::BoundSheet5("S"))
      .rec(0x000A)
      .rec(0x0809, Bof5(0x10))
      .raw(sheet.data())
      .rec(0x000A);
  auto r = test::ReadCompound(s, u"Book");
  ASSERT_EQ(r->error, "");
  const TRecordStorageGlobals& globals = r->wb().GlobalsRecords();
  const auto* access = globals.Find(0x005C);
  ASSERT_NE(access, nullptr);
  ASSERT_EQ(access->Length, 112);
  EXPECT_EQ(std::vector<uint8_t>(globals.Body(*access), globals.Body(*access) + 7),
            (std::vector<uint8_t>{3, 0, 0, 'B', 'o', 'b', ' '}));
  EXPECT_EQ(globals.Find(0x0809)->Length, 8);
  EXPECT_EQ(globals.Body(*globals.Find(0x0809))[4], 21);
  TRecordStorageSheet& records = r->sheet(0).Records();
  ASSERT_NE(records.Find(0x0200), nullptr);
  EXPECT_EQ(records.Find(0x0200)->Length, 14);
  EXPECT_EQ(records.Body(*records.Find(0x0200))[4], 3);
  EXPECT_EQ(records.Find(0x023E)->Length, 18);
  EXPECT_NE(records.Find(0x0019), nullptr);
  EXPECT_NE(records.Find(0x8102), nullptr);
  EXPECT_EQ(records.DefaultsLeft(), 0u);
  EXPECT_EQ(Ids(records).back(), 0x000A);
  EXPECT_TRUE(r->sheet(0).HasDimension);
  EXPECT_EQ(r->sheet(0).Dimension.Row2, 2);
}

TEST(BiffReader, LongRecordGrowsTheBuffer) {
  // A BIFF5 record longer than 2080 bytes is read whole.
  const std::string text(2990, 'q');
  Stream s;
  s.rec(0x0809, Bof5(5)).rec(0x0085, test::BoundSheet5("S")).rec(0x000A).rec(0x0809, Bof5(0x10));
  s.rec(0x0204, Cell(0, 0).u16(2990).text(text)).rec(0x0203, Number(0, 1, 2)).rec(0x000A);
  auto r = test::ReadCompound(s, u"Book");
  ASSERT_EQ(r->error, "");
  EXPECT_EQ(r->text(0, "A1"), text);
  EXPECT_EQ(r->text(0, "A2"), "2");
}

TEST(BiffReader, RawBiff8StreamOutsideACompoundFile) {
  Stream sheet;
  sheet.rec(0x0203, Number(0, 0, 12));
  auto r = test::ReadBare(Book8().sheet("S", sheet).build().data());
  ASSERT_EQ(r->error, "");
  EXPECT_EQ(r->wb().Version(), xvNone);
  EXPECT_EQ(r->text(0, "A1"), "12");
}

// ---- Real files -------------------------------------------------------------------------------------

struct Expected {
  int sheet;
  const char* ref;
  const char* text;
};

void CheckFile(const char* file, const std::vector<std::string>& sheets, const std::vector<Expected>& cells) {
  SCOPED_TRACE(file);
  auto r = test::ReadFile(platform::HostToWide(std::string(TABULON_FIXTURES) + "/" + file));
  ASSERT_EQ(r->error, "");
  ASSERT_EQ(r->wb().Sheets().Count(), static_cast<int>(sheets.size()));
  for (std::size_t i = 0; i < sheets.size(); ++i) EXPECT_EQ(Host(r->sheet(static_cast<int>(i)).Name()), sheets[i]);
  for (const Expected& e : cells) EXPECT_EQ(r->text(e.sheet, e.ref), e.text) << e.sheet << " " << e.ref;
}

TEST(BiffReader, FilesOfOtherWriters) {
  const std::vector<Expected> prices = {{0, "A1", "Item"}, {0, "B2", "1.25"}, {0, "C3", "10"},
                                        {0, "A4", "Total"}, {1, "A1", "Zürich"}, {1, "A2", "42"}};
  CheckFile("prices_biff8_xlwt.xls", {"Prices", "Notes"}, prices);
  CheckFile("prices_biff8_libreoffice.xls", {"Prices", "Notes"}, prices);
  CheckFile("prices_biff5_gnumeric.xls", {"Prices", "Notes"}, prices);

  const std::vector<Expected> mixed = {
      {0, "A1", "Text"},         {0, "B1", "123"},     {0, "C1", "-4.5"},      {0, "D1", "1E-10"},
      {0, "E1", "123456789012345"}, {0, "F1", "0.333333333333333"}, {0, "A3", "246"},
      {0, "C3", "TRUE"},         {0, "D3", "#DIV/0!"}, {0, "E3", "#N/A"},      {0, "B5", "2"},
      {0, "C14", "11"},          {0, "B14", "20"},     {0, "D5", "10"},
      {0, "E5", "770"},          {0, "A17", "after long"}, {0, "B17", "0.3"}, {0, "C17", "1E20"},
      {0, "D17", "-0.000123456789012345"}, {2, "B2", "end"}};
  CheckFile("mixed_biff8_libreoffice.xls", {"Data", "Empty", "Last"}, mixed);
  CheckFile("mixed_biff5_gnumeric.xls", {"Data", "Empty", "Last"}, mixed);
  CheckFile("mixed_biff5_sheetjs.xls", {"Data", "Empty", "Last"}, mixed);
  std::vector<Expected> first;
  for (const Expected& e : mixed)
    if (e.sheet == 0) first.push_back(e);
  CheckFile("mixed_biff2_sheetjs.xls", {"Sheet1"}, first);

  CheckFile("mixed_biff8_xlwt.xls", {"Values", "Zweite"},
            {{0, "A1", "Label"}, {0, "D1", "1234567.891"}, {0, "E1", "2147483648"}, {0, "F1", "1E-300"},
             {0, "A2", "Ελληνικά"}, {0, "B2", "TRUE"}, {0, "D2", ""}, {0, "C4", "3"}, {0, "D4", "0.25"},
             {0, "A6", "after"}, {1, "A1", "Straße"}, {1, "F11", "3.14159265358979"}});

  CheckFile("chart_biff8_libreoffice.xls", {"Lines", "Middle", "Last"},
            {{0, "A8", "39.75"}, {0, "B8", "FALSE"}, {0, "A30", "after the charts"}, {1, "B2", "middle sheet"},
             {2, "D4", "last sheet"}});
  CheckFile("cp1251_biff5_gnumeric.xls", {"Лист", "Two"},
            {{0, "A1", "Ладовность"}, {0, "C1", "Ладовность!"}, {1, "B2", "Ёж ёлка 2"}});
  CheckFile("cp932_biff5_gnumeric.xls", {"漢字の表", "Two"}, {{0, "A1", "漢字データ"}, {0, "A2", "ｶﾀｶﾅ半角"}});

  auto r = test::ReadFile(platform::HostToWide(std::string(TABULON_FIXTURES) + "/mixed_biff8_libreoffice.xls"));
  ASSERT_EQ(r->error, "");
  EXPECT_EQ(r->text(0, "A2"), "Привет мир");
  EXPECT_EQ(r->text(0, "B2"), "日本語");
  EXPECT_EQ(r->text(0, "B3"), "Привет мир!");
  EXPECT_EQ(r->text(0, "D7"), "30");  // a cell of the array D5:D7
  EXPECT_EQ(r->sheet(0).GetCellText(5, 2), std::u16string(5000, u'ж'));
  std::u16string longText = u"long:";
  for (int i = 0; i < 6000; ++i) longText += static_cast<char16_t>(0x410 + i % 32);
  EXPECT_EQ(r->sheet(0).GetCellText(0, 15), longText);
}

}  // namespace
}  // namespace tabulon
