// Temporary files for tests that name them to the readers by wide name.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "platform/platform.h"
#include "support/temp_dir.h"

namespace tabulon::test {

// A temporary directory that goes with its files at the end of the scope.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "tabulon-test") : path_(MakeTempDirectory(prefix)) {}
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& Path() const { return path_; }
  // The wide name of `name` in the directory.
  std::u16string Name(const std::string& name) const { return platform::HostToWide((path_ / name).string()); }
  // Writes the bytes to `name` in the directory and gives its wide name.
  std::u16string Write(const std::string& name, const std::vector<uint8_t>& bytes) const {
    std::ofstream(path_ / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return Name(name);
  }

 private:
  std::filesystem::path path_;
};

}  // namespace tabulon::test
