#include "ooxml/encrypted_package.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "platform/crypto.h"
#include "platform/error.h"
#include "workbook/encryption.h"
#include "workbook/workbook.h"

namespace tabulon {

namespace {

using Bytes = std::vector<uint8_t>;
using platform::THash;
using platform::THashAlgorithm;

constexpr const char* kUnknown = "Can not read file, unknown type of encryption.";
constexpr const char* kDamaged = "The encrypted package is damaged";
// Characters of a password that count, and the most hashing rounds a
// descriptor may ask for.
constexpr std::size_t kMaxPasswordChars = 255;
constexpr uint32_t kMaxSpinCount = 10'000'000;
constexpr uint32_t kStandardSpinCount = 50'000;
constexpr std::size_t kSegmentSize = 4096;
constexpr std::size_t kAesBlock = platform::TAesDecryptor::kBlockSize;

[[noreturn]] void Unknown() { Throw(kUnknown); }

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t U32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }
uint64_t U64(const uint8_t* p) { return U32(p) | (static_cast<uint64_t>(U32(p + 4)) << 32); }
void PutU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

Bytes Utf16Le(std::u16string_view password) {
  const std::size_t chars = std::min(password.size(), kMaxPasswordChars);
  Bytes text(chars * 2);
  for (std::size_t i = 0; i < chars; ++i) {
    text[2 * i] = static_cast<uint8_t>(password[i]);
    text[2 * i + 1] = static_cast<uint8_t>(password[i] >> 8);
  }
  return text;
}

Bytes Concat(const Bytes& a, const uint8_t* b, std::size_t n) {
  Bytes out(a);
  out.insert(out.end(), b, b + n);
  return out;
}

// H0 = H(salt + password), then spinCount times H(round number u32 + H).
// The result is kept in the workbook's cache and taken from there when the
// same derivation comes again.
Bytes IteratedHash(THashAlgorithm algorithm, const Bytes& salt, std::u16string_view password, uint32_t spinCount,
                   int kind, TDerivedKeyCache& cache) {
  const int tag = kind * 16 + static_cast<int>(algorithm);
  if (const Bytes* kept = cache.Find(password, salt, spinCount, tag)) return *kept;
  THash hash(algorithm);
  const std::size_t size = hash.Size();
  const Bytes text = Utf16Le(password);
  hash.Update(salt.data(), salt.size());
  hash.Update(text.data(), text.size());
  uint8_t buffer[4 + platform::kMaxDigestSize];
  hash.Final(buffer + 4);
  for (uint32_t round = 0; round < spinCount; ++round) {
    PutU32(buffer, round);
    hash.Update(buffer, 4 + size);
    hash.Final(buffer + 4);
  }
  Bytes result(buffer + 4, buffer + 4 + size);
  cache.Keep(password, salt, spinCount, tag, result);
  return result;
}

// Decrypts the whole 16-byte blocks of `data` (a copy) with AES-CBC.
Bytes CbcDecrypt(const Bytes& key, const Bytes& iv, Bytes data) {
  if (data.size() % kAesBlock != 0) Unknown();
  platform::TAesDecryptor aes(key.data(), key.size());
  aes.DecryptCbc(iv.data(), data.data(), data.size());
  return data;
}

// The package size and the encrypted bytes after it; the size must fit in
// the whole blocks there.
uint64_t PackageSize(const Bytes& encryptedPackage) {
  if (encryptedPackage.size() < 8) Throw(kDamaged);
  const uint64_t size = U64(encryptedPackage.data());
  const uint64_t blocks = (encryptedPackage.size() - 8) / kAesBlock * kAesBlock;
  if (size > blocks) Throw(kDamaged);
  return size;
}

// One way of encryption: opens with a password, then decrypts.
class TPackageCipher {
 public:
  virtual ~TPackageCipher() = default;
  // True when the password fits; the key is then ready.
  virtual bool Open(std::u16string_view password, TDerivedKeyCache& cache, uint32_t maxHashRounds) = 0;
  // Raises kDamaged when the package fails its integrity check.
  virtual void CheckIntegrity(const Bytes&) const {}
  virtual Bytes Decrypt(const Bytes& encryptedPackage) const = 0;
};

// ---- Standard encryption ------------------------------------------------------------
// Version 2.2, 3.2 or 4.2; flags; header size; header (flags, size extra,
// algorithm (+8), hash algorithm (+12), key bits (+16), provider type, two
// reserved words, provider name); verifier (salt size, salt, encrypted
// verifier, verifier hash size, encrypted verifier hash of 32 bytes).
class TStandardCipher final : public TPackageCipher {
 public:
  explicit TStandardCipher(const Bytes& info) {
    constexpr uint32_t kFlagCryptoApi = 0x04;
    constexpr uint32_t kFlagExternal = 0x10;
    constexpr uint32_t kFlagAes = 0x20;
    if (info.size() < 12) Unknown();
    const uint32_t flags = U32(info.data() + 4);
    const uint32_t headerSize = U32(info.data() + 8);
    if ((flags & kFlagCryptoApi) == 0 || (flags & kFlagAes) == 0 || (flags & kFlagExternal) != 0) Unknown();
    if (headerSize < 32 || headerSize > info.size() - 12) Unknown();
    const uint8_t* header = info.data() + 12;
    const uint32_t algorithm = U32(header + 8);
    const uint32_t hash = U32(header + 12);
    const uint32_t keyBits = U32(header + 16);
    const uint32_t expected = algorithm == 0x660E || algorithm == 0 ? 128
                              : algorithm == 0x660F                ? 192
                              : algorithm == 0x6610                ? 256
                                                                   : 0;
    if (expected == 0 || keyBits != expected || (hash != 0x8004 && hash != 0)) Unknown();
    keyBytes_ = keyBits / 8;
    const std::size_t at = 12 + headerSize;
    if (info.size() - at < 4 + 16 + 16 + 4 + 32) Unknown();
    const uint8_t* verifier = info.data() + at;
    if (U32(verifier) != 16 || U32(verifier + 36) != 20) Unknown();
    salt_.assign(verifier + 4, verifier + 20);
    verifier_.assign(verifier + 20, verifier + 36);
    verifierHash_.assign(verifier + 40, verifier + 72);
  }

  bool Open(std::u16string_view password, TDerivedKeyCache& cache, uint32_t maxHashRounds) override {
    const uint32_t rounds = std::min(kStandardSpinCount, maxHashRounds);
    const Bytes hn = IteratedHash(THashAlgorithm::kSHA1, salt_, password, rounds, 1, cache);
    // Hfinal = SHA-1(Hn + block 0); the key is the start of
    // SHA-1(0x36 x 64 XOR Hfinal) + SHA-1(0x5C x 64 XOR Hfinal).
    const uint8_t block0[4] = {};
    const Bytes final = platform::Hash(THashAlgorithm::kSHA1, Concat(hn, block0, 4).data(), hn.size() + 4);
    Bytes key;
    for (const uint8_t pad : {uint8_t{0x36}, uint8_t{0x5C}}) {
      uint8_t buffer[64];
      std::memset(buffer, pad, sizeof(buffer));
      for (std::size_t i = 0; i < final.size(); ++i) buffer[i] ^= final[i];
      const Bytes half = platform::Hash(THashAlgorithm::kSHA1, buffer, sizeof(buffer));
      key.insert(key.end(), half.begin(), half.end());
    }
    key.resize(keyBytes_);

    platform::TAesDecryptor aes(key.data(), key.size());
    Bytes verifier = verifier_;
    Bytes hash = verifierHash_;
    aes.DecryptEcb(verifier.data(), verifier.size());
    aes.DecryptEcb(hash.data(), hash.size());
    const Bytes check = platform::Hash(THashAlgorithm::kSHA1, verifier.data(), verifier.size());
    if (!std::equal(check.begin(), check.end(), hash.begin())) return false;
    key_ = std::move(key);
    return true;
  }

  Bytes Decrypt(const Bytes& encryptedPackage) const override {
    const uint64_t size = PackageSize(encryptedPackage);
    const std::size_t whole = static_cast<std::size_t>((size + kAesBlock - 1) / kAesBlock * kAesBlock);
    Bytes out(encryptedPackage.begin() + 8, encryptedPackage.begin() + 8 + static_cast<std::ptrdiff_t>(whole));
    platform::TAesDecryptor aes(key_.data(), key_.size());
    aes.DecryptEcb(out.data(), out.size());
    out.resize(static_cast<std::size_t>(size));
    return out;
  }

 private:
  std::size_t keyBytes_ = 16;
  Bytes salt_, verifier_, verifierHash_, key_;
};

// ---- Agile encryption ------------------------------------------------------------------
// The XML descriptor after version 4.4 and a reserved word: keyData (the
// package's cipher and salt), dataIntegrity (the HMAC key and value) and the
// password key encryptor's encryptedKey (spin count, its own cipher and
// salt, the encrypted verifier input, verifier hash and package key).

// The attributes of the first element with the local name `name` (any
// prefix) that has attribute `required`; empty when there is none.
// Attribute values in the descriptor are numbers, names and Base64 text:
// no entities are decoded.
std::vector<std::pair<std::string_view, std::string_view>> ElementAttributes(std::string_view xml,
                                                                              std::string_view name,
                                                                              std::string_view required) {
  std::vector<std::pair<std::string_view, std::string_view>> attributes;
  for (std::size_t at = xml.find('<'); at != std::string_view::npos; at = xml.find('<', at + 1)) {
    std::size_t p = at + 1;
    const std::size_t nameEnd = xml.find_first_of(" \t\r\n/>", p);
    if (nameEnd == std::string_view::npos) break;
    std::string_view tag = xml.substr(p, nameEnd - p);
    if (const std::size_t colon = tag.find(':'); colon != std::string_view::npos) tag.remove_prefix(colon + 1);
    if (tag != name) continue;
    attributes.clear();
    p = nameEnd;
    bool found = false;
    for (;;) {
      p = xml.find_first_not_of(" \t\r\n", p);
      if (p == std::string_view::npos || xml[p] == '>' || xml[p] == '/') break;
      const std::size_t equals = xml.find('=', p);
      if (equals == std::string_view::npos || equals + 1 >= xml.size()) break;
      const char quote = xml[equals + 1];
      if (quote != '"' && quote != '\'') break;
      const std::size_t close = xml.find(quote, equals + 2);
      if (close == std::string_view::npos) break;
      std::string_view key = xml.substr(p, equals - p);
      while (!key.empty() && (key.back() == ' ' || key.back() == '\t' || key.back() == '\r' || key.back() == '\n'))
        key.remove_suffix(1);
      attributes.emplace_back(key, xml.substr(equals + 2, close - equals - 2));
      if (key == required) found = true;
      p = close + 1;
    }
    if (found) return attributes;
  }
  attributes.clear();
  return attributes;
}

class TAttributes {
 public:
  TAttributes(std::string_view xml, std::string_view element, std::string_view required)
      : list_(ElementAttributes(xml, element, required)) {}
  bool Empty() const { return list_.empty(); }
  std::string_view Text(std::string_view name) const {
    for (const auto& [key, value] : list_)
      if (key == name) return value;
    Unknown();
  }
  uint32_t Number(std::string_view name) const {
    const std::string_view text = Text(name);
    if (text.empty() || text.size() > 9) Unknown();
    uint32_t value = 0;
    for (const char c : text) {
      if (c < '0' || c > '9') Unknown();
      value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    return value;
  }
  Bytes Base64(std::string_view name) const {
    Bytes out;
    uint32_t bits = 0;
    int count = 0;
    for (const char c : Text(name)) {
      int v;
      if (c >= 'A' && c <= 'Z') v = c - 'A';
      else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
      else if (c >= '0' && c <= '9') v = c - '0' + 52;
      else if (c == '+') v = 62;
      else if (c == '/') v = 63;
      else if (c == '=' || c == ' ' || c == '\r' || c == '\n' || c == '\t') continue;
      else Unknown();
      bits = (bits << 6) | static_cast<uint32_t>(v);
      count += 6;
      if (count >= 8) {
        count -= 8;
        out.push_back(static_cast<uint8_t>(bits >> count));
      }
    }
    return out;
  }

 private:
  std::vector<std::pair<std::string_view, std::string_view>> list_;
};

// A cipher description of keyData or encryptedKey: AES in CBC with a hash.
struct TAgileParameters {
  THashAlgorithm hash = THashAlgorithm::kSHA1;
  std::size_t hashSize = 20;
  std::size_t keyBytes = 16;
  std::size_t blockSize = 16;
  Bytes salt;

  explicit TAgileParameters(const TAttributes& a) {
    const std::string_view hashName = a.Text("hashAlgorithm");
    if (hashName == "SHA1") hash = THashAlgorithm::kSHA1;
    else if (hashName == "SHA256") hash = THashAlgorithm::kSHA256;
    else if (hashName == "SHA384") hash = THashAlgorithm::kSHA384;
    else if (hashName == "SHA512") hash = THashAlgorithm::kSHA512;
    else Unknown();
    hashSize = platform::DigestSize(hash);
    const uint32_t keyBits = a.Number("keyBits");
    if (a.Text("cipherAlgorithm") != "AES" || a.Text("cipherChaining") != "ChainingModeCBC" ||
        (keyBits != 128 && keyBits != 192 && keyBits != 256) || a.Number("blockSize") != kAesBlock ||
        a.Number("hashSize") != hashSize) {
      Unknown();
    }
    keyBytes = keyBits / 8;
    salt = a.Base64("saltValue");
    if (salt.empty() || salt.size() != a.Number("saltSize")) Unknown();
  }

  // H(data + suffix) cut or padded with 0x36 to `size` bytes: the block
  // keys and initialisation vectors of agile encryption.
  Bytes Derive(const Bytes& data, const uint8_t* suffix, std::size_t suffixSize, std::size_t size) const {
    Bytes out = platform::Hash(hash, Concat(data, suffix, suffixSize).data(), data.size() + suffixSize);
    out.resize(size, 0x36);
    return out;
  }
  Bytes Iv(const uint8_t* suffix, std::size_t suffixSize) const { return Derive(salt, suffix, suffixSize, blockSize); }
};

constexpr uint8_t kBlockVerifierInput[8] = {0xFE, 0xA7, 0xD2, 0x76, 0x3B, 0x4B, 0x9E, 0x79};
constexpr uint8_t kBlockVerifierValue[8] = {0xD7, 0xAA, 0x0F, 0x6D, 0x30, 0x61, 0x34, 0x4E};
constexpr uint8_t kBlockKeyValue[8] = {0x14, 0x6E, 0x0B, 0xE7, 0xAB, 0xAC, 0xD0, 0xD6};
constexpr uint8_t kBlockHmacKey[8] = {0x5F, 0xB2, 0xAD, 0x01, 0x0C, 0xB9, 0xE1, 0xF6};
constexpr uint8_t kBlockHmacValue[8] = {0xA0, 0x67, 0x7F, 0x02, 0xB2, 0x2C, 0x84, 0x33};

class TAgileCipher final : public TPackageCipher {
 public:
  explicit TAgileCipher(const Bytes& info) {
    if (info.size() < 8) Unknown();
    const std::string_view xml(reinterpret_cast<const char*>(info.data()) + 8, info.size() - 8);
    const TAttributes keyData(xml, "keyData", "saltValue");
    const TAttributes encryptedKey(xml, "encryptedKey", "encryptedVerifierHashInput");
    if (keyData.Empty() || encryptedKey.Empty()) Unknown();
    package_ = std::make_unique<TAgileParameters>(keyData);
    password_ = std::make_unique<TAgileParameters>(encryptedKey);
    spinCount_ = encryptedKey.Number("spinCount");
    if (spinCount_ > kMaxSpinCount) Unknown();
    verifierInput_ = encryptedKey.Base64("encryptedVerifierHashInput");
    verifierValue_ = encryptedKey.Base64("encryptedVerifierHashValue");
    keyValue_ = encryptedKey.Base64("encryptedKeyValue");
    const TAttributes integrity(xml, "dataIntegrity", "encryptedHmacKey");
    if (!integrity.Empty()) {
      hmacKey_ = integrity.Base64("encryptedHmacKey");
      hmacValue_ = integrity.Base64("encryptedHmacValue");
    }
  }

  bool Open(std::u16string_view password, TDerivedKeyCache& cache, uint32_t maxHashRounds) override {
    const TAgileParameters& p = *password_;
    const Bytes hn = IteratedHash(p.hash, p.salt, password, std::min(spinCount_, maxHashRounds), 2, cache);
    const Bytes iv = Fit(p.salt, p.blockSize);  // the salt is the vector
    const Bytes input = CbcDecrypt(p.Derive(hn, kBlockVerifierInput, 8, p.keyBytes), iv, verifierInput_);
    const Bytes value = CbcDecrypt(p.Derive(hn, kBlockVerifierValue, 8, p.keyBytes), iv, verifierValue_);
    if (input.size() < p.salt.size() || value.size() < p.hashSize) return false;
    const Bytes check = platform::Hash(p.hash, input.data(), p.salt.size());
    if (!std::equal(check.begin(), check.end(), value.begin())) return false;
    Bytes key = CbcDecrypt(p.Derive(hn, kBlockKeyValue, 8, p.keyBytes), iv, keyValue_);
    if (key.size() < package_->keyBytes) Unknown();
    key.resize(package_->keyBytes);
    key_ = std::move(key);
    return true;
  }

  void CheckIntegrity(const Bytes& encryptedPackage) const override {
    if (hmacKey_.empty() && hmacValue_.empty()) return;
    const TAgileParameters& k = *package_;
    const Bytes hmacKey = CbcDecrypt(key_, k.Iv(kBlockHmacKey, 8), hmacKey_);
    const Bytes hmacValue = CbcDecrypt(key_, k.Iv(kBlockHmacValue, 8), hmacValue_);
    if (hmacKey.size() < k.hashSize || hmacValue.size() < k.hashSize) Throw(kDamaged);
    const Bytes mac =
        platform::Hmac(k.hash, hmacKey.data(), k.hashSize, encryptedPackage.data(), encryptedPackage.size());
    if (!std::equal(mac.begin(), mac.end(), hmacValue.begin())) Throw(kDamaged);
  }

  // Segments of 4096 bytes, each in CBC from the vector H(salt + segment
  // number).
  Bytes Decrypt(const Bytes& encryptedPackage) const override {
    const uint64_t size = PackageSize(encryptedPackage);
    const std::size_t whole = static_cast<std::size_t>((size + kAesBlock - 1) / kAesBlock * kAesBlock);
    Bytes out(encryptedPackage.begin() + 8, encryptedPackage.begin() + 8 + static_cast<std::ptrdiff_t>(whole));
    platform::TAesDecryptor aes(key_.data(), key_.size());
    for (std::size_t at = 0, segment = 0; at < out.size(); at += kSegmentSize, ++segment) {
      uint8_t number[4];
      PutU32(number, static_cast<uint32_t>(segment));
      const Bytes iv = package_->Iv(number, sizeof(number));
      aes.DecryptCbc(iv.data(), out.data() + at, std::min(kSegmentSize, out.size() - at));
    }
    out.resize(static_cast<std::size_t>(size));
    return out;
  }

 private:
  static Bytes Fit(Bytes bytes, std::size_t size) {
    bytes.resize(size, 0x36);
    return bytes;
  }

  std::unique_ptr<TAgileParameters> package_;
  std::unique_ptr<TAgileParameters> password_;
  uint32_t spinCount_ = 0;
  Bytes verifierInput_, verifierValue_, keyValue_, hmacKey_, hmacValue_, key_;
};

std::unique_ptr<TPackageCipher> MakeCipher(const Bytes& info) {
  if (info.size() < 4) Unknown();
  const uint16_t major = U16(info.data());
  const uint16_t minor = U16(info.data() + 2);
  if (major == 4 && minor == 4) return std::make_unique<TAgileCipher>(info);
  if (major >= 2 && major <= 4 && minor == 2) return std::make_unique<TStandardCipher>(info);
  Unknown();
}

}  // namespace

std::vector<uint8_t> DecryptPackage(TXLSWorkbook& workbook, const std::vector<uint8_t>& encryptionInfo,
                                    const std::vector<uint8_t>& encryptedPackage, uint32_t maxHashRounds) {
  std::unique_ptr<TPackageCipher> cipher = MakeCipher(encryptionInfo);
  TDerivedKeyCache& cache = workbook.DerivedKeys();
  if (!workbook.OnPassword && workbook.Password.empty()) {
    if (!cipher->Open(kDefaultWorkbookPassword, cache, maxHashRounds)) Throw("File is encrypted. Password required.");
  } else {
    std::u16string password = workbook.Password;
    if (workbook.OnPassword) workbook.OnPassword(password);
    if (workbook.Abort) return {};
    if (password.empty()) Throw("Password is missing.");
    if (!cipher->Open(password, cache, maxHashRounds)) Throw("Invalid password");
  }
  cipher->CheckIntegrity(encryptedPackage);
  return cipher->Decrypt(encryptedPackage);
}

}  // namespace tabulon
