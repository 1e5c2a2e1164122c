#include "biff/rc4.h"

#include <utility>

namespace tabulon {

void TRC4::SetKey(const uint8_t* key, std::size_t length) {
  for (int k = 0; k < 256; ++k) s_[k] = static_cast<uint8_t>(k);
  i_ = 0;
  j_ = 0;
  if (length == 0) return;
  uint8_t j = 0;
  for (std::size_t k = 0; k < 256; ++k) {
    j = static_cast<uint8_t>(j + s_[k] + key[k % length]);
    std::swap(s_[k], s_[j]);
  }
}

void TRC4::Crypt(uint8_t* data, std::size_t count) {
  uint8_t i = i_;
  uint8_t j = j_;
  for (std::size_t k = 0; k < count; ++k) {
    i = static_cast<uint8_t>(i + 1);
    const uint8_t si = s_[i];
    j = static_cast<uint8_t>(j + si);
    const uint8_t sj = s_[j];
    s_[i] = sj;
    s_[j] = si;
    data[k] ^= s_[static_cast<uint8_t>(si + sj)];
  }
  i_ = i;
  j_ = j;
}

void TRC4::Discard(std::size_t count) {
  uint8_t i = i_;
  uint8_t j = j_;
  for (std::size_t k = 0; k < count; ++k) {
    i = static_cast<uint8_t>(i + 1);
    const uint8_t si = s_[i];
    j = static_cast<uint8_t>(j + si);
    s_[i] = s_[j];
    s_[j] = si;
  }
  i_ = i;
  j_ = j;
}

}  // namespace tabulon
