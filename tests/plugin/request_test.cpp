// The request handling below the exports: answer texts, request cell
// references, the configuration file, and whole requests served against a
// workbook component whose reader is a test stand-in that fills the model.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>

#include "platform/error.h"
#include "platform/platform.h"
#include "plugin/answer.h"
#include "plugin/config.h"
#include "plugin/request.h"
#include "support/float_control.h"
#include "support/host_text.h"
#include "support/temp_dir.h"
#include "support/xml_check.h"
#include "workbook/workbook.h"
#include "xmldoc/xml_document.h"

namespace tabulon {
namespace {

const std::string kOk = "<result state=\"ok\">";
const std::string kEnd = "</result>";

std::string Error(const std::string& message) { return "<result state=\"error\"><error>" + message + "</error></result>"; }

std::string Piece(const std::string& sheet, const std::string& cell, const std::string& value) {
  return "<xls sheet=\"" + sheet + "\" cell=\"" + cell + "\"><![CDATA[" + value + "]]></xls>";
}

std::string Utf8(std::u16string_view text) {
  std::string out;
  AppendUtf8(out, text);
  return out;
}

// The message an operation raises.
template <typename F>
std::string MessageOf(F&& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.Message();
  }
  return "(nothing raised)";
}

// ---- UTF-8 ----------------------------------------------------------------

TEST(AnswerText, Utf8PerCharacter) {
  struct Case {
    std::u16string in;
    std::string out;
  } cases[] = {
      {u"", ""},
      {u"a<]", "a<]"},
      {u"\u00e9", "\xc3\xa9"},
      {u"\u20ac", "\xe2\x82\xac"},
      {u"\U0001D11E", "\xf0\x9d\x84\x9e"},                       // a pair becomes one sequence
      {u"x\U0010FFFFy", "x\xf4\x8f\xbf\xbfy"},
      // What XML 1.0 cannot carry becomes the workbook escape _xHHHH_.
      {std::u16string(1, char16_t(0xD834)), "_xD834_"},             // lone high surrogate
      {std::u16string(1, char16_t(0xDD1E)) + u"a", "_xDD1E_a"},     // lone low surrogate
      {std::u16string{char16_t(0xDD1E), char16_t(0xD834)}, "_xDD1E__xD834_"},  // reversed halves
      {std::u16string{char16_t(0xD834), u'a'}, "_xD834_a"},
      {std::u16string(1, u'\0') + u"a\x01\x08\x0B\x0C\x0E\x1F", "_x0000_a_x0001__x0008__x000B__x000C__x000E__x001F_"},
      {u"\t\n\r\x7F\x80", "\t\n\r\x7F\xC2\x80"},                 // allowed as they are
      {u"\uFFFD\uFFFE\uFFFF", "\xEF\xBF\xBD_xFFFE__xFFFF_"},
      {u"_x0001_", "_x0001_"},  // text that reads as an escape stays as it is
  };
  for (const Case& c : cases) EXPECT_EQ(Utf8(c.in), c.out) << c.out;
}

// ---- Pieces, CDATA and escaping ------------------------------------------------

TEST(AnswerText, PieceLayout) {
  TAnswer answer;
  answer.AppendPiece(1, "B3", u"2.5");
  answer.AppendPiece(-7, "$a$10", u"\u00e9");
  EXPECT_EQ(answer.Finish(), kOk + Piece("1", "B3", "2.5") + Piece("-7", "$a$10", "\xc3\xa9") + kEnd);
  EXPECT_EQ(TAnswer().Finish(), kOk + kEnd);
}

TEST(AnswerText, CDataTerminatorInValueIsSplitAndReadsBack) {
  const std::u16string values[] = {u"]]>", u"a]]>b]]>c", u"]]]>>", u"]]", u"x]]>", u"]]>]]>", u"plain"};
  for (const std::u16string& value : values) {
    TAnswer answer;
    answer.AppendPiece(1, "A1", value);
    const std::string text = answer.Finish();
    auto document = CreateDocument();
    ASSERT_NO_THROW(document->LoadFromText(text)) << text;
    const TXmlNode* xls = document->RootElement()->Children().Item(0);
    std::string read;
    for (const auto& node : xls->Children()) {
      EXPECT_EQ(node->NodeType(), xntCDATASection) << text;
      read += node->Text();
    }
    EXPECT_EQ(read, Utf8(value)) << text;
  }
  TAnswer answer;
  answer.AppendPiece(1, "A1", u"a]]>b");
  EXPECT_EQ(answer.Finish(), kOk + Piece("1", "A1", "a]]]]><![CDATA[>b") + kEnd);
}

TEST(AnswerText, MarkupCharactersAreEscapedInReferencesAndMessages) {
  EXPECT_EQ(EscapeMarkup("plain $A$1 text"), "plain $A$1 text");
  EXPECT_EQ(EscapeMarkup("a&b<c>d\"e'f"), "a&amp;b&lt;c&gt;d&quot;e'f");
  EXPECT_EQ(FailureAnswer("Cannot open file \"x<1>.xls\". &"),
            Error("Cannot open file &quot;x&lt;1&gt;.xls&quot;. &amp;"));
  TAnswer answer;
  answer.AppendPiece(1, "\"<&>", u"v");
  EXPECT_EQ(answer.Finish(), kOk + Piece("1", "&quot;&lt;&amp;&gt;", "v") + kEnd);
}

TEST(AnswerText, MessagesCarryOnlyWhatXmlCan) {
  // Control characters (U+0000 included) as _xHHHH_; tab, line feed and CR
  // as they are; non-ASCII host text unchanged.
  EXPECT_EQ(EscapeMarkup(std::string("a\0b\x01\x1F\t\n\r<", 9)), "a_x0000_b_x0001__x001F_\t\n\r&lt;");
  const std::string zurich = test::HostText("Z\xC3\xBCrich \xE2\x82\xAC");
  EXPECT_EQ(EscapeMarkup(zurich), zurich);
#ifndef _WIN32
  // Bytes that are no part of valid UTF-8 (the host text here) as _x00HH_;
  // U+FFFE and U+FFFF as their escapes.
  EXPECT_EQ(EscapeMarkup("x\xFF\xC3(\xED\xA0\x80y"), "x_x00FF__x00C3_(_x00ED__x00A0__x0080_y");
  EXPECT_EQ(EscapeMarkup("\xEF\xBF\xBE\xEF\xBF\xBF"), "_xFFFE__xFFFF_");
#endif
}

TEST(AnswerText, AnswerBeyondItsLimitFails) {
  TAnswer small(100);
  small.AppendPiece(1, "A1", std::u16string(20, u'x'));
  EXPECT_EQ(MessageOf([&] { small.AppendPiece(1, "A2", std::u16string(60, u'x')); }), "Answer too large");
  // A huge value is refused before it is converted.
  TAnswer big(1000);
  EXPECT_EQ(MessageOf([&] { big.AppendPiece(1, "A1", std::u16string(5000, u'\u20ac')); }), "Answer too large");
}

TEST(AnswerText, HostBlockCopiesTheAnswerWithItsZero) {
  char* block = AnswerToHostBlock("<result/>");
  ASSERT_NE(block, nullptr);
  EXPECT_STREQ(block, "<result/>");
  platform::FreeHostBlock(block);
}

// ---- Cell references of requests -------------------------------------------------

TEST(RequestCellRef, AcceptsTheWholeSheet) {
  struct Case {
    const char* text;
    uint32_t col, row;
  } cases[] = {
      {"A1", 0, 0},          {"b3", 1, 2},          {"$A$1", 0, 0},          {"$c7", 2, 6},
      {"D$9", 3, 8},         {"IV65536", 255, 65535}, {"IW1", 256, 0},       {"A65537", 0, 65536},
      {"XFD1048576", 16383, 1048575}, {"$xfd$1048576", 16383, 1048575}, {"Zz0010", 701, 9}, {"AAA1", 702, 0},
  };
  for (const Case& c : cases) {
    uint32_t col = 99, row = 99;
    EXPECT_TRUE(ParseRequestCellRef(c.text, col, row)) << c.text;
    EXPECT_EQ(col, c.col) << c.text;
    EXPECT_EQ(row, c.row) << c.text;
  }
}

TEST(RequestCellRef, RefusesEverythingElse) {
  const char* cases[] = {"",      "A",        "1",          "$",      "A0",        "A00",    "XFE1",
                         "AAAA1", "A1048577", "A99999999999", " A1",  "A1 ",       "A$",     "$$A1",
                         "A$$1",  "A1:B2",    "A-1",        "A+1",    "1A",        "A1B",    "\xc3\xa9" "1",
                         "B2!"};
  for (const char* text : cases) {
    uint32_t col = 0, row = 0;
    EXPECT_FALSE(ParseRequestCellRef(text, col, row)) << text;
  }
  uint32_t col = 0, row = 0;
  EXPECT_FALSE(ParseRequestCellRef(std::string_view("A1\0", 3), col, row));
  EXPECT_EQ(MessageOf([&] { ReadRequestCellRef("XFE1", col, row); }), "Invalid cell reference: XFE1");
}

// ---- Configuration ------------------------------------------------------------------

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = test::MakeTempDirectory("tabulon-config");
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  void Write(const std::string& name, const std::string& text) { std::ofstream(dir_ / name) << text; }
  std::u16string Module() const { return platform::HostToWide((dir_ / "Tabulon.qdx").string()); }

  std::filesystem::path dir_;
  TXLSWorkbook xls_;
  TConfiguration config_;
};

TEST(ConfigFile, NameBesideTheModule) {
  // Paths with the platform's separator, as the module's file name has them.
  const auto native = [](std::u16string path) {
    for (char16_t& c : path) {
      if (c == u'/') c = platform::kPathSeparator;
    }
    return path;
  };
  EXPECT_EQ(ConfigurationFileName(native(u"/srv/plugins/Tabulon.qdx")), native(u"/srv/plugins/Tabulon.qdx.config"));
  EXPECT_EQ(ConfigurationFileName(native(u"/srv/a.b/Tabulon")), native(u"/srv/a.b/Tabulon.qdx.config"));
  EXPECT_EQ(ConfigurationFileName(native(u"/srv/libTabulon.so")), native(u"/srv/libTabulon.qdx.config"));
}

TEST_F(ConfigTest, ListsFileAndPassword) {
  Write("Tabulon.qdx.config",
        "<config><data file=\"prices.xls\" password=\"" + test::HostText("p\xc3\xa4ss") +
            "\"><read domains=\"main\" rooms=\"lobby#sales\" nickNames=\"\" /><write domains=\"w\" rooms=\"\" "
            "nickNames=\"\" /></data></config>");
  ReadConfiguration(Module(), config_, xls_);
  EXPECT_FALSE(config_.ConfigError);
  EXPECT_EQ(config_.ReadDomains, "#main#");
  EXPECT_EQ(config_.ReadRooms, "#lobby#sales#");
  EXPECT_EQ(config_.ReadNickNames, "##");
  EXPECT_EQ(config_.WriteDomains, "#w#");
  EXPECT_EQ(xls_.Filename, platform::HostToWide((dir_ / "prices.xls").string()));
  EXPECT_EQ(xls_.Password, u"p\u00e4ss");
}

TEST_F(ConfigTest, EmptyOrMissingPasswordLeavesNone) {
  for (const char* attribute : {"", " password=\"\""}) {
    Write("Tabulon.qdx.config", std::string("<config><data file=\"a.xls\"") + attribute + "/></config>");
    TXLSWorkbook xls;
    ReadConfiguration(Module(), config_, xls);
    EXPECT_FALSE(config_.ConfigError);
    EXPECT_EQ(xls.Password, u"") << attribute;
    EXPECT_EQ(config_.ReadDomains, "");  // no read element: nobody may read
  }
}

TEST_F(ConfigTest, PreCheckOrder) {
  Write("book.xls", "x");
  const std::u16string present = platform::HostToWide((dir_ / "book.xls").string());
  struct Case {
    bool configError;
    bool filePresent;
    std::string domains;
    std::string expected;
  } cases[] = {
      {true, true, "##", "Error in Tabulon.qdx.config"},
      {true, false, "##", "The xls file was not found"},
      {false, false, "##", "The xls file was not found"},
      {false, true, "", "You do not have the necessary rights to use this function"},
      {false, true, "##", ""},
  };
  for (const Case& c : cases) {
    TConfiguration config;
    config.ConfigError = c.configError;
    config.ReadDomains = c.domains;
    xls_.Filename = c.filePresent ? present : present + u"-gone";
    EXPECT_EQ(CheckAccess(config, xls_, "", "", ""), c.expected);
  }
}

// ---- Whole requests ---------------------------------------------------------------------

// Stands in for the legacy reader: two sheets with a few cells, or a failure
// of the kind asked for.
class TTestReaders final : public IWorkbookReaders {
 public:
  std::unique_ptr<TStream> ReadLegacy(TXLSWorkbook& book) override {
    ++reads;
    if (fail) fail();
    book.SetVersion(xvExcel97);
    TSheet& first = book.Sheets().Add(skWorksheet);
    first.WriteNumber(1, 2, 15, 2.5);          // B3
    first.WriteString(0, 0, 15, u"text");       // A1
    first.WriteString(1, 1, 15, u"x]]>y");      // B2
    first.WriteString(2, 1, 15, u"\u20ac\U0001D11E");  // C2
    first.WriteNumber(2, 2, 15, 4);            // C3
    first.WriteNumber(16383, 1048575, 15, 9);  // XFD1048576
    first.WriteNumber(0, 65536, 15, 8);        // A65537
    book.Sheets().Add(skWorksheet).WriteString(0, 9, 15, u"second");  // sheet 2, A10
    if (more) more(first);
    return nullptr;
  }
  void ReadOpenXml(TXLSWorkbook&, TStream&, TStream*) override { Throw("no Open XML here"); }

  int reads = 0;
  std::function<void()> fail;
  std::function<void(TSheet&)> more;  // further cells of sheet 1
};

class RequestTest : public ConfigTest {
 protected:
  void SetUp() override {
    ConfigTest::SetUp();
    Write("book.xls", "stand-in");
    xls_.SetReaders(&readers_);
    xls_.Filename = platform::HostToWide((dir_ / "book.xls").string());
    config_.ReadDomains = "##";
  }
  std::string Cells(const std::string& request, std::size_t limit = kMaxAnswerSize) {
    return Checked(ServeRequest(rkCells, xls_, config_, "", "", "", request.c_str(), limit));
  }
  std::string Block(const std::string& request, std::size_t limit = kMaxAnswerSize) {
    return Checked(ServeRequest(rkBlock, xls_, config_, "", "", "", request.c_str(), limit));
  }
  // Every answer must be well-formed XML (on Windows a failure answer is host
  // text, taken to UTF-8 first).
  static std::string Checked(std::string answer) {
    std::string utf8 = answer;
#ifdef _WIN32
    if (answer.rfind("<result state=\"error\">", 0) == 0) utf8 = test::Utf8(platform::HostToWide(answer));
#endif
    const std::string error = test::CheckXmlWellFormed(utf8);
    if (!error.empty()) ADD_FAILURE() << "answer is no well-formed XML (" << error << "): " << answer;
    return answer;
  }
  static std::string Number(const char* text) {
    std::string out = text;
    for (char& c : out) {
      if (c == '.') c = static_cast<char>(platform::DecimalSymbol());
    }
    return out;
  }

  TTestReaders readers_;
};

TEST_F(RequestTest, CellsInRequestOrderWithReferencesAsGiven) {
  EXPECT_EQ(Cells("<cells><c sheet=\"1\" cell=\"B3\"/></cells>"), kOk + Piece("1", "B3", Number("2.5")) + kEnd);
  EXPECT_EQ(Cells("<cells><c sheet=\"2\" cell=\"$a$10\"/><c sheet=\"1\" cell=\"b2\"/><c sheet=\"1\" cell=\"C2\"/>"
                  "<c sheet=\"1\" cell=\"D4\"/><c sheet=\"01\" cell=\"A1\"/></cells>"),
            kOk + Piece("2", "$a$10", "second") + Piece("1", "b2", "x]]]]><![CDATA[>y") +
                Piece("1", "C2", "\xe2\x82\xac\xf0\x9d\x84\x9e") + Piece("1", "D4", "") + Piece("1", "A1", "text") +
                kEnd);
  // The far corners of the sheet are read where they are, not wrapped.
  EXPECT_EQ(Cells("<c><c sheet=\"1\" cell=\"XFD1048576\"/><c sheet=\"1\" cell=\"A65537\"/></c>"),
            kOk + Piece("1", "XFD1048576", "9") + Piece("1", "A65537", "8") + kEnd);
  // No cell asked: still a full read.
  const int before = readers_.reads;
  EXPECT_EQ(Cells("<cells/>"), kOk + kEnd);
  EXPECT_EQ(Cells("<!-- nothing -->"), kOk + kEnd);
  EXPECT_EQ(readers_.reads, before + 2);
}

// Numbers are written with 15 significant digits and the locale's decimal
// symbol (CTest runs this test again in a locale whose symbol is a comma),
// and come out the same whatever x87 precision the host left in its thread.
TEST_F(RequestTest, NumberTextsFollowTheLocaleNotTheHostsPrecision) {
  const char* symbol = std::getenv("TABULON_EXPECT_DECIMAL_SYMBOL");
  if (symbol != nullptr && *symbol != '\0') {
    ASSERT_EQ(platform::DecimalSymbol(), static_cast<char16_t>(*symbol));
  }
  struct Case {
    double value;
    const char* text;
  } const cases[] = {
      {2.5, "2.5"},
      {1.0 / 3, "0.333333333333333"},
      {2.0 / 3, "0.666666666666667"},
      {0.1 + 0.2, "0.3"},
      {-1234.5678, "-1234.5678"},
      {123456789012345.67, "123456789012346"},
      {1e15, "1E15"},
      {0.0001, "0.0001"},
      {-1.5e-7, "-1.5E-7"},
      {1.7976931348623157e308, "1.79769313486232E308"},
  };
  readers_.more = [&](TSheet& sheet) {
    for (uint32_t i = 0; i < std::size(cases); ++i) sheet.WriteNumber(5, i, 15, cases[i].value);  // column F
  };
  std::string request = "<cells>";
  std::string expected = kOk;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const std::string cell = "F" + std::to_string(i + 1);
    request += "<c sheet=\"1\" cell=\"" + cell + "\"/>";
    expected += Piece("1", cell, Number(cases[i].text));
  }
  request += "</cells>";
  expected += kEnd;
  EXPECT_EQ(Cells(request), expected);
#ifdef TABULON_TEST_FLOAT_CONTROL
  test::THostFloatControl host(test::kX87Double);
  EXPECT_EQ(Cells(request), expected);
#endif
}

TEST_F(RequestTest, CellFailuresDropEverythingBuilt) {
  struct Case {
    std::string request;
    std::string message;
  } cases[] = {
      {"<cells><c sheet=\"1\" cell=\"A1\"/><c cell=\"A1\"/></cells>", "List index out of bounds (-1)"},
      {"<cells><c sheet=\"1\" cell=\"A1\"/><!-- note --></cells>", "List index out of bounds (-1)"},
      {"<cells><c sheet=\"1\" cell=\"A1\"/>stray text</cells>", "List index out of bounds (-1)"},
      {"<cells><c sheet=\"3\" cell=\"A1\"/></cells>", "List index out of bounds (2)"},
      {"<cells><c sheet=\"-2147483648\" cell=\"A1\"/></cells>", "List index out of bounds (-2147483649)"},
      // The sheet is checked before the reference.
      {"<cells><c sheet=\"9\" cell=\"nonsense\"/></cells>", "List index out of bounds (8)"},
      {"<cells><c sheet=\"x\" cell=\"A1\"/></cells>", "Could not convert variant of type (String) into type (Integer)"},
      {"<cells><c sheet=\"1\" cell=\"A1\"/><c sheet=\"1\" cell=\"A0\"/></cells>", "Invalid cell reference: A0"},
      {"<cells><c sheet=\"1\"/></cells>", "Invalid cell reference: "},
      {"<cells><c sheet=\"1\" cell=\"XFE1\"/></cells>", "Invalid cell reference: XFE1"},
      {"<cells><c sheet=\"1\" cell=\"A1048577\"/></cells>", "Invalid cell reference: A1048577"},
      {"<cells><c sheet=\"1\" cell=\"&quot;A&amp;1&gt;\"/></cells>", "Invalid cell reference: &quot;A&amp;1&gt;"},
      // Echoed characters that XML cannot carry come back as escapes.
      {"<cells><c sheet=\"1\" cell=\"A&#1;1\"/></cells>", "Invalid cell reference: A_x0001_1"},
      {"<cells><c sheet=\"1\" cell=\"&#0;B2\"/></cells>", "Invalid cell reference: _x0000_B2"},
  };
  for (const Case& c : cases) EXPECT_EQ(Cells(c.request), Error(c.message)) << c.request;
}

TEST_F(RequestTest, TooManyCellsFailBeforeTheRead) {
  std::string request = "<cells>";
  for (int i = 0; i < kMaxRequestCells; ++i) request += "<c/>";
  readers_.fail = [] { throw Exception("read"); };
  // 65536 children are served (here: up to the read).
  EXPECT_EQ(Cells(request + "</cells>"), Error("read"));
  EXPECT_EQ(readers_.reads, 1);
  EXPECT_EQ(Cells(request + "<c/></cells>"), Error("Too many cells: 65537"));
  EXPECT_EQ(readers_.reads, 1);
}

TEST_F(RequestTest, BlockColumnByColumn) {
  EXPECT_EQ(Block("<range><r sheet=\"1\" cellMin=\"B2\" cellMax=\"C3\"/><r sheet=\"9\"/></range>"),
            kOk + Piece("1", "B2", "x]]]]><![CDATA[>y") + Piece("1", "B3", Number("2.5")) +
                Piece("1", "C2", "\xe2\x82\xac\xf0\x9d\x84\x9e") + Piece("1", "C3", "4") + kEnd);
  EXPECT_EQ(Block("<range><r sheet=\"1\" cellMin=\"$c$3\" cellMax=\"b2\"/></range>"), kOk + kEnd);
  EXPECT_EQ(Block("<range><r sheet=\"1\" cellMin=\"A2\" cellMax=\"B1\"/></range>"), kOk + kEnd);
  // An empty block never looks at its sheet.
  EXPECT_EQ(Block("<range><r sheet=\"7\" cellMin=\"C3\" cellMax=\"B2\"/></range>"), kOk + kEnd);
  EXPECT_EQ(Block("<range><r sheet=\"1\" cellMin=\"XFD1048575\" cellMax=\"XFD1048576\"/></range>"),
            kOk + Piece("1", "XFD1048575", "") + Piece("1", "XFD1048576", "9") + kEnd);
}

TEST_F(RequestTest, BlockFailures) {
  std::string noChild;
  {
    auto document = CreateDocument();
    document->LoadFromText("<range/>");
    noChild = MessageOf([&] { document->RootElement()->Children().Item(0); });
  }
  struct Case {
    std::string request;
    std::string message;
  } cases[] = {
      {"<range/>", noChild},
      {"<range><r sheet=\"1\" cellMax=\"B2\"/></range>", "Invalid cell reference: "},
      {"<range><r sheet=\"1\" cellMin=\"B2\" cellMax=\"B\"/></range>", "Invalid cell reference: B"},
      // cellMin before cellMax, both before the size and the sheet.
      {"<range><r sheet=\"5\" cellMin=\"1\" cellMax=\"2\"/></range>", "Invalid cell reference: 1"},
      {"<range><r sheet=\"5\" cellMin=\"A1\" cellMax=\"Q61681\"/></range>", "Range too large: 1048577 cells"},
      {"<range><r cellMin=\"A1\" cellMax=\"XFD1048576\"/></range>", "Range too large: 17179869184 cells"},
      {"<range><r cellMin=\"A1\" cellMax=\"A1\"/></range>", "List index out of bounds (-1)"},
      {"<range><r sheet=\"3\" cellMin=\"A1\" cellMax=\"A1\"/></range>", "List index out of bounds (2)"},
  };
  for (const Case& c : cases) EXPECT_EQ(Block(c.request), Error(c.message)) << c.request;
  // The largest block passes the size check (and here meets a small answer limit).
  EXPECT_EQ(Block("<range><r sheet=\"1\" cellMin=\"A1\" cellMax=\"P65536\"/></range>", 4096),
            Error("Answer too large"));
}

TEST_F(RequestTest, EveryFailureBecomesAnAnswer) {
  struct Case {
    std::function<void()> fail;
    std::string message;
  } cases[] = {
      {[] { throw std::bad_alloc(); }, "Out of memory"},
      {[] { throw std::runtime_error("disk on fire"); }, "disk on fire"},
      {[] { throw 42; }, "Unexpected failure"},
      {[] { throw Exception("Bad <record> & \"more\""); }, "Bad &lt;record&gt; &amp; &quot;more&quot;"},
  };
  for (const Case& c : cases) {
    readers_.fail = c.fail;
    EXPECT_EQ(Cells("<cells/>"), Error(c.message));
    EXPECT_EQ(Block("<r><r/></r>"), Error(c.message));
  }
}

TEST_F(RequestTest, NullHostTextsReadAsEmpty) {
  // Empty names are listed ("##"); a null request is an empty text.
  const std::string empty = ServeRequest(rkCells, xls_, config_, nullptr, nullptr, nullptr, "");
  EXPECT_EQ(ServeRequest(rkCells, xls_, config_, nullptr, nullptr, nullptr, nullptr), empty);
  EXPECT_EQ(ServeRequest(rkCells, xls_, config_, nullptr, nullptr, nullptr, "<c/>"), kOk + kEnd);
  config_.ReadDomains.clear();
  config_.ReadNickNames = "#ann#";
  EXPECT_EQ(ServeRequest(rkCells, xls_, config_, nullptr, nullptr, nullptr, "<c/>"),
            Error("You do not have the necessary rights to use this function"));
  EXPECT_EQ(ServeRequest(rkCells, xls_, config_, "ann", nullptr, nullptr, "<c/>"), kOk + kEnd);
}

}  // namespace
}  // namespace tabulon
