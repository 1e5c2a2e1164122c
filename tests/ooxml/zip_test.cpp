#include "ooxml/zip.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "platform/error.h"
#include "zip_writer.h"

namespace tabulon {
namespace {

using test::BuildZip;
using test::ZipLayout;
using test::ZipMember;

TMemoryStream StreamOf(const std::string& bytes) {
  TMemoryStream s;
  s.WriteBuffer(bytes.data(), bytes.size());
  s.SetPosition(0);
  return s;
}

std::string Extract(const TXLSZipArchive& zip, const std::u16string& name) {
  TMemoryStream out;
  zip.ExtractFile(name, out);
  EXPECT_EQ(out.Position(), 0);
  return std::string(out.Bytes().begin(), out.Bytes().end());
}

std::string ExtractMessage(const TXLSZipArchive& zip, const std::u16string& name) {
  TMemoryStream out;
  try {
    zip.ExtractFile(name, out);
  } catch (const Exception& e) {
    EXPECT_EQ(out.Size(), 0);
    return e.Message();
  }
  return "(no error)";
}

std::string Repeated(const std::string& piece, int times) {
  std::string s;
  for (int i = 0; i < times; ++i) s += piece;
  return s;
}

const std::string kSheet = Repeated("<row r=\"1\"><c r=\"A1\"><v>1.5</v></c></row>", 200);

TEST(ZipArchive, ExtractsStoredAndDeflatedMembers) {
  TMemoryStream file = StreamOf(BuildZip({{"xl/workbook.xml", "<workbook/>", 0}, {"xl/worksheets/sheet1.xml", kSheet, 8}}));
  TXLSZipArchive zip;
  zip.OpenStream(file);
  ASSERT_TRUE(zip.Reader().IsZipFile());
  EXPECT_FALSE(zip.Reader().HasBadEntries());
  EXPECT_EQ(zip.Reader().Entries().Count(), 2);
  EXPECT_EQ(Extract(zip, u"xl/workbook.xml"), "<workbook/>");
  EXPECT_EQ(Extract(zip, u"xl/worksheets/sheet1.xml"), kSheet);
  // Members can be taken again, in any order.
  EXPECT_EQ(Extract(zip, u"xl/workbook.xml"), "<workbook/>");
}

TEST(ZipArchive, LookupNormalisesAndIgnoresCase) {
  TMemoryStream file = StreamOf(BuildZip({{"[Content_Types].xml", "t", 0}, {"xl/workbook.xml", "w", 0}}));
  TXLSZipArchive zip;
  zip.OpenStream(file);
  const struct {
    std::u16string asked;
    int index;
  } cases[] = {
      {u"xl/workbook.xml", 1},  {u"/xl/workbook.xml", 1},         {u"xl\\workbook.xml", 1},
      {u"\\xl\\workbook.xml", 1}, {u"XL/WorkBook.XML", 1},         {u"c:\\xl\\workbook.xml", 1},
      {u"//server/share/xl/workbook.xml", 1}, {u"[content_types].xml", 0}, {u"xl/workbook.xm", -1},
      {u"//xl/workbook.xml", -1}, {u"", -1},                       {u"/", -1},
  };
  for (const auto& c : cases) EXPECT_EQ(zip.FindFile(c.asked), c.index) << std::string(c.asked.begin(), c.asked.end());
  EXPECT_EQ(NormalizeName("//srv/share/dir/a.xml"), "dir/a.xml");
  EXPECT_EQ(NormalizeName("d:\\dir\\a.xml"), "dir/a.xml");
}

TEST(ZipArchive, FirstOfTwoEqualNamesWins) {
  TMemoryStream file = StreamOf(BuildZip({{"a.xml", "first", 8}, {"A.XML", "second", 8}}));
  TXLSZipArchive zip;
  zip.OpenStream(file);
  EXPECT_EQ(zip.FindFile(u"a.xml"), 0);
  EXPECT_EQ(Extract(zip, u"a.xml"), "first");
}

TEST(ZipArchive, FindsEndRecordBehindLongestComment) {
  std::string comment(65535, 'c');
  comment[0] = 'P';  // "P" bytes right behind the record and a near-signature
  comment[1] = 'P';
  comment[2] = 'K';
  comment[3] = 5;
  comment[100] = 'P';
  comment.replace(200, 6, "line2\n");
  ZipLayout layout;
  TMemoryStream file = StreamOf(BuildZip({{"a.xml", "data", 8}}, comment, &layout));
  TZipReader reader;
  reader.OpenStream(file);
  ASSERT_TRUE(reader.IsZipFile());
  EXPECT_FALSE(reader.HasBadEntries());
  EXPECT_EQ(reader.Entries().EndRecordPosition(), layout.endOffset);
  const auto lines = reader.Comment();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].size(), 205u);
}

TEST(ZipArchive, PBeforeEndRecordDoesNotHideIt) {
  // Every comment length up to a few bytes, each a run of "P"s, so that the
  // scan meets "P"s that are no signature at every distance from the record.
  for (int n = 0; n < 9; ++n) {
    ZipLayout layout;
    TMemoryStream file = StreamOf(BuildZip({{"a.xml", "data", 0}}, std::string(static_cast<std::size_t>(n), 'P'), &layout));
    TZipReader reader;
    reader.OpenStream(file);
    EXPECT_FALSE(reader.HasBadEntries()) << n;
    EXPECT_EQ(reader.Entries().EndRecordPosition(), layout.endOffset) << n;
  }
}

TEST(ZipArchive, RebuildsFromLocalHeadersWhenEndRecordIsOutOfReach) {
  std::string bytes = BuildZip({{"a.xml", "alpha", 8}, {"b.xml", kSheet, 8}});
  bytes += std::string(66600, '\0');
  TMemoryStream file = StreamOf(bytes);
  TXLSZipArchive zip;
  zip.OpenStream(file);
  ASSERT_TRUE(zip.Reader().IsZipFile());
  EXPECT_TRUE(zip.Reader().HasBadEntries());
  EXPECT_EQ(zip.Reader().Entries().Count(), 2);
  EXPECT_EQ(zip.Reader().Entries().EndRecord().EntriesOnDisk, 2);
  EXPECT_EQ(Extract(zip, u"b.xml"), kSheet);
}

TEST(ZipArchive, TruncatedArchiveKeepsMembersWithCompleteHeaders) {
  ZipLayout layout;
  const std::string whole = BuildZip({{"a.xml", "alpha", 0}, {"b.xml", kSheet, 8}}, {}, &layout);
  {
    TMemoryStream file = StreamOf(whole.substr(0, layout.centralOffset));
    TXLSZipArchive zip;
    zip.OpenStream(file);
    EXPECT_TRUE(zip.Reader().HasBadEntries());
    EXPECT_EQ(Extract(zip, u"a.xml"), "alpha");
    EXPECT_EQ(Extract(zip, u"b.xml"), kSheet);
  }
  {  // cut inside b.xml's data: its header is there, its data are not
    TMemoryStream file = StreamOf(whole.substr(0, layout.centralOffset - 10));
    TXLSZipArchive zip;
    zip.OpenStream(file);
    EXPECT_EQ(zip.Reader().Entries().Count(), 2);
    EXPECT_EQ(ExtractMessage(zip, u"b.xml"), "Compressed size of b.xml exceeds the ZIP archive");
  }
  {  // cut inside b.xml's local header
    TMemoryStream file = StreamOf(whole.substr(0, 30 + 5 + 5 + 20));
    TXLSZipArchive zip;
    zip.OpenStream(file);
    EXPECT_EQ(zip.Reader().Entries().Count(), 1);
  }
}

TEST(ZipArchive, EmptyArchiveAndNonArchives) {
  {
    TMemoryStream file = StreamOf(BuildZip({}));
    TZipReader reader;
    reader.OpenStream(file);
    EXPECT_TRUE(reader.IsZipFile());
    EXPECT_EQ(reader.Entries().Count(), 0);
  }
  // Short and long inputs without an archive, some full of "P"s, must not
  // make the search look before the start.
  std::mt19937 random(7);
  for (std::size_t size : {0u, 1u, 21u, 22u, 100u, 255u, 256u, 300u, 1023u, 1024u, 1100u, 1400u, 65536u, 66000u, 70000u}) {
    for (char fill : {'\0', 'P', 'r'}) {
      std::string bytes(size, fill);
      if (fill == 'r')
        for (char& c : bytes) c = "PK\x05\x06xy"[random() % 6];
      for (std::size_t i = 0; i + 4 <= bytes.size(); ++i)
        if (std::memcmp(&bytes[i], "PK\x05\x06", 4) == 0 || std::memcmp(&bytes[i], "PK\x03\x04", 4) == 0) bytes[i] = 'x';
      TMemoryStream file = StreamOf(bytes);
      TXLSZipArchive zip;
      zip.OpenStream(file);
      EXPECT_FALSE(zip.Reader().IsZipFile()) << size;
      EXPECT_EQ(zip.FindFile(u"a.xml"), -1);
      EXPECT_EQ(ExtractMessage(zip, u"xl/workbook.xml"), "Can not find file xl/workbook.xml in ZIP");
    }
  }
  {  // an end record at offset 0 of a short file is found (window clipped at 0)
    TMemoryStream file = StreamOf(BuildZip({}, std::string(78, 'P')));
    TZipReader reader;
    reader.OpenStream(file);
    EXPECT_TRUE(reader.IsZipFile());
    EXPECT_EQ(reader.Entries().EndRecordPosition(), 0);
  }
  {  // an end record pointing beyond the file: no members, no error
    std::string bytes = BuildZip({{"a.xml", "alpha", 0}});
    bytes[bytes.size() - 3] = '\x7F';
    TMemoryStream file = StreamOf(bytes);
    TZipReader reader;
    reader.OpenStream(file);
    EXPECT_FALSE(reader.IsZipFile());
    EXPECT_EQ(reader.Entries().Count(), 0);
  }
}

TEST(ZipArchive, DataDescriptorMemberIsSizedFromCentralDirectory) {
  TMemoryStream file = StreamOf(BuildZip({{"a.xml", kSheet, 8, 0x08}, {"b.xml", "plain", 0, 0x08}}));
  TXLSZipArchive zip;
  zip.OpenStream(file);
  EXPECT_EQ(Extract(zip, u"a.xml"), kSheet);
  EXPECT_EQ(Extract(zip, u"b.xml"), "plain");
}

TEST(ZipArchive, MemberResults) {
  ZipMember longer{"longer.xml", kSheet, 8};
  longer.declaredSize = static_cast<uint32_t>(kSheet.size() + 1);
  ZipMember shortStored{"short.xml", "abc", 0};
  shortStored.declaredSize = 4;
  ZipMember emptyStored{"empty.xml", "", 0};
  emptyStored.declaredSize = 10;
  ZipMember corrupt{"corrupt.xml", "\xFF\xFF\xFF\xFF", 8};
  corrupt.rawData = true;
  corrupt.declaredSize = 100;
  ZipMember bzip{"bzip.xml", "BZh", 12};
  ZipMember encrypted{"secret.xml", "xxxx", 0, 0x01};
  ZipMember huge{"huge.xml", kSheet, 8};
  huge.declaredSize = 0x7FFFFFFF;
  ZipMember ratio{"ratio.xml", "tiny", 8};
  ratio.declaredSize = 20000;
  ZipMember beyond{"beyond.xml", "abc", 0};
  beyond.declaredPacked = 0x10000000;
  ZipMember zero{"zero.xml", "", 8};
  TMemoryStream file = StreamOf(BuildZip({longer, shortStored, emptyStored, corrupt, bzip, encrypted, huge, ratio, beyond, zero}));
  TXLSZipArchive zip;
  zip.OpenStream(file);
  EXPECT_EQ(Extract(zip, u"longer.xml"), "");
  EXPECT_EQ(Extract(zip, u"empty.xml"), "");
  EXPECT_EQ(Extract(zip, u"zero.xml"), "");
  const struct {
    std::u16string name;
    const char* message;
  } failures[] = {
      {u"short.xml", "Stream read error"},
      {u"corrupt.xml", "ZLib decompress error"},
      {u"bzip.xml", "Cannot process this file: bzip.xml "},
      {u"secret.xml", "Cannot process this file: secret.xml "},
      {u"huge.xml", "Uncompressed size of huge.xml in ZIP is too large"},
      {u"ratio.xml", "Uncompressed size of ratio.xml in ZIP is too large"},
      {u"beyond.xml", "Compressed size of beyond.xml exceeds the ZIP archive"},
      {u"none.xml", "Can not find file none.xml in ZIP"},
  };
  for (const auto& f : failures) EXPECT_EQ(ExtractMessage(zip, f.name), f.message);
  // The archive stays usable after failures.
  EXPECT_EQ(Extract(zip, u"zero.xml"), "");
}

// One part buffer serves member after member: each extraction leaves exactly
// its own bytes, a member that yields nothing or fails leaves none, and the
// buffer stays usable after it gives its blocks back.
TEST(ZipArchive, PartBufferReusedAcrossMembers) {
  ZipMember longer{"longer.xml", kSheet, 8};
  longer.declaredSize = static_cast<uint32_t>(kSheet.size() + 1);
  ZipMember corrupt{"corrupt.xml", "\xFF\xFF\xFF\xFF", 8};
  corrupt.rawData = true;
  corrupt.declaredSize = 100;
  TMemoryStream file = StreamOf(BuildZip(
      {{"sheet.xml", kSheet, 8}, {"a.xml", "alpha", 0}, {"b.xml", "<b/>", 8}, longer, corrupt}));
  TXLSZipArchive zip;
  zip.OpenStream(file);
  TPartBuffer buffer;
  const auto content = [&](const std::u16string& name) {
    zip.ExtractFile(name, buffer);
    return std::string(reinterpret_cast<const char*>(buffer.Data()), buffer.Size());
  };
  EXPECT_EQ(content(u"sheet.xml"), kSheet);
  EXPECT_EQ(content(u"a.xml"), "alpha");
  EXPECT_EQ(content(u"b.xml"), "<b/>");
  EXPECT_EQ(content(u"longer.xml"), "");
  EXPECT_EQ(content(u"sheet.xml"), kSheet);
  EXPECT_THROW(zip.ExtractFile(u"corrupt.xml", buffer), Exception);
  EXPECT_EQ(buffer.Size(), 0u);
  buffer.Trim();  // kept: the sheet used the whole block
  EXPECT_EQ(content(u"a.xml"), "alpha");
  buffer.Trim();  // given back: far larger than "alpha" needs
  EXPECT_EQ(content(u"sheet.xml"), kSheet);
}

TEST(ZipArchive, MissingLocalSignatureGivesEmptyMember) {
  std::string bytes = BuildZip({{"a.xml", "alpha", 0}, {"b.xml", "beta", 0}});
  bytes[0] = 'X';
  TMemoryStream file = StreamOf(bytes);
  TXLSZipArchive zip;
  zip.OpenStream(file);
  EXPECT_TRUE(zip.Reader().IsZipFile());
  EXPECT_TRUE(zip.Reader().HasBadEntries());
  EXPECT_EQ(Extract(zip, u"a.xml"), "");
  EXPECT_EQ(Extract(zip, u"b.xml"), "beta");
}

TEST(ZipArchive, ExtractAppendsAtPositionAndReopens) {
  TMemoryStream first = StreamOf(BuildZip({{"a.xml", "alpha", 8}}));
  TMemoryStream second = StreamOf(BuildZip({{"b.xml", "beta", 8}}));
  TXLSZipArchive zip;
  zip.OpenStream(first);
  TMemoryStream out;
  out.WriteBuffer("12345", 5);
  out.SetPosition(3);
  zip.ExtractFile(u"a.xml", out);
  EXPECT_EQ(std::string(out.Bytes().begin(), out.Bytes().end()), "123alpha");
  EXPECT_EQ(out.Position(), 0);
  zip.OpenStream(second);
  EXPECT_EQ(zip.FindFile(u"a.xml"), -1);
  EXPECT_EQ(Extract(zip, u"b.xml"), "beta");
}

TEST(ZipArchive, BoundsWhatOneArchiveExpandsTo) {
  // The same member taken again and again counts every time; reopening
  // starts the count afresh.
  TMemoryStream file = StreamOf(BuildZip({{"s.xml", kSheet, 8}, {"t.xml", "tiny", 0}}));
  TXLSZipArchive zip;
  zip.SetExpansionLimit(2 * kSheet.size() + 4);
  zip.OpenStream(file);
  EXPECT_EQ(Extract(zip, u"s.xml"), kSheet);
  EXPECT_EQ(Extract(zip, u"s.xml"), kSheet);
  const std::string limit = std::to_string(2 * kSheet.size() + 4);
  EXPECT_EQ(ExtractMessage(zip, u"s.xml"), "ZIP archive expands beyond " + limit + " bytes at s.xml");
  EXPECT_EQ(Extract(zip, u"t.xml"), "tiny");  // what is left still fits
  EXPECT_EQ(ExtractMessage(zip, u"T.XML"), "ZIP archive expands beyond " + limit + " bytes at T.XML");
  zip.OpenStream(file);
  EXPECT_EQ(Extract(zip, u"s.xml"), kSheet);
  EXPECT_EQ(TXLSZipArchive().ExpansionLimit(), kMaxArchiveExpansion);
  // Parts read into the reused part buffer count the same.
  TPartBuffer part;
  zip.ExtractFile(u"s.xml", part);
  try {
    zip.ExtractFile(u"s.xml", part);
    ADD_FAILURE() << "no bound";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "ZIP archive expands beyond " + limit + " bytes at s.xml");
  }
}

TEST(ZipArchive, ExpansionBoundFollowsTheArchiveSize) {
  // 100 times the archive, at least 32 MiB, at most the set limit (1 GiB).
  auto limitFor = [](std::size_t storedBytes) {
    TMemoryStream file = StreamOf(BuildZip({{"s.xml", std::string(storedBytes, 'x'), 0}}));
    TXLSZipArchive zip;
    zip.OpenStream(file);
    return std::make_pair(zip.ArchiveLimit(), static_cast<uint64_t>(file.Size()));
  };
  EXPECT_EQ(limitFor(1000).first, kMinArchiveExpansion);
  const auto [limit, size] = limitFor(1 << 20);
  EXPECT_EQ(limit, 100 * size);
  EXPECT_EQ(limitFor(12 << 20).first, kMaxArchiveExpansion);
}

}  // namespace
}  // namespace tabulon
