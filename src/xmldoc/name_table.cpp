#include "xmldoc/name_table.h"

namespace tabulon {

TXmlNameTable::TXmlNameTable() : heads_(kBucketCount, kEnd) {
  for (std::string_view name : {"#text", "#cdata-section", "#comment", "#document", "xml"}) Add(name);
}

uint32_t TXmlNameTable::Hash(std::string_view name) {
  // FNV-1a: cheap and spreads short tag names well over the buckets.
  uint32_t h = 2166136261u;
  for (char c : name) {
    h ^= static_cast<unsigned char>(c);
    h *= 16777619u;
  }
  return h;
}

int32_t TXmlNameTable::FindHashed(std::string_view name, uint32_t h) const {
  for (int32_t id = heads_[h & (heads_.size() - 1)]; id >= 0; id = next_[static_cast<std::size_t>(id)]) {
    if (hashes_[static_cast<std::size_t>(id)] == h && names_[static_cast<std::size_t>(id)] == name) return id;
  }
  return -1;
}

int32_t TXmlNameTable::Store(std::string_view name, uint32_t h, bool link) {
  const int32_t id = Count();
  names_.emplace_back(name);
  hashes_.push_back(h);
  if (!link) {
    next_.push_back(kUnlinked);
    return id;
  }
  int32_t& head = heads_[h & (heads_.size() - 1)];
  next_.push_back(head);
  head = id;
  if (names_.size() > 2 * heads_.size()) Rehash(2 * heads_.size());
  return id;
}

void TXmlNameTable::Rehash(std::size_t buckets) {
  // Relinked in id order, so each chain still starts at its latest name.
  heads_.assign(buckets, kEnd);
  for (std::size_t id = 0; id < next_.size(); ++id) {
    if (next_[id] == kUnlinked) continue;
    int32_t& head = heads_[hashes_[id] & (buckets - 1)];
    next_[id] = head;
    head = static_cast<int32_t>(id);
  }
}

int32_t TXmlNameTable::Find(std::string_view name) const { return FindHashed(name, Hash(name)); }

int32_t TXmlNameTable::Add(std::string_view name) {
  const uint32_t h = Hash(name);
  const int32_t id = FindHashed(name, h);
  return id >= 0 ? id : Store(name, h, true);
}

int32_t TXmlNameTable::Append(std::string_view name) {
  // A duplicate stays out of the bucket chains, so Find keeps answering
  // the first id of the name.
  const uint32_t h = Hash(name);
  return Store(name, h, FindHashed(name, h) < 0);
}

void TXmlNameTable::Clear() {
  names_.clear();
  hashes_.clear();
  next_.clear();
  heads_.assign(kBucketCount, kEnd);
}

}  // namespace tabulon
