// A small ZIP writer for building test archives byte by byte.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tabulon::test {

struct ZipMember {
  ZipMember(std::string name_, std::string data_, uint16_t method_ = 8, uint16_t flags_ = 0)
      : name(std::move(name_)), data(std::move(data_)), method(method_), flags(flags_) {}
  std::string name;
  std::string data;
  uint16_t method = 8;        // 0 stored, 8 deflated; any other is written as stored bytes
  uint16_t flags = 0;         // bit 3 moves the sizes into a data descriptor
  std::optional<uint32_t> declaredSize;    // central directory uncompressed size
  std::optional<uint32_t> declaredPacked;  // central directory compressed size
  bool rawData = false;       // write data as given even for method 8
};

struct ZipLayout {
  uint32_t centralOffset = 0;
  uint32_t endOffset = 0;
};

// Raw deflate (no zlib header) of data.
std::string Deflate(const std::string& data);

std::string BuildZip(const std::vector<ZipMember>& members, const std::string& comment = {},
                     ZipLayout* layout = nullptr);

}  // namespace tabulon::test
