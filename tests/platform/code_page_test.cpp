// The same bytes give the same text in the Linux and the Windows build: this
// test runs in both, the double-byte pages going through glibc's iconv in
// one and MultiByteToWideChar in the other.
#include "platform/code_page.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace tabulon::platform {
namespace {

std::string Hex(const std::u16string& text) {
  std::string out;
  char buffer[8];
  for (char16_t c : text) {
    std::snprintf(buffer, sizeof(buffer), "%04X ", static_cast<unsigned>(c));
    out += buffer;
  }
  return out;
}

TEST(CodePage, SameTextForTheSameBytes) {
  struct Case {
    uint16_t codePage;
    std::string bytes;
    std::u16string text;
  };
  const std::vector<Case> cases = {
      // Double-byte pages.
      {932, "\x8A\xBF\x8E\x9A\x83\x66\x81\x5B\x83\x5E", u"漢字データ"},
      {932, "A\\~\xB6\xC0\xB6\xC5", u"A\\~ｶﾀｶﾅ"},  // ASCII and half-width katakana are single bytes
      {932, "\x80\xA0\xFD\xFF", u"\u0080\uF8F0\uF8F1\uF8F3"},
      {932, "\x82\xA0\x81", u"あ\uFFFD"},           // a lead byte without its second byte
      {932, "\x81\x20x", u"\uFFFD x"},               // a lead byte before a space
      {932, "\x85\x40\x82\xA0", u"\uFFFD@あ"},       // a pair the page lacks
      {936, "\xC4\xE3\xBA\xC3\x80", u"你好€"},
      {949, "\xC7\xD1\xB1\xDB 1", u"한글 1"},
      {950, "\xA4\xA4\xA4\xE5", u"中文"},
      // Single-byte pages, from tables of our own.
      {1251, "\xCF\xF0\xE8\xE2\xE5\xF2", u"Привет"},
      {1250, "\xA3\x61\x64\x6F\x77\x6E\x6F\x9C\xE6", u"Ładowność"},
      {10029, "\xFC\x61\x64\x6F\x77\x6E\x6F\xE6\x8D", u"Ładowność"},
      {1253, "\xD9\xEC\xDD", u"Ωμέ"},
      {1255, "\xF9\xEC\xE5\xED", u"שלום"},
      {866, "\xF0\xA6", u"Ёж"},
      {437, "\xDB\x82", u"█é"},
      {10000, "Caf\x8E\xAA", u"Café™"},
      {32768, "Caf\x8E\xAA", u"Café™"},
      {1252, "\x80\x81\x9F", u"€\u0081Ÿ"},  // 0x81 is undefined: its C1 control
      {32769, "\x80\x81\x9F", u"€\u0081Ÿ"},
      {874, "\xA1\xDB", u"ก\uFFFD"},          // 0xDB is undefined
      {367, "Az\x80\xE9", u"Az\u0080\uFFFD"},  // ASCII
  };
  std::u16string out;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.codePage);
    const TCodePageConverter converter(c.codePage);
    ASSERT_TRUE(converter.Supported());
    converter.ToWide(c.bytes, out);
    EXPECT_EQ(Hex(out), Hex(c.text));
  }
}

TEST(CodePage, EveryListedPageIsSupportedAndOthersAreWidened) {
  const std::vector<uint16_t> pages = {367,  437,  737,  775,  850,  852,  855,   857,   858,   860,   861,
                                       862,  863,  864,  865,  866,  869,  874,   932,   936,   949,   950,
                                       1250, 1251, 1252, 1253, 1254, 1255, 1256,  1257,  1258,  10000, 10006,
                                       10007, 10029, 10079, 10081, 32768, 32769};
  for (uint16_t page : pages) EXPECT_TRUE(TCodePageConverter(page).Supported()) << page;
  for (uint16_t page : {0, 1200, 1361, 20932, 65001}) {
    const TCodePageConverter converter(page);
    EXPECT_FALSE(converter.Supported()) << page;
    std::u16string out;
    converter.ToWide("a\xE9\x80", out);
    EXPECT_EQ(out, u"a\u00E9\u0080");
  }
}

TEST(CodePage, DoubleByteTextsOfEveryLength) {
  // Runs of two-byte characters of every length up to a few hundred, with
  // single bytes between them; the whole text converts like its pieces.
  const TCodePageConverter converter(932);
  std::string bytes;
  std::u16string expected;
  for (int i = 0; i < 300; ++i) {
    bytes += (i % 7 == 0) ? "\xB1" : "\x88\x9F";  // ｱ or 亜
    expected += (i % 7 == 0) ? u'ｱ' : u'亜';
  }
  std::u16string out;
  converter.ToWide(bytes, out);
  EXPECT_EQ(out, expected);
  converter.ToWide(std::string(), out);
  EXPECT_EQ(out, u"");
}

}  // namespace
}  // namespace tabulon::platform
