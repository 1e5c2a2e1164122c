#include "platform/stream.h"

#include <algorithm>
#include <cstring>

#include "platform/error.h"

namespace tabulon {

namespace {

// Reads from bytes in memory at position, moving it.
std::size_t ReadMemory(const uint8_t* data, std::size_t size, std::size_t& position, void* buffer, std::size_t count) {
  if (position >= size) return 0;
  const std::size_t n = std::min(count, size - position);
  if (n == 0) return 0;
  std::memcpy(buffer, data + position, n);
  position += n;
  return n;
}

// The position in memory of `size` bytes after a seek; never before the start.
std::size_t SeekMemory(std::size_t size, std::size_t position, int64_t offset, SeekOrigin origin) {
  int64_t base = 0;
  if (origin == SeekOrigin::kCurrent) base = static_cast<int64_t>(position);
  if (origin == SeekOrigin::kEnd) base = static_cast<int64_t>(size);
  const int64_t target = base + offset;
  return target < 0 ? 0 : static_cast<std::size_t>(target);
}

}  // namespace

int64_t TStream::Size() {
  const int64_t position = Seek(0, SeekOrigin::kCurrent);
  const int64_t size = Seek(0, SeekOrigin::kEnd);
  Seek(position, SeekOrigin::kBegin);
  return size;
}

void TStream::ReadBuffer(void* buffer, std::size_t count) {
  if (count != 0 && Read(buffer, count) != count) Throw("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, std::size_t count) {
  if (count != 0 && Write(buffer, count) != count) Throw("Stream write error");
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  std::vector<uint8_t> buffer(static_cast<std::size_t>(std::min<int64_t>(count, 1 << 16)));
  int64_t left = count;
  while (left > 0) {
    const std::size_t piece = static_cast<std::size_t>(std::min<int64_t>(left, static_cast<int64_t>(buffer.size())));
    source.ReadBuffer(buffer.data(), piece);
    WriteBuffer(buffer.data(), piece);
    left -= static_cast<int64_t>(piece);
  }
  return count;
}

std::size_t TMemoryStream::Read(void* buffer, std::size_t count) {
  return ReadMemory(data_.data(), data_.size(), position_, buffer, count);
}

std::size_t TMemoryStream::Write(const void* buffer, std::size_t count) {
  if (count == 0) return 0;
  if (position_ + count > data_.size()) data_.resize(position_ + count);
  std::memcpy(data_.data() + position_, buffer, count);
  position_ += count;
  return count;
}

int64_t TMemoryStream::Seek(int64_t offset, SeekOrigin origin) {
  position_ = SeekMemory(data_.size(), position_, offset, origin);
  return static_cast<int64_t>(position_);
}

std::size_t TMemoryView::Read(void* buffer, std::size_t count) {
  return ReadMemory(data_, size_, position_, buffer, count);
}

int64_t TMemoryView::Seek(int64_t offset, SeekOrigin origin) {
  position_ = SeekMemory(size_, position_, offset, origin);
  return static_cast<int64_t>(position_);
}

}  // namespace tabulon
