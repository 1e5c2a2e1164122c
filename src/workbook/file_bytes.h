// The bytes of the workbook file, read whole into one block on every read.
// The block is kept between reads: marked as the bytes of a read that
// succeeded, it is what the next read's bytes are compared with, byte for
// byte, while they are read, so that an unchanged file costs one read of its
// bytes and no second block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace tabulon {

class TFileBytes {
 public:
  // Reads the whole file named `name` into the block. Returns true when its
  // bytes equal the ones held and those were marked (Keep); the mark then
  // stays. Otherwise the block holds the file's bytes, unmarked. Raises
  // "Cannot open file ..." when the file cannot be opened (the block is then
  // left unmarked).
  bool Load(const std::u16string& name);

  std::span<const uint8_t> Bytes() const { return {block_.get(), size_}; }
  // Marks the bytes held as those of a read that succeeded.
  void Keep() { kept_ = true; }
  // Takes the mark away: the next Load reads without comparing.
  void Forget() { kept_ = false; }
  bool Kept() const { return kept_; }
  // Gives the block back (and the mark with it).
  void Release();

 private:
  // Room for size bytes, uninitialised; a block four times too large is
  // given back for one that fits.
  uint8_t* Room(std::size_t size);

  std::unique_ptr<uint8_t[]> block_;
  std::unique_ptr<uint8_t[]> piece_;  // the piece being compared
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
  bool kept_ = false;
};

}  // namespace tabulon
