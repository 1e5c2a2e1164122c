// The cryptographic primitives from OpenSSL's libcrypto.
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <climits>

#include "platform/crypto.h"
#include "platform/error.h"

namespace tabulon::platform {

namespace {

[[noreturn]] void Fail(const char* call) { Throw(std::string("Cryptographic library call failed: ") + call); }

const EVP_MD* Digest(THashAlgorithm algorithm) {
  switch (algorithm) {
    case THashAlgorithm::kSHA1: return EVP_sha1();
    case THashAlgorithm::kSHA256: return EVP_sha256();
    case THashAlgorithm::kSHA384: return EVP_sha384();
    case THashAlgorithm::kSHA512: return EVP_sha512();
  }
  Fail("unknown hash algorithm");
}

}  // namespace

struct THash::TState {
  EVP_MD_CTX* context = nullptr;
  ~TState() { EVP_MD_CTX_free(context); }
};

THash::THash(THashAlgorithm algorithm) : algorithm_(algorithm), state_(std::make_unique<TState>()) {
  state_->context = EVP_MD_CTX_new();
  if (state_->context == nullptr) Fail("EVP_MD_CTX_new");
  if (EVP_DigestInit_ex(state_->context, Digest(algorithm), nullptr) != 1) Fail("EVP_DigestInit_ex");
}

THash::~THash() = default;

void THash::Update(const void* data, std::size_t count) {
  if (count != 0 && EVP_DigestUpdate(state_->context, data, count) != 1) Fail("EVP_DigestUpdate");
}

void THash::Final(uint8_t* digest) {
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(state_->context, digest, &size) != 1) Fail("EVP_DigestFinal_ex");
  // The context keeps its digest: a null type starts the same one again.
  if (EVP_DigestInit_ex(state_->context, nullptr, nullptr) != 1) Fail("EVP_DigestInit_ex");
}

std::vector<uint8_t> Hmac(THashAlgorithm algorithm, const uint8_t* key, std::size_t keyLength, const void* data,
                          std::size_t count) {
  if (keyLength > static_cast<std::size_t>(INT_MAX)) Fail("HMAC");
  std::vector<uint8_t> mac(EVP_MAX_MD_SIZE);
  unsigned int size = 0;
  static const uint8_t kNothing = 0;
  if (HMAC(Digest(algorithm), key != nullptr ? key : &kNothing, static_cast<int>(keyLength),
           static_cast<const unsigned char*>(data != nullptr ? data : &kNothing), count, mac.data(),
           &size) == nullptr) {
    Fail("HMAC");
  }
  mac.resize(size);
  return mac;
}

struct TAesDecryptor::TState {
  EVP_CIPHER_CTX* ecb = nullptr;
  EVP_CIPHER_CTX* cbc = nullptr;
  std::vector<uint8_t> key;
  ~TState() {
    EVP_CIPHER_CTX_free(ecb);
    EVP_CIPHER_CTX_free(cbc);
  }
};

namespace {

const EVP_CIPHER* Aes(std::size_t keyLength, bool cbc) {
  switch (keyLength) {
    case 16: return cbc ? EVP_aes_128_cbc() : EVP_aes_128_ecb();
    case 24: return cbc ? EVP_aes_192_cbc() : EVP_aes_192_ecb();
    case 32: return cbc ? EVP_aes_256_cbc() : EVP_aes_256_ecb();
    default: Fail("AES with a key of this length");
  }
}

// Decrypts the whole blocks of data in place with a context set up for them.
void Run(EVP_CIPHER_CTX* context, uint8_t* data, std::size_t count) {
  count -= count % TAesDecryptor::kBlockSize;
  // EVP takes int lengths: large buffers go through in pieces.
  constexpr std::size_t kPiece = std::size_t{1} << 30;
  while (count > 0) {
    const std::size_t n = count < kPiece ? count : kPiece;
    int produced = 0;
    if (EVP_DecryptUpdate(context, data, &produced, data, static_cast<int>(n)) != 1 ||
        produced != static_cast<int>(n)) {
      Fail("EVP_DecryptUpdate");
    }
    data += n;
    count -= n;
  }
}

EVP_CIPHER_CTX* NewContext(const std::vector<uint8_t>& key, bool cbc, const uint8_t* iv) {
  EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
  if (context == nullptr) Fail("EVP_CIPHER_CTX_new");
  if (EVP_DecryptInit_ex(context, Aes(key.size(), cbc), nullptr, key.data(), iv) != 1 ||
      EVP_CIPHER_CTX_set_padding(context, 0) != 1) {
    EVP_CIPHER_CTX_free(context);
    Fail("EVP_DecryptInit_ex");
  }
  return context;
}

}  // namespace

TAesDecryptor::TAesDecryptor(const uint8_t* key, std::size_t keyLength) : state_(std::make_unique<TState>()) {
  Aes(keyLength, false);
  state_->key.assign(key, key + keyLength);
}

TAesDecryptor::~TAesDecryptor() = default;

void TAesDecryptor::DecryptEcb(uint8_t* data, std::size_t count) {
  if (state_->ecb == nullptr) state_->ecb = NewContext(state_->key, false, nullptr);
  Run(state_->ecb, data, count);
}

void TAesDecryptor::DecryptCbc(const uint8_t* iv, uint8_t* data, std::size_t count) {
  if (state_->cbc == nullptr) {
    state_->cbc = NewContext(state_->key, true, iv);
  } else if (EVP_DecryptInit_ex(state_->cbc, nullptr, nullptr, nullptr, iv) != 1) {
    Fail("EVP_DecryptInit_ex");
  }
  Run(state_->cbc, data, count);
}

}  // namespace tabulon::platform
