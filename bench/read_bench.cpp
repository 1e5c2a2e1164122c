// Benchmarks of the whole-workbook read: TXLSWorkbook::Read of each
// generated workbook, and one whole getMultiCellValueRef request (a 20 x 50
// block, which re-reads the file) through the loaded plug-in. Request/attributes
// times a getCellValueRef request whose one cell element carries N distinct
// attribute names, on the small example workbook: its cost must grow with N,
// not with N squared.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "loader/loader.h"
#include "platform/platform.h"
#include "plugin/exports.h"
#include "workbook/sheet.h"
#include "workbook/workbook.h"

namespace fs = std::filesystem;

namespace {

using IniFn = const char* (*)(int32_t);
using RequestFn = char* (*)(int32_t, int32_t, const char*, const char*, const char*, const char*);

const char* kBlock = "<range><r sheet=\"1\" cellMin=\"A1\" cellMax=\"T50\"/></range>";

void BM_Read(benchmark::State& state, std::string path) {
  tabulon::TWorkbookLoader loader;
  tabulon::TXLSWorkbook workbook(&loader);
  workbook.Filename = tabulon::platform::HostToWide(path);
  for (auto _ : state) {
    workbook.Read();
    benchmark::DoNotOptimize(workbook.Sheets()[0].GetCellAsFloat(0, 0));
  }
}

// One copy of the plug-in per workbook, each beside its own configuration.
struct LoadedPlugin {
  void* library = nullptr;
  RequestFn cells = nullptr;
  RequestFn multi = nullptr;
};

// Loaded once per workbook and kept: the library file must not be replaced
// while it is mapped.
std::map<std::string, LoadedPlugin> loaded;

LoadedPlugin LoadPlugin(const std::string& workbook) {
  if (auto it = loaded.find(workbook); it != loaded.end()) return it->second;
  const fs::path dir = fs::temp_directory_path() / ("tabulon-bench-" + fs::path(workbook).filename().string());
  fs::create_directories(dir);
  fs::copy_file(TABULON_PLUGIN_PATH, dir / "Tabulon.qdx", fs::copy_options::overwrite_existing);
  std::ofstream(dir / "Tabulon.qdx.config")
      << "<config><data file=\"" << fs::absolute(workbook).string()
      << "\"><read domains=\"bench\" rooms=\"\" nickNames=\"\"/><write domains=\"\" rooms=\"\" nickNames=\"\"/>"
         "</data></config>";
  LoadedPlugin plugin;
  plugin.library = dlopen((dir / "Tabulon.qdx").c_str(), RTLD_NOW | RTLD_LOCAL);
  if (plugin.library == nullptr) return plugin;
  auto ini = reinterpret_cast<IniFn>(dlsym(plugin.library, "iniSocketXtra"));
  plugin.cells = reinterpret_cast<RequestFn>(dlsym(plugin.library, "getCellValueRef"));
  plugin.multi = reinterpret_cast<RequestFn>(dlsym(plugin.library, "getMultiCellValueRef"));
  if (ini != nullptr) ini(1);
  loaded[workbook] = plugin;
  return plugin;
}

void BM_Request(benchmark::State& state, std::string path) {
  const LoadedPlugin plugin = LoadPlugin(path);
  if (plugin.multi == nullptr) {
    state.SkipWithError("the plug-in could not be loaded");
    return;
  }
  for (auto _ : state) {
    char* answer = plugin.multi(0, 0, "", "", "bench", kBlock);
    if (answer == nullptr || std::string_view(answer).find("ok") == std::string_view::npos) {
      state.SkipWithError(answer != nullptr ? answer : "no answer");
      std::free(answer);
      break;
    }
    std::free(answer);
  }
}

void BM_RequestAttributes(benchmark::State& state) {
  const LoadedPlugin plugin = LoadPlugin(TABULON_EXAMPLE_WORKBOOK);
  if (plugin.cells == nullptr) {
    state.SkipWithError("the plug-in could not be loaded");
    return;
  }
  std::string request = "<cells><c sheet=\"1\" cell=\"B3\"";
  for (int64_t i = 0; i < state.range(0); ++i) request += " a" + std::to_string(i) + "=\"\"";
  request += "/></cells>";
  for (auto _ : state) {
    char* answer = plugin.cells(0, 0, "", "", "bench", request.c_str());
    if (answer == nullptr || std::string_view(answer).find("state=\"ok\"") == std::string_view::npos) {
      state.SkipWithError(answer != nullptr ? answer : "no answer");
      std::free(answer);
      break;
    }
    std::free(answer);
  }
  state.SetComplexityN(state.range(0));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(request.size()));
}

}  // namespace

int main(int argc, char** argv) {
  const char* dataDir = std::getenv("TABULON_BENCH_DATA");
  const fs::path data = dataDir != nullptr ? dataDir : TABULON_BENCH_DATA;
  std::vector<std::string> files;
  if (fs::is_directory(data))
    for (const auto& entry : fs::directory_iterator(data))
      if (entry.path().filename().string().rfind("bench-", 0) == 0) files.push_back(entry.path().string());
  std::sort(files.begin(), files.end());
  if (files.empty()) std::fprintf(stderr, "no workbooks in %s: run bench/gen_workbooks.py first\n", data.c_str());
  for (const std::string& file : files) {
    const std::string name = fs::path(file).filename().string();
    benchmark::RegisterBenchmark(("Read/" + name).c_str(), BM_Read, file)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("Request/" + name).c_str(), BM_Request, file)->Unit(benchmark::kMillisecond);
  }
  benchmark::RegisterBenchmark("Request/attributes", BM_RequestAttributes)
      ->RangeMultiplier(10)
      ->Range(1000, 1000000)
      ->Complexity(benchmark::oN)
      ->Unit(benchmark::kMillisecond);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  // Unloaded as a host unloads them, before the process ends.
  for (auto& [workbook, plugin] : loaded)
    if (plugin.library != nullptr) dlclose(plugin.library);
  return 0;
}
