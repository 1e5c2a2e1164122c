#include "workbook/workbook.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>

#include "platform/error.h"
#include "platform/platform.h"
#include "support/temp_dir.h"
#include "workbook/cellref.h"
#include "workbook/fonts.h"
#include "workbook/formats.h"
#include "workbook/sst.h"

namespace tabulon {
namespace {

std::string Narrow(const std::u16string& text) { return platform::WideToHost(text); }
std::u16string Wide(const std::string& text) { return platform::HostToWide(text); }

// Stands in for the two readers: records which one was asked and runs the
// test's action on the component.
class FakeReaders final : public IWorkbookReaders {
 public:
  std::unique_ptr<TStream> ReadLegacy(TXLSWorkbook& workbook) override {
    calls.push_back("legacy");
    if (legacy) legacy(workbook);
    if (!decrypted.empty()) {
      auto package = std::make_unique<TMemoryStream>();
      package->Bytes() = decrypted;
      return package;
    }
    return nullptr;
  }
  void ReadOpenXml(TXLSWorkbook& workbook, TStream& package, TStream* scratch) override {
    calls.push_back("openxml");
    packageSize = package.Size();
    scratchSeen = scratch;
    if (openXml) openXml(workbook, scratch);
  }

  std::vector<std::string> calls;
  std::function<void(TXLSWorkbook&)> legacy;
  std::vector<uint8_t> decrypted;  // returned by ReadLegacy as a decrypted package
  std::function<void(TXLSWorkbook&, TStream*)> openXml;
  int64_t packageSize = -1;
  TStream* scratchSeen = nullptr;
};

class WorkbookTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::filesystem::path dir = test::MakeTempDirectory("tabulon-book");
    directory_ = dir.string() + static_cast<char>(std::filesystem::path::preferred_separator);
    test::UseAsTempDirectory(dir);
  }
  void TearDown() override {
    workbook_.reset();
    std::error_code error;
    std::filesystem::remove_all(directory_, error);
    ASSERT_FALSE(error) << error.message();
  }
  TXLSWorkbook& Workbook() {
    if (!workbook_) workbook_ = std::make_unique<TXLSWorkbook>(&readers_);
    return *workbook_;
  }
  std::string MakeFile(const std::string& name, const std::string& content = "PK") {
    std::ofstream(directory_ + name, std::ios::binary) << content;
    return directory_ + name;
  }
  std::set<std::string> Files() {
    std::set<std::string> names;
    for (const std::u16string& name : platform::ListDirectory(Wide(directory_))) names.insert(Narrow(name));
    return names;
  }
  std::set<std::string> ScratchFiles() {
    std::set<std::string> names;
    for (const std::string& name : Files())
      if (IsScratchFileName(Wide(name))) names.insert(name);
    return names;
  }
  std::string ReadMessage() {
    try {
      Workbook().Read();
    } catch (const Exception& e) {
      return e.Message();
    }
    return "(no exception)";
  }

  std::string directory_;
  FakeReaders readers_;
  std::unique_ptr<TXLSWorkbook> workbook_;
};

TEST_F(WorkbookTest, CreatedWithDefaults) {
  TXLSWorkbook& book = Workbook();
  EXPECT_EQ(book.Version(), xvExcel97);
  EXPECT_EQ(book.OrigVersion(), xvNone);
  EXPECT_EQ(book.Sheets().Count(), 1);
  EXPECT_EQ(book.Sheets()[0].Name(), u"Sheet1");
  EXPECT_EQ(book.DefaultFormat(), book.CellFormats()[15]);
  EXPECT_EQ(book.StrTRUE(), u"TRUE");
  EXPECT_EQ(book.StrFALSE(), u"FALSE");
  EXPECT_TRUE(book.PreserveMacros);
  EXPECT_FALSE(book.IsMac);
  EXPECT_FALSE(book.ShowFormulas);
  EXPECT_EQ(book.Workbook().Options, woHScroll | woVScroll | woTabs);
  EXPECT_EQ(book.Workbook().Width, 10000);
  ASSERT_NE(book.Font(), nullptr);
  EXPECT_EQ(book.Font()->Name, u"Arial");
}

TEST_F(WorkbookTest, SetVersionSetsBufferSizeAndLimits) {
  struct Case {
    TExcelVersion version;
    int32_t bufferSize, maxCol, maxRow;
  } const cases[] = {
      {xvExcel21, 2080, 255, 65535},
      {xvExcel50, 2080, 255, 65535},
      {xvExcel97, 8224, 255, 65535},
      {xvExcel2007, 8224, 16383, 1048575},
  };
  for (const Case& c : cases) {
    Workbook().SetVersion(c.version);
    EXPECT_EQ(Workbook().Version(), c.version);
    EXPECT_EQ(Workbook().BufferSize(), c.bufferSize);
    EXPECT_EQ(Workbook().SST().BufferSize(), c.bufferSize);
    EXPECT_EQ(MaxCol, c.maxCol);
    EXPECT_EQ(MaxRow, c.maxRow);
    EXPECT_EQ(Workbook().FormulaHandler().Version, c.version);
  }
}

TEST_F(WorkbookTest, ChoosesTheReaderByExtension) {
  struct Case {
    const char* name;
    const char* reader;
  } const cases[] = {
      {"book.xlsx", "openxml"}, {"book.XLSX", "openxml"}, {"book.xlsm", "openxml"},
      {"Book.Zip", "openxml"},  {"my.book.xlsx", "openxml"}, {"book.xls", "legacy"},
      {"book", "legacy"},       {"book.xlsb", "legacy"},   {"book.xlsx.bak", "legacy"},
      {"dir.xlsx/book", "legacy"},
  };
  ASSERT_TRUE(std::filesystem::create_directory(directory_ + "dir.xlsx"));
  for (const Case& c : cases) {
    const std::string path = MakeFile(c.name, "PK-data");
    Workbook().Filename = Wide(path);
    readers_.calls.clear();
    Workbook().Read();
    ASSERT_EQ(readers_.calls, std::vector<std::string>{c.reader}) << c.name;
    if (std::string(c.reader) == "openxml") {
      EXPECT_EQ(readers_.packageSize, 7) << c.name;
      EXPECT_EQ(Workbook().Version(), xvExcel2007);
      EXPECT_EQ(MaxRow, 1048575);
    }
    EXPECT_EQ(Workbook().OrigVersion(), Workbook().Version());
  }
  Workbook().Filename = Wide(directory_ + "a.XLSM");
  EXPECT_TRUE(Workbook().Excel2007MacroFile());
  Workbook().Filename = Wide(directory_ + "a.xlsx");
  EXPECT_FALSE(Workbook().Excel2007MacroFile());
}

TEST_F(WorkbookTest, ChoosesTheReaderByContentBeforeExtension) {
  const std::string zip("PK\x03\x04rest", 8);
  const std::string compound("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1rest", 12);
  const std::string biff8("\x09\x08\x10\x00\x00\x06\x05\x00", 8);
  const std::string biff2("\x09\x00\x04\x00\x02\x00\x10\x00", 8);
  struct Case {
    const char* name;
    std::string content;
    const char* reader;
  } const cases[] = {
      {"book.xltx", zip, "openxml"},       {"book.xlam", zip, "openxml"},      {"book.xls", zip, "openxml"},
      {"book", zip, "openxml"},            {"book.xlsx", compound, "legacy"},  {"book.xlsm", biff8, "legacy"},
      {"book.zip", biff2, "legacy"},       {"book.xlsx", "PK\x03", "openxml"},  // too short: the extension
      {"book.xls", "PK\x03", "legacy"},
      {"book.xlsx", std::string("\x09\x08\x01\x01", 4), "openxml"},  // a BOF of 257 bytes is none
      {"book.xlsx", "", "openxml"},
  };
  readers_.legacy = [](TXLSWorkbook& book) { book.SetVersion(xvExcel97); };
  for (const Case& c : cases) {
    Workbook().Filename = Wide(MakeFile(c.name, c.content));
    readers_.calls.clear();
    Workbook().Read();
    ASSERT_EQ(readers_.calls, std::vector<std::string>{c.reader}) << c.name << " " << c.content.size();
    // The limits and the scratch stream follow the reader chosen.
    const bool openXml = std::string(c.reader) == "openxml";
    EXPECT_EQ(MaxRow, openXml ? 1048575 : 65535) << c.name;
    EXPECT_EQ(Workbook().ScratchStream() != nullptr, openXml) << c.name;
  }
}

TEST_F(WorkbookTest, AnEncryptedPackageFromTheLegacySideIsReadAsOpenXml) {
  Workbook().Filename = Wide(MakeFile("secret.xlsx", std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1rest", 12)));
  readers_.decrypted = {'P', 'K', 3, 4, 0, 0};
  readers_.openXml = [](TXLSWorkbook& book, TStream*) { book.Sheets()[0].WriteNumber(0, 0, 15, 3); };
  Workbook().Read();
  EXPECT_EQ(readers_.calls, (std::vector<std::string>{"legacy", "openxml"}));
  EXPECT_EQ(readers_.packageSize, 6);
  EXPECT_EQ(Workbook().Version(), xvExcel2007);
  EXPECT_EQ(MaxRow, 1048575);
  EXPECT_NE(Workbook().ScratchStream(), nullptr);
  ASSERT_EQ(Workbook().Sheets().Count(), 1);
  EXPECT_EQ(Workbook().Sheets()[0].GetCellType(0, 0), 4);
}

TEST_F(WorkbookTest, LegacyReadStartsEmptyAndFinishesTheModel) {
  Workbook().Filename = Wide(MakeFile("book.xls"));
  Workbook().Sheets()[0].WriteString(0, 0, 15, u"old");
  readers_.legacy = [](TXLSWorkbook& book) {
    // Everything was emptied for the reader.
    EXPECT_EQ(book.Sheets().Count(), 0);
    EXPECT_EQ(book.CellFormats().Count(), 0);
    EXPECT_EQ(book.Fonts().Count(), 0);
    EXPECT_EQ(book.SST().StringCount(), 0);
    book.SetVersion(xvExcel97);
    TSheet& sheet = book.Sheets().Add(skWorksheet);
    sheet.SetName(u"Data");
    // A file without XF records: the cell still gets a format.
    sheet.WriteNumber(1, 2, 0, 1.5);
    const uint8_t calcMode[] = {0, 0};
    sheet.Records().SetDefaultRecord(0x000D, 2, calcMode);
  };
  Workbook().Read();
  TXLSWorkbook& book = Workbook();
  EXPECT_EQ(book.Sheets().Count(), 1);
  EXPECT_EQ(Narrow(book.Sheets()[0].GetCellText(1, 2)), "1.5");
  EXPECT_EQ(book.Version(), xvExcel97);
  EXPECT_EQ(book.OrigVersion(), xvExcel97);
  EXPECT_EQ(MaxRow, 65535);
  EXPECT_GE(book.CellFormats().Count(), 16);
  EXPECT_EQ(book.DefaultFormat(), book.CellFormats()[15]);
  EXPECT_EQ(book.CellFormats().DeletableFrom, book.CellFormats().Count());
  EXPECT_EQ(book.OptionsDialog().CalcMode, cmManual);
  EXPECT_EQ(Narrow(book.FormulaHandler().BasePath), directory_);
}

TEST_F(WorkbookTest, LegacyReadWithoutFormatsOrCells) {
  Workbook().Filename = Wide(MakeFile("empty.xls"));
  readers_.legacy = [](TXLSWorkbook& book) { book.Sheets().Add(skWorksheet); };
  Workbook().Read();
  EXPECT_EQ(Workbook().CellFormats().Count(), 0);
  EXPECT_EQ(Workbook().DefaultFormat(), nullptr);
  EXPECT_EQ(Workbook().Sheets()[0].GetCellText(0, 0), u"");
  // The next read starts from the defaults again.
  readers_.legacy = nullptr;
  Workbook().Read();
  EXPECT_EQ(Workbook().Sheets().Count(), 1);
}

TEST_F(WorkbookTest, FailedReadLeavesASheetAndTheNextReadStartsOver) {
  Workbook().Filename = Wide(MakeFile("bad.xls"));
  readers_.legacy = [](TXLSWorkbook&) { Throw("Not a workbook"); };
  EXPECT_EQ(ReadMessage(), "Not a workbook");
  EXPECT_EQ(Workbook().Sheets().Count(), 1);
  EXPECT_EQ(Workbook().OrigVersion(), xvNone);

  // A reader that fails halfway keeps what it read.
  readers_.legacy = [](TXLSWorkbook& book) {
    book.Sheets().Add(skWorksheet).WriteNumber(0, 0, 15, 3);
    Throw("Broken record");
  };
  EXPECT_EQ(ReadMessage(), "Broken record");
  EXPECT_EQ(Narrow(Workbook().Sheets()[0].GetCellText(0, 0)), "3");

  readers_.legacy = [](TXLSWorkbook& book) {
    EXPECT_EQ(book.Sheets().Count(), 0);
    book.Sheets().Add(skWorksheet);
  };
  Workbook().Read();
  EXPECT_EQ(Workbook().Sheets()[0].GetCell(0, 0), nullptr);

  // The same for the Open XML path.
  Workbook().Filename = Wide(MakeFile("bad.xlsx"));
  readers_.openXml = [](TXLSWorkbook& book, TStream*) {
    book.Sheets().Clear();
    Throw("Unknown Excel XML cell type");
  };
  EXPECT_EQ(ReadMessage(), "Unknown Excel XML cell type");
  EXPECT_EQ(Workbook().Sheets().Count(), 1);
}

TEST_F(WorkbookTest, ReadNeedsReadersAndAnOpenableFile) {
  TXLSWorkbook book;  // no readers
  book.Filename = Wide(MakeFile("book.xls"));
  EXPECT_THROW(book.Read(), Exception);
  EXPECT_EQ(book.Sheets().Count(), 1);

  Workbook().Filename = Wide(directory_ + "missing.xlsx");
  Workbook().Sheets()[0].WriteNumber(0, 0, 15, 1);
  const std::string message = ReadMessage();
  EXPECT_EQ(message.rfind("Cannot open file \"" + directory_ + "missing.xlsx\". ", 0), 0u) << message;
  EXPECT_TRUE(readers_.calls.empty());
  EXPECT_EQ(Workbook().Sheets()[0].GetCellType(0, 0), ctFloat);  // nothing was cleared
}

TEST_F(WorkbookTest, OpenXmlReadGetsTheDefaultFormats) {
  Workbook().Filename = Wide(MakeFile("book.xlsx"));
  readers_.openXml = [](TXLSWorkbook& book, TStream*) {
    EXPECT_EQ(book.CellFormats().Count(), 21);
    EXPECT_EQ(book.CellFormats().DeletableFrom, 21);
    EXPECT_EQ(book.Fonts().Count(), 0);
    EXPECT_EQ(book.Sheets().Count(), 1);
    book.Sheets()[0].WriteNumber(0, 0, 21 + 0, 2);
  };
  Workbook().Read();
  EXPECT_EQ(Workbook().DefaultFormat(), Workbook().CellFormats()[15]);
  EXPECT_EQ(Narrow(Workbook().Sheets()[0].GetCellText(0, 0)), "2");
}

TEST_F(WorkbookTest, ScratchFileLivesAsLongAsItsStream) {
  Workbook().Filename = Wide(MakeFile("book.xlsx"));
  std::string seenName;
  readers_.openXml = [&](TXLSWorkbook&, TStream* scratch) {
    ASSERT_NE(scratch, nullptr);
    scratch->WriteBuffer("copy", 4);
    const std::set<std::string> names = ScratchFiles();
    ASSERT_EQ(names.size(), 1u);
    seenName = *names.begin();
    ASSERT_TRUE(std::filesystem::is_regular_file(directory_ + seenName));
#ifndef _WIN32
    // Only the owner may read the copy of the package (Windows has no mode bits).
    EXPECT_EQ(std::filesystem::status(directory_ + seenName).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
#endif
  };
  Workbook().Read();
  EXPECT_EQ(ScratchFiles(), std::set<std::string>{seenName});
  EXPECT_EQ(Workbook().ScratchStream(), readers_.scratchSeen);

  // The next read frees the stream and its file before making a new one.
  Workbook().Read();
  EXPECT_EQ(ScratchFiles().size(), 1u);
  Workbook().Clear();
  EXPECT_TRUE(ScratchFiles().empty());
  EXPECT_EQ(Workbook().ScratchStream(), nullptr);

  // In memory: no file at all.
  Workbook().TempFileMode = tfmInMemory;
  readers_.openXml = [&](TXLSWorkbook&, TStream* scratch) { EXPECT_NE(scratch, nullptr); };
  Workbook().Read();
  EXPECT_TRUE(ScratchFiles().empty());
}

TEST_F(WorkbookTest, ScratchFileNeverTakesAnExistingName) {
  TXLSWorkbook& book = Workbook();
  book.Filename = Wide(MakeFile("book.xlsx"));
  // Occupy the names of the next ticks; the read passes them by and leaves
  // them alone.
  const uint32_t now = platform::TickCount();
  std::set<std::string> occupied;
  for (uint32_t tick = now; tick < now + 200; ++tick) {
    const std::string name = "XLS" + std::to_string(tick) + ".tmp";
    MakeFile(name, "foreign");
    occupied.insert(name);
  }
  std::string created;
  readers_.openXml = [&](TXLSWorkbook&, TStream* scratch) {
    scratch->WriteBuffer("mine", 4);
    for (const std::string& name : ScratchFiles())
      if (!occupied.count(name)) created = name;
  };
  book.Read();
  EXPECT_FALSE(created.empty());
  for (const std::string& name : occupied) {
    std::ifstream file(directory_ + name);
    std::string content;
    file >> content;
    EXPECT_EQ(content, "foreign") << name;
  }
}

// With ReuseUnchanged, a read parses only when something that steers it
// changed since the last read that succeeded: never the bytes of a read that
// failed, never a model that was emptied since.
TEST_F(WorkbookTest, UnchangedBytesAreAnsweredFromTheModelInMemory) {
  TXLSWorkbook& book = Workbook();
  book.ReuseUnchanged = true;
  const std::string path = MakeFile("book.xls", "version 1");
  book.Filename = Wide(path);
  int parses = 0;
  bool fail = false;
  readers_.legacy = [&](TXLSWorkbook& read) {
    ++parses;
    EXPECT_EQ(std::string(read.FileBytes().begin(), read.FileBytes().end()).substr(0, 7), "version");
    read.SetVersion(xvExcel97);
    read.Sheets().Add(skWorksheet).WriteNumber(0, 0, 15, parses);
    if (fail) Throw("Broken record");
  };
  auto rewrite = [&](const char* content) {
    // In place: same file, same size, and the old modification time.
    const auto time = std::filesystem::last_write_time(path);
    std::fstream(path, std::ios::in | std::ios::out | std::ios::binary) << content;
    std::filesystem::last_write_time(path, time);
  };
  struct Step {
    const char* what;
    std::function<void()> before;
    bool parses;
  } const steps[] = {
      {"first read", [] {}, true},
      {"same bytes", [] {}, false},
      {"another component set the module-wide limits", [&] { TXLSWorkbook(&readers_).SetVersion(xvExcel2007); },
       false},
      {"rewritten in place, same size and time", [&] { rewrite("version 2"); }, true},
      {"same bytes again", [] {}, false},
      {"longer file", [&] { MakeFile("book.xls", "version 22"); }, true},
      {"model emptied", [&] { book.Clear(); }, true},
      {"another password", [&] { book.Password = u"secret"; }, true},
      {"same bytes and settings", [] {}, false},
      {"failed read", [&] { rewrite("version 33"); fail = true; }, true},
      {"same bytes as the failed read", [&] { fail = false; }, true},
      {"reuse switched off", [&] { book.ReuseUnchanged = false; }, true},
      {"still off", [] {}, true},
      {"on again: nothing was kept", [&] { book.ReuseUnchanged = true; }, true},
      {"kept now", [] {}, false},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    step.before();
    const int before = parses;
    try {
      book.Read();
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), "Broken record");
    }
    EXPECT_EQ(parses, before + (step.parses ? 1 : 0));
    // The model of the last parse, as a read leaves it.
    EXPECT_EQ(Narrow(book.Sheets()[0].GetCellText(0, 0)), std::to_string(parses));
    EXPECT_EQ(book.Version(), xvExcel97);
    EXPECT_EQ(MaxRow, 65535);
    EXPECT_EQ(MaxCol, 255);
  }
}

// The Open XML reader gets the file's bytes as its package, and a reused
// model keeps its scratch copy of them.
TEST_F(WorkbookTest, OpenXmlReadsTheBytesReadOnceAndReuseKeepsTheScratchCopy) {
  TXLSWorkbook& book = Workbook();
  book.ReuseUnchanged = true;
  book.Filename = Wide(MakeFile("book.xlsx", "PK package"));
  int parses = 0;
  readers_.openXml = [&](TXLSWorkbook&, TStream* scratch) {
    ++parses;
    scratch->WriteBuffer("copy", 4);
  };
  book.Read();
  EXPECT_EQ(readers_.packageSize, 10);
  TStream* scratch = book.ScratchStream();
  const std::set<std::string> files = ScratchFiles();
  ASSERT_EQ(files.size(), 1u);
  book.SetVersion(xvExcel97);
  book.Read();
  EXPECT_EQ(parses, 1);
  EXPECT_EQ(book.ScratchStream(), scratch);
  EXPECT_EQ(ScratchFiles(), files);
  EXPECT_EQ(book.Version(), xvExcel2007);
  EXPECT_EQ(book.OrigVersion(), xvExcel2007);
  EXPECT_EQ(MaxRow, 1048575);
}

TEST_F(WorkbookTest, StartUpDeletesOnlyScratchLeftovers) {
  const char* const deleted[] = {"XLS123.tmp", "XLS0.tmp", "XLS4294967295.tmp"};
  std::vector<const char*> kept = {"XLS.tmp",   "XLS12a.tmp", "xls5.tmp",           "XLS5.tmp.bak",
                                   "AXLS5.tmp", "XLS-5.tmp",  "XLS12345678901.tmp", "XLS 5.tmp"};
#ifndef _WIN32
  kept.push_back("XLS5.TMP");  // on Windows the same file as xls5.tmp
#endif
  for (const char* name : deleted) MakeFile(name);
  for (const char* name : kept) MakeFile(name);
  Workbook();
  std::set<std::string> expected(std::begin(kept), std::end(kept));
  EXPECT_EQ(Files(), expected);
}

}  // namespace
}  // namespace tabulon
