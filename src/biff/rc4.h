// The RC4 stream cipher of encrypted legacy workbooks.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tabulon {

class TRC4 {
 public:
  // Key schedule: 1 to 256 key bytes (an empty key leaves the identity
  // permutation).
  void SetKey(const uint8_t* key, std::size_t length);
  // XORs the next key-stream bytes into data.
  void Crypt(uint8_t* data, std::size_t count);
  // Passes over key-stream bytes.
  void Discard(std::size_t count);

 private:
  uint8_t s_[256] = {};
  uint8_t i_ = 0;
  uint8_t j_ = 0;
};

}  // namespace tabulon
