// The inputs that once made a fuzz target fail, kept in tests/fixtures/fuzz/
// as "<target>-<what went wrong>", each fed to its target again. The target
// checks what it can; a crash or a sanitizer report fails the run.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "fuzz/targets.h"

namespace tabulon::fuzz {
namespace {

using Target = void (*)(const uint8_t*, std::size_t);

const std::map<std::string, Target> kTargets = {
    {"xmldoc_text", XmldocText}, {"xmldoc_binary", XmldocBinary}, {"request", Request},
    {"compound", Compound},      {"decrypt", Decrypt},            {"zip", Zip},
    {"tags", Tags},              {"xls_read", LegacyWorkbook},    {"xlsx_read", OpenXmlWorkbook},
};

TEST(FuzzRegression, EveryKeptInputRunsCleanly) {
  const std::filesystem::path dir = std::filesystem::path(TABULON_FIXTURES) / "fuzz";
  int inputs = 0;
  for (const auto& file : std::filesystem::directory_iterator(dir)) {
    const std::string name = file.path().filename().string();
    const auto target = kTargets.find(name.substr(0, name.find('-')));
    ASSERT_NE(target, kTargets.end()) << "no target for " << name;
    std::ifstream in(file.path(), std::ios::binary);
    const std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    SCOPED_TRACE(name);
    target->second(data.data(), data.size());
    ++inputs;
  }
  EXPECT_GT(inputs, 0);
}

}  // namespace
}  // namespace tabulon::fuzz
