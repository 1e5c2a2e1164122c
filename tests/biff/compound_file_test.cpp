#include "biff/compound_file.h"

#include <gtest/gtest.h>

#include <functional>
#include <numeric>
#include <random>

#include "cfb_writer.h"
#include "platform/error.h"

namespace tabulon {
namespace {

using test::CfbWriter;

std::vector<uint8_t> Pattern(std::size_t size, uint8_t seed) {
  std::vector<uint8_t> v(size);
  for (std::size_t i = 0; i < size; ++i) v[i] = static_cast<uint8_t>(i * 31 + seed + (i >> 8));
  return v;
}

std::vector<uint8_t> ReadAll(TStream& s) {
  std::vector<uint8_t> out(static_cast<std::size_t>(s.Size()) + 16);
  out.resize(s.Read(out.data(), out.size()));
  return out;
}

TEST(CompoundFile, SignatureTest) {
  EXPECT_TRUE(TCompoundFile::HasSignature(TCompoundFile::kSignature, 8));
  EXPECT_FALSE(TCompoundFile::HasSignature(TCompoundFile::kSignature, 7));
  const uint8_t bof[] = {0x09, 0x08, 0x10, 0x00, 0x00, 0x06, 0x05, 0x00};
  EXPECT_FALSE(TCompoundFile::HasSignature(bof, sizeof(bof)));
  EXPECT_TRUE(TCompoundFile::IsCompoundFile(u"" TABULON_FIXTURES "/prices_biff8_libreoffice.xls"));
  EXPECT_FALSE(TCompoundFile::IsCompoundFile(u"" TABULON_FIXTURES "/README.md"));
  EXPECT_FALSE(TCompoundFile::IsCompoundFile(u"" TABULON_FIXTURES "/no such file.xls"));
}

TEST(CompoundFile, ListsTopLevelElementsOfRealFile) {
  auto file = TCompoundFile::OpenFile(u"" TABULON_FIXTURES "/prices_biff8_libreoffice.xls");
  std::vector<std::u16string> names;
  for (const TCompoundElement& e : file->Elements()) {
    names.push_back(e.name);
    EXPECT_EQ(e.type, TCompoundElementType::kStream);
  }
  // Directory order: by name length, then name.
  EXPECT_EQ(names, (std::vector<std::u16string>{u"\x01" u"Ole", u"\x01" u"CompObj", u"Workbook",
                                                 u"\x05" u"SummaryInformation", u"\x05" u"DocumentSummaryInformation"}));
  const TCompoundElement* wb = file->FindElement(u"WORKBOOK");
  ASSERT_NE(wb, nullptr);
  EXPECT_EQ(wb->size, 2344u);
  auto stream = file->OpenStream(u"workbook");  // in the mini stream
  EXPECT_EQ(stream->Size(), 2344);
  uint8_t bof[4];
  ASSERT_EQ(stream->Read(bof, 4), 4u);
  EXPECT_EQ(bof[0] | bof[1] << 8, 0x0809);
}

// Streams in regular sectors and in the mini stream, storages, and an empty
// stream round-trip through both sector sizes; seeks land in the right piece
// also when the stream is split across the file.
TEST(CompoundFile, ReadsWhatTheWriterStored) {
  for (const unsigned shift : {9u, 12u}) {
    for (const bool interleave : {false, true}) {
      SCOPED_TRACE(testing::Message() << "sector shift " << shift << " interleave " << interleave);
      const std::vector<uint8_t> big = Pattern(3 * 4096 + 77, 1);
      const std::vector<uint8_t> big2 = Pattern(5000, 2);
      const std::vector<uint8_t> small = Pattern(200, 3);
      const std::vector<uint8_t> small2 = Pattern(4095, 4);
      CfbWriter w(shift);
      w.SetInterleave(interleave);
      w.AddStream(u"Big", big);
      w.AddStream(u"Small", small);
      w.AddStorage(u"Objects");
      w.AddStream(u"Big2", big2);
      w.AddStream(u"Empty", {});
      w.AddStream(u"Small2", small2);
      auto file = TCompoundFile::OpenMemory(w.Build(), u"made.xls");
      EXPECT_EQ(file->SectorSize(), 1u << shift);
      ASSERT_EQ(file->Elements().size(), 6u);
      EXPECT_EQ(file->Elements()[2].type, TCompoundElementType::kStorage);
      EXPECT_EQ(file->Elements()[3].size, 5000u);

      auto s = file->OpenStream(u"BIG");
      EXPECT_EQ(ReadAll(*s), big);
      if (interleave) {
        EXPECT_GT(s->RunCount(), 1u);
      } else {
        EXPECT_EQ(s->RunCount(), 1u);
      }
      EXPECT_EQ(ReadAll(*file->OpenStream(u"big2")), big2);
      EXPECT_EQ(ReadAll(*file->OpenStream(u"small")), small);
      EXPECT_EQ(ReadAll(*file->OpenStream(u"Small2")), small2);
      EXPECT_TRUE(ReadAll(*file->OpenStream(u"Empty")).empty());

      // Seeks from each origin, reads across piece boundaries and past the end.
      for (const int64_t at : {int64_t{0}, int64_t{511}, int64_t{512}, int64_t{4000}, int64_t{12300}}) {
        uint8_t buf[700];
        EXPECT_EQ(s->Seek(at, SeekOrigin::kBegin), at);
        const std::size_t n = s->Read(buf, sizeof(buf));
        const std::size_t expect = std::min<std::size_t>(sizeof(buf), big.size() - at);
        ASSERT_EQ(n, expect);
        EXPECT_TRUE(std::equal(buf, buf + n, big.begin() + at));
      }
      EXPECT_EQ(s->Seek(-10, SeekOrigin::kEnd), static_cast<int64_t>(big.size()) - 10);
      uint8_t tail[32];
      EXPECT_EQ(s->Read(tail, sizeof(tail)), 10u);
      EXPECT_EQ(s->Read(tail, sizeof(tail)), 0u);
      EXPECT_EQ(s->Seek(-100, SeekOrigin::kCurrent), static_cast<int64_t>(big.size()) - 100);

      EXPECT_THROW(file->OpenStream(u"Objects"), Exception);  // a storage
      EXPECT_THROW(file->OpenStream(u"Missing"), Exception);
    }
  }
}

struct DamageCase {
  const char* what;
  std::function<void(std::vector<uint8_t>&, const CfbWriter&)> damage;
  const char* message;  // part of the expected message
  const char* stream;   // stream to open afterwards, or nullptr
  bool large = false;   // damage a document of 120 data sectors instead
};

// Element 0 "Data" (9 regular sectors), 1 "Small" (3 mini sectors),
// 2 "Other" (one regular stream after it).
std::vector<uint8_t> SmallDocument(CfbWriter& w) {
  w.AddStream(u"Data", Pattern(9 * 512 - 100, 5));
  w.AddStream(u"Small", Pattern(150, 6));
  w.AddStream(u"Other", Pattern(4096, 7));
  return w.Build();
}

TEST(CompoundFile, DamagedDocumentsRaiseClearErrors) {
  const std::vector<DamageCase> cases = {
      {"not a compound document", [](auto& b, auto&) { b[0] = 'P'; }, "is not a compound document", nullptr},
      {"header cut off", [](auto& b, auto&) { b.resize(300); }, "header is cut off", nullptr},
      {"bad sector size", [](auto& b, auto&) { CfbWriter::Put32(b, 30, 0x0006000F); }, "sector size", nullptr},
      {"cyclic FAT chain",
       [](auto& b, auto& w) { CfbWriter::Put32(b, w.FatEntryOffset(w.StartSector(0) + 4), w.StartSector(0) + 1); },
       "loops back to sector", "Data"},
      {"chain into a sector past the end",
       [](auto& b, auto& w) { CfbWriter::Put32(b, w.FatEntryOffset(w.StartSector(0) + 2), 0x00ABCDEF); },
       "past the end", "Data"},
      {"chain into a free sector",
       [](auto& b, auto& w) { CfbWriter::Put32(b, w.FatEntryOffset(w.StartSector(0)), CfbWriter::kFree); },
       "reserved sector mark", "Data"},
      {"start sector past the end", [](auto& b, auto& w) { CfbWriter::Put32(b, w.DirEntryOffset(1) + 116, 70000); },
       "past the end", "Data"},
      {"chain ends early",
       [](auto& b, auto& w) { CfbWriter::Put32(b, w.FatEntryOffset(w.StartSector(0) + 3), CfbWriter::kEndOfChain); },
       "ends after 4 of 9 sectors", "Data"},
      {"huge declared size", [](auto& b, auto& w) { CfbWriter::Put32(b, w.DirEntryOffset(1) + 120, 0xFFFFFFF0); },
       "more than the file holds", "Data"},
      {"truncated file", [](auto& b, auto&) { b.resize(b.size() - 700); }, "FAT sector 20 is past the end", nullptr},
      {"stream cut off by the end of the file",
       [](auto& b, auto& w) {
         // "Other" gets one more sector at the very end of the file, which
         // then loses its last 100 bytes.
         const uint32_t added = static_cast<uint32_t>(b.size() / 512 - 1);
         CfbWriter::Put32(b, w.FatEntryOffset(w.StartSector(2) + 7), added);
         CfbWriter::Put32(b, w.FatEntryOffset(added), CfbWriter::kEndOfChain);
         CfbWriter::Put32(b, w.DirEntryOffset(3) + 120, 4096 + 512);
         b.resize(b.size() + 512 - 100);
       },
       "the stream \"Other\" is cut off by the end of the file", "Other"},
      {"cyclic mini FAT chain",
       [](auto& b, auto& w) {
         // The mini FAT follows the mini stream's sectors; the stream's
         // second mini sector points back at its first.
         const uint32_t miniFat = CfbWriter::Get32(b, 60);
         CfbWriter::Put32(b, w.SectorOffset(miniFat) + 4 * (w.StartSector(1) + 1), w.StartSector(1));
       },
       "loops back to sector", "Small"},
      {"mini stream starts past the end", [](auto& b, auto& w) { CfbWriter::Put32(b, w.DirEntryOffset(0) + 116, 4000); },
       "the mini stream refers to sector 4000 past the end", "Small"},
      {"directory cycle", [](auto& b, auto& w) { CfbWriter::Put32(b, w.DirEntryOffset(3) + 72, 1); },
       "directory tree has a cycle", nullptr},
      {"directory cycle through the root", [](auto& b, auto& w) { CfbWriter::Put32(b, w.DirEntryOffset(2) + 68, 0); },
       "directory tree has a cycle", nullptr},
      {"directory link past the end", [](auto& b, auto& w) { CfbWriter::Put32(b, w.DirEntryOffset(0) + 76, 999); },
       "links to entry 999 past the end", nullptr},
      {"unknown entry type", [](auto& b, auto& w) { b[w.DirEntryOffset(2) + 66] = 0; }, "unknown type 0", nullptr},
      {"no root entry", [](auto& b, auto& w) { b[w.DirEntryOffset(0) + 66] = 1; }, "no root storage", nullptr},
      {"directory chain loops",
       [](auto& b, auto& w) {
         // The directory's only sector points to itself.
         const uint32_t dir = CfbWriter::Get32(b, 48);
         CfbWriter::Put32(b, w.FatEntryOffset(dir), dir);
       },
       "directory chain loops back", nullptr},
      {"more FAT sectors than the file holds", [](auto& b, auto&) { CfbWriter::Put32(b, 44, 5000); },
       "declares 5000 FAT sectors", nullptr},
      {"FAT sector past the end", [](auto& b, auto&) { CfbWriter::Put32(b, 76, 4000); },
       "FAT sector 4000 is past the end", nullptr},
      {"missing DIFAT", [](auto& b, auto&) { CfbWriter::Put32(b, 44, 110); }, "DIFAT chain ends after 109 of 110",
       nullptr, true},
  };
  for (const DamageCase& c : cases) {
    SCOPED_TRACE(c.what);
    CfbWriter w;
    std::vector<uint8_t> bytes;
    if (c.large) {
      w.AddStream(u"Data", Pattern(120 * 512, 1));
      bytes = w.Build();
    } else {
      bytes = SmallDocument(w);
    }
    c.damage(bytes, w);
    try {
      auto file = TCompoundFile::OpenMemory(std::move(bytes), u"damaged.xls");
      ASSERT_NE(c.stream, nullptr) << "opened without error";
      auto stream = file->OpenStream(std::u16string(c.stream, c.stream + std::strlen(c.stream)));
      FAIL() << "opened the stream without error";
    } catch (const Exception& e) {
      EXPECT_NE(e.Message().find("\"damaged.xls\""), std::string::npos) << e.Message();
      EXPECT_NE(e.Message().find(c.message), std::string::npos) << e.Message();
    }
  }
}

// Random damage anywhere in the tables must end in an error or in streams
// that read within bounds, never in a crash or a hang.
TEST(CompoundFile, SurvivesRandomDamage) {
  CfbWriter w;
  std::vector<uint8_t> original = SmallDocument(w);
  std::vector<uint8_t> real = ReadWholeFile(u"" TABULON_FIXTURES "/prices_biff5_gnumeric.xls");
  std::mt19937 random(12345);
  int opened = 0;
  for (int round = 0; round < 3000; ++round) {
    std::vector<uint8_t> bytes = round % 2 == 0 ? original : real;
    const int flips = 1 + static_cast<int>(random() % 4);
    for (int i = 0; i < flips; ++i) {
      // Mostly the header and table sectors, where numbers live.
      const std::size_t at = random() % 3 == 0 ? random() % 512 : random() % bytes.size();
      bytes[at] = static_cast<uint8_t>(random() % 3 == 0 ? 0xFF : random());
    }
    if (random() % 8 == 0) bytes.resize(random() % bytes.size());
    try {
      auto file = TCompoundFile::OpenMemory(std::move(bytes), u"fuzz.xls");
      for (const TCompoundElement& e : file->Elements()) {
        if (e.type != TCompoundElementType::kStream) continue;
        try {
          auto stream = file->OpenStream(e);
          uint8_t buf[1000];
          std::size_t total = 0;
          while (const std::size_t n = stream->Read(buf, sizeof(buf))) total += n;
          EXPECT_EQ(total, e.size);
          ++opened;
        } catch (const Exception&) {
        }
      }
    } catch (const Exception&) {
    }
  }
  EXPECT_GT(opened, 0);
}

}  // namespace
}  // namespace tabulon
