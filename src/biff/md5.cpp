#include "biff/md5.h"

#include <cstring>

namespace tabulon {

namespace {

// floor(abs(sin(i + 1)) * 2^32)
constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

constexpr unsigned kShift[64] = {
    7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
    5, 9,  14, 20, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 6, 10, 15, 21, 6, 10, 15, 21,
    6, 10, 15, 21, 6, 10, 15, 21,
};

inline uint32_t RotateLeft(uint32_t x, unsigned n) { return (x << n) | (x >> (32 - n)); }

}  // namespace

void TMD5::Reset() {
  state_[0] = 0x67452301;
  state_[1] = 0xefcdab89;
  state_[2] = 0x98badcfe;
  state_[3] = 0x10325476;
  length_ = 0;
  used_ = 0;
}

void TMD5::Transform(const uint8_t* block) {
  uint32_t m[16];
  for (int i = 0; i < 16; ++i) {
    m[i] = static_cast<uint32_t>(block[i * 4]) | (static_cast<uint32_t>(block[i * 4 + 1]) << 8) |
           (static_cast<uint32_t>(block[i * 4 + 2]) << 16) | (static_cast<uint32_t>(block[i * 4 + 3]) << 24);
  }
  uint32_t a = state_[0];
  uint32_t b = state_[1];
  uint32_t c = state_[2];
  uint32_t d = state_[3];
  for (unsigned i = 0; i < 64; ++i) {
    uint32_t f;
    unsigned g;
    if (i < 16) {
      f = (b & c) | (~b & d);
      g = i;
    } else if (i < 32) {
      f = (d & b) | (~d & c);
      g = (5 * i + 1) & 15;
    } else if (i < 48) {
      f = b ^ c ^ d;
      g = (3 * i + 5) & 15;
    } else {
      f = c ^ (b | ~d);
      g = (7 * i) & 15;
    }
    const uint32_t next = b + RotateLeft(a + f + kSine[i] + m[g], kShift[i]);
    a = d;
    d = c;
    c = b;
    b = next;
  }
  state_[0] += a;
  state_[1] += b;
  state_[2] += c;
  state_[3] += d;
}

void TMD5::Update(const void* data, std::size_t count) {
  const auto* in = static_cast<const uint8_t*>(data);
  length_ += count;
  if (used_ != 0) {
    const std::size_t take = count < 64 - used_ ? count : 64 - used_;
    std::memcpy(buffer_ + used_, in, take);
    used_ += take;
    in += take;
    count -= take;
    if (used_ < 64) return;
    Transform(buffer_);
    used_ = 0;
  }
  for (; count >= 64; in += 64, count -= 64) Transform(in);
  if (count != 0) std::memcpy(buffer_, in, count);
  used_ = count;
}

TMD5Digest TMD5::Final() {
  const uint64_t bits = length_ * 8;
  static constexpr uint8_t kPad[64] = {0x80};
  Update(kPad, used_ < 56 ? 56 - used_ : 120 - used_);
  uint8_t tail[8];
  for (int i = 0; i < 8; ++i) tail[i] = static_cast<uint8_t>(bits >> (8 * i));
  Update(tail, 8);
  TMD5Digest digest;
  for (int i = 0; i < 4; ++i) {
    for (int k = 0; k < 4; ++k) digest[i * 4 + k] = static_cast<uint8_t>(state_[i] >> (8 * k));
  }
  Reset();
  return digest;
}

TMD5Digest MD5(const void* data, std::size_t count) {
  TMD5 md5;
  md5.Update(data, count);
  return md5.Final();
}

}  // namespace tabulon
