#include "workbook/file_bytes.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "platform/error.h"
#include "platform/platform.h"
#include "platform/stream.h"

namespace tabulon {

namespace {

// Compared in pieces that stay in the cache between their read and their
// comparison.
constexpr std::size_t kPieceSize = std::size_t{256} << 10;

}  // namespace

void TFileBytes::Release() {
  piece_.reset();
  block_.reset();
  capacity_ = 0;
  size_ = 0;
  kept_ = false;
}

uint8_t* TFileBytes::Room(std::size_t size) {
  if (size > capacity_ || size < capacity_ / 4) {
    block_.reset();
    capacity_ = 0;
    block_ = std::make_unique_for_overwrite<uint8_t[]>(std::max<std::size_t>(size, 1));
    capacity_ = size;
  }
  return block_.get();
}

bool TFileBytes::Load(const std::u16string& name) {
  const bool compare = kept_;
  kept_ = false;
  std::unique_ptr<TFileStream> file = TFileStream::OpenRead(name);
  const int64_t declared = file->Size();
  if (declared < 0 || static_cast<uint64_t>(declared) > std::numeric_limits<std::size_t>::max() / 2) {
    Throw(Format("Cannot open file \"%s\". The file is too large.", platform::WideToHost(name).c_str()));
  }
  const std::size_t size = static_cast<std::size_t>(declared);

  std::size_t done = 0;
  if (compare && size == size_) {
    // Piece by piece against the bytes held; at the first difference (or a
    // file cut short meanwhile) the rest is read straight into the block,
    // behind the equal part.
    if (!piece_) piece_ = std::make_unique_for_overwrite<uint8_t[]>(kPieceSize);
    uint8_t* const piece = piece_.get();
    uint8_t* const block = block_.get();
    while (done < size) {
      const std::size_t want = std::min(kPieceSize, size - done);
      const std::size_t got = file->Read(piece, want);
      if (got != want || std::memcmp(piece, block + done, got) != 0) {
        std::memcpy(block + done, piece, got);
        done += got;
        if (got == want) done += file->Read(block + done, size - done);
        size_ = done;
        return false;
      }
      done += got;
    }
    kept_ = true;
    return true;
  }
  size_ = 0;
  uint8_t* const block = Room(size);
  size_ = file->Read(block, size);
  return false;
}

}  // namespace tabulon
