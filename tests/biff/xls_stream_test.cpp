#include "biff/xls_stream.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <random>
#include <span>
#include <vector>

#include "biff/xls_text.h"
#include "cfb_writer.h"
#include "platform/error.h"
#include "platform/platform.h"
#include "support/temp_files.h"

namespace tabulon {
namespace {

using test::CfbWriter;
using test::TempDir;

void AddRecord(std::vector<uint8_t>& out, uint16_t id, const std::vector<uint8_t>& body) {
  out.push_back(static_cast<uint8_t>(id));
  out.push_back(static_cast<uint8_t>(id >> 8));
  out.push_back(static_cast<uint8_t>(body.size()));
  out.push_back(static_cast<uint8_t>(body.size() >> 8));
  out.insert(out.end(), body.begin(), body.end());
}

// A globals BOF of BIFF8 (vers 0x0600, type 0x0005).
std::vector<uint8_t> Bof8() { return {0x00, 0x06, 0x05, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0x06, 0, 0, 0}; }

std::vector<uint8_t> SmallBiff8(uint8_t marker) {
  std::vector<uint8_t> s;
  AddRecord(s, 0x0809, Bof8());
  AddRecord(s, 0x0042, {0xB0, 0x04});
  AddRecord(s, 0x00E0, {marker});
  AddRecord(s, 0x000A, {});
  return s;
}

std::u16string Wide(const std::string& s) { return platform::HostToWide(s); }

struct Record {
  uint16_t id;
  std::vector<uint8_t> body;
};

// Reads every record to the end of the stream.
std::vector<Record> WalkRecords(TXLSStream& x) {
  std::vector<Record> records;
  uint16_t id = 0;
  uint16_t length = 0;
  while (x.ReadHeader(id, length) == 4) {
    Record r{id, std::vector<uint8_t>(length)};
    EXPECT_EQ(x.ReadBody(r.body.data(), length), length);
    records.push_back(std::move(r));
  }
  EXPECT_EQ(x.Position(), x.StreamSize());
  return records;
}

std::string OpenError(TXLSStream& x, const std::u16string& name) {
  try {
    x.OpenFile(name);
  } catch (const Exception& e) {
    return e.Message();
  }
  return "(opened)";
}

// ---- Real workbooks -------------------------------------------------------

struct FixtureCase {
  const char* file;
  TExcelVersion version;
  uint16_t biffVersion;  // BOF vers field
  std::size_t extraElements;
};

TEST(XLSStream, WalksRecordsOfRealWorkbooks) {
  const FixtureCase cases[] = {
      {"prices_biff8_xlwt.xls", xvExcel97, 0x0600, 0},
      {"prices_biff8_libreoffice.xls", xvExcel97, 0x0600, 4},
      {"prices_biff5_gnumeric.xls", xvExcel50, 0x0500, 2},
  };
  for (const FixtureCase& c : cases) {
    SCOPED_TRACE(c.file);
    const std::u16string name = Wide(std::string(TABULON_FIXTURES "/") + c.file);
    for (const bool fromSource : {false, true}) {
      TXLSStream x;
      TExtraObjects extra;
      x.SetExtraObjects(&extra);
      std::unique_ptr<TMemoryStream> source;
      if (fromSource) {
        source = std::make_unique<TMemoryStream>();
        source->Bytes() = ReadWholeFile(name);
        source->Seek(100, SeekOrigin::kBegin);
        x.SetSourceStream(source.get());
      }
      ASSERT_EQ(x.OpenFile(name), c.version);
      EXPECT_EQ(x.FileVersion(), c.version);
      if (source) {
        EXPECT_EQ(source->Position(), 0);
      }
      EXPECT_EQ(extra.elements.size(), c.extraElements);
      for (const auto& e : extra.elements) {
        EXPECT_FALSE(platform::WideSameText(e.name, u"Workbook") || platform::WideSameText(e.name, u"Book"));
      }
      EXPECT_EQ(x.PeekRecordId(), 0x0809);
      EXPECT_EQ(x.Position(), 0);

      const std::vector<Record> records = WalkRecords(x);
      ASSERT_GT(records.size(), 10u);
      EXPECT_EQ(records.front().id, 0x0809);
      EXPECT_EQ(records.front().body[0] | records.front().body[1] << 8, c.biffVersion);
      EXPECT_EQ(records.front().body[2], 0x05);  // workbook globals
      // Globals and two sheets: three BOF/EOF pairs, the stream ends with an
      // EOF (some writers pad the stream with zeros after it).
      int bofs = 0, eofs = 0;
      std::size_t lastEof = 0;
      std::vector<std::u16string> sheets;
      for (std::size_t i = 0; i < records.size(); ++i) {
        const Record& r = records[i];
        if (r.id == 0x0809) ++bofs;
        if (r.id == 0x000A) ++eofs, lastEof = i;
        if (r.id == 0x0085) {  // BOUNDSHEET: the sheet name after 6 bytes
          std::u16string sheet;
          if (c.version == xvExcel97) {
            ReadFlaggedString(r.body.data() + 6, r.body.size() - 6, 1, sheet);
          } else {
            ReadAnsiString(r.body.data() + 6, r.body.size() - 6, 1, sheet);
          }
          sheets.push_back(sheet);
        }
      }
      EXPECT_EQ(bofs, 3);
      EXPECT_EQ(eofs, 3);
      for (std::size_t i = lastEof + 1; i < records.size(); ++i) EXPECT_EQ(records[i].id, 0) << i;
      EXPECT_EQ(sheets, (std::vector<std::u16string>{u"Prices", u"Notes"}));
      EXPECT_EQ(x.PeekRecordId(), 0);
      x.Close();
      EXPECT_EQ(x.Position(), 0);
    }
  }
}

// ---- Choosing the workbook stream ----------------------------------------------

class RecordingVba final : public TVbaProjectSink {
 public:
  void ReadVbaProject(TCompoundFile&, const TCompoundElement& storage) override { seen.push_back(storage.name); }
  std::vector<std::u16string> seen;
};

TEST(XLSStream, ChoosesTheWorkbookStreamByElementName) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::u16string, uint8_t>> streams;  // name, marker
    TExcelVersion version;
    uint8_t marker;  // 0: "The file is not an Excel workbook"
  };
  const Case cases[] = {
      {"Workbook", {{u"Workbook", 1}}, xvExcel97, 1},
      {"Book", {{u"Book", 2}}, xvExcel50, 2},
      {"both, Book first", {{u"Book", 2}, {u"Workbook", 1}}, xvExcel97, 1},
      {"both, Workbook first", {{u"Workbook", 1}, {u"Book", 2}}, xvExcel97, 1},
      {"upper case", {{u"WORKBOOK", 3}}, xvExcel97, 3},
      {"lower case book", {{u"book", 4}}, xvExcel50, 4},
      {"neither", {{u"Workbook2", 1}, {u"\x05SummaryInformation", 2}}, xvNone, 0},
      {"nothing", {}, xvNone, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CfbWriter w;
    for (const auto& [name, marker] : c.streams) w.AddStream(name, SmallBiff8(marker));
    TMemoryStream source;
    source.Bytes() = w.Build();
    TXLSStream x;
    x.SetSourceStream(&source);
    if (c.marker == 0) {
      EXPECT_EQ(OpenError(x, u"made.xls"), "The file is not an Excel workbook");
      continue;
    }
    ASSERT_EQ(x.OpenFile(u"made.xls"), c.version);
    EXPECT_EQ(x.StreamSize(), static_cast<int64_t>(SmallBiff8(0).size()));
    const std::vector<Record> records = WalkRecords(x);
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[2].body, std::vector<uint8_t>{c.marker});
  }
}

TEST(XLSStream, RefusesWorkbookStreamsThatDoNotStartWithABof) {
  std::vector<uint8_t> eofFirst;
  AddRecord(eofFirst, 0x000A, {});
  std::vector<uint8_t> fakeBof;  // low byte 09, but no BOF id
  AddRecord(fakeBof, 0x0109, Bof8());
  const std::vector<std::pair<const char*, std::vector<uint8_t>>> refused = {
      {"empty", {}},
      {"shorter than a header", {0x09, 0x08, 0x10}},
      {"EOF first", eofFirst},
      {"not a BOF id", fakeBof},
      {"text", std::vector<uint8_t>(600, 'x')},
  };
  for (const char* name : {"Workbook", "Book"}) {
    for (const auto& [what, bytes] : refused) {
      SCOPED_TRACE(std::string(name) + ": " + what);
      CfbWriter w;
      w.AddStream(platform::HostToWide(name), bytes);
      TMemoryStream source;
      source.Bytes() = w.Build();
      TXLSStream x;
      x.SetSourceStream(&source);
      EXPECT_EQ(OpenError(x, u"made.xls"), "The file is not an Excel workbook");
    }
  }
  // Any generation's BOF opens; the records are read from the start.
  for (uint16_t bof : {0x0009, 0x0209, 0x0409, 0x0809}) {
    std::vector<uint8_t> stream;
    AddRecord(stream, bof, Bof8());
    AddRecord(stream, 0x000A, {});
    CfbWriter w;
    w.AddStream(u"Workbook", stream);
    TMemoryStream source;
    source.Bytes() = w.Build();
    TXLSStream x;
    x.SetSourceStream(&source);
    ASSERT_EQ(x.OpenFile(u"made.xls"), xvExcel97) << bof;
    EXPECT_EQ(x.Position(), 0);
    EXPECT_EQ(WalkRecords(x).front().id, bof);
  }
}

TEST(XLSStream, HandsTheVbaStorageOverAndKeepsTheOtherElements) {
  CfbWriter w;
  w.AddStream(u"Workbook", SmallBiff8(1));
  w.AddStorage(u"_VBA_PROJECT_CUR");
  w.AddStorage(u"_vba_project_cur");  // not the exact name: an ordinary element
  w.AddStream(u"\x05SummaryInformation", std::vector<uint8_t>(300, 7));
  w.AddStorage(u"MBD0001");
  TMemoryStream source;
  source.Bytes() = w.Build();

  for (const bool preserve : {true, false}) {
    RecordingVba vba;
    TExtraObjects extra;
    extra.elements.push_back({u"left over", false, 1});
    TXLSStream x(&vba, preserve);
    x.SetSourceStream(&source);
    x.SetExtraObjects(&extra);
    ASSERT_EQ(x.OpenFile(u"macros.xls"), xvExcel97);
    EXPECT_EQ(vba.seen, preserve ? std::vector<std::u16string>{u"_VBA_PROJECT_CUR"} : std::vector<std::u16string>{});
    ASSERT_EQ(extra.elements.size(), 3u);
    EXPECT_EQ(extra.elements[0].name, u"_vba_project_cur");
    EXPECT_TRUE(extra.elements[0].storage);
    EXPECT_EQ(extra.elements[1].name, u"\x05SummaryInformation");
    EXPECT_EQ(extra.elements[1].size, 300u);
    EXPECT_EQ(extra.elements[2].name, u"MBD0001");
  }
}

// ---- Large documents: FAT sectors beyond the header's 109 ---------------------------

class BigWorkbook : public testing::Test {
 protected:
  static constexpr int kNumbers = 420000;  // 18 bytes each: about 7.5 MB

  static void SetUpTestSuite() {
    std::vector<uint8_t> stream;
    stream.reserve(kNumbers * 18 + 64);
    AddRecord(stream, 0x0809, Bof8());
    for (int i = 0; i < kNumbers; ++i) {
      std::vector<uint8_t> body(14, 0);
      body[0] = static_cast<uint8_t>(i);
      body[1] = static_cast<uint8_t>(i >> 8);
      body[2] = static_cast<uint8_t>(i >> 16);
      AddRecord(stream, 0x0203, body);
    }
    AddRecord(stream, 0x000A, {});
    writer_ = new CfbWriter();
    writer_->AddStream(u"\x05SummaryInformation", std::vector<uint8_t>(5000, 1));
    writer_->AddStream(u"Workbook", stream);
    document_ = new std::vector<uint8_t>(writer_->Build());
    streamSize_ = stream.size();
  }
  static void TearDownTestSuite() {
    delete writer_;
    delete document_;
  }

  static CfbWriter* writer_;
  static std::vector<uint8_t>* document_;
  static std::size_t streamSize_;
};
CfbWriter* BigWorkbook::writer_ = nullptr;
std::vector<uint8_t>* BigWorkbook::document_ = nullptr;
std::size_t BigWorkbook::streamSize_ = 0;

TEST_F(BigWorkbook, OpensAndYieldsEveryRecord) {
  ASSERT_GT(document_->size(), 7u * 1024 * 1024);
  ASSERT_EQ(writer_->DifatSectors().size(), 1u);
  TempDir dir;
  const std::u16string name = dir.Write("big.xls", *document_);
  TXLSStream x;
  ASSERT_EQ(x.OpenFile(name), xvExcel97);
  EXPECT_EQ(x.StreamSize(), static_cast<int64_t>(streamSize_));
  uint16_t id = 0, length = 0;
  ASSERT_EQ(x.ReadHeader(id, length), 4u);
  EXPECT_EQ(id, 0x0809);
  std::vector<uint8_t> body(length);
  x.ReadUnencrypted(body.data(), length);
  int numbers = 0;
  bool inOrder = true;
  while (x.ReadHeader(id, length) == 4 && id == 0x0203) {
    uint8_t b[14];
    ASSERT_EQ(x.ReadBody(b, length), 14u);
    inOrder = inOrder && (b[0] | b[1] << 8 | b[2] << 16) == numbers;
    ++numbers;
  }
  EXPECT_TRUE(inOrder);
  EXPECT_EQ(numbers, kNumbers);
  EXPECT_EQ(id, 0x000A);
  EXPECT_EQ(x.Position(), x.StreamSize());
}

TEST_F(BigWorkbook, DamagedDifatRaisesClearErrors) {
  const uint32_t difat = writer_->DifatSectors()[0];
  const std::size_t difatOffset = writer_->SectorOffset(difat);
  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> damage;
    const char* message;
  };
  const Case cases[] = {
      {"DIFAT chain loops",
       [&](auto& b) {
         CfbWriter::Put32(b, 44, 109 + 127 + 1);  // needs a second DIFAT sector...
         CfbWriter::Put32(b, difatOffset + 508, difat);  // ...which is the first again
       },
       "DIFAT chain loops back to sector"},
      {"DIFAT chain past the end",
       [&](auto& b) {
         CfbWriter::Put32(b, 44, 109 + 127 + 1);
         CfbWriter::Put32(b, difatOffset + 508, 0x7FFFFF);
       },
       "DIFAT chain refers to sector 8388607 past the end"},
      {"DIFAT entry past the end", [&](auto& b) { CfbWriter::Put32(b, difatOffset + 8, 0x7FFFFF); },
       "FAT sector 8388607 is past the end"},
      {"first DIFAT sector past the end", [&](auto& b) { CfbWriter::Put32(b, 68, 0x7FFFFF); },
       "DIFAT chain refers to sector 8388607 past the end"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TMemoryStream source;
    source.Bytes() = *document_;
    c.damage(source.Bytes());
    TXLSStream x;
    x.SetSourceStream(&source);
    const std::string message = OpenError(x, u"big.xls");
    EXPECT_NE(message.find("\"big.xls\""), std::string::npos) << message;
    EXPECT_NE(message.find(c.message), std::string::npos) << message;
  }
}

// ---- Bare BIFF files ------------------------------------------------------------------

// Records laid across the pieces of a fragmented workbook stream (its
// sectors alternate with another stream's) come out whole, headers and
// bodies, also where a piece ends inside them; peeking moves back across a
// piece's end. The same from the file and from its bytes already in memory.
TEST(XLSStream, RecordsAcrossThePiecesOfAFragmentedStream) {
  std::vector<uint8_t> stream;
  AddRecord(stream, 0x0809, Bof8());
  std::vector<std::vector<uint8_t>> bodies;
  for (int i = 0; i < 300; ++i) {
    std::vector<uint8_t> body(static_cast<std::size_t>(i * 7 % 601));
    for (std::size_t k = 0; k < body.size(); ++k) body[k] = static_cast<uint8_t>(i + k);
    AddRecord(stream, static_cast<uint16_t>(0x0100 + i), body);
    bodies.push_back(std::move(body));
  }
  for (const bool interleave : {false, true}) {
    for (const bool inMemory : {false, true}) {
      SCOPED_TRACE(testing::Message() << "interleave " << interleave << " in memory " << inMemory);
      CfbWriter w;
      w.SetInterleave(interleave);
      w.AddStream(u"Workbook", stream);
      w.AddStream(u"Other", std::vector<uint8_t>(stream.size(), 0xAA));
      const std::vector<uint8_t> document = w.Build();
      TempDir dir;
      const std::u16string name = dir.Write("pieces.xls", document);
      TXLSStream x;
      if (inMemory) x.SetSourceBytes(std::span<const uint8_t>(document));
      ASSERT_EQ(x.OpenFile(name), xvExcel97);
      uint16_t id = 0, length = 0;
      ASSERT_EQ(x.ReadHeader(id, length), 4u);
      std::vector<uint8_t> body(length);
      ASSERT_EQ(x.ReadUnencrypted(body.data(), length), length);
      for (int i = 0; i < 300; ++i) {
        if (i % 3 == 0) {
          ASSERT_EQ(x.PeekRecordId(), 0x0100 + i);
        }
        ASSERT_EQ(x.ReadHeader(id, length), 4u);
        ASSERT_EQ(id, 0x0100 + i);
        body.assign(length, 0);
        ASSERT_EQ(x.ReadBody(body.data(), length), length);
        ASSERT_EQ(body, bodies[static_cast<std::size_t>(i)]) << "record " << i;
      }
      EXPECT_EQ(x.ReadHeader(id, length), 0u);
      EXPECT_EQ(x.Position(), static_cast<int64_t>(stream.size()));
    }
  }
}

TEST(XLSStream, BareFilesTellTheirGenerationByTheFirstRecord) {
  TempDir dir;
  const struct {
    std::vector<uint8_t> bytes;
    TExcelVersion version;
  } cases[] = {
      {{0x09, 0x00, 0x04, 0x00, 0x02, 0x00, 0x10, 0x00}, xvExcel21},
      {{0x09, 0x02, 0x06, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00}, xvExcel30},
      {{0x09, 0x04, 0x06, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00}, xvExcel40},
      {{0x09, 0x08, 0x00, 0x00}, xvNone},  // a raw BIFF5/BIFF8 stream
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(n);
    std::vector<uint8_t> bytes = c.bytes;
    AddRecord(bytes, 0x000A, {});
    const std::u16string name = dir.Write("bare" + std::to_string(n++) + ".xls", bytes);
    TXLSStream x;
    EXPECT_EQ(x.OpenFile(name), c.version);
    EXPECT_EQ(x.StreamSize(), static_cast<int64_t>(bytes.size()));
    EXPECT_EQ(x.Position(), 0);
    const std::vector<Record> records = WalkRecords(x);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].id, c.bytes[0] | c.bytes[1] << 8);
    EXPECT_EQ(records[1].id, 0x000A);
  }
}

TEST(XLSStream, RefusesBareFilesThatDoNotStartWithABof) {
  TempDir dir;
  const std::vector<std::vector<uint8_t>> cases = {
      {},
      {0x09, 0x08, 0x00},                    // shorter than a header
      {'h', 'e', 'l', 'l', 'o', ' ', 'x'},  // text
      {0x0A, 0x00, 0x00, 0x00},              // EOF first
      {0x09, 0x01, 0x00, 0x00},              // low byte 09, not a BOF id
      {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1},  // part of a compound signature
  };
  int n = 0;
  for (const auto& bytes : cases) {
    SCOPED_TRACE(n);
    TXLSStream x;
    EXPECT_EQ(OpenError(x, dir.Write("notbiff" + std::to_string(n++) + ".xls", bytes)),
              "The file is not an Excel workbook");
  }
  TXLSStream x;
  const std::string missing = OpenError(x, dir.Name("missing.xls"));
  EXPECT_EQ(missing.rfind("Cannot open file \"" + platform::WideToHost(dir.Name("missing.xls")) + "\". ", 0), 0u)
      << missing;
}

// ---- Record reading ------------------------------------------------------------------

// A bare stream of the given bytes, opened.
std::unique_ptr<TXLSStream> OpenBytes(const TempDir& dir, const std::vector<uint8_t>& bytes) {
  auto x = std::make_unique<TXLSStream>();
  x->OpenFile(dir.Write("records.xls", bytes));
  return x;
}

TEST(XLSStream, PeekRecordIdKeepsThePosition) {
  TempDir dir;
  std::vector<uint8_t> bytes;
  AddRecord(bytes, 0x0809, Bof8());
  AddRecord(bytes, 0x0203, std::vector<uint8_t>(14, 1));
  for (const std::size_t stray : {0, 1, 3}) {
    SCOPED_TRACE(stray);
    std::vector<uint8_t> b = bytes;
    b.insert(b.end(), stray, 0x0A);
    auto x = OpenBytes(dir, b);
    EXPECT_EQ(x->PeekRecordId(), 0x0809);
    EXPECT_EQ(x->Seek(20, SeekOrigin::kBegin), 20);
    EXPECT_EQ(x->PeekRecordId(), 0x0203);
    EXPECT_EQ(x->Position(), 20);
    EXPECT_EQ(x->Seek(18, SeekOrigin::kCurrent), 38);
    EXPECT_EQ(x->PeekRecordId(), 0);
    EXPECT_EQ(x->Position(), 38);
    uint16_t id = 0, length = 0;
    EXPECT_EQ(x->ReadHeader(id, length), stray);
    EXPECT_EQ(x->Seek(-18, SeekOrigin::kEnd), static_cast<int64_t>(b.size()) - 18);
  }
}

std::vector<uint8_t> Filled(std::size_t size, uint8_t seed) {
  std::vector<uint8_t> v(size);
  for (std::size_t i = 0; i < size; ++i) v[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 9));
  return v;
}

// A drawing group whose first piece holds exactly 8224 bytes, continued by
// a record of the given id.
std::vector<uint8_t> DrawingGroupChain(uint16_t continuationId, std::size_t secondLength) {
  std::vector<uint8_t> s;
  AddRecord(s, 0x0809, Bof8());
  AddRecord(s, 0x00EB, Filled(8224, 1));
  AddRecord(s, continuationId, Filled(secondLength, 2));
  AddRecord(s, 0x000A, {});
  return s;
}

TEST(XLSStream, ContinueModeJoinsTheDrawingGroupChain) {
  TempDir dir;
  std::vector<uint8_t> whole = Filled(8224, 1);
  const std::vector<uint8_t> second = Filled(300, 2);
  whole.insert(whole.end(), second.begin(), second.end());
  for (const uint16_t id : {0x003C, 0x00EB, 0x0866, 0x1066}) {
    for (const bool inOnePiece : {false, true}) {
      SCOPED_TRACE(testing::Message() << std::hex << id << " one read " << inOnePiece);
      auto x = OpenBytes(dir, DrawingGroupChain(id, 300));
      x->Seek(20, SeekOrigin::kBegin);
      uint16_t rid = 0, length = 0;
      ASSERT_EQ(x->ReadHeader(rid, length), 4u);
      ASSERT_EQ(rid, 0x00EB);
      x->BeginContinueRead();
      std::vector<uint8_t> got(whole.size());
      if (inOnePiece) {
        ASSERT_EQ(x->ReadBody(got.data(), got.size()), got.size());
      } else {
        ASSERT_EQ(x->ReadBody(got.data(), 8224), 8224u);
        EXPECT_EQ(x->ContinuePosition(), 8224u);
        ASSERT_EQ(x->ReadBody(got.data() + 8224, 100), 100u);
        ASSERT_EQ(x->ReadBody(got.data() + 8324, 200), 200u);
      }
      EXPECT_EQ(got, whole);
      EXPECT_EQ(x->ContinuePosition(), 300u);
      x->EndContinueRead();
      EXPECT_EQ(x->ContinuePosition(), 0u);
      EXPECT_EQ(x->PeekRecordId(), 0x000A);
    }
  }
}

TEST(XLSStream, ContinueModeNeedsAContinuationRecord) {
  TempDir dir;
  auto x = OpenBytes(dir, DrawingGroupChain(0x0203, 10));
  x->Seek(24, SeekOrigin::kBegin);
  x->BeginContinueRead();
  std::vector<uint8_t> got(8300);
  try {
    x->ReadBody(got.data(), got.size());
    FAIL() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "CONTINUE record is missing");
  }

  // At the end of the stream the read gives what there was.
  std::vector<uint8_t> s;
  AddRecord(s, 0x00EB, Filled(8224, 1));
  AddRecord(s, 0x003C, Filled(10, 2));
  s.insert(s.begin(), {0x09, 0x08, 0x00, 0x00});  // a header-only BOF makes the file a raw stream
  auto y = OpenBytes(dir, s);
  y->Seek(8, SeekOrigin::kBegin);
  y->BeginContinueRead();
  EXPECT_EQ(y->ReadBody(got.data(), got.size()), 8234u);
  EXPECT_EQ(y->ReadBody(got.data(), 10), 0u);
}

// ---- Text in record bodies --------------------------------------------------------------

TEST(XLSText, DecodesTheThreeStringRules) {
  using Reader = std::size_t (*)(const uint8_t*, std::size_t, unsigned, std::u16string&);
  struct Case {
    const char* what;
    Reader read;
    unsigned countBytes;
    std::vector<uint8_t> bytes;
    std::u16string text;
    std::size_t used;
  };
  const Case cases[] = {
      {"flagged UTF-16", ReadFlaggedString, 1, {3, 0x01, 'Z', 0, 0xFC, 0, 0xAC, 0x20}, u"Z\u00FC\u20AC", 8},
      {"flagged bytes", ReadFlaggedString, 1, {3, 0x00, 'a', 0x80, 0xFC}, u"a\u0080\u00FC", 5},
      {"flag with other bits is bytes", ReadFlaggedString, 2, {2, 0, 0x09, 'o', 'k', 0}, u"ok", 5},
      {"flagged, cut short", ReadFlaggedString, 2, {5, 0, 0x01, 'a', 0, 'b'}, u"a", 5},
      {"flagged, empty", ReadFlaggedString, 2, {0, 0, 0x01}, u"", 3},
      {"flagged, count only", ReadFlaggedString, 1, {4}, u"", 1},
      {"widened", ReadWidenedString, 1, {3, 'a', 0x80, 0xFC}, u"a\u0080\u00FC", 4},
      {"widened, cut short", ReadWidenedString, 2, {9, 0, 'x'}, u"x", 3},
      {"ANSI", ReadAnsiString, 1, {3, 'a', 0x80, 0xFC}, u"a\u20AC\u00FC", 4},
      {"ANSI, 2-byte count", ReadAnsiString, 2, {1, 0, 0x9F, 'z'}, u"\u0178", 3},
      {"no room for the count", ReadAnsiString, 2, {1}, u"", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::u16string out = u"previous";
    EXPECT_EQ(c.read(c.bytes.data(), c.bytes.size(), c.countBytes, out), c.used);
    EXPECT_EQ(out, c.text);
  }
  std::u16string out;
  const uint8_t chars[] = {0x01, 'h', 0, 'i', 0};
  EXPECT_EQ(DecodeFlaggedString(chars, sizeof(chars), 2, out), 5u);
  EXPECT_EQ(out, u"hi");
  EXPECT_EQ(DecodeWidenedString(chars + 1, 4, 2, out), 2u);
  EXPECT_EQ(out, std::u16string(u"h\0", 2));
  EXPECT_EQ(DecodeAnsiString(chars + 1, 1, 5, out), 1u);
  EXPECT_EQ(out, u"h");
}

}  // namespace
}  // namespace tabulon
