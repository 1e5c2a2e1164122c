// Byte streams: the abstract TStream, an in-memory TMemoryStream, a read-only
// TMemoryView over bytes held elsewhere, and a file stream TFileStream over
// the operating system's file handles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tabulon {

enum class SeekOrigin { kBegin = 0, kCurrent = 1, kEnd = 2 };

class TStream {
 public:
  virtual ~TStream() = default;
  // Reads up to count bytes; returns the number read (0 at the end).
  virtual std::size_t Read(void* buffer, std::size_t count) = 0;
  // Writes count bytes; returns the number written.
  virtual std::size_t Write(const void* buffer, std::size_t count) = 0;
  // Moves the position; returns the new position.
  virtual int64_t Seek(int64_t offset, SeekOrigin origin) = 0;
  virtual int64_t Size();

  int64_t Position() { return Seek(0, SeekOrigin::kCurrent); }
  void SetPosition(int64_t position) { Seek(position, SeekOrigin::kBegin); }
  // Reads exactly count bytes or raises "Stream read error".
  void ReadBuffer(void* buffer, std::size_t count);
  // Writes exactly count bytes or raises "Stream write error".
  void WriteBuffer(const void* buffer, std::size_t count);
  // Copies count bytes from source's position (count 0: the whole source,
  // from its start). Returns the number of bytes copied.
  int64_t CopyFrom(TStream& source, int64_t count);
};

class TMemoryStream final : public TStream {
 public:
  TMemoryStream() = default;
  std::size_t Read(void* buffer, std::size_t count) override;
  std::size_t Write(const void* buffer, std::size_t count) override;
  int64_t Seek(int64_t offset, SeekOrigin origin) override;
  int64_t Size() override { return static_cast<int64_t>(data_.size()); }

  void Clear() { data_.clear(); position_ = 0; }
  void SetSize(std::size_t size) { data_.resize(size); if (position_ > size) position_ = size; }
  // Gives the buffer's capacity a hint without changing its size.
  void Reserve(std::size_t size) { data_.reserve(size); }
  const uint8_t* Memory() const { return data_.data(); }
  uint8_t* Memory() { return data_.data(); }
  std::vector<uint8_t>& Bytes() { return data_; }
  const std::vector<uint8_t>& Bytes() const { return data_; }

 private:
  std::vector<uint8_t> data_;
  std::size_t position_ = 0;
};

// A read-only stream over bytes that it does not own: they must stay, unchanged,
// for as long as the view is used. Writing writes nothing.
class TMemoryView final : public TStream {
 public:
  TMemoryView(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::size_t Read(void* buffer, std::size_t count) override;
  std::size_t Write(const void*, std::size_t) override { return 0; }
  int64_t Seek(int64_t offset, SeekOrigin origin) override;
  int64_t Size() override { return static_cast<int64_t>(size_); }

  const uint8_t* Memory() const { return data_; }

 private:
  const uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

// A file stream. Opening never locks other readers or writers out.
class TFileStream final : public TStream {
 public:
  ~TFileStream() override;
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;

  // Opens an existing file for reading; raises
  // "Cannot open file "%s". %s" with the name and the system's error text.
  static std::unique_ptr<TFileStream> OpenRead(const std::u16string& name);
  // Creates a new file for writing, failing (nullptr) when the name exists
  // already; never follows a link. The file is readable by its owner only.
  static std::unique_ptr<TFileStream> CreateExclusive(const std::u16string& name);

  std::size_t Read(void* buffer, std::size_t count) override;
  std::size_t Write(const void* buffer, std::size_t count) override;
  int64_t Seek(int64_t offset, SeekOrigin origin) override;
  int64_t Size() override;
  const std::u16string& FileName() const { return name_; }

 private:
  TFileStream(intptr_t handle, std::u16string name) : handle_(handle), name_(std::move(name)) {}
  intptr_t handle_;
  std::u16string name_;
};

}  // namespace tabulon
