#include "biff/xls_cipher.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "biff/md5.h"
#include "biff/rc4.h"
#include "platform/crypto.h"

namespace tabulon {

namespace {

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t U32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }

// ---- The CryptoAPI variant's FILEPASS body -------------------------------------------
// Type (0), version words (2), flags (6), header size (10), header (14):
// flags, size extra, algorithm id (+8), hash algorithm id (+12), key bits
// (+16), provider type, two reserved words, provider name. Then the
// verifier: salt size, salt (16), encrypted verifier (16), verifier hash
// size, encrypted verifier hash (20).
constexpr std::size_t kHeaderAt = 14;
constexpr std::size_t kHeaderFixed = 32;
constexpr uint32_t kAlgRC4 = 0x6801;
constexpr uint32_t kAlgSHA1 = 0x8004;

struct TCryptoApiFields {
  const uint8_t* salt;
  const uint8_t* verifier;      // 16 bytes, then 4 bytes size, then the hash (20)
  std::size_t keyBytes;
};

bool ParseCryptoApi(const uint8_t* body, std::size_t length, TCryptoApiFields& fields) {
  if (length < kHeaderAt) return false;
  const uint32_t headerSize = U32(body + 10);
  if (headerSize < kHeaderFixed || headerSize > length - kHeaderAt) return false;
  const uint8_t* header = body + kHeaderAt;
  const uint32_t algorithm = U32(header + 8);
  const uint32_t hash = U32(header + 12);
  uint32_t keyBits = U32(header + 16);
  if (keyBits == 0) keyBits = 40;  // the provider's default
  if ((algorithm != kAlgRC4 && algorithm != 0) || (hash != kAlgSHA1 && hash != 0) || keyBits < 40 ||
      keyBits > 128 || keyBits % 8 != 0) {
    return false;
  }
  const std::size_t verifierAt = kHeaderAt + headerSize;
  if (length - verifierAt < 4 + 16 + 16 + 4 + 20) return false;
  const uint8_t* verifier = body + verifierAt;
  if (U32(verifier) != 16 || U32(verifier + 36) != 20) return false;
  fields = {verifier + 4, verifier + 20, keyBits / 8};
  return true;
}

// ---- RC4, keyed anew for every 1024-byte block of the stream ----------------------------

class TRC4BlockCipher : public TXLSCipher {
 public:
  // The key stream follows the absolute offset: the RC4 state moves forward
  // over bytes passed by since the last call (headers, BOF bodies), and is
  // keyed anew when a block boundary is reached or the offset went back.
  void Decrypt(uint8_t* data, std::size_t count, int64_t start, uint16_t) override {
    while (count > 0) {
      const int64_t block = start / kKeyBlockSize;
      if (block != block_ || start < offset_) {
        KeyBlock(static_cast<uint32_t>(block), rc4_);
        block_ = block;
        offset_ = block * kKeyBlockSize;
      }
      if (start > offset_) rc4_.Discard(static_cast<std::size_t>(start - offset_));
      const std::size_t chunk = static_cast<std::size_t>(
          std::min<int64_t>(static_cast<int64_t>(count), (block + 1) * kKeyBlockSize - start));
      rc4_.Crypt(data, chunk);
      data += chunk;
      count -= chunk;
      start += static_cast<int64_t>(chunk);
      offset_ = start;
    }
  }

  // Decrypts the verifier and then, with the same key stream, its hash.
  void DecryptVerifier(uint8_t* verifier, uint8_t* hash, std::size_t hashSize) {
    TRC4 rc4;
    KeyBlock(0, rc4);
    rc4.Crypt(verifier, 16);
    rc4.Crypt(hash, hashSize);
  }

 protected:
  virtual void KeyBlock(uint32_t block, TRC4& rc4) const = 0;

 private:
  TRC4 rc4_;
  int64_t block_ = -1;  // block the RC4 state is keyed for, -1: none
  int64_t offset_ = 0;  // stream offset of the RC4 state's next byte
};

void PutU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The password's first `limit` characters as UTF-16LE bytes.
std::vector<uint8_t> Utf16Le(std::u16string_view password, std::size_t limit) {
  const std::size_t chars = std::min(password.size(), limit);
  std::vector<uint8_t> text(chars * 2);
  for (std::size_t i = 0; i < chars; ++i) {
    text[2 * i] = static_cast<uint8_t>(password[i]);
    text[2 * i + 1] = static_cast<uint8_t>(password[i] >> 8);
  }
  return text;
}

// RC4 with the MD5 key: block key = MD5(H1 + block number), all 16 bytes.
class TRC4Md5Cipher final : public TRC4BlockCipher {
 public:
  explicit TRC4Md5Cipher(const uint8_t* h1) { std::memcpy(h1_, h1, sizeof(h1_)); }

 protected:
  void KeyBlock(uint32_t block, TRC4& rc4) const override {
    uint8_t data[9];
    std::memcpy(data, h1_, 5);
    PutU32(data + 5, block);
    const TMD5Digest key = MD5(data, sizeof(data));
    rc4.SetKey(key.data(), key.size());
  }

 private:
  uint8_t h1_[5];
};

std::unique_ptr<TXLSCipher> OpenRC4(const uint8_t* body, std::size_t length, std::u16string_view password) {
  constexpr std::size_t kLength = 54;
  constexpr std::size_t kMaxChars = 31;
  if (length < kLength) return nullptr;
  const uint8_t* salt = body + 6;
  // H0: MD5 of the password; H1: the first 5 bytes of MD5 over 16 times
  // (5 bytes of H0, salt).
  const std::vector<uint8_t> text = Utf16Le(password, kMaxChars);
  const TMD5Digest h0 = MD5(text.data(), text.size());
  TMD5 md5;
  for (int i = 0; i < 16; ++i) {
    md5.Update(h0.data(), 5);
    md5.Update(salt, 16);
  }
  const TMD5Digest h1 = md5.Final();

  auto cipher = std::make_unique<TRC4Md5Cipher>(h1.data());
  uint8_t verifier[16];
  uint8_t hash[16];
  std::memcpy(verifier, body + 22, 16);
  std::memcpy(hash, body + 38, 16);
  cipher->DecryptVerifier(verifier, hash, sizeof(hash));
  const TMD5Digest check = MD5(verifier, 16);
  if (std::memcmp(check.data(), hash, 16) != 0) return nullptr;
  return cipher;
}

// RC4 with the SHA-1 key: block key = the first key bytes of
// SHA-1(H0 + block number); a 40-bit key is padded with zeros to 128 bits.
class TRC4CryptoApiCipher final : public TRC4BlockCipher {
 public:
  TRC4CryptoApiCipher(const std::vector<uint8_t>& h0, std::size_t keyBytes) : h0_(h0), keyBytes_(keyBytes) {}

 protected:
  void KeyBlock(uint32_t block, TRC4& rc4) const override {
    uint8_t number[4];
    PutU32(number, block);
    platform::THash sha1(platform::THashAlgorithm::kSHA1);
    sha1.Update(h0_.data(), h0_.size());
    sha1.Update(number, sizeof(number));
    uint8_t key[20] = {};
    sha1.Final(key);
    if (keyBytes_ == 5) {
      std::memset(key + 5, 0, 11);
      rc4.SetKey(key, 16);
    } else {
      rc4.SetKey(key, keyBytes_);
    }
  }

 private:
  std::vector<uint8_t> h0_;
  std::size_t keyBytes_;
};

std::unique_ptr<TXLSCipher> OpenRC4CryptoApi(const uint8_t* body, std::size_t length,
                                             std::u16string_view password) {
  constexpr std::size_t kMaxChars = 255;
  TCryptoApiFields fields;
  if (!ParseCryptoApi(body, length, fields)) return nullptr;
  // H0: SHA-1 of the salt followed by the password.
  const std::vector<uint8_t> text = Utf16Le(password, kMaxChars);
  platform::THash sha1(platform::THashAlgorithm::kSHA1);
  sha1.Update(fields.salt, 16);
  sha1.Update(text.data(), text.size());
  auto cipher = std::make_unique<TRC4CryptoApiCipher>(sha1.Final(), fields.keyBytes);

  uint8_t verifier[16];
  uint8_t hash[20];
  std::memcpy(verifier, fields.verifier, 16);
  std::memcpy(hash, fields.verifier + 20, 20);
  cipher->DecryptVerifier(verifier, hash, sizeof(hash));
  uint8_t check[20];
  sha1.Update(verifier, 16);
  sha1.Final(check);
  if (std::memcmp(check, hash, 20) != 0) return nullptr;
  return cipher;
}

// ---- XOR obfuscation ------------------------------------------------------------------------
// The key, verifier and 16-byte XOR array of a password of 1 to 15
// single-byte characters, and the byte transformation of the record bodies.

constexpr std::size_t kXorMaxChars = 15;

constexpr uint16_t kInitialCode[kXorMaxChars] = {0xE1F0, 0x1D0F, 0xCC9C, 0x84C0, 0x110C, 0x0E10, 0xF1CE, 0x313E,
                                                 0x1872, 0xE139, 0xD40F, 0x84F9, 0x280C, 0xA96A, 0x4EC3};
constexpr uint8_t kPadArray[kXorMaxChars] = {0xBB, 0xFF, 0xFF, 0xBA, 0xFF, 0xFF, 0xB9, 0x80,
                                             0x00, 0xBE, 0x0F, 0x00, 0xBF, 0x0F, 0x00};
// The first of each 7 entries of the key matrix; each next one is the
// previous shifted left by one bit, XORed with 0x1021 when a bit fell out.
constexpr uint16_t kMatrixSeeds[kXorMaxChars] = {0xAEFC, 0x7B61, 0x4563, 0x0375, 0xD849, 0x6F45, 0xEB23, 0x47D3,
                                                 0xB861, 0x45A0, 0xAA51, 0x76B4, 0x3730, 0x3331, 0x1021};

constexpr std::array<uint16_t, 7 * kXorMaxChars> MakeXorMatrix() {
  std::array<uint16_t, 7 * kXorMaxChars> matrix{};
  for (std::size_t seed = 0; seed < kXorMaxChars; ++seed) {
    uint16_t v = kMatrixSeeds[seed];
    for (std::size_t i = 0; i < 7; ++i) {
      matrix[seed * 7 + i] = v;
      v = static_cast<uint16_t>((v << 1) ^ ((v & 0x8000) != 0 ? 0x1021 : 0));
    }
  }
  return matrix;
}
constexpr std::array<uint16_t, 7 * kXorMaxChars> kXorMatrix = MakeXorMatrix();

// The single-byte password: of each character its low byte, or its high
// byte when the low one is zero; at most 15 characters.
std::vector<uint8_t> XorPasswordBytes(std::u16string_view password) {
  std::vector<uint8_t> bytes;
  for (std::size_t i = 0; i < password.size() && i < kXorMaxChars; ++i) {
    const char16_t c = password[i];
    bytes.push_back(static_cast<uint8_t>((c & 0xFF) != 0 ? c & 0xFF : c >> 8));
  }
  return bytes;
}

uint16_t XorKey(const std::vector<uint8_t>& password) {
  uint16_t key = kInitialCode[password.size() - 1];
  std::size_t element = kXorMatrix.size() - 1;
  for (auto it = password.rbegin(); it != password.rend(); ++it) {
    uint8_t c = *it;
    for (int bit = 0; bit < 7; ++bit, --element) {
      if ((c & 0x40) != 0) key ^= kXorMatrix[element];
      c = static_cast<uint8_t>(c << 1);
    }
  }
  return key;
}

uint16_t XorVerifier(const std::vector<uint8_t>& password) {
  uint16_t verifier = 0;
  const auto step = [&verifier](uint8_t byte) {
    verifier = static_cast<uint16_t>((((verifier >> 14) & 1) | ((verifier << 1) & 0x7FFF)) ^ byte);
  };
  for (auto it = password.rbegin(); it != password.rend(); ++it) step(*it);
  step(static_cast<uint8_t>(password.size()));
  return static_cast<uint16_t>(verifier ^ 0xCE4B);
}

uint8_t RotateRight(uint8_t v, int bits) { return static_cast<uint8_t>((v >> bits) | (v << (8 - bits))); }

class TXorCipher final : public TXLSCipher {
 public:
  explicit TXorCipher(const std::vector<uint8_t>& password) {
    const uint16_t key = XorKey(password);
    const uint8_t high = static_cast<uint8_t>(key >> 8);
    const uint8_t low = static_cast<uint8_t>(key);
    const auto put = [&](std::size_t at, uint8_t byte) {
      array_[at] = RotateRight(static_cast<uint8_t>(byte ^ (at % 2 == 0 ? low : high)), 1);
    };
    // The password fills the array from the start, the pad bytes the rest.
    const std::size_t length = password.size();
    for (std::size_t i = 0; i < length; ++i) put(i, password[i]);
    for (std::size_t i = length; i < 16; ++i) put(i, kPadArray[i - length]);
  }

  // The byte at stream offset p of a body is XORed with array byte
  // (p + record length) mod 16 and rotated right by 5 bits.
  void Decrypt(uint8_t* data, std::size_t count, int64_t start, uint16_t recordLength) override {
    std::size_t at = static_cast<std::size_t>((start + recordLength) % 16);
    for (std::size_t i = 0; i < count; ++i, at = (at + 1) % 16) {
      data[i] = RotateRight(static_cast<uint8_t>(data[i] ^ array_[at]), 5);
    }
  }

 private:
  uint8_t array_[16] = {};
};

std::unique_ptr<TXLSCipher> OpenXor(const uint8_t* body, std::size_t length, std::u16string_view password) {
  // BIFF8: type word, key, verifier; BIFF2 to BIFF5: key, verifier.
  if (length != 4 && length < 6) return nullptr;
  const uint8_t* fields = length == 4 ? body : body + 2;
  const std::vector<uint8_t> bytes = XorPasswordBytes(password);
  if (bytes.empty()) return nullptr;
  if (XorKey(bytes) != U16(fields) || XorVerifier(bytes) != U16(fields + 2)) return nullptr;
  return std::make_unique<TXorCipher>(bytes);
}

}  // namespace

TXLSEncryption FilePassEncryption(const uint8_t* body, std::size_t length) {
  if (body == nullptr || length < 2) return TXLSEncryption::kUnknown;
  if (length == 4) return TXLSEncryption::kXor;
  switch (U16(body)) {
    case 0: return TXLSEncryption::kXor;
    case 1: break;
    default: return TXLSEncryption::kUnknown;
  }
  if (length >= 6) {
    const uint16_t major = U16(body + 2);
    const uint16_t minor = U16(body + 4);
    if (major >= 2 && major <= 4 && minor == 2) {
      TCryptoApiFields fields;
      return ParseCryptoApi(body, length, fields) ? TXLSEncryption::kRC4CryptoApi : TXLSEncryption::kUnknown;
    }
  }
  return TXLSEncryption::kRC4;
}

std::unique_ptr<TXLSCipher> OpenXLSCipher(TXLSEncryption kind, const uint8_t* body, std::size_t length,
                                          std::u16string_view password) {
  if (body == nullptr) return nullptr;
  switch (kind) {
    case TXLSEncryption::kXor: return OpenXor(body, length, password);
    case TXLSEncryption::kRC4: return OpenRC4(body, length, password);
    case TXLSEncryption::kRC4CryptoApi: return OpenRC4CryptoApi(body, length, password);
    case TXLSEncryption::kUnknown: break;
  }
  return nullptr;
}

}  // namespace tabulon
