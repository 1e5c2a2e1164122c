#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "record_fixture.h"
#include "workbook/formats.h"

namespace tabulon {
namespace {

using test::Bytes;

std::string MessageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.Message();
  }
  return "(no exception)";
}

// A BIFF8 FONT record body.
Bytes FontRecord(uint16_t height, uint16_t flags, uint16_t color, uint16_t weight,
                 uint8_t underline, uint8_t family, uint8_t charset, const std::u16string& name,
                 bool wide) {
  Bytes b;
  b.u16(height).u16(flags).u16(color).u16(weight).u16(0).u8(underline).u8(family).u8(charset).u8(0);
  b.u8(static_cast<uint32_t>(name.size())).u8(wide ? 1 : 0);
  for (char16_t c : name) wide ? b.u16(c) : b.u8(c);
  return b;
}

// A BIFF8 XF record body naming a font and a number format.
Bytes XF8(uint16_t font, uint16_t numberFormat) {
  Bytes b;
  b.u16(font).u16(numberFormat).u16(0x0001).u8(0x20).u8(0).u8(0).u8(0);
  b.u32(0).u32(0).u16(0x20C0);
  return b;
}

TEST(Fonts, DefaultsAndLegacyRecords) {
  TXFonts fonts;
  ASSERT_EQ(fonts.Count(), 5);
  EXPECT_EQ(fonts.DeletableFrom, 5);
  EXPECT_EQ(fonts[4]->Name, u"Arial");
  EXPECT_EQ(fonts[4]->Height(), 200u);
  EXPECT_EQ(fonts[4]->Family(), 2);
  EXPECT_EQ(fonts[4]->Color(), 8);

  // A legacy read with 6 FONT records: the file's fifth font gets index 5.
  fonts.Clear();
  EXPECT_EQ(fonts.DeletableFrom, 0);
  for (int i = 0; i < 6; ++i) {
    Bytes record = FontRecord(static_cast<uint16_t>(220 + i), 0, 8, 400, 0, 2, 0, u"F" + std::u16string(1, u'0' + i), false);
    fonts.AddFontRecord(record.data.data(), record.size());
  }
  fonts.FinishRead();
  ASSERT_EQ(fonts.Count(), 7);
  EXPECT_EQ(fonts.DeletableFrom, 7);
  EXPECT_EQ(fonts[3]->Name, u"F3");
  EXPECT_EQ(fonts[4]->Name, u"Arial");  // the filler
  EXPECT_EQ(fonts[5]->Name, u"F4");
  EXPECT_EQ(fonts[6]->Height(), 225u);
  for (int i = 0; i < 7; ++i) EXPECT_EQ(fonts[i]->ListIndex, i);
  EXPECT_EQ(MessageOf([&] { fonts[7]; }), "List index out of bounds (7)");
}

TEST(Fonts, ReadFontRecordFields) {
  struct Case {
    const char* what;
    Bytes record;
    bool biff8;
    std::u16string name;
    uint8_t style, color, charset, family, underline;
    uint32_t height;
  } cases[] = {
      {"UTF-16 name, bold italic strike-out",
       FontRecord(240, 0x0A, 12, 700, 1, 3, 0xCC, u"\u0418\u0440\u0438\u043D\u0430", true), true,
       u"\u0418\u0440\u0438\u043D\u0430", kFontBold | kFontItalic | kFontStrikeOut, 12, 0xCC, 3, 1,
       240},
      {"compressed name, colour beyond 255", FontRecord(180, 0, 0x7FFF, 400, 0, 2, 0, u"Tim\u00E9s", false),
       true, u"Tim\u00E9s", 0, 0, 0, 2, 0, 180},
      {"weight 699 is not bold", FontRecord(200, 0x02, 8, 699, 2, 0, 0, u"A", false), true, u"A",
       kFontItalic, 8, 0, 0, 2, 200},
      {"BIFF5 byte-string name", Bytes().u16(200).u16(0).u16(8).u16(400).u16(0).u8(0).u8(2).u8(0).u8(0).u8(5).raw("Arial"),
       false, u"Arial", 0, 8, 0, 2, 0, 200},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    TXFont font;
    font.ReadFontRecord(c.record.data.data(), c.record.size(), c.biff8);
    EXPECT_EQ(font.Name, c.name);
    EXPECT_EQ(font.Style(), c.style);
    EXPECT_EQ(font.Color(), c.color);
    EXPECT_EQ(font.Charset(), c.charset);
    EXPECT_EQ(font.Family(), c.family);
    EXPECT_EQ(font.Underline(), c.underline);
    EXPECT_EQ(font.Height(), c.height);
  }
}

TEST(Fonts, ShortRecordsAreReadAsFarAsTheyGo) {
  // Name counts beyond the record, and records cut anywhere, read what is there.
  Bytes full = FontRecord(240, 0, 8, 700, 0, 2, 0, u"Verdana", true);
  for (std::size_t size = 0; size <= full.size(); ++size) {
    TXFont font;
    font.ReadFontRecord(full.data.data(), size);
    EXPECT_LE(font.Name.size(), 7u);
  }
  TXFont font;
  font.ReadFontRecord(full.data.data(), full.size() - 3);
  EXPECT_EQ(font.Name, u"Verda");  // 11 bytes hold 5 whole characters
}

TEST(Fonts, FindOrAddAndDelete) {
  TXFonts fonts;
  TXFont probe;
  probe.Name = u"ARIAL";
  EXPECT_EQ(fonts.FindOrAddFont(probe), fonts[0]);  // name compared regardless of case
  probe.SetStyle(kFontBold);
  TXFont* bold = fonts.FindOrAddFont(probe);
  EXPECT_EQ(bold->ListIndex, 5);
  EXPECT_EQ(fonts.FindOrAddFont(probe), bold);

  TXFontEx12* ex = fonts.AddFontEx12();
  ex->Name = u"Calibri";
  ex->Ex12Data[0] = 1;
  TXFontEx12 other;
  other.Name = u"Calibri";
  other.Ex12Data[0] = 2;  // differs only in the Open XML attributes
  TXFont* added = fonts.FindOrAddFont(other);
  EXPECT_NE(added, ex);
  EXPECT_TRUE(added->IsEx12());
  other.Ex12Data[0] = 1;
  EXPECT_EQ(fonts.FindOrAddFont(other), ex);

  // Deleting moves later fonts down; the deleted font is found no more.
  fonts.DeleteFont(5);
  EXPECT_EQ(ex->ListIndex, 5);
  EXPECT_EQ(fonts[5], ex);
  TXFont* again = fonts.FindOrAddFont(probe);
  EXPECT_EQ(again->ListIndex, fonts.Count() - 1);
  EXPECT_EQ(again->Style(), kFontBold);

  // A font changed after it was found is found by its new values once the
  // trie is rebuilt.
  fonts[2]->Name = u"Courier";
  fonts.RebuildFontTrie();
  probe = TXFont();
  probe.Name = u"courier";
  EXPECT_EQ(fonts.FindOrAddFont(probe), fonts[2]);
}

TEST(Fonts, UsageCountingDeletesUnusedFonts) {
  TXFonts fonts;
  TXFont* extra = fonts.AddFont();  // index 5: deletable
  TXFont* last = fonts.AddFont();
  fonts.UseFont(extra);
  fonts.UseFont(extra);
  fonts.UseFont(fonts[0]);  // below DeletableFrom: not counted
  EXPECT_EQ(fonts[0]->UsageCount, 0);
  fonts.ReleaseFont(extra);
  EXPECT_EQ(fonts.Count(), 7);
  fonts.ReleaseFont(extra);
  ASSERT_EQ(fonts.Count(), 6);
  EXPECT_EQ(fonts[5], last);
  EXPECT_EQ(last->ListIndex, 5);
  fonts.ReleaseFont(last);  // never used: not deleted
  EXPECT_EQ(fonts.Count(), 6);
}

TEST(Fonts, EmptyListAfterARead) {
  TXFonts fonts;
  fonts.Clear();
  TCellFormats formats(&fonts, false);
  Bytes xf = XF8(3, 0);
  TCellFormat* format = formats.AddXFRecord(xf.data.data(), xf.size(), true, false);
  EXPECT_EQ(format->Font(), nullptr);
  fonts.FinishRead();
  ASSERT_EQ(fonts.Count(), 1);
  EXPECT_EQ(fonts.DeletableFrom, 1);
  EXPECT_EQ(format->Font(), fonts[0]);  // index 3 is outside: font 0
}

TEST(NumberFormats, BuiltIns) {
  TNumberFormats list;
  list.Reset();
  ASSERT_EQ(list.Count(), 59);
  EXPECT_EQ(list.HighestIndex, 58);
  EXPECT_TRUE(list.IsSorted);
  struct Case {
    int index;
    const char16_t* text;
  } cases[] = {{0, u""},         {1, u"0"},       {13, u"# ?\?/?\?"}, {22, u"m/d/yy h:mm"},
               {23, u""},        {36, u""},       {44, u"_($* #,##0.00_);_($* (#,##0.00);_($* \"-\"??_);_(@_)"},
               {48, u"# #0.0E+0"}, {49, u"@"},    {50, u""},          {58, u""}};
  for (const Case& c : cases) {
    TNumberFormat* format = list.FormatByIndex(c.index);
    ASSERT_NE(format, nullptr);
    EXPECT_EQ(format->Text, c.text) << c.index;
    EXPECT_EQ(format->UsageCount, -1);
  }
  EXPECT_EQ(list.FindNumberFormat(59), -1);
}

TEST(NumberFormats, AddFindUseRelease) {
  TNumberFormats list;
  list.Reset();
  list.AddNumberFormat(u"0.000", 300, 1);
  list.AddNumberFormat(u"#,##0.0", 170, 1);  // out of order: found all the same
  EXPECT_FALSE(list.IsSorted);
  EXPECT_EQ(list.FormatByIndex(170)->Text, u"#,##0.0");
  EXPECT_EQ(list.HighestIndex, 300);
  list.SortNumberFormats();
  EXPECT_TRUE(list.IsSorted);
  EXPECT_EQ(list.Items(59).Index, 170);
  EXPECT_EQ(list.Items(60).Index, 300);

  // Updating: a built-in takes the usage given, others add it.
  list.AddNumberFormat(u"0.0", 2, 1);
  EXPECT_EQ(list.FormatByIndex(2)->UsageCount, 1);
  EXPECT_EQ(list.FormatByIndex(2)->Text, u"0.0");
  list.AddNumberFormat(u"0.0000", 300, 2);
  EXPECT_EQ(list.FormatByIndex(300)->UsageCount, 3);
  EXPECT_EQ(list.FormatByIndex(300)->Text, u"0.0000");

  EXPECT_EQ(list.FindOrAddNumberFormat(u"@"), 49);
  EXPECT_EQ(list.FindOrAddNumberFormat(u"yyyy"), 301);
  EXPECT_EQ(list.FindOrAddNumberFormat(u"yyyy"), 301);
  EXPECT_EQ(list.FormatByIndex(301)->UsageCount, 2);

  EXPECT_TRUE(list.UseNumberFormat(10));
  EXPECT_EQ(list.FormatByIndex(10)->UsageCount, -1);  // built-ins are not counted
  EXPECT_FALSE(list.UseNumberFormat(200));
  list.ReleaseNumberFormat(170);
  EXPECT_EQ(list.FormatByIndex(170), nullptr);  // usage fell below 1
  list.ReleaseNumberFormat(170);                // gone: nothing happens
  list.ReleaseNumberFormat(10);
  EXPECT_NE(list.FormatByIndex(10), nullptr);
}

TEST(CellFormats, MasterDefaults) {
  TXFonts fonts;
  TCellFormats formats(&fonts, true);
  ASSERT_EQ(formats.Count(), 22);
  EXPECT_EQ(formats.DeletableFrom, 22);
  ASSERT_EQ(formats.Fills().Count(), 2);
  EXPECT_EQ(formats.Fills()[0]->PatternType, 0);
  EXPECT_EQ(formats.Fills()[1]->PatternType, 17);
  EXPECT_EQ(formats.Fills()[1]->UsageCount, 0);
  EXPECT_EQ(formats.Borders().Count(), 1);
  EXPECT_EQ(formats.NumberFormats().Count(), 59);

  struct Case {
    int index;
    uint16_t font, numberFormat, protection;
    uint8_t attributes;
  } cases[] = {{0, 0, 0, 0xFFF5, 0},     {1, 1, 0, 0xFFF5, 0xF4},  {2, 1, 0, 0xFFF5, 0xF4},
               {3, 2, 0, 0xFFF5, 0xF4},  {4, 2, 0, 0xFFF5, 0xF4},  {5, 0, 0, 0xFFF5, 0xF4},
               {14, 0, 0, 0xFFF5, 0xF4}, {15, 0, 0, 0x0001, 0},    {16, 0, 42, 0xFFF5, 0},
               {19, 0, 45, 0xFFF5, 0},   {20, 0, 9, 0xFFF5, 0}};
  for (const Case& c : cases) {
    TCellFormat* f = formats[c.index];
    SCOPED_TRACE(c.index);
    EXPECT_EQ(f->ListIndex, c.index);
    EXPECT_EQ(f->FontIndex(), c.font);
    EXPECT_EQ(f->NumberFormatIndex(), c.numberFormat);
    EXPECT_EQ(f->ProtectionWord(), c.protection);
    EXPECT_EQ(f->Attributes(), c.attributes);
    EXPECT_EQ(f->Alignment(), 0x20);
    EXPECT_EQ(f->BorderWord1(), 0u);
    EXPECT_EQ(f->BorderWord2(), 0u);
    EXPECT_EQ(f->FillColorWord(), 0x20C0);
  }
  for (int index : {42, 43, 44, 45, 9})
    EXPECT_EQ(formats.NumberFormats().FormatByIndex(index)->UsageCount, 1) << index;
  // Format 21 and any added format carry the default values.
  TCellFormat* extra = formats[21];
  EXPECT_EQ(extra->ProtectionWord(), 0x0001);
  EXPECT_EQ(extra->BorderWord1(), 0x20400000u);
  EXPECT_EQ(extra->BorderWord2(), 0x00102040u);
  EXPECT_EQ(extra->FillColorWord(), 0x20C0);
  EXPECT_EQ(formats.DefaultFormat(), formats[15]);
  EXPECT_EQ(MessageOf([&] { formats.AddDefaultFormats(); }), "Add default formats when not empty.");
  EXPECT_EQ(MessageOf([&] { formats[22]; }), "List index out of bounds (22)");
}

TEST(CellFormats, FormatRecordAndXFShareTheNumberFormat) {
  TXFonts fonts;
  TCellFormats formats(&fonts, true);
  formats.Clear();
  formats.NumberFormats().AddNumberFormat(u"0.0%", 164, 1);
  Bytes xf = XF8(0, 164);
  TCellFormat* format = formats.AddXFRecord(xf.data.data(), xf.size(), true, false);
  EXPECT_EQ(format->NumberFormatIndex(), 164);
  EXPECT_EQ(formats.NumberFormats().FormatByIndex(164)->UsageCount, 2);
  EXPECT_EQ(std::vector<uint8_t>(format->XFData, format->XFData + 20), xf.data);
  // A deleted cell format releases its number format.
  formats.DeleteFormat(0);
  EXPECT_EQ(formats.NumberFormats().FormatByIndex(164)->UsageCount, 1);
}

TEST(CellFormats, MissingNumberFormatBecomesGeneral) {
  TXFonts fonts;
  TCellFormats formats(&fonts, false);
  Bytes xf = XF8(0, 200);
  TCellFormat* format = formats.AddXFRecord(xf.data.data(), xf.size(), true, false);
  EXPECT_EQ(format->NumberFormatIndex(), 0);
  format->SetNumberFormatIndex(201);
  EXPECT_EQ(format->NumberFormatIndex(), 0);
  // The number formats are sorted before an XF record is read.
  formats.NumberFormats().AddNumberFormat(u"b", 180, 1);
  formats.NumberFormats().AddNumberFormat(u"a", 170, 1);
  Bytes xf170 = XF8(0, 170);
  formats.AddXFRecord(xf170.data.data(), xf170.size(), true, false);
  EXPECT_TRUE(formats.NumberFormats().IsSorted);
  EXPECT_EQ(formats.NumberFormats().FormatByIndex(170)->UsageCount, 2);
}

TEST(CellFormats, ReadXF5) {
  // BIFF5 XF: font 3, number format 0, protection 1, centred with the given
  // orientation and the font-attribute flag, fill colours 0x0A / 0x41,
  // pattern 1, all four borders thin (1) with colours 8..11.
  auto record = [](uint16_t orientation) {
    Bytes b;
    b.u16(3).u16(0).u16(0x0001);
    b.u16(0x0002 | orientation << 8 | 1 << 11);
    b.u16(0x0A | 0x41 << 7);
    b.u16(1 | 1 << 6 | 9 << 9);                 // pattern, bottom style, bottom colour
    b.u16(1 | 1 << 3 | 1 << 6 | 10 << 9);       // top, left, right styles, top colour
    b.u16(8 | 11 << 7);                         // left and right colours
    return b;
  };
  const uint8_t rotations[4] = {0, 255, 90, 180};
  TXFonts fonts;
  TCellFormats formats(&fonts, false);
  for (uint16_t orientation = 0; orientation < 4; ++orientation) {
    Bytes b = record(orientation);
    TCellFormat* f = formats.AddXFRecord(b.data.data(), b.size(), false, true);
    EXPECT_EQ(f->Rotation(), rotations[orientation]);
    EXPECT_EQ(f->FontIndex(), 3);
    EXPECT_EQ(f->ProtectionWord(), 1);
    EXPECT_EQ(f->Alignment(), 0x02);
    EXPECT_EQ(f->Attributes(), 0x08);
    EXPECT_EQ(f->BorderWord1(), 0x1111u | 8u << 16 | 11u << 23);
    EXPECT_EQ(f->BorderWord2(), 10u | 9u << 7 | 1u << 26);
    EXPECT_EQ(f->FillColorWord(), 0x0A | 0x41 << 7);
  }
  // BIFF3 and BIFF4 records add a default format.
  Bytes b = record(2);
  TCellFormat* f = formats.AddXFRecord(b.data.data(), b.size(), false, false);
  EXPECT_EQ(f->Rotation(), 0);
  EXPECT_EQ(f->FillColorWord(), 0x20C0);
}

TEST(CellFormats, ShortXFRecordsReadAsZeros) {
  TXFonts fonts;
  TCellFormats formats(&fonts, false);
  Bytes xf = XF8(7, 0);
  TCellFormat* f8 = formats.AddXFRecord(xf.data.data(), 3, true, false);
  EXPECT_EQ(f8->FontIndex(), 7);
  EXPECT_EQ(f8->FillColorWord(), 0);
  TCellFormat* f5 = formats.AddXFRecord(xf.data.data(), 1, false, true);
  EXPECT_EQ(f5->FontIndex(), 0);
}

TEST(CellFormats, UsageCountingByCells) {
  TXFonts fonts;
  TCellFormats formats(&fonts, true);
  while (formats.Count() < 60) formats.AddFormat();
  // An index beyond the list gives format 15; formats below DeletableFrom are
  // not counted.
  TCellFormat* fallback = formats.TakeFormat(500);
  EXPECT_EQ(fallback, formats[15]);
  EXPECT_EQ(fallback->UsageCount, 0);
  formats.ReleaseFormat(fallback);
  EXPECT_EQ(formats.Count(), 60);

  TCellFormat* f30 = formats.TakeFormat(30);
  TCellFormat* f31 = formats[31];
  formats.TakeFormat(30);
  EXPECT_EQ(f30->UsageCount, 2);
  formats.ReleaseFormat(f30);
  EXPECT_EQ(formats.Count(), 60);
  formats.ReleaseFormat(f30);  // usage 0: deleted, later formats move down
  EXPECT_EQ(formats.Count(), 59);
  EXPECT_EQ(formats[30], f31);
  EXPECT_EQ(f31->ListIndex, 30);
  // A deletable format that no cell took is not deleted by a stray release.
  formats.ReleaseFormat(f31);
  EXPECT_EQ(formats.Count(), 59);
}

TEST(CellFormats, CellWritersEnsureSixteenFormats) {
  TXFonts fonts;
  TCellFormats formats(&fonts, true);
  formats.Clear();  // a legacy file without XF records
  EXPECT_EQ(formats.DefaultFormat(), nullptr);
  EXPECT_EQ(formats.DeletableFrom, 0);
  TCellFormat* f = formats.TakeFormat(0);
  ASSERT_GE(formats.Count(), 16);
  EXPECT_EQ(f, formats[15]);
  EXPECT_EQ(f->ProtectionWord(), 0x0001);
  EXPECT_EQ(formats.DefaultFormat(), formats[15]);

  TCellFormats few(&fonts, false);
  for (int i = 0; i < 3; ++i) few.AddFormat();
  EXPECT_EQ(few.DefaultFormat(), few[0]);
  few.EnsureFormats();
  EXPECT_EQ(few.Count(), 16);
  EXPECT_EQ(few[15]->ListIndex, 15);
}

TEST(CellFormats, OpenXmlObjects) {
  TXFonts fonts;
  TCellFormats formats(&fonts, true);
  TCellFormatEx12* ex = formats.AddFormatEx12();
  EXPECT_EQ(ex->ListIndex, 22);
  EXPECT_EQ(std::vector<uint8_t>(ex->XFData, ex->XFData + 20), std::vector<uint8_t>(20, 0));
  TFill* fill = formats.Fills().Add();
  TBorder* border = formats.Borders().Add();
  EXPECT_EQ(fill->ListIndex, 2);
  EXPECT_EQ(border->ListIndex, 1);
  EXPECT_EQ(border->UsageCount, 0);
  ex->FillRef = formats.Fills()[2];
  ex->BorderRef = formats.Borders()[1];
  ex->FontRef = fonts[0];
  EXPECT_EQ(MessageOf([&] { formats.Fills()[3]; }), "List index out of bounds (3)");

  TEx12CellStyles styles;
  TEx12CellStyle* normal = styles.Add();
  normal->Name = u"Normal";
  normal->BuiltinId = 0;
  EXPECT_EQ(styles.Count(), 1);
  EXPECT_EQ(styles[0]->Name, u"Normal");
  EXPECT_EQ(MessageOf([&] { styles[-1]; }), "List index out of bounds (-1)");
}

}  // namespace
}  // namespace tabulon
