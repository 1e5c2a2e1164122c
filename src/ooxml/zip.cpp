#include "ooxml/zip.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "platform/error.h"
#include "platform/platform.h"

namespace tabulon {

namespace {

constexpr uint32_t kLocalSignature = 0x04034B50;
constexpr uint32_t kCentralSignature = 0x02014B50;
constexpr uint32_t kEndSignature = 0x06054B50;
constexpr std::size_t kEndRecordSize = 22;
constexpr std::size_t kCentralFixedSize = 46;
constexpr std::size_t kLocalFixedSize = 30;

// Declared sizes beyond these cannot come from a sound member: deflate packs
// at most about 1032 bytes into one, and no workbook part comes near 1 GiB.
constexpr uint64_t kMaxUncompressedSize = uint64_t{1} << 30;
constexpr uint64_t kMaxDeflateRatio = 1032;
constexpr uint64_t kDeflateRatioSlack = 1024;

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

// Reads exactly size bytes into text, or raises "Stream read error".
void ReadString(TStream& stream, std::string& text, std::size_t size) {
  text.resize(size);
  stream.ReadBuffer(text.data(), size);
}

// Reads a local header's fixed part at the stream's position; false when the
// bytes there are short or do not start with the local signature.
bool ReadLocalFixed(TStream& stream, TLocalFile& local) {
  uint8_t b[kLocalFixedSize];
  if (stream.Read(b, sizeof b) != sizeof b || Get32(b) != kLocalSignature) return false;
  local.Signature = Get32(b);
  local.VersionNeeded = Get16(b + 4);
  local.Flags = Get16(b + 6);
  local.Method = Get16(b + 8);
  local.Time = Get16(b + 10);
  local.Date = Get16(b + 12);
  local.Crc32 = Get32(b + 14);
  local.CompressedSize = Get32(b + 18);
  local.UncompressedSize = Get32(b + 22);
  local.FileNameLength = Get16(b + 26);
  local.ExtraLength = Get16(b + 28);
  return true;
}

// Reads a whole local header (fixed part, name, extra field); false when it
// is missing or truncated.
bool ReadLocalHeader(TStream& stream, int64_t position, TLocalFile& local) {
  local = TLocalFile{};
  stream.SetPosition(position);
  if (stream.Position() != position || !ReadLocalFixed(stream, local)) {
    local = TLocalFile{};
    return false;
  }
  try {
    ReadString(stream, local.FileName, local.FileNameLength);
    ReadString(stream, local.Extra, local.ExtraLength);
  } catch (const Exception&) {
    local = TLocalFile{};
    return false;
  }
  return true;
}

std::string HostName(std::string_view ansi) { return platform::WideToHost(platform::AnsiToWide(ansi)); }

}  // namespace

// ---- NormalizeName -------------------------------------------------------

std::string NormalizeName(std::string_view name) {
  std::string s(name);
  std::replace(s.begin(), s.end(), '\\', '/');
  std::size_t p = s.find(":/");
  if (p != std::string::npos) s.erase(0, p + 2);
  p = s.find("//");
  if (p != std::string::npos) {
    s.erase(0, p + 2);
    for (int i = 0; i < 2; ++i) {
      p = s.find('/');
      if (p != std::string::npos) s.erase(0, p + 1);
    }
  }
  return s;
}

// ---- TZipEntry -------------------------------------------------------------

TZipEntry::TZipEntry(TZipEntries& owner, TCentralDirectoryFile record)
    : owner_(&owner),
      central_(std::move(record)),
      lookupName_(platform::AnsiToWide(NormalizeName(central_.FileName))) {}

int TZipEntry::Level() const {
  if (central_.Method == 8 || central_.Method == 9) return (central_.Flags & 0x06) >> 1;
  return 5;
}

void TZipEntry::ExtractToStream(TMemoryStream& dest) const {
  TPartBuffer buffer;
  ExtractToBuffer(buffer);
  dest.WriteBuffer(buffer.Data(), buffer.Size());
}

void TZipEntry::ExtractToBuffer(TPartBuffer& dest) const {
  dest.Clear();
  const uint16_t method = central_.Method;
  if ((method != 0 && method != 8) || IsEncrypted())
    Throw("Cannot process this file: " + HostName(central_.FileName) + " ");

  TStream& source = *owner_->Stream();
  TLocalFile local;
  if (!ReadLocalHeader(source, central_.LocalHeaderOffset, local)) return;

  // The data follow the local header's name and extra field; their size is
  // the central directory's, also when a data descriptor follows them.
  const int64_t dataStart = static_cast<int64_t>(central_.LocalHeaderOffset) + kLocalFixedSize +
                            local.FileNameLength + local.ExtraLength;
  const uint32_t packed = central_.CompressedSize;
  const uint64_t unpacked = central_.UncompressedSize;
  if (packed > 0 && static_cast<int64_t>(packed) > source.Size() - dataStart)
    Throw(Format("Compressed size of %s exceeds the ZIP archive", HostName(central_.FileName).c_str()));
  if (method == 8 && (unpacked > kMaxUncompressedSize || unpacked > packed * kMaxDeflateRatio + kDeflateRatioSlack))
    Throw(Format("Uncompressed size of %s in ZIP is too large", HostName(central_.FileName).c_str()));

  if (method == 0 && packed == 0) return;
  // An archive in memory is inflated where it lies; one in a file is staged.
  std::unique_ptr<uint8_t[]> stagedBlock;
  const uint8_t* staged;
  if (const auto* memory = dynamic_cast<const TMemoryView*>(&source)) {
    staged = memory->Memory() + dataStart;
  } else {
    stagedBlock = std::make_unique_for_overwrite<uint8_t[]>(packed);
    source.SetPosition(dataStart);
    source.ReadBuffer(stagedBlock.get(), packed);
    staged = stagedBlock.get();
  }

  if (method == 0) {
    if (unpacked > packed) Throw("Stream read error");
    if (unpacked == 0) return;
    std::memcpy(dest.Resize(static_cast<std::size_t>(unpacked)), staged, static_cast<std::size_t>(unpacked));
    return;
  }
  if (unpacked == 0) return;

  uint8_t* const out = dest.Resize(static_cast<std::size_t>(unpacked));
  z_stream zs{};
  if (inflateInit2(&zs, -MAX_WBITS) != Z_OK) {
    dest.Clear();
    Throw("ZLib decompress error");
  }
  zs.next_in = const_cast<uint8_t*>(staged);  // zlib only reads it
  zs.avail_in = static_cast<uInt>(packed);
  zs.next_out = out;
  zs.avail_out = static_cast<uInt>(unpacked);
  int rc;
  do {
    rc = inflate(&zs, Z_NO_FLUSH);
  } while (rc == Z_OK && zs.avail_out > 0 && zs.avail_in > 0);
  const bool complete = zs.avail_out == 0;
  inflateEnd(&zs);

  if (!complete) {
    dest.Clear();
    if (rc == Z_DATA_ERROR || rc == Z_MEM_ERROR || rc == Z_STREAM_ERROR) Throw("ZLib decompress error");
    return;  // the data ended before the declared size: nothing is produced
  }
}

// ---- TPartBuffer -----------------------------------------------------------

uint8_t* TPartBuffer::Block::Room(std::size_t size) {
  if (size > capacity) {
    bytes.reset();
    capacity = 0;
    bytes = std::make_unique_for_overwrite<uint8_t[]>(size);
    capacity = size;
  }
  used = std::max(used, size);
  return bytes.get();
}

void TPartBuffer::Block::Trim() {
  if (used < capacity / 4) {
    bytes.reset();
    capacity = 0;
  }
  used = 0;
}

uint8_t* TPartBuffer::Resize(std::size_t size) {
  size_ = 0;
  uint8_t* room = data_.Room(size);
  size_ = size;
  return room;
}

void TPartBuffer::Trim() {
  data_.Trim();
  size_ = 0;
}

// ---- TZipEntries -----------------------------------------------------------

void TZipEntries::Clear() {
  items_.clear();
  index_.clear();
  end_ = TEndOfCentralDirectory{};
  endPosition_ = -1;
  commentPosition_ = -1;
  isZipFile_ = false;
  hasBadEntries_ = false;
  stream_ = nullptr;
}

const TZipEntry& TZipEntries::Item(int index) const {
  if (index < 0 || index >= Count()) ThrowListIndexError(index);
  return *items_[static_cast<std::size_t>(index)];
}

void TZipEntries::Add(TCentralDirectoryFile record) {
  items_.push_back(std::make_unique<TZipEntry>(*this, std::move(record)));
  index_.emplace(platform::WideUpper(items_.back()->lookupName_), static_cast<int>(items_.size() - 1));
}

void TZipEntries::ReadDirectory(TStream& stream) {
  Clear();
  stream_ = &stream;
  if (FindEndOfCentralDirectory()) {
    if (ReadCentralDirectory()) {
      isZipFile_ = true;
      CheckLocalHeaders();
    } else {
      items_.clear();
      index_.clear();
    }
  } else {
    RebuildFromLocalHeaders();
    if (!items_.empty()) {
      isZipFile_ = true;
      hasBadEntries_ = true;
    }
  }
}

// Backward search for the end record in three windows (256, 1024 and 65536
// steps) that together cover a comment of up to 65535 bytes. A "P" that does
// not start the signature rules out the three bytes before it as well. The
// search never looks before the start of the stream.
bool TZipEntries::FindEndOfCentralDirectory() {
  TStream& stream = *stream_;
  const int64_t size = stream.Size();
  if (size < static_cast<int64_t>(kEndRecordSize)) return false;

  struct Window {
    int64_t start;
    int64_t steps;
  };
  Window windows[3];
  int windowCount = 0;
  windows[windowCount++] = {size - 22, std::min<int64_t>(size, 256)};
  if (size >= 1024) windows[windowCount++] = {size - 278, 1024};
  if (size >= 65536) windows[windowCount++] = {size - 1046, 65536};

  // One read of the whole area the windows can reach.
  int64_t lowest = size - 22;
  for (int w = 0; w < windowCount; ++w) lowest = std::min(lowest, windows[w].start - windows[w].steps + 1);
  const int64_t base = std::max<int64_t>(0, lowest);
  std::vector<uint8_t> tail(static_cast<std::size_t>(size - base));
  stream.SetPosition(base);
  if (stream.Read(tail.data(), tail.size()) != tail.size()) return false;

  for (int w = 0; w < windowCount; ++w) {
    int64_t position = windows[w].start;
    int64_t steps = windows[w].steps;
    while (steps > 0 && position >= base) {
      const uint8_t* p = tail.data() + (position - base);
      if (p[0] != 'P') {
        --position;
        --steps;
        continue;
      }
      if (Get32(p) == kEndSignature) {
        end_.Signature = Get32(p);
        end_.DiskNumber = Get16(p + 4);
        end_.CentralDirectoryDisk = Get16(p + 6);
        end_.EntriesOnDisk = Get16(p + 8);
        end_.TotalEntries = Get16(p + 10);
        end_.CentralDirectorySize = Get32(p + 12);
        end_.CentralDirectoryOffset = Get32(p + 16);
        end_.CommentLength = Get16(p + 20);
        endPosition_ = position;
        commentPosition_ = position + static_cast<int64_t>(kEndRecordSize);
        return true;
      }
      position -= 4;
      steps -= 4;
    }
  }
  return false;
}

bool TZipEntries::ReadCentralDirectory() {
  TStream& stream = *stream_;
  try {
    stream.SetPosition(end_.CentralDirectoryOffset);
    if (stream.Position() != end_.CentralDirectoryOffset) return false;
    for (unsigned i = 0; i < end_.EntriesOnDisk; ++i) {
      uint8_t b[kCentralFixedSize];
      stream.ReadBuffer(b, sizeof b);
      TCentralDirectoryFile r;
      r.Signature = Get32(b);
      r.VersionMadeBy = Get16(b + 4);
      r.VersionNeeded = Get16(b + 6);
      r.Flags = Get16(b + 8);
      r.Method = Get16(b + 10);
      r.Time = Get16(b + 12);
      r.Date = Get16(b + 14);
      r.Crc32 = Get32(b + 16);
      r.CompressedSize = Get32(b + 20);
      r.UncompressedSize = Get32(b + 24);
      r.FileNameLength = Get16(b + 28);
      r.ExtraLength = Get16(b + 30);
      r.CommentLength = Get16(b + 32);
      r.DiskNumberStart = Get16(b + 34);
      r.InternalAttributes = Get16(b + 36);
      r.ExternalAttributes = Get32(b + 38);
      r.LocalHeaderOffset = Get32(b + 42);
      ReadString(stream, r.FileName, r.FileNameLength);
      ReadString(stream, r.Extra, r.ExtraLength);
      ReadString(stream, r.Comment, r.CommentLength);
      Add(std::move(r));
    }
  } catch (const Exception&) {
    return false;
  }
  return Count() == end_.EntriesOnDisk;
}

void TZipEntries::CheckLocalHeaders() {
  for (auto& entry : items_) {
    if (!ReadLocalHeader(*stream_, entry->central_.LocalHeaderOffset, entry->local_)) hasBadEntries_ = true;
  }
}

// Walks the local headers from offset 0, for archives whose end record is
// lost. A member whose sizes are deferred to a data descriptor declares no
// size, so the walk ends right after its header.
void TZipEntries::RebuildFromLocalHeaders() {
  TStream& stream = *stream_;
  const int64_t size = stream.Size();
  int64_t position = 0;
  uint32_t directorySize = 0;
  TLocalFile local;
  while (position <= size - static_cast<int64_t>(kLocalFixedSize) && ReadLocalHeader(stream, position, local)) {
    TCentralDirectoryFile r;
    r.Signature = kCentralSignature;
    r.VersionMadeBy = 20;
    r.VersionNeeded = local.VersionNeeded;
    r.Flags = local.Flags;
    r.Method = local.Method;
    r.Time = local.Time;
    r.Date = local.Date;
    r.Crc32 = local.Crc32;
    r.CompressedSize = local.CompressedSize;
    r.UncompressedSize = local.UncompressedSize;
    r.FileNameLength = local.FileNameLength;
    r.ExtraLength = local.ExtraLength;
    r.CommentLength = 0;
    r.ExternalAttributes = (!local.FileName.empty() && local.FileName.back() == '/') ? 0x10 : 0x20;
    r.LocalHeaderOffset = static_cast<uint32_t>(position);
    r.FileName = local.FileName;
    r.Extra = local.Extra;
    directorySize += static_cast<uint32_t>(kCentralFixedSize + r.FileNameLength + r.ExtraLength);
    Add(std::move(r));
    items_.back()->local_ = local;
    position += static_cast<int64_t>(kLocalFixedSize) + local.FileNameLength + local.ExtraLength +
                local.CompressedSize;
  }
  end_ = TEndOfCentralDirectory{};
  end_.Signature = kEndSignature;
  end_.EntriesOnDisk = static_cast<uint16_t>(items_.size());
  end_.TotalEntries = static_cast<uint16_t>(items_.size());
  end_.CentralDirectorySize = directorySize;
}

int TZipEntries::IndexOf(std::string_view name) const {
  std::string asked = NormalizeName(name);
  if (asked.empty()) return -1;
  if (asked.front() == '/') asked.erase(0, 1);
  const auto found = index_.find(platform::WideUpper(platform::AnsiToWide(asked)));
  return found != index_.end() ? found->second : -1;
}

// ---- TZipReader ------------------------------------------------------------

TZipReader::~TZipReader() { Close(); }

void TZipReader::Close() {
  entries_.Clear();
  ownedStream_.reset();
  stream_ = nullptr;
  isZipFile_ = false;
}

void TZipReader::OpenStream(TStream& stream) {
  Close();
  stream_ = &stream;
  entries_.ReadDirectory(stream);
  isZipFile_ = entries_.IsZipFile();
  if (!isZipFile_) Close();
}

void TZipReader::OpenFile(const std::u16string& fileName) {
  Close();
  std::unique_ptr<TStream> file = TFileStream::OpenRead(fileName);
  TStream& stream = *file;
  ownedStream_ = std::move(file);
  stream_ = &stream;
  entries_.ReadDirectory(stream);
  isZipFile_ = entries_.IsZipFile();
  if (!isZipFile_) Close();
}

std::vector<std::string> TZipReader::Comment() const {
  std::vector<std::string> lines;
  if (stream_ == nullptr || entries_.CommentPosition() < 0) return lines;
  std::string text(entries_.EndRecord().CommentLength, '\0');
  stream_->SetPosition(entries_.CommentPosition());
  text.resize(stream_->Read(text.data(), text.size()));
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t stop = text.find_first_of("\r\n", start);
    if (stop == std::string::npos) stop = text.size();
    lines.push_back(text.substr(start, stop - start));
    if (stop < text.size() && text[stop] == '\r' && stop + 1 < text.size() && text[stop + 1] == '\n') ++stop;
    start = stop + 1;
  }
  return lines;
}

// ---- TXLSZipArchive ----------------------------------------------------------

int TXLSZipArchive::FindFile(const std::u16string& name) const {
  return reader_.Entries().IndexOf(platform::WideToAnsi(name));
}

void TXLSZipArchive::OpenStream(TStream& stream) {
  reader_.OpenStream(stream);
  expanded_ = 0;
  const uint64_t size = static_cast<uint64_t>(std::max<int64_t>(stream.Size(), 0));
  const uint64_t byRatio = size > kMaxArchiveExpansion / kArchiveExpansionRatio ? kMaxArchiveExpansion
                                                                                 : size * kArchiveExpansionRatio;
  archiveLimit_ = std::min(expansionLimit_, std::max(kMinArchiveExpansion, byRatio));
}

// The member to extract: raises when it is absent or when it would take the
// archive past its limit. Checked by the declared size before anything is
// inflated (no member inflates past its declared size), so a member that
// would pass the limit is refused whole; a member refused by its own checks
// counts nothing.
const TZipEntry& TXLSZipArchive::EntryToExtract(const std::u16string& name) const {
  const int index = FindFile(name);
  if (index < 0) Throw(Format("Can not find file %s in ZIP", platform::WideToHost(name).c_str()));
  const TZipEntry& entry = reader_.Entries().Item(index);
  const uint64_t size = entry.CentralDirectory().UncompressedSize;
  if (size <= kMaxUncompressedSize && size > archiveLimit_ - std::min(expanded_, archiveLimit_))
    Throw(Format("ZIP archive expands beyond %llu bytes at %s", static_cast<unsigned long long>(archiveLimit_),
                 platform::WideToHost(name).c_str()));
  return entry;
}

void TXLSZipArchive::ExtractFile(const std::u16string& name, TMemoryStream& dest) const {
  const TZipEntry& entry = EntryToExtract(name);
  entry.ExtractToStream(dest);
  expanded_ += entry.CentralDirectory().UncompressedSize;
  dest.SetPosition(0);
}

void TXLSZipArchive::ExtractFile(const std::u16string& name, TPartBuffer& dest) const {
  const TZipEntry& entry = EntryToExtract(name);
  entry.ExtractToBuffer(dest);
  expanded_ += entry.CentralDirectory().UncompressedSize;
}

}  // namespace tabulon
