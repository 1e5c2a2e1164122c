#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#ifdef _WIN32
#include <windows.h>
#undef DeleteFile
#endif

#include "platform/error.h"
#include "platform/platform.h"
#include "platform/stream.h"

namespace tabulon {
namespace {

using namespace platform;

#ifdef _WIN32
const std::u16string kMissingFile = u"C:\\nonexistent\\book.xlsx";
#else
const std::u16string kMissingFile = u"/nonexistent/book.xlsx";
#endif

#ifndef _WIN32
TEST(HostText, RoundTripsUtf8IncludingAstralAndBrokenBytes) {
  const std::string samples[] = {"plain", "Привет", "\xF0\x9F\x98\x80 smile", "bad \xFF\xC3 bytes", ""};
  for (const std::string& s : samples) EXPECT_EQ(WideToHost(HostToWide(s)), s) << s;
  EXPECT_EQ(HostToWide("\xF0\x9F\x98\x80"), u"\U0001F600");
  EXPECT_EQ(HostToWide("\xD0\x9F"), u"\u041F");
}
#else
// On Windows the host's 8-bit text is the ANSI code page itself.
TEST(HostText, IsTheAnsiCodePage) {
  if (GetACP() != 1252) GTEST_SKIP() << "code page " << GetACP();
  EXPECT_EQ(HostToWide("caf\xE9 \x80"), u"caf\u00E9 \u20AC");
  EXPECT_EQ(WideToHost(u"caf\u00E9 \u20AC"), "caf\xE9 \x80");
  EXPECT_EQ(WideToHost(u"\u041F"), "?");
  for (int b = 1; b < 256; ++b) {
    const std::string byte(1, static_cast<char>(b));
    EXPECT_EQ(HostToWide(byte), AnsiToWide(byte)) << b;
  }
}
#endif

TEST(AnsiText, MapsWindows1252OneToOne) {
#ifdef _WIN32
  if (GetACP() != 1252) GTEST_SKIP() << "code page " << GetACP();
#endif
  for (int b = 0; b < 256; ++b) {
    const std::string byte(1, static_cast<char>(b));
    EXPECT_EQ(WideToAnsi(AnsiToWide(byte)), byte) << b;
  }
  EXPECT_EQ(AnsiToWide("\x80\x81\x9F\xE9"), u"\u20AC\u0081\u0178\u00E9");
  EXPECT_EQ(WideToAnsi(u"\u0416x"), "?x");
  // No look-alikes: full-width quote and less-than, Greek capital omega.
  EXPECT_EQ(WideToAnsi(u"\uFF02\uFF1C\u03A9"), "???");
}

TEST(AnsiText, LetterClassification) {
  EXPECT_TRUE(IsAnsiAlpha('a'));
  EXPECT_TRUE(IsAnsiAlpha(0xE9));
  EXPECT_TRUE(IsAnsiAlpha(0x8A));
  EXPECT_FALSE(IsAnsiAlpha('1'));
  EXPECT_FALSE(IsAnsiAlpha(0xD7));
  EXPECT_FALSE(IsAnsiAlpha('_'));
  EXPECT_TRUE(IsAnsiAlphaNumeric('7'));
}

TEST(WideCase, UpperLowerAndCompare) {
  EXPECT_EQ(WideUpper(u"sheet1 \u00e9\u0436"), u"SHEET1 \u00c9\u0416");
  EXPECT_EQ(WideLower(u"BOOK.XLSX"), u"book.xlsx");
  EXPECT_TRUE(WideSameText(u"Workbook", u"WORKBOOK"));
  EXPECT_LT(WideCompareText(u"a", u"B"), 0);
  EXPECT_GT(WideCompareText(u"ab", u"A"), 0);
}

TEST(LocaleInteger, ConvertsLikeTheVariantConversion) {
  struct Case { const char* text; IntConversion result; int32_t value; };
  const Case cases[] = {
      {"12", IntConversion::kOk, 12},       {"  -7 ", IntConversion::kOk, -7},
      {"+3", IntConversion::kOk, 3},        {"2.5", IntConversion::kOk, 2},
      {"3.5", IntConversion::kOk, 4},       {"1e3", IntConversion::kOk, 1000},
      {"abc", IntConversion::kTypeMismatch, 0}, {"", IntConversion::kTypeMismatch, 0},
      {"12x", IntConversion::kTypeMismatch, 0}, {"99999999999", IntConversion::kOverflow, 0},
      // exponents far beyond any number
      {" 0e11048576", IntConversion::kOk, 0},  {"0.0e-99999", IntConversion::kOk, 0},
      {"1e99999", IntConversion::kOverflow, 0}, {"-1e99999", IntConversion::kOverflow, 0},
      {"1e-99999", IntConversion::kOk, 0},
  };
  for (const Case& c : cases) {
    int32_t value = 0;
    EXPECT_EQ(LocaleTextToInt32(c.text, value), c.result) << c.text;
    if (c.result == IntConversion::kOk) {
      EXPECT_EQ(value, c.value) << c.text;
    }
  }
}

TEST(Files, ExistsTempAndModule) {
  const std::u16string temp = TempDirectory();
  ASSERT_FALSE(temp.empty());
  EXPECT_EQ(temp.back(), kPathSeparator);
  EXPECT_FALSE(FileExists(u""));
  EXPECT_FALSE(FileExists(temp));  // a directory is no file
  // This program itself: the module that holds the calling code.
#ifdef _WIN32
  const std::u16string program = u"platform_test.exe";
#else
  const std::u16string program = u"platform_test";
#endif
  const std::u16string module = ModuleFileName();
  ASSERT_GT(module.size(), program.size());
  EXPECT_TRUE(WideSameText(module.substr(module.size() - program.size()), program));
  EXPECT_EQ(module[module.size() - program.size() - 1], kPathSeparator);

  const std::u16string name = temp + u"tabulon-platform-test.tmp";
  DeleteFile(name);
  {
    auto out = TFileStream::CreateExclusive(name);
    ASSERT_NE(out, nullptr);
    out->WriteBuffer("hello", 5);
    EXPECT_EQ(TFileStream::CreateExclusive(name), nullptr);  // never reopened
  }
  EXPECT_TRUE(FileExists(name));
  auto in = TFileStream::OpenRead(name);
  EXPECT_EQ(in->Size(), 5);
  char buffer[8] = {};
  EXPECT_EQ(in->Read(buffer, 8), 5u);
  EXPECT_STREQ(buffer, "hello");
  in.reset();
  bool listed = false;
  for (const auto& entry : ListDirectory(temp)) listed |= entry == u"tabulon-platform-test.tmp";
  EXPECT_TRUE(listed);
  EXPECT_TRUE(DeleteFile(name));
  EXPECT_FALSE(FileExists(name));
}

TEST(Files, OpenMissingFileNamesIt) {
  try {
    TFileStream::OpenRead(kMissingFile);
    FAIL();
  } catch (const Exception& e) {
#ifdef _WIN32
    // The reason is the system's own message text, without its line break.
    const std::string prefix = "Cannot open file \"C:\\nonexistent\\book.xlsx\". ";
    ASSERT_GT(e.Message().size(), prefix.size());
    EXPECT_EQ(e.Message().substr(0, prefix.size()), prefix);
    EXPECT_EQ(e.Message().find_first_of("\r\n"), std::string::npos);
#else
    EXPECT_EQ(e.Message(), "Cannot open file \"/nonexistent/book.xlsx\". No such file or directory");
#endif
  }
}

// A reading stream locks nobody out: another writer and a delete both succeed
// while it is open, and the reader keeps what it opened.
TEST(Files, ReadingStreamDeniesNothing) {
  const std::u16string name = TempDirectory() + u"tabulon-share-test.tmp";
  DeleteFile(name);
  {
    auto out = TFileStream::CreateExclusive(name);
    ASSERT_NE(out, nullptr);
    out->WriteBuffer("abc", 3);
  }
  auto in = TFileStream::OpenRead(name);
  {
    std::ofstream other(std::string(WideToHost(name)), std::ios::binary | std::ios::app);
    ASSERT_TRUE(other.good());
    other << "de";
  }
  EXPECT_EQ(in->Size(), 5);
  EXPECT_TRUE(DeleteFile(name));
  char buffer[5] = {};
  in->ReadBuffer(buffer, 5);
  EXPECT_EQ(std::string(buffer, 5), "abcde");
  in.reset();
  EXPECT_FALSE(FileExists(name));
}

TEST(Streams, MemoryStreamReadWriteSeek) {
  TMemoryStream m;
  m.WriteBuffer("abcdef", 6);
  EXPECT_EQ(m.Size(), 6);
  m.Seek(-2, SeekOrigin::kEnd);
  char two[2];
  m.ReadBuffer(two, 2);
  EXPECT_EQ(std::string(two, 2), "ef");
  EXPECT_THROW(m.ReadBuffer(two, 1), Exception);
  TMemoryStream copy;
  copy.CopyFrom(m, 0);
  EXPECT_EQ(copy.Bytes(), m.Bytes());
}

TEST(Errors, FormatAndListIndex) {
  EXPECT_EQ(Format("Error on reading record # %d, %.4X Offs: %.8X", 57, 0xFD, 0x1234), "Error on reading record # 57, 00FD Offs: 00001234");
  EXPECT_EQ(Format("Read error at %.8d", 1234), "Read error at 00001234");
  try {
    ThrowListIndexError(-1);
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "List index out of bounds (-1)");
  }
  void* block = AllocHostBlock(16);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(static_cast<char*>(block)[15], 0);
  FreeHostBlock(static_cast<char*>(block));
}

// The host frees answer blocks with GlobalFree(GlobalHandle(p)): the block
// must be a movable global memory object, zero-filled and unlocked.
#ifdef _WIN32
TEST(HostBlocks, AreUnlockedMovableGlobalMemory) {
  char* block = AllocHostBlock(100);
  ASSERT_NE(block, nullptr);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(block[i], 0) << i;
  HGLOBAL handle = GlobalHandle(block);
  ASSERT_NE(handle, nullptr);
  EXPECT_NE(static_cast<void*>(handle), static_cast<void*>(block));  // movable: a handle, not the address
  EXPECT_GE(GlobalSize(handle), 100u);
  EXPECT_EQ(GlobalFlags(handle) & GMEM_LOCKCOUNT, 0u);
  EXPECT_EQ(GlobalFree(handle), nullptr);
}
#endif

// The decimal symbol comes from the locale the process runs in; CTest runs
// this case again under a comma locale with the symbol it expects.
TEST(Locale, DecimalSymbolOfTheLocale) {
  const char* expected = std::getenv("TABULON_EXPECT_DECIMAL_SYMBOL");
  if (expected == nullptr || *expected == '\0') {
    const char16_t symbol = DecimalSymbol();
    EXPECT_TRUE(symbol == u'.' || symbol == u',') << static_cast<int>(symbol);
    return;
  }
  EXPECT_EQ(DecimalSymbol(), static_cast<char16_t>(*expected));
  EXPECT_EQ(DecimalSymbol(), DecimalSymbol());  // read once, stays
}

#if defined(__GNUC__) && (defined(__i386__) || defined(__x86_64__))
uint16_t X87Control() {
  uint16_t control = 0;
  __asm__ __volatile__("fnstcw %0" : "=m"(control));
  return control;
}
void SetX87Control(uint16_t control) { __asm__ __volatile__("fldcw %0" : : "m"(control) : "memory"); }
uint32_t SseControl() {
  uint32_t control = 0;
  __asm__ __volatile__("stmxcsr %0" : "=m"(control));
  return control;
}
void SetSseControl(uint32_t control) { __asm__ __volatile__("ldmxcsr %0" : : "m"(control) : "memory"); }

// x87 at 64-bit precision rounds 1/3 to 64 mantissa bits; at 53-bit precision
// the long double result is the double's.
bool ExtendedThird() {
  volatile long double one = 1, three = 3;
  const long double third = one / three;
  return third != static_cast<long double>(1.0 / 3.0);
}

// Hosts may leave 53-bit x87 precision and unmasked exceptions in the thread
// (Delphi programs unmask invalid operation, division by zero and overflow).
// Inside the guard neither shows; outside it the caller's state is back.
TEST(FloatMode, GuardIgnoresTheHostsPrecisionAndMasks) {
  const uint16_t saved_x87 = X87Control();
  const uint32_t saved_sse = SseControl();
  const uint16_t host_x87 = 0x1272;  // 53-bit precision, three exceptions unmasked
  const uint32_t host_sse = 0x1900;  // the same three unmasked
  SetX87Control(host_x87);
  SetSseControl(host_sse);
  const bool extended_outside = ExtendedThird();
  bool extended_inside = false;
  double quotient = 0;
  long double extended_quotient = 0;
  {
    TFloatModeGuard guard;
    extended_inside = ExtendedThird();
    volatile double zero = 0;
    quotient = 1 / zero;
    volatile long double extended_zero = 0;
    extended_quotient = 1 / extended_zero;
  }
  const uint16_t after_x87 = X87Control();
  const uint32_t after_sse = SseControl();
  SetX87Control(saved_x87);
  SetSseControl(saved_sse);
  EXPECT_FALSE(extended_outside);  // the host's precision really was in force
  EXPECT_TRUE(extended_inside);
  EXPECT_TRUE(quotient > 1e308);
  EXPECT_TRUE(extended_quotient > 1e308L);
  EXPECT_EQ(after_x87, host_x87);
  EXPECT_EQ(after_sse & ~0x3Fu, host_sse);
}
#endif

// Doubles are computed in double precision (SSE2 on 32-bit x86, as on
// x86-64), not in x87 registers: 1e16 + 1 rounds back to 1e16.
TEST(FloatMode, DoubleArithmeticRoundsToDouble) {
  volatile double big = 1e16, one = 1;
  const double sum = big + one;
  volatile double difference = sum - big;
  EXPECT_EQ(difference, 0.0);
}

#ifdef _WIN32
// Loads the probe DLL (built like the plug-in) from a directory of its own,
// as a host loads Tabulon.qdx beside its configuration file.
class ModuleProbe : public ::testing::Test {
 protected:
  void SetUp() override {
    directory_ = TempDirectory() + u"tabulon-probe-" + HostToWide(std::to_string(GetCurrentProcessId()));
    CreateDirectoryW(reinterpret_cast<const wchar_t*>(directory_.c_str()), nullptr);
    path_ = directory_ + u"\\module_probe.qdx";
    const std::u16string built = HostToWide(TABULON_MODULE_PROBE);
    ASSERT_TRUE(CopyFileW(reinterpret_cast<const wchar_t*>(built.c_str()), reinterpret_cast<const wchar_t*>(path_.c_str()), FALSE));
    module_ = LoadLibraryW(reinterpret_cast<const wchar_t*>(path_.c_str()));
    ASSERT_NE(module_, nullptr) << GetLastError();
  }
  void TearDown() override {
    if (module_ != nullptr) FreeLibrary(module_);
    DeleteFile(path_);
    RemoveDirectoryW(reinterpret_cast<const wchar_t*>(directory_.c_str()));
  }
  template <typename F>
  F Export(const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
  }

  std::u16string directory_;
  std::u16string path_;
  HMODULE module_ = nullptr;
};

TEST_F(ModuleProbe, ExportsPlainStdcallNamesAndKnowsItsOwnFile) {
  using FileNameFn = uint32_t(__stdcall*)(char16_t*, uint32_t);
  using CountFn = int(__stdcall*)();
  auto file_name = Export<FileNameFn>("probeModuleFileName");
  auto attaches = Export<CountFn>("probeAttachCount");
  ASSERT_NE(file_name, nullptr);
  ASSERT_NE(attaches, nullptr);
  EXPECT_EQ(Export<FileNameFn>("probeModuleFileName@8"), nullptr);  // decorated names stay inside
  EXPECT_EQ(attaches(), 1);

  char16_t buffer[1024] = {};
  const uint32_t length = file_name(buffer, 1024);
  // The DLL's own file, not the program that loaded it.
  EXPECT_TRUE(WideSameText(std::u16string(buffer, length), path_)) << WideToHost(std::u16string(buffer, length));

  ASSERT_TRUE(FreeLibrary(module_));
  module_ = nullptr;
  EXPECT_EQ(GetModuleHandleW(reinterpret_cast<const wchar_t*>(path_.c_str())), nullptr);
}

TEST_F(ModuleProbe, HostFreesTheAnswerBlockWithGlobalFree) {
  using AnswerFn = char*(__stdcall*)(const char*);
  auto answer = Export<AnswerFn>("probeAnswer");
  ASSERT_NE(answer, nullptr);
  char* block = answer("<result state=\"ok\"></result>");
  ASSERT_NE(block, nullptr);
  EXPECT_STREQ(block, "<result state=\"ok\"></result>");
  EXPECT_EQ(GlobalFree(GlobalHandle(block)), nullptr);
}
#endif

}  // namespace
}  // namespace tabulon
