// MD5 message digest (RFC 1321): the hash of the RC4 key derivation of
// encrypted legacy workbooks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace tabulon {

using TMD5Digest = std::array<uint8_t, 16>;

class TMD5 {
 public:
  TMD5() { Reset(); }
  void Reset();
  void Update(const void* data, std::size_t count);
  // Pads, returns the digest and leaves the object ready for a new message.
  TMD5Digest Final();

 private:
  void Transform(const uint8_t* block);

  uint32_t state_[4];
  uint64_t length_;  // bytes hashed so far
  uint8_t buffer_[64];
  std::size_t used_;  // bytes waiting in buffer_
};

// The digest of one piece of memory.
TMD5Digest MD5(const void* data, std::size_t count);

}  // namespace tabulon
