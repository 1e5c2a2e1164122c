#include "biff/compound_file.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

#include "platform/error.h"
#include "platform/platform.h"

namespace tabulon {

static_assert(std::endian::native == std::endian::little, "the compound reader copies little-endian tables as they are");

namespace {

// Special sector numbers.
constexpr uint32_t kMaxRegularSector = 0xFFFFFFFA;
constexpr uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr uint32_t kNoStream = 0xFFFFFFFF;

constexpr uint32_t kHeaderDifatEntries = 109;
constexpr uint32_t kDirEntrySize = 128;
constexpr uint32_t kMiniSectorShift = 6;
constexpr uint32_t kMiniSectorSize = 1u << kMiniSectorShift;
// Streams shorter than this live in the mini stream.
constexpr uint64_t kMiniStreamCutoff = 4096;
// Chain(): walk to the end-of-chain mark.
constexpr uint64_t kWholeChain = std::numeric_limits<uint64_t>::max();

enum : uint8_t { kTypeStorage = 1, kTypeStream = 2, kTypeRoot = 5 };

uint16_t U16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}
uint32_t U32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
uint64_t U64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

uint64_t CeilDiv(uint64_t value, uint64_t divisor) { return value / divisor + (value % divisor != 0 ? 1 : 0); }

// Appends a piece to a run list, joining it to the last run when the two are
// contiguous in the file.
void AddPiece(std::vector<TCompoundStream::Run>& runs, uint64_t streamOffset, std::size_t fileOffset,
              std::size_t length) {
  if (!runs.empty()) {
    TCompoundStream::Run& last = runs.back();
    if (last.fileOffset + last.length == fileOffset) {
      last.length += length;
      return;
    }
  }
  runs.push_back({streamOffset, fileOffset, length});
}

}  // namespace

struct TCompoundFile::DirEntry {
  std::size_t offset;  // of the 128-byte entry in the file
  uint8_t type;
  uint32_t left;
  uint32_t right;
  uint32_t child;
  uint32_t start;
  uint64_t size;
};

// ---- TCompoundStream ---------------------------------------------------------

TCompoundStream::TCompoundStream(std::shared_ptr<const void> owner, const uint8_t* file, std::vector<Run> runs,
                                 uint64_t size)
    : owner_(std::move(owner)), file_(file), runs_(std::move(runs)), size_(size) {}

std::size_t TCompoundStream::Read(void* buffer, std::size_t count) {
  if (count == 0 || position_ >= size_) return 0;
  if (run_ >= runs_.size() || position_ < runs_[run_].streamOffset ||
      position_ - runs_[run_].streamOffset >= runs_[run_].length) {
    // After a seek: find the run that holds the position.
    const auto next = std::upper_bound(runs_.begin(), runs_.end(), position_,
                                       [](uint64_t pos, const Run& run) { return pos < run.streamOffset; });
    run_ = static_cast<std::size_t>(next - runs_.begin()) - 1;
  }
  const std::size_t total = static_cast<std::size_t>(std::min<uint64_t>(count, size_ - position_));
  auto* out = static_cast<uint8_t*>(buffer);
  const uint8_t* file = file_;
  std::size_t left = total;
  while (left > 0) {
    const Run& run = runs_[run_];
    const std::size_t inRun = static_cast<std::size_t>(position_ - run.streamOffset);
    const std::size_t n = std::min(left, run.length - inRun);
    std::memcpy(out, file + run.fileOffset + inRun, n);
    out += n;
    left -= n;
    position_ += n;
    if (inRun + n == run.length) ++run_;
  }
  return total;
}

std::size_t TCompoundStream::Write(const void*, std::size_t) { return 0; }

int64_t TCompoundStream::Seek(int64_t offset, SeekOrigin origin) {
  int64_t base = 0;
  if (origin == SeekOrigin::kCurrent) base = static_cast<int64_t>(position_);
  if (origin == SeekOrigin::kEnd) base = static_cast<int64_t>(size_);
  const int64_t target = base + offset;
  position_ = target < 0 ? 0 : static_cast<uint64_t>(target);
  return static_cast<int64_t>(position_);
}

// ---- TCompoundFile -------------------------------------------------------------

std::vector<uint8_t> ReadWholeFile(const std::u16string& name) {
  std::unique_ptr<TFileStream> file = TFileStream::OpenRead(name);
  const int64_t size = file->Size();
  if (size < 0 || static_cast<uint64_t>(size) > std::numeric_limits<std::size_t>::max() / 2) {
    Throw(Format("Cannot open file \"%s\". The file is too large.", platform::WideToHost(name).c_str()));
  }
  std::vector<uint8_t> bytes(static_cast<std::size_t>(size));
  bytes.resize(file->Read(bytes.data(), bytes.size()));
  return bytes;
}

bool TCompoundFile::HasSignature(const void* data, std::size_t size) {
  return size >= sizeof(kSignature) && std::memcmp(data, kSignature, sizeof(kSignature)) == 0;
}

bool TCompoundFile::IsCompoundFile(const std::u16string& name) {
  try {
    std::unique_ptr<TFileStream> file = TFileStream::OpenRead(name);
    uint8_t head[sizeof(kSignature)];
    return HasSignature(head, file->Read(head, sizeof(head)));
  } catch (const Exception&) {
    return false;
  }
}

TCompoundFile::TCompoundFile(std::shared_ptr<const void> owner, std::span<const uint8_t> data, std::string hostName)
    : owner_(std::move(owner)), data_(data), hostName_(std::move(hostName)) {}

TCompoundFile::~TCompoundFile() = default;

std::unique_ptr<TCompoundFile> TCompoundFile::OpenFile(const std::u16string& name) {
  return OpenMemory(ReadWholeFile(name), name);
}

std::unique_ptr<TCompoundFile> TCompoundFile::OpenMemory(std::vector<uint8_t> data, const std::u16string& name) {
  auto bytes = std::make_shared<const std::vector<uint8_t>>(std::move(data));
  const std::span<const uint8_t> view(bytes->data(), bytes->size());
  std::unique_ptr<TCompoundFile> file(new TCompoundFile(std::move(bytes), view, platform::WideToHost(name)));
  file->Parse();
  return file;
}

std::unique_ptr<TCompoundFile> TCompoundFile::OpenView(std::span<const uint8_t> data, const std::u16string& name) {
  std::unique_ptr<TCompoundFile> file(new TCompoundFile(nullptr, data, platform::WideToHost(name)));
  file->Parse();
  return file;
}

void TCompoundFile::Damaged(const std::string& reason) const {
  Throw(Format("Compound document \"%s\" is damaged: %s.", hostName_.c_str(), reason.c_str()));
}

void TCompoundFile::Parse() {
  const std::span<const uint8_t> d = data_;
  if (!HasSignature(d.data(), d.size())) {
    Throw(Format("The file \"%s\" is not a compound document.", hostName_.c_str()));
  }
  if (d.size() < 512) Damaged("the header is cut off");
  const uint8_t* h = d.data();
  if (U16(h + 28) != 0xFFFE) Damaged("unknown byte order mark");
  sectorShift_ = U16(h + 30);
  if (sectorShift_ != 9 && sectorShift_ != 12) Damaged(Format("unsupported sector size 2^%u", sectorShift_));
  if (U16(h + 32) != kMiniSectorShift) Damaged(Format("unsupported mini sector size 2^%u", U16(h + 32)));
  sectorSize_ = 1u << sectorShift_;
  // Version 3 files may carry garbage in the high half of stream sizes.
  version3_ = sectorShift_ == 9;
  // The header takes the first sector (4096 bytes in version 4, mostly zero).
  const uint64_t body = d.size() > sectorSize_ ? d.size() - sectorSize_ : 0;
  sectorCount_ = static_cast<uint32_t>(std::min<uint64_t>(CeilDiv(body, sectorSize_), kMaxRegularSector + 1ull));

  LoadFat();
  LoadDirectory();
  ListRootChildren();
}

std::size_t TCompoundFile::SectorOffset(uint32_t sector) const {
  if (sector >= sectorCount_) Damaged(Format("sector %u is past the end of the file", sector));
  const uint64_t offset = (static_cast<uint64_t>(sector) + 1) << sectorShift_;
  if (offset + sectorSize_ > data_.size()) Damaged(Format("sector %u is cut off by the end of the file", sector));
  return static_cast<std::size_t>(offset);
}

std::vector<uint32_t> TCompoundFile::Chain(const std::vector<uint32_t>& table, uint32_t start, uint64_t needed,
                                           uint32_t limit, const char* what) const {
  std::vector<uint32_t> sectors;
  std::vector<bool> seen(limit);
  uint32_t sector = start;
  while (needed == kWholeChain || sectors.size() < needed) {
    if (sector == kEndOfChain) {
      if (needed == kWholeChain) break;
      Damaged(Format("%s ends after %zu of %llu sectors", what, sectors.size(),
                     static_cast<unsigned long long>(needed)));
    }
    if (sector > kMaxRegularSector) Damaged(Format("%s runs into the reserved sector mark %.8X", what, sector));
    if (sector >= limit) Damaged(Format("%s refers to sector %u past the end", what, sector));
    if (seen[sector]) Damaged(Format("%s loops back to sector %u", what, sector));
    seen[sector] = true;
    sectors.push_back(sector);
    if (sectors.size() == needed) break;
    if (sector >= table.size()) Damaged(Format("%s: sector %u has no allocation entry", what, sector));
    sector = table[sector];
  }
  return sectors;
}

void TCompoundFile::LoadFat() {
  const uint8_t* h = data_.data();
  const uint32_t fatCount = U32(h + 44);
  if (fatCount > sectorCount_) {
    Damaged(Format("the header declares %u FAT sectors but the file holds %u sectors", fatCount, sectorCount_));
  }
  std::vector<uint32_t> fatSectors;
  fatSectors.reserve(fatCount);
  for (uint32_t i = 0; i < fatCount && i < kHeaderDifatEntries; ++i) fatSectors.push_back(U32(h + 76 + 4 * i));

  // The rest of the FAT's sector list lives in the DIFAT chain: each DIFAT
  // sector holds sector numbers and, in its last slot, the next DIFAT sector.
  const uint32_t perDifatSector = sectorSize_ / 4 - 1;
  std::vector<bool> seen(sectorCount_);
  uint32_t difat = U32(h + 68);
  while (fatSectors.size() < fatCount) {
    if (difat > kMaxRegularSector) {
      Damaged(Format("the DIFAT chain ends after %zu of %u FAT sectors", fatSectors.size(), fatCount));
    }
    if (difat >= sectorCount_) Damaged(Format("the DIFAT chain refers to sector %u past the end", difat));
    if (seen[difat]) Damaged(Format("the DIFAT chain loops back to sector %u", difat));
    seen[difat] = true;
    const uint8_t* p = data_.data() + SectorOffset(difat);
    for (uint32_t i = 0; i < perDifatSector && fatSectors.size() < fatCount; ++i) fatSectors.push_back(U32(p + 4 * i));
    difat = U32(p + 4 * perDifatSector);
  }

  const std::size_t perSector = sectorSize_ / 4;
  fat_.resize(fatSectors.size() * perSector);
  for (std::size_t i = 0; i < fatSectors.size(); ++i) {
    const uint32_t sector = fatSectors[i];
    if (sector > kMaxRegularSector || sector >= sectorCount_) {
      Damaged(Format("FAT sector %u is past the end of the file", sector));
    }
    std::memcpy(fat_.data() + i * perSector, data_.data() + SectorOffset(sector), sectorSize_);
  }
}

void TCompoundFile::LoadDirectory() {
  const uint8_t* d = data_.data();
  const std::vector<uint32_t> sectors = Chain(fat_, U32(d + 48), kWholeChain, sectorCount_, "the directory chain");
  const uint32_t perSector = sectorSize_ / kDirEntrySize;
  entries_.reserve(sectors.size() * perSector);
  for (const uint32_t sector : sectors) {
    const std::size_t base = SectorOffset(sector);
    for (uint32_t i = 0; i < perSector; ++i) {
      const std::size_t offset = base + i * kDirEntrySize;
      const uint8_t* e = d + offset;
      uint64_t size = U64(e + 120);
      if (version3_) size &= 0xFFFFFFFFu;
      entries_.push_back({offset, e[66], U32(e + 68), U32(e + 72), U32(e + 76), U32(e + 116), size});
    }
  }
  if (entries_.empty() || entries_[0].type != kTypeRoot) Damaged("the directory has no root storage");
}

void TCompoundFile::ListRootChildren() {
  // In-order walk of the root's child tree (left sibling, entry, right
  // sibling), iterative so that a degenerate tree cannot exhaust the stack.
  // Every entry may be entered once; meeting one again is a cycle.
  const uint32_t count = static_cast<uint32_t>(entries_.size());
  std::vector<bool> seen(count);
  seen[0] = true;
  std::vector<uint32_t> stack;
  auto enter = [&](uint32_t from, uint32_t index) {
    if (index >= count) Damaged(Format("directory entry %u links to entry %u past the end", from, index));
    if (seen[index]) Damaged(Format("the directory tree has a cycle at entry %u", index));
    seen[index] = true;
    stack.push_back(index);
  };
  uint32_t from = 0;
  uint32_t next = entries_[0].child;
  for (;;) {
    while (next != kNoStream) {
      enter(from, next);
      from = next;
      next = entries_[next].left;
    }
    if (stack.empty()) break;
    const uint32_t index = stack.back();
    stack.pop_back();
    const DirEntry& entry = entries_[index];
    if (entry.type != kTypeStream && entry.type != kTypeStorage) {
      Damaged(Format("directory entry %u has the unknown type %u", index, entry.type));
    }
    TCompoundElement element;
    const uint8_t* e = data_.data() + entry.offset;
    const std::size_t chars = std::min<std::size_t>(U16(e + 64), 64) / 2;
    for (std::size_t i = 0; i < chars; ++i) {
      const char16_t c = static_cast<char16_t>(U16(e + 2 * i));
      if (c == 0) break;
      element.name.push_back(c);
    }
    element.type = entry.type == kTypeStorage ? TCompoundElementType::kStorage : TCompoundElementType::kStream;
    element.size = entry.type == kTypeStream ? entry.size : 0;
    element.entry = index;
    elements_.push_back(std::move(element));
    from = index;
    next = entry.right;
  }
}

void TCompoundFile::LoadMiniStream() {
  if (miniLoaded_) return;
  const DirEntry& root = entries_[0];
  if (root.size > data_.size()) Damaged("the mini stream is larger than the file");
  miniContainer_ = Chain(fat_, root.start, CeilDiv(root.size, sectorSize_), sectorCount_, "the mini stream");

  const std::vector<uint32_t> sectors =
      Chain(fat_, U32(data_.data() + 60), kWholeChain, sectorCount_, "the mini FAT chain");
  const std::size_t perSector = sectorSize_ / 4;
  miniFat_.resize(sectors.size() * perSector);
  for (std::size_t i = 0; i < sectors.size(); ++i) {
    std::memcpy(miniFat_.data() + i * perSector, data_.data() + SectorOffset(sectors[i]), sectorSize_);
  }
  miniLoaded_ = true;
}

const TCompoundElement* TCompoundFile::FindElement(std::u16string_view name) const {
  for (const TCompoundElement& element : elements_) {
    if (platform::WideSameText(element.name, name)) return &element;
  }
  return nullptr;
}

std::unique_ptr<TCompoundStream> TCompoundFile::OpenStream(std::u16string_view name) {
  const TCompoundElement* element = FindElement(name);
  if (element == nullptr || element->type != TCompoundElementType::kStream) {
    Throw(Format("Compound document \"%s\" has no stream \"%s\".", hostName_.c_str(),
                 platform::WideToHost(name).c_str()));
  }
  return OpenStream(*element);
}

std::unique_ptr<TCompoundStream> TCompoundFile::OpenStream(const TCompoundElement& element) {
  const DirEntry& entry = entries_.at(element.entry);
  const uint64_t size = entry.size;
  const std::string what = Format("the stream \"%s\"", platform::WideToHost(element.name).c_str());
  if (size > data_.size()) {
    Damaged(Format("%s declares %llu bytes, more than the file holds", what.c_str(),
                   static_cast<unsigned long long>(size)));
  }
  std::vector<TCompoundStream::Run> runs;
  const std::size_t fileSize = data_.size();
  if (size < kMiniStreamCutoff) {
    LoadMiniStream();
    // Mini sectors that the mini stream's own sectors can hold.
    const uint64_t miniLimit = std::min<uint64_t>(
        {CeilDiv(entries_[0].size, kMiniSectorSize), uint64_t{miniContainer_.size()} * (sectorSize_ / kMiniSectorSize),
         uint64_t{kMaxRegularSector} + 1});
    const std::vector<uint32_t> sectors = Chain(miniFat_, entry.start, CeilDiv(size, kMiniSectorSize),
                                                static_cast<uint32_t>(miniLimit), what.c_str());
    for (std::size_t i = 0; i < sectors.size(); ++i) {
      const uint64_t inContainer = uint64_t{sectors[i]} << kMiniSectorShift;
      const uint32_t container = miniContainer_[static_cast<std::size_t>(inContainer >> sectorShift_)];
      const std::size_t offset = static_cast<std::size_t>(((uint64_t{container} + 1) << sectorShift_) +
                                                          (inContainer & (sectorSize_ - 1)));
      const std::size_t length = static_cast<std::size_t>(std::min<uint64_t>(kMiniSectorSize, size - i * kMiniSectorSize));
      if (offset + length > fileSize) Damaged(Format("%s is cut off by the end of the file", what.c_str()));
      AddPiece(runs, i * kMiniSectorSize, offset, length);
    }
  } else {
    const std::vector<uint32_t> sectors =
        Chain(fat_, entry.start, CeilDiv(size, sectorSize_), sectorCount_, what.c_str());
    for (std::size_t i = 0; i < sectors.size(); ++i) {
      const uint64_t offset = (uint64_t{sectors[i]} + 1) << sectorShift_;
      const uint64_t length = std::min<uint64_t>(sectorSize_, size - uint64_t{i} * sectorSize_);
      if (offset + length > fileSize) Damaged(Format("%s is cut off by the end of the file", what.c_str()));
      AddPiece(runs, uint64_t{i} * sectorSize_, static_cast<std::size_t>(offset), static_cast<std::size_t>(length));
    }
  }
  return std::make_unique<TCompoundStream>(owner_, data_.data(), std::move(runs), size);
}

}  // namespace tabulon
