// Cryptographic primitives of the operating system: the SHA-1 and SHA-2
// hashes, HMAC and AES decryption that encrypted workbooks need. On Linux
// they come from OpenSSL's libcrypto (crypto_openssl.cpp), on Windows from
// CNG, bcrypt.dll (crypto_cng.cpp). A failure of the system's library raises
// an Exception naming the call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace tabulon::platform {

enum class THashAlgorithm { kSHA1, kSHA256, kSHA384, kSHA512 };

// The largest digest (SHA-512) and the size of each algorithm's digest.
inline constexpr std::size_t kMaxDigestSize = 64;
std::size_t DigestSize(THashAlgorithm algorithm);

// One hash computation after another with the same algorithm. The object
// keeps its library state between messages, so that hashing many short
// messages (password key derivation) costs no set-up per message.
class THash {
 public:
  explicit THash(THashAlgorithm algorithm);
  ~THash();
  THash(const THash&) = delete;
  THash& operator=(const THash&) = delete;

  THashAlgorithm Algorithm() const { return algorithm_; }
  std::size_t Size() const { return DigestSize(algorithm_); }
  void Update(const void* data, std::size_t count);
  // Writes the digest of everything given since the last Final (Size()
  // bytes) and starts a new message.
  void Final(uint8_t* digest);
  std::vector<uint8_t> Final();

  struct TState;

 private:
  THashAlgorithm algorithm_;
  std::unique_ptr<TState> state_;
};

// The digest of one piece of memory.
std::vector<uint8_t> Hash(THashAlgorithm algorithm, const void* data, std::size_t count);

// HMAC (RFC 2104) of data under key.
std::vector<uint8_t> Hmac(THashAlgorithm algorithm, const uint8_t* key, std::size_t keyLength, const void* data,
                          std::size_t count);

// AES decryption with one key of 16, 24 or 32 bytes (callers check the
// length; any other raises). Only whole 16-byte blocks are decrypted; bytes
// past the last whole block are left as they are.
class TAesDecryptor {
 public:
  static constexpr std::size_t kBlockSize = 16;

  TAesDecryptor(const uint8_t* key, std::size_t keyLength);
  ~TAesDecryptor();
  TAesDecryptor(const TAesDecryptor&) = delete;
  TAesDecryptor& operator=(const TAesDecryptor&) = delete;

  // Electronic codebook: every block on its own, in place.
  void DecryptEcb(uint8_t* data, std::size_t count);
  // Cipher block chaining from the 16-byte initialisation vector, in place.
  void DecryptCbc(const uint8_t* iv, uint8_t* data, std::size_t count);

  struct TState;

 private:
  std::unique_ptr<TState> state_;
};

}  // namespace tabulon::platform
