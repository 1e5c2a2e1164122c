// The parts of the cryptographic primitives that no system library supplies.
#include "platform/crypto.h"

namespace tabulon::platform {

std::size_t DigestSize(THashAlgorithm algorithm) {
  switch (algorithm) {
    case THashAlgorithm::kSHA1: return 20;
    case THashAlgorithm::kSHA256: return 32;
    case THashAlgorithm::kSHA384: return 48;
    case THashAlgorithm::kSHA512: return 64;
  }
  return 0;
}

std::vector<uint8_t> THash::Final() {
  std::vector<uint8_t> digest(Size());
  Final(digest.data());
  return digest;
}

std::vector<uint8_t> Hash(THashAlgorithm algorithm, const void* data, std::size_t count) {
  THash hash(algorithm);
  hash.Update(data, count);
  return hash.Final();
}

}  // namespace tabulon::platform
