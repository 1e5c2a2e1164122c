// Test helpers: a byte builder and an in-memory record source whose first
// record (the one ReadSST starts in) has had its header read already.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "workbook/record_source.h"

namespace tabulon::test {

struct Bytes {
  std::vector<uint8_t> data;
  Bytes& u8(uint32_t v) {
    data.push_back(static_cast<uint8_t>(v));
    return *this;
  }
  Bytes& u16(uint32_t v) { return u8(v).u8(v >> 8); }
  Bytes& u32(uint32_t v) { return u16(v).u16(v >> 16); }
  Bytes& raw(const std::string& s) {
    data.insert(data.end(), s.begin(), s.end());
    return *this;
  }
  Bytes& wide(const std::u16string& s) {
    for (char16_t c : s) u16(c);
    return *this;
  }
  // A whole unformatted string: count, option byte, characters.
  Bytes& str8(const std::string& s) { return u16(static_cast<uint32_t>(s.size())).u8(0).raw(s); }
  Bytes& str16(const std::u16string& s) { return u16(static_cast<uint32_t>(s.size())).u8(1).wide(s); }
  std::size_t size() const { return data.size(); }
};

class MemoryRecords final : public TRecordSource {
 public:
  // `first` is the body of the record already entered; `next` the records
  // that follow, as (id, body).
  MemoryRecords(std::vector<uint8_t> first, std::vector<std::pair<uint16_t, std::vector<uint8_t>>> next)
      : current_(std::move(first)), next_(std::move(next)) {}

  std::size_t ReadHeader(uint16_t& id, uint16_t& length) override {
    if (index_ >= next_.size()) return 0;
    id = next_[index_].first;
    current_ = next_[index_].second;
    length = static_cast<uint16_t>(current_.size());
    pos_ = 0;
    ++index_;
    return 4;
  }
  std::size_t ReadBody(void* buffer, std::size_t count) override {
    std::size_t n = std::min(count, current_.size() - pos_);
    if (n) std::memcpy(buffer, current_.data() + pos_, n);
    pos_ += n;
    return n;
  }
  uint16_t FirstLength() const { return static_cast<uint16_t>(current_.size()); }
  std::size_t RecordsRead() const { return index_; }

 private:
  std::vector<uint8_t> current_;
  std::vector<std::pair<uint16_t, std::vector<uint8_t>>> next_;
  std::size_t index_ = 0;
  std::size_t pos_ = 0;
};

inline constexpr uint16_t kContinue = 0x003C;

}  // namespace tabulon::test
