// A reader of compound documents (OLE2 structured storage, MS-CFB): the
// container of BIFF5 and BIFF8 workbooks. It reads the whole file into
// memory once, checks every table against what the file really holds, lists
// the elements under the root storage and opens streams among them.
//
// Nothing here follows a sector number, a chain or a directory link without
// checking it first: a damaged document raises an Exception that names the
// file and says what is wrong, and no allocation is sized from a declared
// count the file cannot back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/stream.h"

namespace tabulon {

// Reads a whole file into memory; raises "Cannot open file ..." when it
// cannot be opened.
std::vector<uint8_t> ReadWholeFile(const std::u16string& name);

enum class TCompoundElementType { kStream, kStorage };

// One child of the root storage.
struct TCompoundElement {
  std::u16string name;
  TCompoundElementType type = TCompoundElementType::kStream;
  uint64_t size = 0;   // byte size of a stream; 0 for a storage
  uint32_t entry = 0;  // index of the element's directory entry
};

// A stream of a compound document, read-only. Its bytes are located as a list
// of runs (pieces that are contiguous in the file), so a read copies whole
// runs at once. It shares the file's bytes: it may outlive a document that
// owns them, not the bytes under a document opened as a view.
class TCompoundStream final : public TStream {
 public:
  struct Run {
    uint64_t streamOffset;  // where the run starts in the stream
    std::size_t fileOffset; // where it starts in the file
    std::size_t length;
  };

  // `owner` keeps `file` alive, or is null when the caller does.
  TCompoundStream(std::shared_ptr<const void> owner, const uint8_t* file, std::vector<Run> runs, uint64_t size);

  std::size_t Read(void* buffer, std::size_t count) override;
  // The next `count` bytes, in place, when they lie in one run (the position
  // moves past them); null otherwise, with nothing moved: Read takes them.
  const uint8_t* Take(std::size_t count) {
    if (run_ >= runs_.size()) return nullptr;
    const Run& run = runs_[run_];
    if (position_ < run.streamOffset || position_ - run.streamOffset >= run.length) return nullptr;
    const std::size_t inRun = static_cast<std::size_t>(position_ - run.streamOffset);
    if (count > run.length - inRun) return nullptr;
    position_ += count;
    if (inRun + count == run.length) ++run_;
    return file_ + run.fileOffset + inRun;
  }
  std::size_t Write(const void* buffer, std::size_t count) override;  // always 0
  int64_t Seek(int64_t offset, SeekOrigin origin) override;
  int64_t Size() override { return static_cast<int64_t>(size_); }

  // Number of contiguous pieces the stream is made of (1 for an unfragmented stream).
  std::size_t RunCount() const { return runs_.size(); }

 private:
  std::shared_ptr<const void> owner_;
  const uint8_t* file_;
  std::vector<Run> runs_;
  uint64_t size_;
  uint64_t position_ = 0;
  std::size_t run_ = 0;  // the run that holds position_ (or the next one to read)
};

class TCompoundFile {
 public:
  // The 8 bytes every compound document starts with.
  static constexpr uint8_t kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

  // True when the bytes start with the compound-document signature.
  static bool HasSignature(const void* data, std::size_t size);
  // True when the named file starts with the signature; false for a file
  // that is missing, unreadable or shorter than 8 bytes.
  static bool IsCompoundFile(const std::u16string& name);

  // Opens a document from a file (read once, whole, into memory). Raises
  // "Cannot open file ..." when the file cannot be read, and the damage
  // messages below.
  static std::unique_ptr<TCompoundFile> OpenFile(const std::u16string& name);
  // Opens a document held in memory; `name` is used in messages only.
  static std::unique_ptr<TCompoundFile> OpenMemory(std::vector<uint8_t> data, const std::u16string& name);
  // Opens a document over bytes that the caller keeps, unchanged, for as
  // long as the document and its streams are used.
  static std::unique_ptr<TCompoundFile> OpenView(std::span<const uint8_t> data, const std::u16string& name);

  ~TCompoundFile();
  TCompoundFile(const TCompoundFile&) = delete;
  TCompoundFile& operator=(const TCompoundFile&) = delete;

  // The elements under the root storage, in directory order.
  const std::vector<TCompoundElement>& Elements() const { return elements_; }
  // The element whose name equals `name` without regard to case, or nullptr.
  const TCompoundElement* FindElement(std::u16string_view name) const;
  // Opens a stream under the root storage by name (without regard to case).
  // Raises when there is no such stream or its sectors are damaged.
  std::unique_ptr<TCompoundStream> OpenStream(std::u16string_view name);
  // Opens the stream of an element of Elements().
  std::unique_ptr<TCompoundStream> OpenStream(const TCompoundElement& element);

  uint32_t SectorSize() const { return sectorSize_; }

 private:
  struct DirEntry;
  TCompoundFile(std::shared_ptr<const void> owner, std::span<const uint8_t> data, std::string hostName);

  void Parse();
  void LoadFat();
  void LoadDirectory();
  void ListRootChildren();
  void LoadMiniStream();
  [[noreturn]] void Damaged(const std::string& reason) const;

  // Sector numbers of a chain in `table`, starting at `start`. With a
  // `needed` count the walk stops after that many sectors and fails when the
  // chain ends before; without one it runs to the end-of-chain mark. Sector
  // numbers must be below `limit`; a sector met twice is a loop.
  std::vector<uint32_t> Chain(const std::vector<uint32_t>& table, uint32_t start, uint64_t needed, uint32_t limit,
                              const char* what) const;
  // Checks that a whole sector lies in the file and returns its offset.
  std::size_t SectorOffset(uint32_t sector) const;

  std::shared_ptr<const void> owner_;  // keeps data_ alive, or null
  std::span<const uint8_t> data_;
  std::string hostName_;
  uint32_t sectorShift_ = 9;
  uint32_t sectorSize_ = 512;
  uint32_t sectorCount_ = 0;  // sectors (whole or partial) present after the header
  bool version3_ = true;
  std::vector<uint32_t> fat_;
  std::vector<uint32_t> miniFat_;
  std::vector<uint32_t> miniContainer_;  // sectors of the mini stream, in order
  bool miniLoaded_ = false;
  std::vector<DirEntry> entries_;
  std::vector<TCompoundElement> elements_;
};

}  // namespace tabulon
