// Known answers of the system's cryptographic primitives: SHA-1 and SHA-2
// (FIPS 180-4 examples), AES (FIPS 197 appendix C, SP 800-38A F.2.2 for
// CBC) and HMAC (RFC 2202, RFC 4231).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/crypto.h"

namespace tabulon::platform {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes FromHex(const std::string& hex) {
  Bytes bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

std::string Hex(const Bytes& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (uint8_t b : bytes) {
    s += kDigits[b >> 4];
    s += kDigits[b & 15];
  }
  return s;
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

TEST(Crypto, HashesOfFips180) {
  const std::string two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  const std::string twoLong =
      "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu";
  const struct {
    THashAlgorithm algorithm;
    std::string message;
    const char* digest;
  } cases[] = {
      {THashAlgorithm::kSHA1, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {THashAlgorithm::kSHA1, two, "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {THashAlgorithm::kSHA1, "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {THashAlgorithm::kSHA256, "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {THashAlgorithm::kSHA256, two, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {THashAlgorithm::kSHA384, "abc",
       "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7"},
      {THashAlgorithm::kSHA384, twoLong,
       "09330c33f71147e83d192fc782cd1b4753111b173b3b05d22fa08086e3b0f712fcc7c71a557e2db966c3e9fa91746039"},
      {THashAlgorithm::kSHA512, "abc",
       "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd"
       "454d4423643ce80e2a9ac94fa54ca49f"},
      {THashAlgorithm::kSHA512, twoLong,
       "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331b99dec4b5433a"
       "c7d329eeb6dd26545e96e55b874be909"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(Hex(Hash(c.algorithm, c.message.data(), c.message.size())), c.digest);
    EXPECT_EQ(DigestSize(c.algorithm) * 2, std::string(c.digest).size());
    // One object for many messages, each fed in two pieces.
    THash hash(c.algorithm);
    for (int round = 0; round < 3; ++round) {
      const std::size_t half = c.message.size() / 2;
      hash.Update(c.message.data(), half);
      hash.Update(c.message.data() + half, c.message.size() - half);
      EXPECT_EQ(Hex(hash.Final()), c.digest) << "round " << round;
    }
  }
  // A million times "a", in pieces of 1000.
  const std::string thousand(1000, 'a');
  THash hash(THashAlgorithm::kSHA256);
  for (int i = 0; i < 1000; ++i) hash.Update(thousand.data(), thousand.size());
  EXPECT_EQ(Hex(hash.Final()), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Crypto, AesOfFips197AndCbcOfSp800_38a) {
  const Bytes plain = FromHex("00112233445566778899aabbccddeeff");
  const struct {
    const char* key;
    const char* cipher;
  } ecb[] = {
      {"000102030405060708090a0b0c0d0e0f", "69c4e0d86a7b0430d8cdb78070b4c55a"},
      {"000102030405060708090a0b0c0d0e0f1011121314151617", "dda97ca4864cdfe06eaf70a0ec0d7191"},
      {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", "8ea2b7ca516745bfeafc49904b496089"},
  };
  for (const auto& c : ecb) {
    SCOPED_TRACE(c.key);
    const Bytes key = FromHex(c.key);
    TAesDecryptor aes(key.data(), key.size());
    // Two blocks in one call, and a stray byte after them left alone.
    Bytes data = FromHex(std::string(c.cipher) + c.cipher + "5a");
    aes.DecryptEcb(data.data(), data.size());
    EXPECT_EQ(Bytes(data.begin(), data.begin() + 16), plain);
    EXPECT_EQ(Bytes(data.begin() + 16, data.begin() + 32), plain);
    EXPECT_EQ(data[32], 0x5a);
  }

  const Bytes key = FromHex("2b7e151628aed2a6abf7158809cf4f3c");
  const Bytes iv = FromHex("000102030405060708090a0b0c0d0e0f");
  const std::string cipher =
      "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
      "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7";
  const std::string expected =
      "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
      "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710";
  TAesDecryptor aes(key.data(), key.size());
  for (int round = 0; round < 2; ++round) {  // the vector is taken anew each call
    Bytes data = FromHex(cipher);
    aes.DecryptCbc(iv.data(), data.data(), data.size());
    EXPECT_EQ(Hex(data), expected);
  }
  // The second half alone, chained from the last block of the first.
  Bytes tail = FromHex(cipher.substr(64));
  const Bytes chain = FromHex(cipher.substr(32, 32));
  aes.DecryptCbc(chain.data(), tail.data(), tail.size());
  EXPECT_EQ(Hex(tail), expected.substr(64));
}

TEST(Crypto, HmacOfRfc2202AndRfc4231) {
  const Bytes key20(20, 0x0b);
  const Bytes key131(131, 0xaa);
  const Bytes hiThere = Text("Hi There");
  const Bytes large = Text("Test Using Larger Than Block-Size Key - Hash Key First");
  const struct {
    THashAlgorithm algorithm;
    Bytes key;
    Bytes data;
    const char* mac;
  } cases[] = {
      {THashAlgorithm::kSHA1, key20, hiThere, "b617318655057264e28bc0b6fb378c8ef146be00"},
      {THashAlgorithm::kSHA1, Text("Jefe"), Text("what do ya want for nothing?"),
       "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
      {THashAlgorithm::kSHA256, key20, hiThere, "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {THashAlgorithm::kSHA384, key20, hiThere,
       "afd03944d84895626b0825f4ab46907f15f9dadbe4101ec682aa034c7cebc59cfaea9ea9076ede7f4af152e8b2fa9cb6"},
      {THashAlgorithm::kSHA512, key20, hiThere,
       "87aa7cdea5ef619d4ff0b4241a1d6cb02379f4e2ce4ec2787ad0b30545e17cdedaa833b7d6b8a702038b274eaea3f4e4"
       "be9d914eeb61f1702e696c203a126854"},
      {THashAlgorithm::kSHA256, key131, large, "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {THashAlgorithm::kSHA512, key131, large,
       "80b24263c7c1a3ebb71493c1dd7be8b49b46d1f41b4aeec1121b013783f8f3526b56d037e05f2598bd0fd2215d6a1e52"
       "95e64f73f63f0aec8b915a985d786598"},
      // An empty key and message (digest from Python's hmac).
      {THashAlgorithm::kSHA256, Bytes(), Bytes(), "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mac);
    EXPECT_EQ(Hex(Hmac(c.algorithm, c.key.data(), c.key.size(), c.data.data(), c.data.size())), c.mac);
  }
}

}  // namespace
}  // namespace tabulon::platform
