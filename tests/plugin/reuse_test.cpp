// Requests on an unchanged workbook answer from the model of the last read
// that succeeded. Whatever the file, the answer must be the one a full read
// gives: the same on a repeated request as on the first, seen at once when
// the file's bytes change (whatever its size and modification time say), and
// never the leftovers of a read that failed.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "plugin/plugin_host.h"

namespace tabulon::test {
namespace {

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::filesystem::path> Fixtures(const std::string& extension) {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(TABULON_FIXTURES))
    if (entry.is_regular_file() && entry.path().extension() == extension) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

// Every cell of A1:Z80 on each of the first three sheets (a sheet that is
// not there answers its index error), and a few single cells.
std::vector<std::string> AskEverything(TPluginHost& host) {
  std::vector<std::string> answers;
  for (int sheet = 1; sheet <= 3; ++sheet) {
    const std::string n = std::to_string(sheet);
    answers.push_back(
        host.MultiRequest("<range><r sheet=\"" + n + "\" cellMin=\"A1\" cellMax=\"Z80\"/></range>").value_or("(null)"));
  }
  answers.push_back(
      host.Request(R"(<cells><c sheet="1" cell="B3"/><c sheet="2" cell="A1"/><c sheet="1" cell="IV65536"/></cells>)")
          .value_or("(null)"));
  return answers;
}

// Each fixture in turn under one plug-in: the first request after the file
// changed reads it, the repeated one answers from memory; both the same.
TEST(PluginReuse, EveryFixtureAnswersTheSameOnFirstAndRepeatedRequests) {
  for (const char* extension : {".xls", ".xlsx"}) {
    const std::string book = std::string("book") + extension;
    TPluginHost host(TPluginHost::Config(book));
    host.WriteFile(book, "");
    host.Start();
    const std::vector<std::filesystem::path> fixtures = Fixtures(extension);
    ASSERT_GT(fixtures.size(), 3u);
    std::size_t withCells = 0;
    for (int round = 0; round < 2; ++round) {
      for (const std::filesystem::path& fixture : fixtures) {
        SCOPED_TRACE(fixture.filename().string() + " round " + std::to_string(round));
        host.CopyFile(fixture, book);
        const std::vector<std::string> first = AskEverything(host);
        EXPECT_EQ(AskEverything(host), first);
        EXPECT_EQ(AskEverything(host), first);
        withCells += std::any_of(first.begin(), first.end(), [](const std::string& answer) {
          return answer.find("<xls sheet=") != std::string::npos;
        });
      }
    }
    // Most fixtures are read (only the encrypted ones want a password).
    EXPECT_GE(withCells, fixtures.size());
  }
}

std::string Cells(const char* b1, const char* c1) {
  return std::string("<result state=\"ok\"><xls sheet=\"1\" cell=\"B1\"><![CDATA[") + b1 +
         "]]></xls><xls sheet=\"1\" cell=\"C1\"><![CDATA[" + c1 + "]]></xls></result>";
}

// The two versions of each rewrite fixture have the same size; the file is
// overwritten in place and given back its modification time.
TEST(PluginReuse, RewriteInPlaceKeepingSizeAndTimeIsSeen) {
  const char* const fixtures[][2] = {{"rewrite_v1_xlwt.xls", "rewrite_v2_xlwt.xls"},
                                     {"rewrite_v1_xlsxwriter.xlsx", "rewrite_v2_xlsxwriter.xlsx"}};
  const std::string request = R"(<cells><c sheet="1" cell="B1"/><c sheet="1" cell="C1"/></cells>)";
  for (const auto& pair : fixtures) {
    SCOPED_TRACE(pair[0]);
    const std::string v1 = ReadFile(std::filesystem::path(TABULON_FIXTURES) / pair[0]);
    const std::string v2 = ReadFile(std::filesystem::path(TABULON_FIXTURES) / pair[1]);
    ASSERT_EQ(v1.size(), v2.size());
    const std::string book = std::filesystem::path(pair[0]).extension() == ".xls" ? "book.xls" : "book.xlsx";
    TPluginHost host(TPluginHost::Config(book));
    host.WriteFile(book, v1);
    host.Start();
    const std::filesystem::path path = host.Path(book);
    const auto time = std::filesystem::last_write_time(path);
    EXPECT_EQ(host.Request(request), Cells("1", "5"));
    EXPECT_EQ(host.Request(request), Cells("1", "5"));
    for (const std::string* content : {&v2, &v1, &v2}) {
      std::fstream(path, std::ios::in | std::ios::out | std::ios::binary) << *content;
      std::filesystem::last_write_time(path, time);
      ASSERT_EQ(std::filesystem::file_size(path), v1.size());
      const bool second = content == &v2;
      EXPECT_EQ(host.Request(request), second ? Cells("2", "6") : Cells("1", "5"));
      EXPECT_EQ(host.Request(request), second ? Cells("2", "6") : Cells("1", "5"));
    }
  }
}

// A read that fails leaves a model behind; the same bytes asked for again
// must be read again and fail again, not answer from that model (here: one
// empty sheet, whose cells would answer empty texts).
TEST(PluginReuse, AFailedReadIsNeverReused) {
  const std::string whole = ReadFile(std::filesystem::path(TABULON_FIXTURES) / "rewrite_v1_xlwt.xls");
  TPluginHost host(TPluginHost::Config("book.xls"));
  host.WriteFile("book.xls", whole);
  host.Start();
  const std::string request = R"(<cells><c sheet="1" cell="B1"/><c sheet="1" cell="C1"/></cells>)";
  ASSERT_EQ(host.Request(request), Cells("1", "5"));
  // Sector 1 onwards overwritten: the compound document is damaged.
  std::string damaged = whole;
  std::fill(damaged.begin() + 512, damaged.end(), '\xFF');
  host.WriteFile("book.xls", damaged);
  const std::optional<std::string> failure = host.Request(request);
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(failure->rfind("<result state=\"error\">", 0), 0u) << *failure;
  EXPECT_EQ(host.Request(request), failure);
  host.WriteFile("book.xls", whole);
  EXPECT_EQ(host.Request(request), Cells("1", "5"));
}

}  // namespace
}  // namespace tabulon::test
