// The name table of an XML document: every element, attribute and
// processing-instruction name is stored once and referred to by an id.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace tabulon {

class TXmlNameTable {
 public:
  // Buckets of a new table. The table doubles them whenever it holds more
  // than two names per bucket, so that a lookup stays constant-time however
  // many distinct names a text brings.
  static constexpr int32_t kBucketCount = 4096;

  // A table that starts with "#text", "#cdata-section", "#comment",
  // "#document" and "xml" (ids 0 to 4).
  TXmlNameTable();
  TXmlNameTable(const TXmlNameTable&) = delete;
  TXmlNameTable& operator=(const TXmlNameTable&) = delete;

  // The id of the name; a name not yet in the table is added.
  int32_t Add(std::string_view name);
  // The id of the name, or -1 when the table does not hold it.
  int32_t Find(std::string_view name) const;
  // Appends the name under the next id even when it is present already
  // (tables read from the binary form keep their ids by position); Find
  // then answers the first id.
  int32_t Append(std::string_view name);
  // Removes every name, including the initial five.
  void Clear();

  int32_t Count() const { return static_cast<int32_t>(names_.size()); }
  // The name of a valid id (0 to Count() - 1). The view stays valid until
  // Clear: names never move once stored.
  std::string_view Name(int32_t id) const { return names_[static_cast<std::size_t>(id)]; }

 private:
  static uint32_t Hash(std::string_view name);
  int32_t FindHashed(std::string_view name, uint32_t h) const;
  int32_t Store(std::string_view name, uint32_t h, bool link);
  void Rehash(std::size_t buckets);

  static constexpr int32_t kEnd = -1;       // the end of a bucket chain
  static constexpr int32_t kUnlinked = -2;  // an appended duplicate, in no chain

  std::deque<std::string> names_;
  std::vector<uint32_t> hashes_;  // per id
  std::vector<int32_t> next_;     // per id: the next id of the same bucket, kEnd or kUnlinked
  std::vector<int32_t> heads_;    // per bucket (a power of two of them): the last id added, kEnd when empty
};

}  // namespace tabulon
