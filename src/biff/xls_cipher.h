// The ciphers of encrypted legacy workbooks, as the FILEPASS record names
// them: XOR obfuscation, RC4 with an MD5 key, and RC4 with a SHA-1 key
// (the CryptoAPI variant). Each turns record bodies back into clear text by
// their offset in the workbook stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace tabulon {

enum class TXLSEncryption {
  kXor,           // XOR obfuscation (BIFF2 to BIFF8)
  kRC4,           // RC4, key from MD5 (version 1.1)
  kRC4CryptoApi,  // RC4, key from SHA-1 (versions 2.2, 3.2, 4.2)
  kUnknown,
};

// The encryption a FILEPASS body names. A body of exactly 4 bytes is the
// XOR key and verifier that BIFF2 to BIFF5 store without a type word;
// longer bodies begin with the encryption type (0 XOR, 1 RC4), and an RC4
// body with the version words 2.2, 3.2 or 4.2 is the CryptoAPI variant,
// whose header must name RC4 and SHA-1 with a key of 40 to 128 bits.
TXLSEncryption FilePassEncryption(const uint8_t* body, std::size_t length);

class TXLSCipher {
 public:
  // Bytes of the workbook stream under one RC4 key.
  static constexpr int64_t kKeyBlockSize = 1024;

  virtual ~TXLSCipher() = default;
  // Decrypts in place the `count` bytes that lie at stream offset `start`
  // in the body of a record `recordLength` bytes long.
  virtual void Decrypt(uint8_t* data, std::size_t count, int64_t start, uint16_t recordLength) = 0;
};

// The cipher of a FILEPASS body of the given kind when the password fits
// its verifier; null when it does not, or when the body is too short for
// its kind. Passwords count up to 15 characters for XOR obfuscation, 31 for
// RC4 and 255 for the CryptoAPI variant.
std::unique_ptr<TXLSCipher> OpenXLSCipher(TXLSEncryption kind, const uint8_t* body, std::size_t length,
                                          std::u16string_view password);

}  // namespace tabulon
