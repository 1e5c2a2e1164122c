#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "platform/error.h"
#include "platform/platform.h"
#include "platform/stream.h"

namespace tabulon {
namespace {

using namespace platform;

TEST(HostText, RoundTripsUtf8IncludingAstralAndBrokenBytes) {
  const std::string samples[] = {"plain", "Привет", "\xF0\x9F\x98\x80 smile", "bad \xFF\xC3 bytes", ""};
  for (const std::string& s : samples) EXPECT_EQ(WideToHost(HostToWide(s)), s) << s;
  EXPECT_EQ(HostToWide("\xF0\x9F\x98\x80"), u"\U0001F600");
  EXPECT_EQ(HostToWide("\xD0\x9F"), u"\u041F");
}

TEST(AnsiText, MapsWindows1252OneToOne) {
  for (int b = 0; b < 256; ++b) {
    const std::string byte(1, static_cast<char>(b));
    EXPECT_EQ(WideToAnsi(AnsiToWide(byte)), byte) << b;
  }
  EXPECT_EQ(AnsiToWide("\x80\x81\x9F\xE9"), u"\u20AC\u0081\u0178\u00E9");
  EXPECT_EQ(WideToAnsi(u"\u0416x"), "?x");
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
  EXPECT_FALSE(ModuleFileName().empty());

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
    TFileStream::OpenRead(u"/nonexistent/book.xlsx");
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Cannot open file \"/nonexistent/book.xlsx\". No such file or directory");
  }
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

}  // namespace
}  // namespace tabulon
