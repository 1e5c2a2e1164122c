// Reading ZIP archives (the container of Open XML packages): the directory
// from the central directory or, failing that, from the local headers, and
// the extraction of stored and deflated members into memory streams.
//
// Classic ZIP only: 16-bit counts, 32-bit sizes and offsets, no ZIP64, no
// encryption. Member names are byte strings in the ANSI code page.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/stream.h"

namespace tabulon {

// End of central directory record (22 bytes).
struct TEndOfCentralDirectory {
  uint32_t Signature = 0;
  uint16_t DiskNumber = 0;
  uint16_t CentralDirectoryDisk = 0;
  uint16_t EntriesOnDisk = 0;
  uint16_t TotalEntries = 0;
  uint32_t CentralDirectorySize = 0;
  uint32_t CentralDirectoryOffset = 0;
  uint16_t CommentLength = 0;
};

// Central directory record: the 46-byte fixed part and its three strings.
struct TCentralDirectoryFile {
  uint32_t Signature = 0;
  uint16_t VersionMadeBy = 0;
  uint16_t VersionNeeded = 0;
  uint16_t Flags = 0;
  uint16_t Method = 0;
  uint16_t Time = 0;
  uint16_t Date = 0;
  uint32_t Crc32 = 0;
  uint32_t CompressedSize = 0;
  uint32_t UncompressedSize = 0;
  uint16_t FileNameLength = 0;
  uint16_t ExtraLength = 0;
  uint16_t CommentLength = 0;
  uint16_t DiskNumberStart = 0;
  uint16_t InternalAttributes = 0;
  uint32_t ExternalAttributes = 0;
  uint32_t LocalHeaderOffset = 0;
  std::string FileName;
  std::string Extra;
  std::string Comment;
};

// Local header: the 30-byte fixed part, the file name and the extra field.
struct TLocalFile {
  uint32_t Signature = 0;
  uint16_t VersionNeeded = 0;
  uint16_t Flags = 0;
  uint16_t Method = 0;
  uint16_t Time = 0;
  uint16_t Date = 0;
  uint32_t Crc32 = 0;
  uint32_t CompressedSize = 0;
  uint32_t UncompressedSize = 0;
  uint16_t FileNameLength = 0;
  uint16_t ExtraLength = 0;
  std::string FileName;
  std::string Extra;
};

class TZipEntries;

// Room for an extracted member. It is meant to be kept between reads: a
// workbook's largest part then finds its block already mapped instead of a
// fresh, zero-filled one each time. Bytes are never initialised; only what
// an extraction wrote is read. (The packed bytes of an archive in memory are
// inflated where they lie; those of any other stream are staged apart and
// given back right after inflating, so that they do not add to the peak while
// the part is parsed.)
class TPartBuffer {
 public:
  const uint8_t* Data() const { return data_.bytes.get(); }
  std::size_t Size() const { return size_; }
  // Uninitialised room for size bytes, which become the buffer's content.
  uint8_t* Resize(std::size_t size);
  void Clear() { size_ = 0; }
  // Gives the block back unless the largest content since the last call
  // used at least a quarter of it, so that what stays held follows the
  // workbooks being read.
  void Trim();

 private:
  struct Block {
    std::unique_ptr<uint8_t[]> bytes;
    std::size_t capacity = 0;
    std::size_t used = 0;  // largest room asked since the last Trim
    uint8_t* Room(std::size_t size);
    void Trim();
  };
  Block data_;
  std::size_t size_ = 0;
};

// One member of the archive, as its central directory record describes it.
class TZipEntry {
 public:
  TZipEntry(TZipEntries& owner, TCentralDirectoryFile record);

  const TCentralDirectoryFile& CentralDirectory() const { return central_; }
  const TLocalFile& LocalHeader() const { return local_; }
  // The stored name, as bytes.
  const std::string& FileName() const { return central_.FileName; }
  bool IsEncrypted() const { return (central_.Flags & 0x0001) != 0; }
  bool IsFolder() const { return (central_.ExternalAttributes & 0x10) != 0; }
  // Deflate level code from flag bits 1-2 (0..3), 5 for other methods.
  int Level() const;

  // Appends the member's decompressed bytes to dest at its position.
  void ExtractToStream(TMemoryStream& dest) const;
  // Replaces dest's content with the member's decompressed bytes.
  void ExtractToBuffer(TPartBuffer& dest) const;

 private:
  friend class TZipEntries;
  TZipEntries* owner_;
  TCentralDirectoryFile central_;
  TLocalFile local_;
  std::u16string lookupName_;  // normalised stored name, for IndexOf
};

// The archive's directory, in central directory order.
class TZipEntries {
 public:
  TZipEntries() = default;
  TZipEntries(const TZipEntries&) = delete;
  TZipEntries& operator=(const TZipEntries&) = delete;

  // Reads the directory of the archive in stream (which must outlive the
  // entries). Never raises: a stream that is no archive leaves IsZipFile false.
  void ReadDirectory(TStream& stream);
  void Clear();

  // Index of the first member whose normalised name equals the normalised
  // name without regard to case (both upper-cased), or -1. One lookup
  // however many members there are.
  int IndexOf(std::string_view name) const;
  int Count() const { return static_cast<int>(items_.size()); }
  // Raises the list index error for an index out of range.
  const TZipEntry& Item(int index) const;

  bool IsZipFile() const { return isZipFile_; }
  bool HasBadEntries() const { return hasBadEntries_; }
  const TEndOfCentralDirectory& EndRecord() const { return end_; }
  int64_t EndRecordPosition() const { return endPosition_; }
  int64_t CommentPosition() const { return commentPosition_; }
  TStream* Stream() const { return stream_; }

 private:
  bool FindEndOfCentralDirectory();
  bool ReadCentralDirectory();
  void CheckLocalHeaders();
  void RebuildFromLocalHeaders();
  void Add(TCentralDirectoryFile record);

  TStream* stream_ = nullptr;
  std::vector<std::unique_ptr<TZipEntry>> items_;
  // First member by upper-cased normalised name.
  std::unordered_map<std::u16string, int> index_;
  TEndOfCentralDirectory end_;
  int64_t endPosition_ = -1;
  int64_t commentPosition_ = -1;
  bool isZipFile_ = false;
  bool hasBadEntries_ = false;
};

// Holds the archive's stream and directory; opens and closes the archive.
class TZipReader {
 public:
  TZipReader() = default;
  ~TZipReader();
  TZipReader(const TZipReader&) = delete;
  TZipReader& operator=(const TZipReader&) = delete;

  // Reads the archive in stream, which stays the caller's. A stream that is
  // no ZIP archive leaves the archive without members; nothing is raised.
  void OpenStream(TStream& stream);
  // Opens a file by name; the reader owns that stream.
  void OpenFile(const std::u16string& fileName);
  void Close();

  bool IsZipFile() const { return isZipFile_; }
  bool HasBadEntries() const { return entries_.HasBadEntries(); }
  const TZipEntries& Entries() const { return entries_; }
  // The archive comment read from the stream, split into lines.
  std::vector<std::string> Comment() const;

 private:
  TStream* stream_ = nullptr;
  std::unique_ptr<TStream> ownedStream_;
  TZipEntries entries_;
  bool isZipFile_ = false;
};

// All members extracted from one opened archive together expand to at most
// this many bytes: the same member asked for again and again (by many sheets,
// say) counts each time.
inline constexpr uint64_t kMaxArchiveExpansion = uint64_t{1} << 30;
// Below that, to at most this many times the archive's own size, and at
// least kMinArchiveExpansion: workbook packages pack their parts some 3 to
// 50 times, while a small package expanding to gigabytes of tags would make
// the model many times larger still.
inline constexpr uint64_t kArchiveExpansionRatio = 100;
inline constexpr uint64_t kMinArchiveExpansion = uint64_t{32} << 20;

// What the package reader uses: open, ask, extract.
class TXLSZipArchive {
 public:
  // Opens the archive and starts its expansion count afresh, with the
  // archive's bound taken from its size (ArchiveLimit).
  void OpenStream(TStream& stream);
  // Index of the member or -1; the name is converted to the ANSI code page.
  int FindFile(const std::u16string& name) const;
  // Appends the member to dest at its position, then moves dest to 0.
  // Raises "Can not find file %s in ZIP" for an absent member, and
  // "ZIP archive expands beyond %llu bytes at %s" when the member would take
  // the archive's extracted bytes past the expansion limit.
  void ExtractFile(const std::u16string& name, TMemoryStream& dest) const;
  // Replaces dest's content with the member; same errors as above.
  void ExtractFile(const std::u16string& name, TPartBuffer& dest) const;
  const TZipReader& Reader() const { return reader_; }

  // The most any archive may expand to (kMaxArchiveExpansion by default).
  uint64_t ExpansionLimit() const { return expansionLimit_; }
  void SetExpansionLimit(uint64_t limit) { expansionLimit_ = limit; }
  // What the open archive may expand to: kArchiveExpansionRatio times its
  // size, at least kMinArchiveExpansion, at most ExpansionLimit.
  uint64_t ArchiveLimit() const { return archiveLimit_; }

 private:
  const TZipEntry& EntryToExtract(const std::u16string& name) const;

  TZipReader reader_;
  uint64_t expansionLimit_ = kMaxArchiveExpansion;
  uint64_t archiveLimit_ = kMaxArchiveExpansion;
  mutable uint64_t expanded_ = 0;  // declared sizes of the members extracted so far
};

// Folds "\" to "/" and drops a drive ("c:/") or a server and share ("//s/s/").
std::string NormalizeName(std::string_view name);

}  // namespace tabulon
