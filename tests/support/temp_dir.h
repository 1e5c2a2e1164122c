// Temporary directories for tests, the same on Linux and Windows.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#endif

namespace tabulon::test {

// A new, empty directory "<prefix>-<random>" in the system's temporary
// directory (the one the process started with: UseAsTempDirectory does not
// move it).
inline std::filesystem::path MakeTempDirectory(const std::string& prefix) {
  static std::mt19937 random{std::random_device{}()};
  static const std::filesystem::path base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::filesystem::path dir = base / (prefix + "-" + std::to_string(random()));
    std::error_code error;
    if (std::filesystem::create_directory(dir, error)) return dir;
  }
  throw std::runtime_error("cannot make a temporary directory for " + prefix);
}

// Makes `dir` the process's temporary directory (what platform::TempDirectory
// gives from then on): TMPDIR on Linux, TMP and TEMP on Windows.
inline void UseAsTempDirectory(const std::filesystem::path& dir) {
#ifdef _WIN32
  SetEnvironmentVariableW(L"TMP", dir.wstring().c_str());
  SetEnvironmentVariableW(L"TEMP", dir.wstring().c_str());
#else
  setenv("TMPDIR", dir.c_str(), 1);
#endif
}

}  // namespace tabulon::test
