// A small compound-document writer for tests: lays out streams and storages
// under the root, with the mini stream, FAT, DIFAT and directory, and tells
// where each table entry landed so that a test can damage it on purpose.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace tabulon::test {

class CfbWriter {
 public:
  static constexpr uint32_t kFree = 0xFFFFFFFF;
  static constexpr uint32_t kEndOfChain = 0xFFFFFFFE;
  static constexpr uint32_t kFatSector = 0xFFFFFFFD;
  static constexpr uint32_t kDifatSector = 0xFFFFFFFC;
  static constexpr uint32_t kNoStream = 0xFFFFFFFF;

  // sectorShift 9: version 3 (512-byte sectors); 12: version 4 (4096 bytes).
  explicit CfbWriter(unsigned sectorShift = 9) : shift_(sectorShift), ss_(1u << sectorShift) {}

  void AddStream(std::u16string name, std::vector<uint8_t> data) {
    elements_.push_back({std::move(name), std::move(data), false});
  }
  void AddStorage(std::u16string name) { elements_.push_back({std::move(name), {}, true}); }
  // Allocates the sectors of the regular streams alternately, so that each
  // stream is split into many pieces in the file.
  void SetInterleave(bool interleave) { interleave_ = interleave; }

  std::vector<uint8_t> Build() {
    const uint32_t perSector = ss_ / 4;
    // Mini stream: every stream under 4096 bytes, in 64-byte mini sectors.
    std::vector<uint8_t> container;
    std::vector<uint32_t> miniFat;
    start_.assign(elements_.size(), kEndOfChain);
    for (std::size_t i = 0; i < elements_.size(); ++i) {
      const Element& e = elements_[i];
      if (e.storage || e.data.empty() || e.data.size() >= 4096) continue;
      const uint32_t first = static_cast<uint32_t>(container.size() / 64);
      const uint32_t count = static_cast<uint32_t>((e.data.size() + 63) / 64);
      start_[i] = first;
      for (uint32_t k = 0; k < count; ++k) miniFat.push_back(k + 1 < count ? first + k + 1 : kEndOfChain);
      container.insert(container.end(), e.data.begin(), e.data.end());
      container.resize(std::size_t{first + count} * 64, 0);
    }

    // Regular sectors, in this order: stream data, mini stream, mini FAT,
    // directory, FAT, DIFAT.
    std::vector<std::vector<uint32_t>> chains(elements_.size());
    uint32_t next = 0;
    std::vector<std::size_t> regular;
    for (std::size_t i = 0; i < elements_.size(); ++i) {
      if (!elements_[i].storage && elements_[i].data.size() >= 4096) regular.push_back(i);
    }
    if (interleave_) {
      bool more = true;
      while (more) {
        more = false;
        for (const std::size_t i : regular) {
          if (chains[i].size() < Sectors(elements_[i].data.size())) {
            chains[i].push_back(next++);
            more = true;
          }
        }
      }
    } else {
      for (const std::size_t i : regular) {
        for (uint32_t k = 0; k < Sectors(elements_[i].data.size()); ++k) chains[i].push_back(next++);
      }
    }
    for (const std::size_t i : regular) start_[i] = chains[i].front();
    const std::vector<uint32_t> containerChain = Range(next, Sectors(container.size()));
    const std::vector<uint32_t> miniFatChain = Range(next, Sectors(miniFat.size() * 4));
    const std::size_t entryCount = elements_.size() + 1;
    const std::vector<uint32_t> dirChain = Range(next, Sectors(entryCount * 128));
    uint32_t fatCount = 0;
    uint32_t difatCount = 0;
    for (;;) {
      const uint32_t total = next + fatCount + difatCount;
      const uint32_t f = (total + perSector - 1) / perSector;
      const uint32_t d = f > 109 ? (f - 109 + perSector - 2) / (perSector - 1) : 0;
      if (f == fatCount && d == difatCount) break;
      fatCount = f;
      difatCount = d;
    }
    fatSectors_ = Range(next, fatCount);
    difatSectors_ = Range(next, difatCount);
    const uint32_t total = next;

    std::vector<uint32_t> fat(std::size_t{fatCount} * perSector, kFree);
    auto link = [&](const std::vector<uint32_t>& chain) {
      for (std::size_t k = 0; k < chain.size(); ++k) fat[chain[k]] = k + 1 < chain.size() ? chain[k + 1] : kEndOfChain;
    };
    for (const auto& chain : chains) link(chain);
    link(containerChain);
    link(miniFatChain);
    link(dirChain);
    for (const uint32_t s : fatSectors_) fat[s] = kFatSector;
    for (const uint32_t s : difatSectors_) fat[s] = kDifatSector;

    std::vector<uint8_t> out(std::size_t{ss_} * (total + 1), 0);
    // Header.
    static const uint8_t kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    std::memcpy(out.data(), kSignature, 8);
    Put16(out, 24, 0x003E);
    Put16(out, 26, shift_ == 12 ? 4 : 3);
    Put16(out, 28, 0xFFFE);
    Put16(out, 30, static_cast<uint16_t>(shift_));
    Put16(out, 32, 6);
    Put32(out, 40, shift_ == 12 ? static_cast<uint32_t>(dirChain.size()) : 0);
    Put32(out, 44, fatCount);
    Put32(out, 48, dirChain.front());
    Put32(out, 56, 4096);
    Put32(out, 60, miniFatChain.empty() ? kEndOfChain : miniFatChain.front());
    Put32(out, 64, static_cast<uint32_t>(miniFatChain.size()));
    Put32(out, 68, difatSectors_.empty() ? kEndOfChain : difatSectors_.front());
    Put32(out, 72, difatCount);
    for (uint32_t i = 0; i < 109; ++i) Put32(out, 76 + 4 * i, i < fatCount ? fatSectors_[i] : kFree);
    // DIFAT sectors.
    for (std::size_t d = 0; d < difatSectors_.size(); ++d) {
      const std::size_t base = SectorOffset(difatSectors_[d]);
      for (uint32_t k = 0; k < perSector - 1; ++k) {
        const std::size_t index = 109 + d * (perSector - 1) + k;
        Put32(out, base + 4 * k, index < fatCount ? fatSectors_[index] : kFree);
      }
      Put32(out, base + 4 * (perSector - 1), d + 1 < difatSectors_.size() ? difatSectors_[d + 1] : kEndOfChain);
    }
    // FAT, mini FAT.
    for (std::size_t i = 0; i < fat.size(); ++i) Put32(out, SectorOffset(fatSectors_[i / perSector]) + 4 * (i % perSector), fat[i]);
    for (std::size_t i = 0; i < miniFatChain.size() * perSector; ++i) {
      Put32(out, SectorOffset(miniFatChain[i / perSector]) + 4 * (i % perSector), i < miniFat.size() ? miniFat[i] : kFree);
    }
    // Stream data and mini stream.
    for (std::size_t i = 0; i < elements_.size(); ++i) WriteChain(out, chains[i], elements_[i].data);
    WriteChain(out, containerChain, container);
    // Directory: the root, then the elements as a chain of right siblings.
    dirOffsets_.clear();
    for (std::size_t i = 0; i < dirChain.size() * (ss_ / 128); ++i) {
      dirOffsets_.push_back(SectorOffset(dirChain[i / (ss_ / 128)]) + 128 * (i % (ss_ / 128)));
      Put32(out, dirOffsets_.back() + 68, kNoStream);
      Put32(out, dirOffsets_.back() + 72, kNoStream);
      Put32(out, dirOffsets_.back() + 76, kNoStream);
    }
    WriteEntry(out, 0, u"Root Entry", 5, elements_.empty() ? kNoStream : 1, kNoStream,
               container.empty() ? kEndOfChain : containerChain.front(), container.size());
    for (std::size_t i = 0; i < elements_.size(); ++i) {
      const Element& e = elements_[i];
      WriteEntry(out, i + 1, e.name, e.storage ? 1 : 2, kNoStream,
                 i + 1 < elements_.size() ? static_cast<uint32_t>(i + 2) : kNoStream, e.storage ? 0 : start_[i],
                 e.data.size());
    }
    return out;
  }

  // After Build():
  std::size_t SectorOffset(uint32_t sector) const { return (std::size_t{sector} + 1) * ss_; }
  std::size_t FatEntryOffset(uint32_t sector) const {
    return SectorOffset(fatSectors_[sector / (ss_ / 4)]) + 4 * (sector % (ss_ / 4));
  }
  // Entry 0 is the root, entry i + 1 the element added i-th.
  std::size_t DirEntryOffset(std::size_t entry) const { return dirOffsets_[entry]; }
  // First sector of an element's stream (a mini sector for a small stream).
  uint32_t StartSector(std::size_t element) const { return start_[element]; }
  const std::vector<uint32_t>& DifatSectors() const { return difatSectors_; }

  static void Put16(std::vector<uint8_t>& b, std::size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
  }
  static void Put32(std::vector<uint8_t>& b, std::size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
  }
  static uint32_t Get32(const std::vector<uint8_t>& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
  }

 private:
  struct Element {
    std::u16string name;
    std::vector<uint8_t> data;
    bool storage;
  };

  uint32_t Sectors(std::size_t bytes) const { return static_cast<uint32_t>((bytes + ss_ - 1) / ss_); }
  static std::vector<uint32_t> Range(uint32_t& next, uint32_t count) {
    std::vector<uint32_t> r;
    for (uint32_t k = 0; k < count; ++k) r.push_back(next++);
    return r;
  }
  void WriteChain(std::vector<uint8_t>& out, const std::vector<uint32_t>& chain, const std::vector<uint8_t>& data) {
    for (std::size_t k = 0; k < chain.size(); ++k) {
      const std::size_t from = k * ss_;
      const std::size_t n = std::min<std::size_t>(ss_, data.size() - from);
      std::memcpy(out.data() + SectorOffset(chain[k]), data.data() + from, n);
    }
  }
  void WriteEntry(std::vector<uint8_t>& out, std::size_t entry, const std::u16string& name, uint8_t type,
                  uint32_t child, uint32_t right, uint32_t start, std::size_t size) {
    const std::size_t at = dirOffsets_[entry];
    for (std::size_t i = 0; i < name.size() && i < 31; ++i) Put16(out, at + 2 * i, name[i]);
    Put16(out, at + 64, static_cast<uint16_t>(2 * (std::min<std::size_t>(name.size(), 31) + 1)));
    out[at + 66] = type;
    out[at + 67] = 1;  // black
    Put32(out, at + 72, right);
    Put32(out, at + 76, child);
    Put32(out, at + 116, start);
    Put32(out, at + 120, static_cast<uint32_t>(size));
  }

  unsigned shift_;
  uint32_t ss_;
  bool interleave_ = false;
  std::vector<Element> elements_;
  std::vector<uint32_t> start_;
  std::vector<uint32_t> fatSectors_;
  std::vector<uint32_t> difatSectors_;
  std::vector<std::size_t> dirOffsets_;
};

}  // namespace tabulon::test
