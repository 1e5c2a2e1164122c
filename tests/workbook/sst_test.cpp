#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform/error.h"
#include "record_fixture.h"
#include "workbook/crc32.h"
#include "workbook/sst.h"

namespace tabulon {
namespace {

using test::Bytes;
using test::kContinue;
using test::MemoryRecords;

std::u16string U16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// Runs ReadSST over an SST body and its following records.
void Read(TSST2& sst, const Bytes& body,
          std::vector<std::pair<uint16_t, std::vector<uint8_t>>> next = {}) {
  MemoryRecords source(body.data, std::move(next));
  sst.ReadSST(source, source.FirstLength());
}

std::string MessageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.Message();
  }
  return "(no exception)";
}

TEST(Crc32, KnownValues) {
  // Started at 0xFFFFFFFF without the final complement: the complement of the
  // usual check value of "123456789" (0xCBF43926).
  EXPECT_EQ(Crc32("123456789", 9), ~0xCBF43926u);
  EXPECT_EQ(Crc32("", 0), 0xFFFFFFFFu);
  // Feeding in pieces gives the same value as in one go.
  EXPECT_EQ(Crc32("6789", 4, Crc32("12345", 5)), Crc32("123456789", 9));
}

TEST(ReadSST, RepeatedTextsShareOneEntry) {
  TSST2 sst;
  Bytes body;
  body.u32(5).u32(3).str8("A").str8("B").str8("A");
  Read(sst, body);
  ASSERT_EQ(sst.Count(), 3);
  EXPECT_EQ(sst.StringCount(), 5);
  EXPECT_EQ(sst.GetEntry(0), sst.GetEntry(2));
  EXPECT_NE(sst.GetEntry(0), sst.GetEntry(1));
  EXPECT_EQ(sst.GetEntry(0)->RefCount, 1);
  EXPECT_EQ(sst.GetEntry(1)->RefCount, 0);
  EXPECT_EQ(TSST2::GetText(sst.GetEntry(1)), u"B");
}

TEST(ReadSST, TextSplitByContinueRecords) {
  struct Case {
    const char* name;
    Bytes body;
    std::vector<std::pair<uint16_t, std::vector<uint8_t>>> next;
    std::u16string text;
    bool wide;
  } cases[] = {
      {"8-bit text continued as UTF-16",
       Bytes().u32(1).u32(1).u16(6).u8(0).raw("abc"),
       {{kContinue, Bytes().u8(1).wide(u"d\u20ACf").data}},
       u"abcd\u20ACf", true},
      {"8-bit text continued as 8-bit",
       Bytes().u32(1).u32(1).u16(6).u8(0).raw("abc"),
       {{kContinue, Bytes().u8(0).raw("def").data}},
       u"abcdef", false},
      {"UTF-16 text continued as 8-bit",
       Bytes().u32(1).u32(1).u16(4).u8(1).wide(u"\u4E2D\u6587"),
       {{kContinue, Bytes().u8(0).raw("\xE9!").data}},
       u"\u4E2D\u6587\u00E9!", true},
      {"three pieces, header alone in the first record",
       Bytes().u32(1).u32(1).u16(5).u8(0),
       {{kContinue, Bytes().u8(0).raw("ab").data},
        {kContinue, Bytes().u8(1).wide(u"cde").data}},
       u"abcde", true},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    TSST2 sst;
    Read(sst, c.body, c.next);
    ASSERT_EQ(sst.Count(), 1);
    EXPECT_EQ(sst.GetEntry(0)->IsWide(), c.wide);
    EXPECT_EQ(TSST2::GetText(sst.GetEntry(0)), c.text);
  }
}

TEST(ReadSST, StringEndingAtTheRecordEnd) {
  TSST2 sst;
  Bytes body;
  body.u32(2).u32(2).str8("first");
  MemoryRecords source(body.data, {{kContinue, Bytes().str16(u"second").data}, {0x00FF, {}}});
  sst.ReadSST(source, source.FirstLength());
  ASSERT_EQ(sst.Count(), 2);
  EXPECT_EQ(TSST2::GetText(sst.GetEntry(1)), u"second");
  EXPECT_EQ(source.RecordsRead(), 1u);  // the record after the chain is left alone
}

TEST(ReadSST, RunsAndPhoneticDataCrossingRecords) {
  TXFonts fonts;
  fonts.DeletableFrom = 0;  // as during a legacy read: every font is counted
  TSST2 sst(&fonts);
  // Option 0x0D: UTF-16, phonetic block, runs. 3 runs, 6 phonetic bytes.
  Bytes body;
  body.u32(1).u32(1).u16(3).u8(0x0D).u16(3).u32(6).wide(u"x\u00FFz").u16(0).u16(1).u16(1);
  std::vector<std::pair<uint16_t, std::vector<uint8_t>>> next = {
      // the rest of run 1, then half of run 2, then phonetic bytes in two records;
      // no option byte in front of runs or phonetic data
      {kContinue, Bytes().u16(2).u16(2).data},
      {kContinue, Bytes().u16(3).u8(0xAA).u8(0xBB).data},
      {kContinue, Bytes().u8(0xCC).u8(0xDD).u8(0xEE).u8(0xFF).data},
  };
  Read(sst, body, next);
  ASSERT_EQ(sst.Count(), 1);
  TSSTEntry* entry = sst.GetEntry(0);
  EXPECT_EQ(entry->Options, 0x0D);
  EXPECT_EQ(TSST2::GetText(entry), u"x\u00FFz");
  ASSERT_EQ(entry->RunCount, 3u);
  const TSSTRun* runs = entry->Runs();
  EXPECT_EQ(runs[0].Position, 0u);
  EXPECT_EQ(runs[0].Font, fonts[1]);
  EXPECT_EQ(runs[1].Position, 1u);
  EXPECT_EQ(runs[1].Font, fonts[2]);
  EXPECT_EQ(runs[2].Position, 2u);
  EXPECT_EQ(runs[2].Font, fonts[3]);
  EXPECT_EQ(fonts[1]->UsageCount, 1);
  ASSERT_EQ(entry->PhoneticSize, 6u);
  EXPECT_EQ(std::vector<uint8_t>(entry->Phonetic(), entry->Phonetic() + 6),
            (std::vector<uint8_t>{0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}));
}

TEST(ReadSST, RunFontsOutsideTheListUseFontZero) {
  TXFonts fonts;
  TSST2 sst(&fonts);
  Bytes body;
  body.u32(1).u32(1).u16(2).u8(0x08).u16(1).raw("ab").u16(1).u16(900);
  Read(sst, body);
  EXPECT_EQ(sst.GetEntry(0)->Runs()[0].Font, fonts[0]);
  // Without a font list the runs keep no font.
  TSST2 bare;
  Read(bare, body);
  EXPECT_EQ(bare.GetEntry(0)->Runs()[0].Font, nullptr);
  EXPECT_EQ(bare.GetEntry(0)->Runs()[0].Position, 1u);
}

TEST(ReadSST, MalformedRecordsRaiseOneMessage) {
  struct Case {
    const char* name;
    Bytes body;
    std::vector<std::pair<uint16_t, std::vector<uint8_t>>> next;
    const char* message;
  } cases[] = {
      {"counts cut short", Bytes().u32(1).u16(0), {}, "SST record truncated"},
      {"string header cut at the record end", Bytes().u32(1).u32(1).u16(3), {},
       "SST record truncated"},
      {"run count cut", Bytes().u32(1).u32(1).u16(3).u8(8).u8(1), {}, "SST record truncated"},
      {"phonetic size cut", Bytes().u32(1).u32(1).u16(3).u8(4).u16(1), {}, "SST record truncated"},
      {"unknown option byte", Bytes().u32(1).u32(1).u16(1).u8(2).raw("a"), {},
       "STT: Unhandled string type in Read (02)"},
      {"option byte 0x10", Bytes().u32(1).u32(1).u16(1).u8(0x10).raw("a"), {},
       "STT: Unhandled string type in Read (10)"},
      {"more strings than data", Bytes().u32(2).u32(2).str8("a"), {},
       "CONTINUE record is missing in SST"},
      {"other record instead of CONTINUE", Bytes().u32(1).u32(1).u16(4).u8(0).raw("ab"),
       {{0x00FD, Bytes().u8(0).raw("cd").data}}, "CONTINUE record is missing in SST"},
      {"empty CONTINUE where an option byte belongs", Bytes().u32(1).u32(1).u16(4).u8(0).raw("ab"),
       {{kContinue, {}}}, "SST record truncated"},
      // Sizes far beyond the data: the read ends at the missing CONTINUE
      // record instead of allocating what the counts claim.
      {"huge character count", Bytes().u32(1).u32(1).u16(0xFFFF).u8(1).raw("ab"), {},
       "CONTINUE record is missing in SST"},
      {"huge phonetic size", Bytes().u32(1).u32(1).u16(1).u8(4).u32(0xFFFFFFFF).raw("a"),
       {{kContinue, Bytes().raw("xyz").data}}, "CONTINUE record is missing in SST"},
      {"huge run count", Bytes().u32(1).u32(1).u16(1).u8(8).u16(0xFFFF).raw("a"), {},
       "CONTINUE record is missing in SST"},
      {"huge string count", Bytes().u32(0xFFFFFFFF).u32(0xFFFFFFFF).str8("a"), {},
       "CONTINUE record is missing in SST"},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    TSST2 sst;
    EXPECT_EQ(MessageOf([&] { Read(sst, c.body, c.next); }), c.message);
  }
}

TEST(ReadSST, BodyShorterThanItsLengthIsTruncated) {
  TSST2 sst;
  Bytes body;
  body.u32(1).u32(1).str8("abc");
  MemoryRecords source(body.data, {});
  EXPECT_EQ(MessageOf([&] { sst.ReadSST(source, 40); }), "SST record truncated");
}

TEST(ReadSST, SecondRecordIsRefusedUntilClear) {
  TSST2 sst;
  Bytes body;
  body.u32(2).u32(2).str8("A").str8("B");
  Read(sst, body);
  EXPECT_EQ(MessageOf([&] { Read(sst, body); }), "SST record repeated");
  EXPECT_EQ(sst.Count(), 2);
  EXPECT_EQ(TSST2::GetText(sst.GetEntry(1)), u"B");
  sst.Clear();
  EXPECT_EQ(sst.Count(), 0);
  Read(sst, body);
  EXPECT_EQ(sst.Count(), 2);
}

TEST(ReadSST, StringsReadBeforeAFailureStay) {
  TSST2 sst;
  Bytes body;
  body.u32(3).u32(3).str8("kept").u16(1).u8(0x22);
  EXPECT_EQ(MessageOf([&] { Read(sst, body); }), "STT: Unhandled string type in Read (22)");
  ASSERT_EQ(sst.Count(), 1);
  EXPECT_EQ(TSST2::GetText(sst.GetEntry(0)), u"kept");
}

TEST(SST, GetEntryOutOfRange) {
  TSST2 sst;
  sst.AddString(u"a");
  EXPECT_EQ(MessageOf([&] { sst.GetEntry(1); }), "List index out of bounds (1)");
  EXPECT_EQ(MessageOf([&] { sst.GetEntry(-1); }), "List index out of bounds (-1)");
}

TEST(SST, StorageWidthByCodeUnits) {
  struct Case {
    std::u16string text;
    bool wide;
  } cases[] = {
      {u"plain", false}, {u"caf\u00E9", false}, {u"\u00FF", false}, {u"\u0080\u009F", false},
      {u"\u0100", true}, {u"a\u20AC", true},    {u"", false},
  };
  for (const Case& c : cases) {
    TSST2 sst;
    TSSTEntry* added = sst.AddString(c.text);
    TSSTEntry* found = sst.FindOrAddString(c.text + u"!");
    TXLSWideStringList runs = {{c.text, nullptr}};
    TSSTEntry* rich = sst.AddRichString(c.text, runs);
    for (TSSTEntry* entry : {added, found, rich}) {
      EXPECT_EQ(entry->IsWide(), c.wide) << entry->Options;
      EXPECT_EQ(entry->CharCount, c.text.size() + (entry == found));
    }
    EXPECT_EQ(TSST2::GetText(added), c.text);
    // Read back unchanged, also where the ANSI code page has no such character.
    EXPECT_EQ(TSST2::GetText(found), c.text + u"!");
    EXPECT_EQ(TSST2::GetText(rich), c.text);
    EXPECT_EQ(rich->Options & kSSTRich, kSSTRich);
  }
}

TEST(SST, ByteE9ReadBackAsLatinSmallEWithAcute) {
  TSST2 sst;
  Bytes body;
  body.u32(1).u32(1).u16(1).u8(0).u8(0xE9);
  Read(sst, body);
  EXPECT_EQ(TSST2::GetText(sst.GetEntry(0)), u"\u00E9");
  // The same text added later finds the entry read.
  EXPECT_EQ(sst.FindOrAddString(u"\u00E9"), sst.GetEntry(0));
}

TEST(SST, EqualBytesOfDifferentWidthAreDifferentStrings) {
  TSST2 sst;
  // "-N" is 2D 4E; U+4E2D in UTF-16 little endian is 2D 4E as well.
  TSSTEntry* narrow = sst.AddString(u"-N");
  TSSTEntry* wide = sst.AddString(u"\u4E2D");
  EXPECT_NE(narrow, wide);
  EXPECT_EQ(TSST2::GetText(sst.GetEntry(0)), u"-N");
  EXPECT_EQ(TSST2::GetText(sst.GetEntry(1)), u"\u4E2D");
  EXPECT_EQ(sst.FindOrAddString(u"\u4E2D"), wide);
}

TEST(SST, FindOrAddCountsReferences) {
  TSST2 sst;
  TSSTEntry* first = sst.FindOrAddString(u"new");
  TSSTEntry* second = sst.FindOrAddString(u"new");
  EXPECT_EQ(first, second);
  EXPECT_EQ(first->RefCount, 2);
  EXPECT_EQ(first->EntryIndex, 0xFFFFu);
  EXPECT_EQ(sst.Count(), 0);
  EXPECT_EQ(sst.StringCount(), 2);
  EXPECT_FALSE(sst.ReleaseString(first));
  EXPECT_TRUE(sst.ReleaseString(first));
  EXPECT_EQ(sst.StringCount(), 1);
  // A freed text can be added again.
  EXPECT_EQ(TSST2::GetText(sst.FindOrAddString(u"new")), u"new");
}

TEST(SST, ListedEntriesOutliveTheirCells) {
  TSST2 sst;
  TSSTEntry* entry = sst.AddString(u"listed");
  TSST2::AddRef(entry);             // a cell refers to it
  EXPECT_FALSE(sst.ReleaseString(entry));  // the cell is deleted
  EXPECT_EQ(sst.GetEntry(0), entry);
  EXPECT_EQ(TSST2::GetText(sst.GetEntry(0)), u"listed");
  // A cell written later by text finds it.
  EXPECT_EQ(sst.FindOrAddString(u"listed"), entry);
  EXPECT_EQ(entry->RefCount, 1);
}

TEST(SST, RichStringsCountTheirFonts) {
  TXFonts fonts;
  TXFont* bold = fonts.AddFont();  // index 5, at DeletableFrom: counted
  bold->SetStyle(kFontBold);
  TSST2 sst(&fonts);
  TXLSWideStringList runs = {{u"ab", fonts[0]}, {u"cde", bold}, {u"f", bold}};
  TSSTEntry* entry = sst.AddRichString(u"abcdef", runs);
  ASSERT_EQ(entry->RunCount, 3u);
  EXPECT_EQ(entry->Runs()[1].Position, 2u);
  EXPECT_EQ(entry->Runs()[2].Position, 5u);
  EXPECT_EQ(entry->Runs()[2].Font, bold);
  EXPECT_EQ(bold->UsageCount, 2);
  EXPECT_EQ(fonts[0]->UsageCount, 0);  // below DeletableFrom
  // An equal rich string shares the entry and takes no further font usage.
  EXPECT_EQ(sst.AddRichString(u"abcdef", runs), entry);
  EXPECT_EQ(bold->UsageCount, 2);
  // The same text with other runs, and without runs, are other strings.
  TXLSWideStringList other = {{u"abcdef", bold}};
  EXPECT_NE(sst.AddRichString(u"abcdef", other), entry);
  EXPECT_NE(sst.AddString(u"abcdef"), entry);
}

// Four bytes that, appended after `prefix`, bring the CRC to `target`.
std::string ForceCrc(const std::string& prefix, uint32_t target) {
  uint32_t table[256];
  for (uint32_t i = 0; i < 256; ++i) {
    uint8_t b = static_cast<uint8_t>(i);
    table[i] = Crc32(&b, 1, 0);
  }
  uint32_t state = target;
  for (int step = 0; step < 4; ++step) {
    uint32_t index = 0;
    while ((table[index] >> 24) != (state >> 24)) ++index;
    state = ((state ^ table[index]) << 8) | index;
  }
  uint32_t bytes = state ^ Crc32(prefix.data(), prefix.size());
  std::string out;
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(bytes >> (8 * i)));
  return out;
}

TEST(SST, ManyStringsWithOneHash) {
  // More strings of one CRC than a chain holds: the trie must not split
  // forever once all hash bits are used.
  TSST2 sst;
  std::vector<std::u16string> texts;
  for (int i = 0; i < 40; ++i) {
    std::string prefix = "k" + std::to_string(i);
    std::string text = prefix + ForceCrc(prefix, 0x12345678u);
    ASSERT_EQ(Crc32(text.data(), text.size()), 0x12345678u);
    texts.emplace_back(text.begin(), text.end());
    for (char16_t& c : texts.back()) c &= 0xFF;
  }
  std::set<TSSTEntry*> entries;
  for (const auto& text : texts) entries.insert(sst.AddString(text));
  EXPECT_EQ(entries.size(), texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    EXPECT_EQ(sst.FindOrAddString(texts[i]), sst.GetEntry(static_cast<int64_t>(i)));
    EXPECT_EQ(TSST2::GetText(sst.GetEntry(static_cast<int64_t>(i))), texts[i]);
  }
  // Entries outside the list are removed from the deep chains again.
  TSST2 loose;
  std::vector<TSSTEntry*> added;
  for (const auto& text : texts) added.push_back(loose.FindOrAddString(text));
  for (TSSTEntry* entry : added) EXPECT_TRUE(loose.ReleaseString(entry));
  EXPECT_EQ(loose.ItemCount(), 0u);
}

TEST(SST, LargeTableAddFindRelease) {
  TSST2 sst;
  const int n = 30000;
  for (int i = 0; i < n; ++i) sst.AddString(U16("s" + std::to_string(i)));
  std::vector<TSSTEntry*> loose;
  for (int i = 0; i < n; ++i) loose.push_back(sst.FindOrAddString(U16("t" + std::to_string(i))));
  EXPECT_EQ(sst.ItemCount(), 2u * n);
  for (int i = 0; i < n; i += 7)
    EXPECT_EQ(sst.FindOrAddString(U16("s" + std::to_string(i))), sst.GetEntry(i));
  for (TSSTEntry* entry : loose) EXPECT_TRUE(sst.ReleaseString(entry));
  EXPECT_EQ(sst.ItemCount(), static_cast<std::size_t>(n));
  EXPECT_EQ(TSST2::GetText(sst.GetEntry(n - 1)), U16("s" + std::to_string(n - 1)));
  sst.Clear();
  EXPECT_EQ(sst.ItemCount(), 0u);
  EXPECT_EQ(sst.StringCount(), 0);
}

}  // namespace
}  // namespace tabulon
