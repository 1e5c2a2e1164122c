// The plug-in as a host sees it: each test loads its own copy of
// Tabulon.qdx with dlopen from a directory that holds its configuration.
// Workbook files here are stand-ins: these tests stop at the checks made
// before the workbook is read, or look only at whether a request got past
// them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "plugin/plugin_host.h"
#include "platform/error.h"
#include "platform/platform.h"
#include "support/float_control.h"
#include "xmldoc/xml_document.h"

namespace tabulon::test {
namespace {

const std::string kNotFound = ErrorAnswer("The xls file was not found");
const std::string kConfigError = ErrorAnswer("Error in Tabulon.qdx.config");
const std::string kNoRights = ErrorAnswer("You do not have the necessary rights to use this function");

// The request got past the configuration, file and rights checks: the
// answer is whatever the read and the cells gave.
bool PastPreCheck(const std::optional<std::string>& answer) {
  return answer.has_value() && *answer != kNotFound && *answer != kConfigError && *answer != kNoRights &&
         answer->rfind("<result state=", 0) == 0;
}

std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '&') out += "&amp;";
    else if (c == '<') out += "&lt;";
    else if (c == '>') out += "&gt;";
    else if (c == '"') out += "&quot;";
    else out += c;
  }
  return out;
}

TEST(PluginHost, NothingIsAnsweredBeforeIniSocketXtra) {
  TPluginHost host(TPluginHost::Config("book.xls"));
  host.WriteFile("book.xls", "stand-in");
  host.Load();
  EXPECT_FALSE(host.Request("<cells/>").has_value());
  EXPECT_FALSE(host.MultiRequest("<range><r/></range>").has_value());

  const char* id = host.Init(0x0102);
  ASSERT_NE(id, nullptr);
  EXPECT_GT(std::strlen(id), 0u);
  EXPECT_EQ(host.Init(7), id);  // again, to the same effect
  EXPECT_TRUE(PastPreCheck(host.Request("<cells/>")));
  EXPECT_TRUE(PastPreCheck(host.MultiRequest("<range><r/></range>")));

  // Another copy is another instance: not ready until told so.
  TPluginHost other(TPluginHost::Config("book.xls"));
  other.WriteFile("book.xls", "stand-in");
  other.Load();
  EXPECT_FALSE(other.Request("<cells/>").has_value());
  EXPECT_TRUE(PastPreCheck(host.Request("<cells/>")));
}

// Unloading frees the instance; loading again starts over: not ready, and
// with the configuration file as it is now.
TEST(PluginHost, UnloadAndLoadAgainStartsOver) {
  TPluginHost host(TPluginHost::Config("book.xls"));
  host.WriteFile("book.xls", "stand-in");
  host.Start();
  EXPECT_TRUE(PastPreCheck(host.Request("<cells/>")));
  host.WriteFile("Tabulon.qdx.config", TPluginHost::Config("book.xls", R"(domains="main" rooms="r" nickNames="n")"));
  EXPECT_TRUE(PastPreCheck(host.Request("<cells/>")));  // read at load only
  host.Unload();
  host.Load();
  EXPECT_FALSE(host.Request("<cells/>").has_value());
  host.Init();
  EXPECT_EQ(host.Request("<cells/>"), kNoRights);
  EXPECT_TRUE(PastPreCheck(host.Request("<cells/>", "", "", "main")));
}

// Numbers of a legacy and an Open XML workbook through the loaded library:
// written with the locale's decimal symbol (on Windows CTest runs this again
// in a locale whose symbol is a comma), and with the same digits when the
// host left 53-bit x87 precision and unmasked exceptions in its thread,
// which every export hands back as they were.
TEST(PluginHostNumbers, LegacyAndOpenXmlWorkbooks) {
  const char* expectedSymbol = std::getenv("TABULON_EXPECT_DECIMAL_SYMBOL");
  if (expectedSymbol != nullptr && *expectedSymbol != '\0') {
    ASSERT_EQ(platform::DecimalSymbol(), static_cast<char16_t>(*expectedSymbol));
  }
  const auto number = [](std::string text) {
    for (char& c : text) {
      if (c == '.') c = static_cast<char>(platform::DecimalSymbol());
    }
    return text;
  };
  const auto piece = [](const std::string& sheet, const std::string& cell, const std::string& value) {
    return "<xls sheet=\"" + sheet + "\" cell=\"" + cell + "\"><![CDATA[" + value + "]]></xls>";
  };
  const std::string fixtures = TABULON_FIXTURES;

  TPluginHost legacy(TPluginHost::Config("prices.xls"));
  legacy.CopyFile(fixtures + "/prices_biff8_xlwt.xls", "prices.xls");
  TPluginHost openXml(TPluginHost::Config("values.xlsx"));
  openXml.CopyFile(fixtures + "/values_openpyxl.xlsx", "values.xlsx");
  legacy.Load();
  openXml.Load();
  const std::string cells = R"(<cells><c sheet="1" cell="B2"/><c sheet="1" cell="b3"/><c sheet="2" cell="A2"/></cells>)";
  const std::string block = R"(<range><r sheet="1" cellMin="B2" cellMax="D2"/></range>)";
  const std::string legacyAnswer = "<result state=\"ok\">" + piece("1", "B2", number("1.25")) +
                                   piece("1", "b3", number("0.5")) + piece("2", "A2", "42") + "</result>";
  const std::string openXmlAnswer = "<result state=\"ok\">" + piece("1", "B2", number("2.5")) +
                                    piece("1", "C2", number("0.333333333333333")) +
                                    piece("1", "D2", number("-1E-5")) + "</result>";

  ASSERT_NE(legacy.Init(), nullptr);
  ASSERT_NE(openXml.Init(), nullptr);
  EXPECT_EQ(legacy.Request(cells), legacyAnswer);
  EXPECT_EQ(openXml.MultiRequest(block), openXmlAnswer);
#ifdef TABULON_TEST_FLOAT_CONTROL
  THostFloatControl host(kX87DelphiHost, kSseDelphiHost);
  EXPECT_NE(legacy.Init(), nullptr);
  EXPECT_EQ(legacy.Request(cells), legacyAnswer);
  EXPECT_EQ(openXml.MultiRequest(block), openXmlAnswer);
  EXPECT_EQ(X87Control(), kX87DelphiHost);
  EXPECT_EQ(SseControl() & ~0x3Fu, kSseDelphiHost);
#endif
}

#if defined(_WIN32) && defined(__i386__) && defined(__GNUC__)
// Bytes of arguments a function pops on return when called with `count`
// 32-bit zero arguments: the stack pointer after the call minus before the
// pushes, plus the pushed bytes.
template <int count>
uint32_t BytesPopped(void* function) {
  uint32_t left = 0;
  __asm__ __volatile__(
      "movl %%esp, %%esi\n\t"
      ".rept %c[count]\n\t"
      "pushl $0\n\t"
      ".endr\n\t"
      "call *%[function]\n\t"
      "movl %%esi, %%ecx\n\t"
      "subl %%esp, %%ecx\n\t"
      "movl %%esi, %%esp"
      : "=c"(left)
      : [function] "D"(function), [count] "i"(count)
      : "eax", "edx", "esi", "memory", "cc");
  return 4 * count - left;
}

// The host calls with the standard convention: each export pops its own
// arguments (ret 4, ret 24). Called before iniSocketXtra, the request
// functions answer null and read none of their (null) arguments.
TEST(PluginHost, ExportsPopTheirOwnArguments) {
  TPluginHost host;
  host.Load();
  EXPECT_EQ(BytesPopped<6>(host.Symbol("getCellValueRef")), 24u);
  EXPECT_EQ(BytesPopped<6>(host.Symbol("getMultiCellValueRef")), 24u);
  EXPECT_EQ(BytesPopped<1>(host.Symbol("iniSocketXtra")), 4u);
}
#endif

TEST(PluginHost, ConfigurationAndWorkbookFile) {
  struct Case {
    const char* name;
    std::optional<std::string> config;
    std::vector<std::string> files;  // created in the module's directory
    std::string expected;            // empty: gets past the checks
  } cases[] = {
      {"no configuration", std::nullopt, {}, kNotFound},
      {"no configuration, workbook beside", std::nullopt, {"Tabulon.xls", "book.xls"}, kNotFound},
      // Nothing of a file that does not parse is used, not even its file name.
      {"malformed", "<config><data file=\"book.xls\"><read domains=\"\" /></data>", {"book.xls"}, kNotFound},
      {"no data element", "<config><other file=\"book.xls\"/></config>", {"book.xls"}, kNotFound},
      {"no read element", "<config><data file=\"book.xls\"/></config>", {"book.xls"}, kNoRights},
      {"bare name beside the module", TPluginHost::Config("book.xls"), {"book.xls"}, ""},
      {"bare name missing", TPluginHost::Config("book.xls"), {}, kNotFound},
      {"relative path below the module", TPluginHost::Config("sub/b.xlsx"), {"sub/b.xlsx"}, ""},
      {"empty file name", TPluginHost::Config(""), {}, kNotFound},
      {"directory", TPluginHost::Config("sub"), {"sub/x"}, kNotFound},
      {"any root element name", "<anything><data file=\"book.xls\"><read domains=\"\"/></data></anything>",
       {"book.xls"}, ""},
      {"element names are case-sensitive", "<config><Data file=\"book.xls\"><read domains=\"\"/></Data></config>",
       {"book.xls"}, kNotFound},
      {"the first data element counts",
       "<config><data file=\"book.xls\"/><data file=\"book.xls\"><read domains=\"\"/></data></config>",
       {"book.xls"}, kNoRights},
  };
  for (const Case& c : cases) {
    TPluginHost host(c.config);
    for (const std::string& file : c.files) {
      std::filesystem::create_directories(host.Path(file).parent_path());
      host.WriteFile(file, "stand-in");
    }
    host.Start();
    const auto answer = host.Request("<cells/>");
    if (c.expected.empty()) EXPECT_TRUE(PastPreCheck(answer)) << c.name << ": " << answer.value_or("null");
    else EXPECT_EQ(answer, c.expected) << c.name;
    EXPECT_EQ(host.MultiRequest("<range><r/></range>").has_value(), true) << c.name;
  }
}

TEST(PluginHost, AbsoluteWorkbookPathIsUsedAsGiven) {
  TPluginHost elsewhere;
  elsewhere.WriteFile("prices.xls", "stand-in");
  TPluginHost host(TPluginHost::Config(elsewhere.Path("prices.xls").string()));
  host.Start();
  EXPECT_TRUE(PastPreCheck(host.Request("<cells/>")));
  std::filesystem::remove(elsewhere.Path("prices.xls"));
  // The file is looked for on every request.
  EXPECT_EQ(host.Request("<cells/>"), kNotFound);
}

TEST(PluginHost, ReadListsAdmitCallers) {
  struct Case {
    std::string read;  // attributes of data/read
    std::string nick, room, domain;
    bool admitted;
  } cases[] = {
      {R"(domains="main" rooms="lobby#sales" nickNames="")", "bob", "hall", "main", true},
      {R"(domains="main" rooms="lobby#sales" nickNames="")", "bob", "sales", "other", true},
      {R"(domains="main" rooms="lobby#sales" nickNames="")", "", "hall", "other", true},  // "##" admits ""
      {R"(domains="main" rooms="lobby#sales" nickNames="")", "bob", "hall", "Main", false},
      {R"(domains="main" rooms="lobby#sales" nickNames="")", "bob", "lobby#sales", "x", true},
      {R"(domains="d" rooms="a#b" nickNames="n")", "x", "a#b", "y", true},
      {R"(domains="d" rooms="a#b" nickNames="n")", "x", "b", "y", true},
      {R"(domains="d" rooms="a#b" nickNames="n")", "x", "a#", "y", false},
      {R"(domains="d" rooms="a#b" nickNames="n")", "x", "", "y", false},
      {R"(domains="d" rooms="a#b" nickNames="n")", "n", "c", "y", true},
      {R"(domains="d" rooms="a#b" nickNames="n")", "n ", "c", "y", false},
      {R"(domains="" rooms="r" nickNames="n")", "x", "y", "", true},
      {R"(domains="d&amp;e" rooms="r" nickNames="n")", "x", "y", "d&e", true},
      {"rooms=\"gr\xc3\xbcn\"", "x", "gr\xc3\xbcn", "y", true},
      {"rooms=\"gr\xc3\xbcn\"", "x", "GR\xc3\x9cN", "y", false},
  };
  for (const Case& c : cases) {
    TPluginHost host(TPluginHost::Config("book.xls", c.read));
    host.WriteFile("book.xls", "stand-in");
    host.Start();
    const auto answer = host.Request("<cells/>", c.nick, c.room, c.domain);
    const auto block = host.MultiRequest("<range><r/></range>", c.nick, c.room, c.domain);
    if (c.admitted) {
      EXPECT_TRUE(PastPreCheck(answer)) << c.read << " " << c.nick << "/" << c.room << "/" << c.domain;
      EXPECT_TRUE(PastPreCheck(block));
    } else {
      EXPECT_EQ(answer, kNoRights) << c.read << " " << c.nick << "/" << c.room << "/" << c.domain;
      EXPECT_EQ(block, kNoRights);
    }
  }
}

TEST(PluginHost, WriteListsGrantNoReading) {
  TPluginHost host(
      "<config><data file=\"book.xls\"><read domains=\"z\" rooms=\"z\" nickNames=\"z\"/>"
      "<write domains=\"\" rooms=\"r\" nickNames=\"n\"/></data></config>");
  host.WriteFile("book.xls", "stand-in");
  host.Start();
  EXPECT_EQ(host.Request("<cells/>", "n", "r", ""), kNoRights);
  EXPECT_TRUE(PastPreCheck(host.Request("<cells/>", "z", "r", "")));
}

TEST(PluginHost, RequestTextsThatFailBeforeTheRead) {
  TPluginHost host(TPluginHost::Config("book.xls"));
  host.WriteFile("book.xls", "stand-in");
  host.Start();
  for (const std::string request : {"<cells><c sheet=\"1\"></d></cells>", "<cells", "<c a=\"<\"/>"}) {
    std::string message;
    try {
      CreateDocument()->LoadFromText(request);
    } catch (const Exception& e) {
      message = e.Message();
    }
    ASSERT_FALSE(message.empty()) << request;
    EXPECT_EQ(host.Request(request), ErrorAnswer(Escaped(message))) << request;
    EXPECT_EQ(host.MultiRequest(request), ErrorAnswer(Escaped(message))) << request;
  }
  std::string many = "<cells>";
  for (int i = 0; i <= 65536; ++i) many += "<c/>";
  EXPECT_EQ(host.Request(many + "</cells>"), ErrorAnswer("Too many cells: 65537"));
}

TEST(PluginHost, NullHostTextsReadAsEmpty) {
  TPluginHost host(TPluginHost::Config("book.xls", R"(domains="" rooms="r" nickNames="n")"));
  host.WriteFile("book.xls", "stand-in");
  host.Start();
  for (const bool block : {false, true}) {
    const auto withEmpty = host.RawRequest(block, "", "", "", "");
    EXPECT_TRUE(PastPreCheck(withEmpty));
    EXPECT_EQ(host.RawRequest(block, nullptr, nullptr, nullptr, nullptr), withEmpty);
    EXPECT_EQ(host.RawRequest(block, "x", nullptr, "x", "<c/>"), kNoRights);
  }
}

TEST(PluginHost, RequestsFromManyThreadsShareOneModelSafely) {
  TPluginHost host(TPluginHost::Config("book.xls"));
  host.WriteFile("book.xls", "stand-in");
  host.Start();
  const auto expected = host.Request("<cells/>");
  ASSERT_TRUE(PastPreCheck(expected));
  std::vector<std::thread> threads;
  std::vector<int> mismatches(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        // Both fail at the read of the stand-in, with the same message.
        if ((i % 2 == 0 ? host.Request("<cells/>") : host.MultiRequest("<r><r/></r>")) != expected) ++mismatches[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(mismatches[t], 0);
}

}  // namespace
}  // namespace tabulon::test
