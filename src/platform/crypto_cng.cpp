// The cryptographic primitives from Windows CNG (bcrypt.dll, a system DLL).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <bcrypt.h>

#include <climits>
#include <cstring>

#include "platform/crypto.h"
#include "platform/error.h"

namespace tabulon::platform {

namespace {

[[noreturn]] void Fail(const char* call, NTSTATUS status) {
  Throw(Format("Cryptographic library call failed: %s (status 0x%.8lX)", call,
               static_cast<unsigned long>(status)));
}

void Check(NTSTATUS status, const char* call) {
  if (!BCRYPT_SUCCESS(status)) Fail(call, status);
}

const wchar_t* AlgorithmId(THashAlgorithm algorithm) {
  switch (algorithm) {
    case THashAlgorithm::kSHA1: return BCRYPT_SHA1_ALGORITHM;
    case THashAlgorithm::kSHA256: return BCRYPT_SHA256_ALGORITHM;
    case THashAlgorithm::kSHA384: return BCRYPT_SHA384_ALGORITHM;
    case THashAlgorithm::kSHA512: return BCRYPT_SHA512_ALGORITHM;
  }
  return BCRYPT_SHA1_ALGORITHM;
}

ULONG ULongLength(std::size_t count, const char* call) {
  if (count > ULONG_MAX) Fail(call, 0);
  return static_cast<ULONG>(count);
}

// An algorithm provider, closed when it goes.
struct TProvider {
  BCRYPT_ALG_HANDLE handle = nullptr;
  TProvider(const wchar_t* id, ULONG flags) {
    Check(BCryptOpenAlgorithmProvider(&handle, id, nullptr, flags), "BCryptOpenAlgorithmProvider");
  }
  ~TProvider() {
    if (handle != nullptr) BCryptCloseAlgorithmProvider(handle, 0);
  }
  TProvider(const TProvider&) = delete;
  TProvider& operator=(const TProvider&) = delete;

  ULONG ObjectLength() const {
    DWORD length = 0;
    ULONG written = 0;
    Check(BCryptGetProperty(handle, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&length), sizeof(length),
                            &written, 0),
          "BCryptGetProperty");
    return length;
  }
};

}  // namespace

// A hash object lives in memory of ours; after each digest it is made anew
// in the same memory (no reusable hash objects before Windows 8).
struct THash::TState {
  TProvider provider;
  std::vector<uint8_t> object;
  std::vector<uint8_t> secret;  // the HMAC key, empty for a plain hash
  BCRYPT_HASH_HANDLE hash = nullptr;

  TState(THashAlgorithm algorithm, ULONG flags) : provider(AlgorithmId(algorithm), flags) {
    object.resize(provider.ObjectLength());
  }
  ~TState() { Destroy(); }
  void Create() {
    Check(BCryptCreateHash(provider.handle, &hash, object.data(), ULongLength(object.size(), "BCryptCreateHash"),
                           secret.empty() ? nullptr : secret.data(),
                           ULongLength(secret.size(), "BCryptCreateHash"), 0),
          "BCryptCreateHash");
  }
  void Destroy() {
    if (hash != nullptr) BCryptDestroyHash(hash);
    hash = nullptr;
  }
  void Update(const void* data, std::size_t count) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (count > 0) {
      const std::size_t n = count < 0x40000000u ? count : 0x40000000u;
      Check(BCryptHashData(hash, const_cast<PUCHAR>(bytes), static_cast<ULONG>(n), 0), "BCryptHashData");
      bytes += n;
      count -= n;
    }
  }
  void Finish(uint8_t* digest, std::size_t size) {
    Check(BCryptFinishHash(hash, digest, static_cast<ULONG>(size), 0), "BCryptFinishHash");
    Destroy();
    Create();
  }
};

THash::THash(THashAlgorithm algorithm) : algorithm_(algorithm), state_(std::make_unique<TState>(algorithm, 0)) {
  state_->Create();
}

THash::~THash() = default;

void THash::Update(const void* data, std::size_t count) { state_->Update(data, count); }

void THash::Final(uint8_t* digest) { state_->Finish(digest, Size()); }

std::vector<uint8_t> Hmac(THashAlgorithm algorithm, const uint8_t* key, std::size_t keyLength, const void* data,
                          std::size_t count) {
  THash::TState state(algorithm, BCRYPT_ALG_HANDLE_HMAC_FLAG);
  // CNG takes an empty secret as "no key"; HMAC with an empty key is the
  // same as with one zero byte (keys are padded with zeros to the block).
  static const uint8_t kZero = 0;
  if (keyLength == 0) state.secret.assign(&kZero, &kZero + 1);
  else state.secret.assign(key, key + keyLength);
  state.Create();
  state.Update(data, count);
  std::vector<uint8_t> mac(DigestSize(algorithm));
  state.Finish(mac.data(), mac.size());
  std::memset(state.secret.data(), 0, state.secret.size());
  return mac;
}

// Only the electronic codebook mode is taken from CNG: chaining is done
// here, since CNG implementations differ in whether a key keeps its chain
// from one call to the next (Wine's does, whatever vector it is given).
struct TAesDecryptor::TState {
  TProvider provider{BCRYPT_AES_ALGORITHM, 0};
  std::vector<uint8_t> object;
  BCRYPT_KEY_HANDLE key = nullptr;
  std::vector<uint8_t> chain;  // the ciphertext of the blocks being decrypted

  ~TState() {
    if (key != nullptr) BCryptDestroyKey(key);
  }
};

namespace {

BCRYPT_KEY_HANDLE MakeKey(TProvider& provider, std::vector<uint8_t>& object, const wchar_t* mode, const uint8_t* key,
                          std::size_t keyLength) {
  Check(BCryptSetProperty(provider.handle, BCRYPT_CHAINING_MODE,
                          reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(mode)),
                          static_cast<ULONG>((std::wcslen(mode) + 1) * sizeof(wchar_t)), 0),
        "BCryptSetProperty");
  object.resize(provider.ObjectLength());
  BCRYPT_KEY_HANDLE handle = nullptr;
  Check(BCryptGenerateSymmetricKey(provider.handle, &handle, object.data(), static_cast<ULONG>(object.size()),
                                   const_cast<PUCHAR>(key), static_cast<ULONG>(keyLength), 0),
        "BCryptGenerateSymmetricKey");
  return handle;
}

void Run(BCRYPT_KEY_HANDLE key, uint8_t* data, std::size_t count) {
  count -= count % TAesDecryptor::kBlockSize;
  constexpr std::size_t kPiece = std::size_t{1} << 30;
  while (count > 0) {
    const std::size_t n = count < kPiece ? count : kPiece;
    ULONG produced = 0;
    Check(BCryptDecrypt(key, data, static_cast<ULONG>(n), nullptr, nullptr, 0, data, static_cast<ULONG>(n), &produced,
                        0),
          "BCryptDecrypt");
    if (produced != n) Fail("BCryptDecrypt", 0);
    data += n;
    count -= n;
  }
}

}  // namespace

TAesDecryptor::TAesDecryptor(const uint8_t* key, std::size_t keyLength) : state_(std::make_unique<TState>()) {
  if (keyLength != 16 && keyLength != 24 && keyLength != 32) Fail("AES with a key of this length", 0);
  state_->key = MakeKey(state_->provider, state_->object, BCRYPT_CHAIN_MODE_ECB, key, keyLength);
}

TAesDecryptor::~TAesDecryptor() = default;

void TAesDecryptor::DecryptEcb(uint8_t* data, std::size_t count) { Run(state_->key, data, count); }

void TAesDecryptor::DecryptCbc(const uint8_t* iv, uint8_t* data, std::size_t count) {
  count -= count % kBlockSize;
  if (count == 0) return;
  // Plain block i = decrypted block i XOR ciphertext block i - 1 (the vector for i = 0).
  std::vector<uint8_t>& chain = state_->chain;
  chain.assign(iv, iv + kBlockSize);
  chain.insert(chain.end(), data, data + count - kBlockSize);
  Run(state_->key, data, count);
  for (std::size_t i = 0; i < count; ++i) data[i] ^= chain[i];
}

}  // namespace tabulon::platform
