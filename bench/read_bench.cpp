// Benchmarks of the whole-workbook read, per generated workbook:
//   Read/       TXLSWorkbook::Read alone (a full read every time)
//   Warm/       one getMultiCellValueRef request (a 20 x 50 block) through
//               the loaded plug-in, again and again on the unchanged file
//   Cold/       the same request with one byte of the file changed before
//               each one (a byte no reader looks at), so that every request
//               parses the whole file in a process that has served before
//   Floor/      the least a request that must see the file's bytes can do:
//               read them into a reused buffer and compare them with a kept
//               copy
//   Inflate/    (.xlsx) zlib alone inflating every member of the package,
//               held in memory, into a reused buffer
//   Request/attributes  one getCellValueRef request on the small example
//               workbook whose one cell element carries N distinct attribute
//               names: its cost must grow with N, not with N squared
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <string_view>
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

bool Ask(benchmark::State& state, const LoadedPlugin& plugin) {
  char* answer = plugin.multi(0, 0, "", "", "bench", kBlock);
  const bool ok = answer != nullptr && std::string_view(answer).rfind("<result state=\"ok\">", 0) == 0;
  if (!ok) state.SkipWithError(answer != nullptr ? answer : "no answer");
  std::free(answer);
  return ok;
}

void BM_Warm(benchmark::State& state, std::string path) {
  const LoadedPlugin plugin = LoadPlugin(path);
  if (plugin.multi == nullptr) {
    state.SkipWithError("the plug-in could not be loaded");
    return;
  }
  if (!Ask(state, plugin)) return;  // the first request reads the file
  for (auto _ : state)
    if (!Ask(state, plugin)) break;
}

// Where a byte can change without changing what the readers see: the
// compound document header's class id (bytes 8-23, unused), or the
// modification time in the first local header of a ZIP package (bytes
// 10-11; the readers take times from nowhere).
off_t IgnoredByte(const std::string& path) { return path.ends_with(".xls") ? 8 : 10; }

void BM_Cold(benchmark::State& state, std::string path) {
  const LoadedPlugin plugin = LoadPlugin(path);
  const int fd = open(path.c_str(), O_RDWR);
  if (plugin.multi == nullptr || fd < 0) {
    state.SkipWithError("the plug-in or the workbook could not be opened");
    if (fd >= 0) close(fd);
    return;
  }
  const off_t at = IgnoredByte(path);
  unsigned char original = 0;
  if (pread(fd, &original, 1, at) == 1 && Ask(state, plugin)) {
    unsigned char value = original;
    for (auto _ : state) {
      state.PauseTiming();
      value ^= 1;
      const bool written = pwrite(fd, &value, 1, at) == 1;
      state.ResumeTiming();
      if (!written) {
        state.SkipWithError("the workbook could not be written");
        break;
      }
      if (!Ask(state, plugin)) break;
    }
    if (pwrite(fd, &original, 1, at) != 1) std::fprintf(stderr, "%s: byte %lld not restored\n", path.c_str(),
                                                        static_cast<long long>(at));
  }
  close(fd);
}

// Reads the whole file into buffer (kept between calls); returns the size read.
std::size_t ReadInto(const std::string& path, std::vector<uint8_t>& buffer) {
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return 0;
  const off_t size = lseek(fd, 0, SEEK_END);
  if (size > 0 && buffer.size() < static_cast<std::size_t>(size)) buffer.resize(static_cast<std::size_t>(size));
  std::size_t done = 0;
  while (size > 0 && done < static_cast<std::size_t>(size)) {
    const ssize_t n = pread(fd, buffer.data() + done, static_cast<std::size_t>(size) - done, static_cast<off_t>(done));
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  close(fd);
  return done;
}

void BM_Floor(benchmark::State& state, std::string path) {
  std::vector<uint8_t> kept, buffer;
  kept.resize(ReadInto(path, kept));
  for (auto _ : state) {
    const std::size_t size = ReadInto(path, buffer);
    const bool same = size == kept.size() && std::memcmp(buffer.data(), kept.data(), size) == 0;
    if (!same) {
      state.SkipWithError("the file changed");
      break;
    }
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

uint32_t Le16(const uint8_t* p) { return p[0] | (p[1] << 8); }
uint32_t Le32(const uint8_t* p) { return Le16(p) | (Le16(p + 2) << 16); }

struct Member {
  uint32_t method, packed, size, localOffset;
};

// The members listed by the central directory of a sound package.
std::vector<Member> Members(const std::vector<uint8_t>& zip) {
  std::vector<Member> out;
  if (zip.size() < 22) return out;
  std::size_t eocd = zip.size() - 22;
  while (eocd > 0 && Le32(&zip[eocd]) != 0x06054b50) --eocd;
  if (Le32(&zip[eocd]) != 0x06054b50) return out;
  const uint32_t count = Le16(&zip[eocd + 10]);
  std::size_t at = Le32(&zip[eocd + 16]);
  for (uint32_t i = 0; i < count && at + 46 <= zip.size() && Le32(&zip[at]) == 0x02014b50; ++i) {
    out.push_back({Le16(&zip[at + 10]), Le32(&zip[at + 20]), Le32(&zip[at + 24]), Le32(&zip[at + 42])});
    at += 46 + Le16(&zip[at + 28]) + Le16(&zip[at + 30]) + Le16(&zip[at + 32]);
  }
  return out;
}

void BM_Inflate(benchmark::State& state, std::string path) {
  std::vector<uint8_t> zip;
  zip.resize(ReadInto(path, zip));
  const std::vector<Member> members = Members(zip);
  std::vector<uint8_t> out;
  for (const Member& m : members) out.resize(std::max<std::size_t>(out.size(), m.size));
  uint64_t bytes = 0;
  for (auto _ : state) {
    for (const Member& m : members) {
      const std::size_t local = m.localOffset;
      if (m.method != 8 || local + 30 > zip.size()) continue;
      const std::size_t data = local + 30 + Le16(&zip[local + 26]) + Le16(&zip[local + 28]);
      if (data + m.packed > zip.size()) continue;
      z_stream z{};
      inflateInit2(&z, -MAX_WBITS);
      z.next_in = &zip[data];
      z.avail_in = m.packed;
      z.next_out = out.data();
      z.avail_out = static_cast<uInt>(out.size());
      inflate(&z, Z_FINISH);
      bytes += z.total_out;
      inflateEnd(&z);
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
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
    benchmark::RegisterBenchmark(("Cold/" + name).c_str(), BM_Cold, file)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("Warm/" + name).c_str(), BM_Warm, file)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("Floor/" + name).c_str(), BM_Floor, file)->Unit(benchmark::kMillisecond);
    if (name.ends_with(".xlsx"))
      benchmark::RegisterBenchmark(("Inflate/" + name).c_str(), BM_Inflate, file)->Unit(benchmark::kMillisecond);
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
