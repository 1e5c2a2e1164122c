#include "xmldoc/name_table.h"

namespace tabulon {

TXmlNameTable::TXmlNameTable() : heads_(kBucketCount, -1) {
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
  for (int32_t id = heads_[h % kBucketCount]; id >= 0; id = next_[static_cast<std::size_t>(id)]) {
    if (hashes_[static_cast<std::size_t>(id)] == h && names_[static_cast<std::size_t>(id)] == name) return id;
  }
  return -1;
}

int32_t TXmlNameTable::Store(std::string_view name, uint32_t h, bool link) {
  const int32_t id = Count();
  names_.emplace_back(name);
  hashes_.push_back(h);
  int32_t& head = heads_[h % kBucketCount];
  next_.push_back(link ? head : -1);
  if (link) head = id;
  return id;
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
  heads_.assign(kBucketCount, -1);
}

}  // namespace tabulon
