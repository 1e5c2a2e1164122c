// Decryption of legacy workbooks: the MD5 and RC4 primitives, password
// checks against FILEPASS bodies, the key stream of TXLSStream on record
// streams encrypted here byte by byte, and the FILEPASS handler.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "biff/filepass.h"
#include "biff/md5.h"
#include "biff/rc4.h"
#include "biff/xls_stream.h"
#include "biff_builder.h"
#include "cfb_writer.h"
#include "platform/error.h"
#include "platform/platform.h"
#include "workbook/sheet.h"
#include "workbook/workbook.h"

namespace tabulon {
namespace {

using Bytes = std::vector<uint8_t>;

std::string Hex(const uint8_t* data, std::size_t count) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (std::size_t i = 0; i < count; ++i) {
    s += kDigits[data[i] >> 4];
    s += kDigits[data[i] & 15];
  }
  return s;
}

// ---- MD5 and RC4 ------------------------------------------------------------------------

TEST(MD5, DigestsOfRfc1321) {
  const struct {
    const char* message;
    const char* digest;
  } cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    const std::size_t length = std::strlen(c.message);
    const TMD5Digest d = MD5(c.message, length);
    EXPECT_EQ(Hex(d.data(), d.size()), c.digest);
    // Fed in pieces of every size, with the padding boundaries 55/56/64 in between.
    for (std::size_t piece = 1; piece <= 9; ++piece) {
      TMD5 md5;
      for (std::size_t at = 0; at < length; at += piece) md5.Update(c.message + at, std::min(piece, length - at));
      const TMD5Digest p = md5.Final();
      EXPECT_EQ(Hex(p.data(), p.size()), c.digest) << "pieces of " << piece;
    }
  }
  // Lengths around the padding boundary (digests from Python's hashlib).
  Bytes a(130, 'a');
  EXPECT_EQ(Hex(MD5(a.data(), 55).data(), 16), "ef1772b6dff9a122358552954ad0df65");
  EXPECT_EQ(Hex(MD5(a.data(), 56).data(), 16), "3b0c8ac703f828b04c6c197006d17218");
  EXPECT_EQ(Hex(MD5(a.data(), 64).data(), 16), "014842d480b571495a4a0363793f7367");
}

TEST(RC4, KeyStreamsOfRfc6229) {
  const struct {
    Bytes key;
    std::size_t offset;
    const char* stream;
  } cases[] = {
      {{1, 2, 3, 4, 5}, 0, "b2396305f03dc027ccc3524a0a1118a8"},
      {{1, 2, 3, 4, 5}, 16, "6982944f18fc82d589c403a47a0d0919"},
      {{1, 2, 3, 4, 5}, 1008, "45129048e6a0ed0b56b490338f078da5"},
      {{1, 2, 3, 4, 5}, 4096, "ff25b58995996707e51fbdf08b34d875"},
      {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}, 0, "9ac7cc9a609d1ef7b2932899cde41b97"},
      {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}, 1520, "b40110c4190b5622a96116b0017ed297"},
      {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}, 3072, "c05d88abd50357f935a63c59ee537623"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.key.size() * 8 << "-bit key, offset " << c.offset);
    // Passing over the leading bytes and encrypting them give the same stream.
    TRC4 skipped;
    skipped.SetKey(c.key.data(), c.key.size());
    skipped.Discard(c.offset);
    uint8_t got[16] = {};
    skipped.Crypt(got, 16);
    EXPECT_EQ(Hex(got, 16), c.stream);

    TRC4 whole;
    whole.SetKey(c.key.data(), c.key.size());
    Bytes all(c.offset + 16, 0);
    whole.Crypt(all.data(), all.size());
    EXPECT_EQ(Hex(all.data() + c.offset, 16), c.stream);
  }
}

// ---- FILEPASS bodies ----------------------------------------------------------------------
// Made with an independent implementation (Python hashlib and the ARC4 of
// the "cryptography" package): salt A0..AF, verifier 10..1F.

Bytes FilePassFor(std::initializer_list<uint8_t> verifierAndHash) {
  Bytes b = {0x01, 0x00, 0x01, 0x00, 0x01, 0x00};
  for (int i = 0; i < 16; ++i) b.push_back(static_cast<uint8_t>(0xA0 + i));
  b.insert(b.end(), verifierAndHash);
  return b;
}

const std::u16string kPassword15 = u"Secret-Password";
const Bytes kFilePass15 = FilePassFor({0x2A, 0x6B, 0x61, 0x8D, 0x88, 0x4D, 0x6F, 0xDE, 0x53, 0xB4, 0xBB,
                                       0xDE, 0xB4, 0x69, 0xC1, 0x5A, 0xDE, 0x64, 0xA3, 0xF4, 0x78, 0x36,
                                       0xD9, 0xFD, 0x67, 0x51, 0xC3, 0x21, 0xF1, 0xCA, 0xB5, 0x0E});
// H1 of kPassword15, and the first key-stream bytes of its block 2.
const uint8_t kH1Of15[5] = {0xA3, 0xE0, 0xE0, 0x3D, 0x67};
const char* const kBlock2KeyStreamOf15 = "540331ee98c3144c7402bb4fc2c42fa0";

// Made for the first 31 characters of this 40-character password.
const std::u16string kPassword40 = u"0123456789abcdefghijklmnopqrstuvwxyzABCD";
const Bytes kFilePass31 = FilePassFor({0xE7, 0x31, 0x6D, 0xFA, 0xCD, 0x47, 0xF0, 0xB1, 0xB9, 0x8E, 0xA9,
                                       0x79, 0x8D, 0x20, 0xCD, 0xB8, 0xAE, 0xDB, 0xB3, 0x0E, 0x9A, 0x63,
                                       0xF9, 0xD4, 0xD4, 0x5F, 0xE1, 0xF7, 0xE0, 0xED, 0xC8, 0xB0});
const Bytes kFilePassDefault = FilePassFor({0x72, 0xD2, 0xF0, 0xA8, 0xD3, 0x27, 0x76, 0x52, 0xCC, 0xEF, 0xBA,
                                            0x6D, 0x49, 0x11, 0x56, 0x1E, 0xE4, 0x9E, 0x9A, 0x3D, 0xD7, 0x72,
                                            0xA4, 0xCA, 0xDA, 0x43, 0x4E, 0x27, 0x41, 0x70, 0x55, 0xC7});
const std::u16string kPasswordWide = u"Z\u00fcrich\u20ac";
const Bytes kFilePassWide = FilePassFor({0xEA, 0xD9, 0xFA, 0xA7, 0xBC, 0xF8, 0xD1, 0x2A, 0xB2, 0xCB, 0xF9,
                                         0x19, 0xB8, 0x2C, 0x1F, 0x6F, 0x16, 0x75, 0xCB, 0x69, 0xC2, 0xD0,
                                         0x6A, 0x62, 0xEB, 0x67, 0x48, 0x20, 0xC1, 0x26, 0xA2, 0xDC});

void PutU16(Bytes& b, unsigned v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
void PutU32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A FILEPASS of the CryptoAPI variant (RC4 with SHA-1) with the given
// version words; its verifier fits kPassword15 under that variant.
Bytes CryptoApiFilePass(unsigned major) {
  Bytes header;
  PutU32(header, 0x04);    // flags: CryptoAPI
  PutU32(header, 0);       // size extra
  PutU32(header, 0x6801);  // RC4
  PutU32(header, 0x8004);  // SHA-1
  PutU32(header, 128);     // key bits
  PutU32(header, 1);       // provider type
  PutU32(header, 0);
  PutU32(header, 0);
  for (const char16_t c : std::u16string(u"Microsoft Enhanced Cryptographic Provider v1.0")) PutU16(header, c);
  PutU16(header, 0);

  Bytes b;
  PutU16(b, 1);
  PutU16(b, major);
  PutU16(b, 2);
  PutU32(b, 0x04);
  PutU32(b, static_cast<uint32_t>(header.size()));
  b.insert(b.end(), header.begin(), header.end());
  PutU32(b, 16);
  for (int i = 0; i < 16; ++i) b.push_back(static_cast<uint8_t>(0xA0 + i));
  b.insert(b.end(), {0xBA, 0x38, 0xE6, 0x4E, 0x21, 0x8F, 0xAF, 0x61, 0xB7, 0x93, 0xD9, 0x56, 0xD1, 0xFD, 0x7F, 0xD6});
  PutU32(b, 20);
  b.insert(b.end(), {0xFE, 0xEF, 0x5A, 0xB6, 0xAA, 0xDA, 0x69, 0xF1, 0x1D, 0x69,
                     0x2E, 0xA4, 0x31, 0x38, 0x84, 0x9F, 0xBE, 0xF3, 0x6F, 0xF5});
  return b;
}

TEST(CheckPassword, AcceptsOnlyThePasswordThatFitsTheVerifier) {
  const struct {
    const char* what;
    const Bytes* filePass;
    std::u16string password;
    bool fits;
  } cases[] = {
      {"15 characters", &kFilePass15, kPassword15, true},
      {"one character differs", &kFilePass15, u"Secret-Passwore", false},
      {"other case", &kFilePass15, u"secret-password", false},
      {"one character more", &kFilePass15, kPassword15 + u"!", false},
      {"empty", &kFilePass15, u"", false},
      {"40 characters: the first 31 count", &kFilePass31, kPassword40, true},
      {"31 characters", &kFilePass31, kPassword40.substr(0, 31), true},
      {"40 characters, 32nd changed", &kFilePass31, kPassword40.substr(0, 31) + u"#bcdefghi", true},
      {"30 characters", &kFilePass31, kPassword40.substr(0, 30), false},
      {"UTF-16 beyond Latin-1", &kFilePassWide, kPasswordWide, true},
      {"default password", &kFilePassDefault, kDefaultWorkbookPassword, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TXLSStream x;
    EXPECT_EQ(x.CheckPassword(c.filePass->data(), c.filePass->size(), c.password), c.fits);
    EXPECT_EQ(x.Encrypted(), c.fits);
  }
  // A body too short for salt and verifier never fits, whatever the bytes beyond it.
  TXLSStream x;
  EXPECT_FALSE(x.CheckPassword(kFilePass15.data(), kFilePass15.size() - 1, kPassword15));
  EXPECT_FALSE(x.CheckPassword(nullptr, 0, kPassword15));
  EXPECT_FALSE(x.Encrypted());
}

// ---- Encrypted record streams -------------------------------------------------------------

struct Rec {
  uint16_t id;
  Bytes body;
  bool encryptedBof = false;  // a BOF body its writer encrypted
};

Bytes Filled(std::size_t size, uint8_t seed) {
  Bytes v(size);
  for (std::size_t i = 0; i < size; ++i) v[i] = static_cast<uint8_t>(seed + i * 13 + (i >> 8));
  return v;
}

Bytes Bof(unsigned type) {
  Bytes b;
  PutU16(b, 0x0600);
  PutU16(b, type);
  for (int i = 0; i < 12; ++i) b.push_back(static_cast<uint8_t>(i == 8 ? 6 : 0));
  return b;
}

bool IsBof(uint16_t id) { return (id & 0xFF) == 0x09; }

// The key stream of one 1024-byte block, made on its own for every block.
Bytes BlockKeyStream(const uint8_t* h1, uint32_t block) {
  uint8_t data[9];
  std::memcpy(data, h1, 5);
  for (int i = 0; i < 4; ++i) data[5 + i] = static_cast<uint8_t>(block >> (8 * i));
  const TMD5Digest key = MD5(data, sizeof(data));
  TRC4 rc4;
  rc4.SetKey(key.data(), key.size());
  Bytes ks(1024, 0);
  rc4.Crypt(ks.data(), ks.size());
  return ks;
}

// The workbook stream of the records as an encrypting writer stores it:
// after the FILEPASS record, every body byte at offset p is XORed with byte
// p mod 1024 of the key stream of block p div 1024; headers and (unless a
// record says otherwise) BOF bodies stay in clear. `offsets` receives the
// offset of each record's header.
Bytes EncryptedStream(const std::vector<Rec>& records, const uint8_t* h1, std::vector<std::size_t>* offsets = nullptr) {
  Bytes s;
  bool on = false;
  uint32_t keyBlock = 0;
  Bytes keyStream = BlockKeyStream(h1, 0);
  for (const Rec& r : records) {
    if (offsets) offsets->push_back(s.size());
    PutU16(s, r.id);
    PutU16(s, static_cast<unsigned>(r.body.size()));
    for (const uint8_t byte : r.body) {
      const std::size_t p = s.size();
      const bool crypt = on && (!IsBof(r.id) || r.encryptedBof);
      if (crypt && p / 1024 != keyBlock) {
        keyBlock = static_cast<uint32_t>(p / 1024);
        keyStream = BlockKeyStream(h1, keyBlock);
      }
      s.push_back(crypt ? static_cast<uint8_t>(byte ^ keyStream[p % 1024]) : byte);
    }
    if (r.id == 0x002F) on = true;
  }
  return s;
}

// A compound document holding the stream as "Workbook", opened.
struct Opened {
  TMemoryStream source;
  TXLSStream x;
  explicit Opened(const Bytes& workbookStream) {
    test::CfbWriter w;
    w.AddStream(u"Workbook", workbookStream);
    source.Bytes() = w.Build();
    x.SetSourceStream(&source);
    x.OpenFile(u"encrypted.xls");
  }
};

// Reads the records as the record loop does: BOF bodies unencrypted (and
// taken decrypted when their writer encrypted them), FILEPASS handed to the
// handler; PeekRecordId before every header must not disturb anything.
std::vector<Rec> ReadAll(TXLSStream& x, TXLSWorkbook& workbook) {
  std::vector<Rec> got;
  uint16_t id = 0;
  uint16_t length = 0;
  for (;;) {
    const uint16_t peeked = x.PeekRecordId();
    if (x.ReadHeader(id, length) < 4) break;
    EXPECT_EQ(peeked, id);
    Rec r{id, Bytes(length)};
    if (IsBof(id)) {
      EXPECT_EQ(x.ReadUnencrypted(r.body.data(), length), length);
      r.encryptedBof = TakeEncryptedBof(x, r.body.data(), length);
    } else {
      EXPECT_EQ(x.ReadBody(r.body.data(), length), length);
      if (id == 0x002F) {
        EXPECT_TRUE(ReadFilePass(x, r.body.data(), length, workbook));
      }
    }
    got.push_back(std::move(r));
  }
  return got;
}

void ExpectSameBodies(const std::vector<Rec>& got, const std::vector<Rec>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(got[i].id, want[i].id) << "record " << i;
    EXPECT_TRUE(got[i].body == want[i].body) << "record " << i << " id " << std::hex << want[i].id;
    EXPECT_EQ(got[i].encryptedBof, want[i].encryptedBof) << "record " << i;
  }
}

TEST(EncryptedStream, TestWriterUsesTheKeyStreamOfTheBlock) {
  // Block 2 of kPassword15 as made by an independent implementation.
  EXPECT_EQ(Hex(BlockKeyStream(kH1Of15, 2).data(), 16), kBlock2KeyStreamOf15);
}

// Record layouts, each placing bodies, headers and BOFs at block boundaries.
struct Layout {
  const char* what;
  std::vector<Rec> records;
  // Record index and the stream offsets its body must cover.
  std::size_t index;
  std::size_t mustCover;
};

std::vector<Layout> Layouts() {
  const Bytes bof5 = Bof(0x0005);
  std::vector<Layout> l;
  // Offsets: globals BOF 0-19, FILEPASS 20-77, first body from 82.
  {
    Layout a{"body across 1024, BOF across 2048, body after it", {}, 3, 2048};
    a.records = {{0x0809, bof5}, {0x002F, kFilePass15}, {0x0042, Filled(1000, 1)}, {0x00FC, Filled(950, 2)},
                 {0x0809, Bof(0x0010)}, {0x0203, Filled(100, 3)}, {0x000A, {}}};
    a.index = 4;  // the sheet BOF: header at 2036, body 2040-2055
    l.push_back(a);
  }
  {
    Layout b{"body across 2048, header across 1024", {}, 3, 2048};
    // Body 82-1021, so that the next header takes 1022-1025.
    b.records = {{0x0809, bof5}, {0x002F, kFilePass15}, {0x0042, Filled(940, 4)}, {0x00FC, Filled(1200, 5)},
                 {0x0204, Filled(7, 6)}, {0x000A, {}}};
    l.push_back(b);
  }
  {
    Layout c{"bodies of the largest size, several blocks each", {}, 2, 8192};
    c.records = {{0x0809, bof5}, {0x002F, kFilePass15}, {0x00FC, Filled(8224, 7)}, {0x003C, Filled(8224, 8)},
                 {0x0809, Bof(0x0010)}, {0x0006, Filled(30, 9)}, {0x000A, {}}};
    l.push_back(c);
  }
  return l;
}

TEST(EncryptedStream, DecryptsBodiesByTheirStreamOffset) {
  for (Layout& layout : Layouts()) {
    SCOPED_TRACE(layout.what);
    std::vector<std::size_t> offsets;
    const Bytes s = EncryptedStream(layout.records, kH1Of15, &offsets);
    // The layout really puts the record where it says.
    const std::size_t bodyStart = offsets[layout.index] + 4;
    const std::size_t bodyEnd = bodyStart + layout.records[layout.index].body.size();
    ASSERT_LT(bodyStart, layout.mustCover);
    ASSERT_GT(bodyEnd, layout.mustCover);

    Opened o(s);
    TXLSWorkbook workbook;
    workbook.Password = kPassword15;
    ExpectSameBodies(ReadAll(o.x, workbook), layout.records);
    EXPECT_TRUE(o.x.Encrypted());
  }
}

TEST(EncryptedStream, HeaderAcrossABlockBoundaryAndBodyAcross2048) {
  const std::vector<Rec> records = Layouts()[1].records;
  std::vector<std::size_t> offsets;
  const Bytes s = EncryptedStream(records, kH1Of15, &offsets);
  ASSERT_EQ(offsets[3], 1022u);  // header 1022-1025, body 1026-2225
  Opened o(s);
  TXLSWorkbook workbook;
  workbook.Password = kPassword15;
  ExpectSameBodies(ReadAll(o.x, workbook), records);
}

TEST(EncryptedStream, KeyStreamFollowsTheOffsetAfterSeeks) {
  const std::vector<Rec> records = Layouts()[0].records;
  std::vector<std::size_t> offsets;
  const Bytes s = EncryptedStream(records, kH1Of15, &offsets);
  Opened o(s);
  TXLSWorkbook workbook;
  workbook.Password = kPassword15;
  ReadAll(o.x, workbook);

  // Back to an earlier record, then forward over several records and into
  // the middle of a body.
  for (const std::size_t index : {5, 2, 3, 5}) {
    o.x.Seek(static_cast<int64_t>(offsets[index]), SeekOrigin::kBegin);
    uint16_t id = 0;
    uint16_t length = 0;
    ASSERT_EQ(o.x.ReadHeader(id, length), 4u);
    Bytes body(length);
    ASSERT_EQ(o.x.ReadBody(body.data(), length), length);
    EXPECT_TRUE(body == records[index].body) << index;
  }
  const std::size_t middle = offsets[3] + 4 + 500;
  o.x.Seek(static_cast<int64_t>(middle), SeekOrigin::kBegin);
  Bytes part(200);
  ASSERT_EQ(o.x.ReadBody(part.data(), part.size()), part.size());
  EXPECT_TRUE(std::equal(part.begin(), part.end(), records[3].body.begin() + 500));
}

TEST(EncryptedStream, ContinueModeDecryptsTheDrawingGroupChain) {
  const Bytes first = Filled(8224, 10);
  const Bytes second = Filled(700, 11);
  const std::vector<Rec> records = {
      {0x0809, Bof(0x0005)}, {0x002F, kFilePass15}, {0x00EB, first}, {0x003C, second}, {0x000A, {}}};
  std::vector<std::size_t> offsets;
  Opened o(EncryptedStream(records, kH1Of15, &offsets));
  TXLSWorkbook workbook;
  workbook.Password = kPassword15;

  uint16_t id = 0;
  uint16_t length = 0;
  Bytes buffer(100);
  ASSERT_EQ(o.x.ReadHeader(id, length), 4u);
  o.x.ReadUnencrypted(buffer.data(), length);
  ASSERT_EQ(o.x.ReadHeader(id, length), 4u);
  o.x.ReadBody(buffer.data(), length);
  ASSERT_TRUE(ReadFilePass(o.x, buffer.data(), length, workbook));

  ASSERT_EQ(o.x.ReadHeader(id, length), 4u);
  o.x.BeginContinueRead();
  Bytes got(first.size() + second.size());
  ASSERT_EQ(o.x.ReadBody(got.data(), 5000), 5000u);
  ASSERT_EQ(o.x.ReadBody(got.data() + 5000, got.size() - 5000), got.size() - 5000);
  o.x.EndContinueRead();
  Bytes want = first;
  want.insert(want.end(), second.begin(), second.end());
  EXPECT_TRUE(got == want);
  EXPECT_EQ(o.x.PeekRecordId(), 0x000A);
}

TEST(EncryptedStream, BofEncryptedByItsWriterIsTakenDecrypted) {
  // A chart BOF inside a worksheet encrypted like any other body; the
  // records after it still decrypt.
  std::vector<Rec> records = {{0x0809, Bof(0x0005)},      {0x002F, kFilePass15},   {0x0042, Filled(900, 12)},
                              {0x0809, Bof(0x0010)},      {0x0203, Filled(14, 13)}, {0x0809, Bof(0x0020), true},
                              {0x1001, Filled(2, 14)},    {0x000A, {}},            {0x0809, Bof(0x0010)},
                              {0x000A, {}}};
  // Every substream type the record loop knows, encrypted, comes out; a
  // clear BOF of an unknown type stays as it is.
  for (const unsigned type : {0x0005u, 0x0010u, 0x0006u, 0x0040u, 0x0020u, 0x0100u}) {
    SCOPED_TRACE(type);
    records[5].body = Bof(type);
    Opened o(EncryptedStream(records, kH1Of15));
    TXLSWorkbook workbook;
    workbook.Password = kPassword15;
    ExpectSameBodies(ReadAll(o.x, workbook), records);
  }

  Bytes odd = Bof(0x0010);
  odd[2] = 0x77;  // no known substream type, stored in clear
  records[5] = {0x0809, odd, false};
  Opened o(EncryptedStream(records, kH1Of15));
  TXLSWorkbook workbook;
  workbook.Password = kPassword15;
  ExpectSameBodies(ReadAll(o.x, workbook), records);

  // Before FILEPASS nothing is decrypted.
  TXLSStream plain;
  Bytes bof = Bof(0x0777);
  EXPECT_FALSE(TakeEncryptedBof(plain, bof.data(), bof.size()));
  EXPECT_TRUE(bof == Bof(0x0777));
}

// ---- Workbooks encrypted by LibreOffice -----------------------------------------------------

std::vector<Rec> ReadFixture(const char* file, const std::u16string& password, bool* encrypted) {
  TXLSStream x;
  EXPECT_EQ(x.OpenFile(platform::HostToWide(std::string(TABULON_FIXTURES "/") + file)), xvExcel97);
  TXLSWorkbook workbook;
  workbook.Password = password;
  std::vector<Rec> records = ReadAll(x, workbook);
  EXPECT_EQ(x.Position(), x.StreamSize());
  *encrypted = x.Encrypted();
  return records;
}

TEST(EncryptedFixtures, RecordsMatchTheUnencryptedTwin) {
  const struct {
    const char* file;
    const char* twin;
    std::u16string password;
    std::size_t writerEncryptedBofs;
  } cases[] = {
      {"enc_short_rc4.xls", "enc_prices_plain.xls", u"abc", 0},
      {"enc_long15_rc4.xls", "enc_prices_plain.xls", u"LongPassword-15", 0},
      {"enc_large_rc4.xls", "enc_large_plain.xls", u"L4rge!Workbook#", 0},
      {"enc_chart_rc4.xls", "enc_chart_plain.xls", u"chart", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    bool encrypted = false;
    std::vector<Rec> got = ReadFixture(c.file, c.password, &encrypted);
    EXPECT_TRUE(encrypted);
    const std::vector<Rec> want = ReadFixture(c.twin, u"", &encrypted);
    EXPECT_FALSE(encrypted);
    ASSERT_TRUE(!got.empty() && got[1].id == 0x002F);
    got.erase(got.begin() + 1);
    ASSERT_EQ(got.size(), want.size());

    std::size_t compared = 0;
    std::size_t writerEncrypted = 0;
    int chartDepth = 0;
    for (std::size_t i = 0; i < want.size(); ++i) {
      SCOPED_TRACE(testing::Message() << "record " << i << " id " << std::hex << want[i].id);
      ASSERT_EQ(got[i].id, want[i].id);
      if (got[i].encryptedBof) ++writerEncrypted;
      const bool chartBof = IsBof(want[i].id) && want[i].body.size() >= 4 && want[i].body[2] == 0x20;
      if (chartBof) ++chartDepth;
      // Bytes its writer leaves in clear and the reader does not use: the
      // INTERFACEHDR code page, BOUNDSHEET and EXTSST stream offsets (which
      // differ by the FILEPASS record anyway), reserved bytes of chart records.
      const bool skip = want[i].id == 0x00E1 || want[i].id == 0x0085 || want[i].id == 0x00FF ||
                        (chartDepth > 0 && !chartBof);
      if (chartDepth > 0 && want[i].id == 0x000A) --chartDepth;
      if (skip) continue;
      EXPECT_TRUE(got[i].body == want[i].body);
      ++compared;
    }
    EXPECT_EQ(writerEncrypted, c.writerEncryptedBofs);
    EXPECT_GT(compared, want.size() / 2);
  }
}

TEST(EncryptedFixtures, WrongOrMissingPasswordIsRefused) {
  const struct {
    std::u16string password;
    const char* message;
  } cases[] = {
      {u"abd", "Invalid password"},
      {u"ABC", "Invalid password"},
      {u"", "File is encrypted. Password required."},
  };
  for (const auto& c : cases) {
    TXLSStream x;
    x.OpenFile(platform::HostToWide(TABULON_FIXTURES "/enc_short_rc4.xls"));
    uint16_t id = 0;
    uint16_t length = 0;
    Bytes body(256);
    ASSERT_EQ(x.ReadHeader(id, length), 4u);
    x.ReadUnencrypted(body.data(), length);
    ASSERT_EQ(x.ReadHeader(id, length), 4u);
    ASSERT_EQ(id, 0x002F);
    x.ReadBody(body.data(), length);
    TXLSWorkbook workbook;
    workbook.Password = c.password;
    try {
      ReadFilePass(x, body.data(), length, workbook);
      ADD_FAILURE() << "no error";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), c.message);
    }
  }
}

// ---- Encrypted workbooks through the legacy reader ----------------------------------------

std::unique_ptr<test::Loaded> ReadWith(const std::u16string& file, const std::u16string& password) {
  auto loaded = std::make_unique<test::Loaded>();
  loaded->wb().Filename = file;
  loaded->wb().Password = password;
  try {
    loaded->wb().Read();
  } catch (const Exception& e) {
    loaded->error = e.Message();
  }
  return loaded;
}

std::u16string Fixture(const char* file) { return platform::HostToWide(std::string(TABULON_FIXTURES "/") + file); }

// Every cell of the first 500 rows and 12 columns of every sheet, as text
// with its type code; sheet names in front.
std::vector<std::string> Contents(TXLSWorkbook& workbook, std::size_t* cells) {
  std::vector<std::string> out;
  *cells = 0;
  for (int i = 0; i < workbook.Sheets().Count(); ++i) {
    TSheet& sheet = workbook.Sheets()[i];
    out.push_back("sheet " + test::Utf8(sheet.Name()));
    for (uint32_t row = 0; row < 500; ++row) {
      for (uint32_t col = 0; col < 12; ++col) {
        const uint8_t type = sheet.GetCellType(col, row);
        if (type == 0) continue;
        ++*cells;
        out.push_back(std::to_string(col) + ":" + std::to_string(row) + " " + std::to_string(type) + " " +
                      test::Utf8(sheet.GetCellText(col, row)));
      }
    }
  }
  return out;
}

// The records of a byte-built stream, to be encrypted by EncryptedStream.
std::vector<Rec> Split(const std::vector<uint8_t>& stream) {
  std::vector<Rec> records;
  for (std::size_t at = 0; at + 4 <= stream.size();) {
    const uint16_t id = static_cast<uint16_t>(stream[at] | stream[at + 1] << 8);
    const std::size_t length = stream[at + 2] | stream[at + 3] << 8;
    records.push_back({id, Bytes(stream.begin() + at + 4, stream.begin() + at + 4 + length)});
    at += 4 + length;
  }
  return records;
}

std::unique_ptr<test::Loaded> ReadStream(const Bytes& workbookStream, const std::u16string& password) {
  test::TempDir dir;
  test::CfbWriter writer;
  writer.AddStream(u"Workbook", workbookStream);
  return ReadWith(dir.Write("book.xls", writer.Build()), password);
}

TEST(EncryptedReads, FixturesGiveEveryCellOfTheirTwins) {
  const struct {
    const char* file;
    const char* twin;
    std::u16string password;
    std::size_t minCells;
  } cases[] = {
      {"enc_short_rc4.xls", "enc_prices_plain.xls", u"abc", 13},
      {"enc_long15_rc4.xls", "enc_prices_plain.xls", u"LongPassword-15", 13},
      {"enc_large_rc4.xls", "enc_large_plain.xls", u"L4rge!Workbook#", 1722},
      {"enc_chart_rc4.xls", "enc_chart_plain.xls", u"chart", 15},
      {"enc_prices_cryptoapi.xls", "enc_prices_plain.xls", u"Strong-Provider-2003", 13},
      {"enc_large_cryptoapi40.xls", "enc_large_plain.xls", u"L4rge!Workbook#", 1722},
      {"enc_prices_xor.xls", "enc_prices_plain.xls", u"xor-pass", 13},
      {"enc_large_xor.xls", "enc_large_plain.xls", u"", 1722},  // the default password
      {"enc_prices_biff5_xor.xls", "prices_biff5_gnumeric.xls", u"Excel95", 13},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    auto encrypted = ReadWith(Fixture(c.file), c.password);
    ASSERT_EQ(encrypted->error, "");
    auto twin = ReadWith(Fixture(c.twin), u"");
    ASSERT_EQ(twin->error, "");
    std::size_t cells = 0;
    std::size_t twinCells = 0;
    const std::vector<std::string> got = Contents(encrypted->wb(), &cells);
    EXPECT_EQ(got, Contents(twin->wb(), &twinCells));
    EXPECT_GE(cells, c.minCells);
  }
  // Behind the embedded chart, whose BOF LibreOffice encrypted, the sheet
  // goes on, and the next sheet is read.
  auto chart = ReadWith(Fixture("enc_chart_rc4.xls"), u"chart");
  ASSERT_EQ(chart->error, "");
  ASSERT_EQ(chart->wb().Sheets().Count(), 2);
  EXPECT_EQ(chart->text(0, "D20"), "after the chart");
  EXPECT_EQ(chart->text(1, "B2"), "last sheet");
  // The chart substream was passed over whole: none of its records went
  // into the sheet's records.
  const TBaseRecordStorage& records = chart->sheet(0).Records();
  for (std::size_t i = 0; i < records.Count(); ++i) EXPECT_NE(records[i].Id & 0xFF00, 0x1000) << records[i].Id;
  auto large = ReadWith(Fixture("enc_large_rc4.xls"), u"L4rge!Workbook#");
  EXPECT_EQ(large->text(0, "A399"), "Row 399 text xyzxyzxyzxyzxyzxyz");
  EXPECT_EQ(large->text(1, "A60"), "Second 59 é€");
}

TEST(EncryptedReads, FailuresNameTheFilePassRecord) {
  Bytes xorBody = {0x00, 0x00, 0x34, 0x12, 0x78, 0x56};
  Bytes type2 = kFilePass15;
  type2[0] = 2;
  const struct {
    const char* what;
    Bytes filePass;
    std::u16string password;
    const char* message;
  } cases[] = {
      {"wrong password", kFilePass15, u"Secret-passworD", "Invalid password"},
      {"no password", kFilePass15, u"", "File is encrypted. Password required."},
      {"XOR obfuscation, wrong password", xorBody, kPassword15, "Invalid password"},
      {"XOR obfuscation without key", {0x00, 0x00}, kPassword15, "File encrypted with non-standard key. French?"},
      {"unknown type", type2, kPassword15, "Can not read file, unknown type of encryption."},
      {"CryptoAPI, wrong password", CryptoApiFilePass(4), u"Secret-passworD", "Invalid password"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::Stream sheet;
    sheet.rec(0x0203, test::Number(0, 0, 1));
    const test::Stream s = test::Book8().globals(0x002F, test::Body().bytes(c.filePass)).sheet("S", sheet).build();
    auto r = ReadStream(s.data(), c.password);
    EXPECT_EQ(r->error, test::Wrapped(1, 0x002F, 20 + 4 + c.filePass.size(), c.message));
  }
  // The same from real files: FILEPASS is record 1 after the 20 bytes of the BOF.
  const struct {
    const char* file;
    std::size_t end;  // of the FILEPASS body
  } files[] = {{"enc_short_rc4.xls", 78}, {"enc_prices_cryptoapi.xls", 20 + 4 + 200}, {"enc_prices_xor.xls", 30}};
  for (const auto& f : files) {
    SCOPED_TRACE(f.file);
    for (const std::u16string& password : {std::u16string(u"abd"), std::u16string(u"")}) {
      auto r = ReadWith(Fixture(f.file), password);
      EXPECT_EQ(r->error, test::Wrapped(1, 0x002F, f.end,
                                        password.empty() ? "File is encrypted. Password required." : "Invalid password"));
    }
  }
}

TEST(EncryptedReads, DefaultPasswordWithoutConfiguration) {
  // Sheet "One" holds an embedded chart whose BOF is encrypted too.
  test::Stream one;
  one.rec(0x0203, test::Number(0, 0, 1.5))
      .rec(0x005D, test::Body().zeros(8))
      .rec(0x0809, test::Bof8(0x0020))
      .rec(0x1001, test::Body().u16(0))
      .rec(0x0203, test::Number(5, 5, 99))
      .rec(0x000A)
      .rec(0x0203, test::Number(0, 1, 2.5));
  test::Stream two;
  two.rec(0x0203, test::Number(1, 1, 7));
  const test::Stream plain = test::Book8()
                                 .globals(0x002F, test::Body().bytes(kFilePassDefault))
                                 .sheet("One", one)
                                 .sheet("Two", two)
                                 .build();
  std::vector<Rec> records = Split(plain.data());
  for (Rec& r : records) r.encryptedBof = IsBof(r.id) && r.body[2] == 0x20;
  const uint8_t h1[5] = {0xBE, 0x36, 0x20, 0xF8, 0x5E};  // of "VelvetSweatshop" and the salt
  const Bytes stream = EncryptedStream(records, h1);

  auto r = ReadStream(stream, u"");
  ASSERT_EQ(r->error, "");
  ASSERT_EQ(r->wb().Sheets().Count(), 2);
  EXPECT_EQ(r->text(0, "A1"), "1.5");
  EXPECT_EQ(r->text(0, "A2"), "2.5");
  EXPECT_EQ(r->text(0, "F6"), "");
  EXPECT_EQ(r->text(1, "B2"), "7");
  EXPECT_EQ(r->wb().Sheets()[1].Name(), u"Two");

  // A configured password is the only one tried.
  auto other = ReadStream(stream, u"Other");
  EXPECT_EQ(other->error, test::Wrapped(1, 0x002F, 78, "Invalid password"));
  auto given = ReadStream(stream, kDefaultWorkbookPassword);
  EXPECT_EQ(given->error, "");
  EXPECT_EQ(given->text(1, "B2"), "7");
}

// ---- The FILEPASS handler ------------------------------------------------------------------

struct HandlerCase {
  const char* what;
  Bytes body;
  std::u16string password;
  std::function<bool(std::u16string&)> onPassword;
  const char* message;  // nullptr: decryption is on afterwards
};

std::string RunHandler(const HandlerCase& c, bool* result, bool* encrypted) {
  TXLSStream x;
  TXLSWorkbook workbook;
  workbook.Password = c.password;
  workbook.OnPassword = c.onPassword;
  std::string message;
  try {
    *result = ReadFilePass(x, c.body.data(), c.body.size(), workbook);
  } catch (const Exception& e) {
    message = e.Message();
  }
  *encrypted = x.Encrypted();
  return message;
}

TEST(FilePass, ChecksInTheirOrderWithTheirMessages) {
  const char* kFrench = "File encrypted with non-standard key. French?";
  const char* kUnknown = "Can not read file, unknown type of encryption.";
  const char* kRequired = "File is encrypted. Password required.";
  const char* kInvalid = "Invalid password";
  Bytes xorBody = {0x00, 0x00, 0x34, 0x12, 0x78, 0x56};
  Bytes type2 = kFilePass15;
  type2[0] = 2;
  Bytes biff5 = {0x01, 0x00, 0x55, 0xAA};  // BIFF5 XOR key and hash, first word 1
  // XOR obfuscation of "xor-pass" (key BCD9, verifier 928F) in the BIFF8
  // and the BIFF2-BIFF5 form (the verifier as python3-openpyxl's sheet
  // password hash gives it).
  Bytes xorGood = {0x00, 0x00, 0xD9, 0xBC, 0x8F, 0x92};
  Bytes xorGood5 = {0xD9, 0xBC, 0x8F, 0x92};
  Bytes xorWrongKey = {0x00, 0x00, 0xD8, 0xBC, 0x8F, 0x92};
  Bytes cryptoApiCut = CryptoApiFilePass(4);
  cryptoApiCut.resize(60);
  Bytes cryptoApiAes = CryptoApiFilePass(4);
  cryptoApiAes[14 + 8] = 0x0E;  // algorithm 0x660E, AES-128
  const auto give = [](std::u16string text) {
    return [text](std::u16string& password) {
      password = text;
      return true;
    };
  };

  const HandlerCase cases[] = {
      {"right password", kFilePass15, kPassword15, nullptr, nullptr},
      {"wrong password", kFilePass15, u"Secret-Passwort", nullptr, kInvalid},
      {"no password", kFilePass15, u"", nullptr, kRequired},
      {"40 characters", kFilePass31, kPassword40, nullptr, nullptr},
      {"first 30 of 31", kFilePass31, kPassword40.substr(0, 30), nullptr, kInvalid},
      {"XOR obfuscation", xorGood, u"xor-pass", nullptr, nullptr},
      {"XOR obfuscation, BIFF5 form", xorGood5, u"xor-pass", nullptr, nullptr},
      {"XOR obfuscation, wrong password", xorGood, u"xor-Pass", nullptr, kInvalid},
      {"XOR obfuscation, key does not fit", xorWrongKey, u"xor-pass", nullptr, kInvalid},
      {"XOR obfuscation, other key and verifier", xorBody, kPassword15, nullptr, kInvalid},
      {"XOR obfuscation, no password", xorBody, u"", nullptr, kRequired},
      {"XOR obfuscation cut short", {0x00, 0x00, 0xD9}, u"xor-pass", nullptr, kFrench},
      {"unknown type", type2, kPassword15, nullptr, kUnknown},
      {"type word missing", {0x01}, kPassword15, nullptr, kUnknown},
      {"BIFF5 XOR key 1", biff5, kPassword15, nullptr, kInvalid},
      {"BIFF5 XOR key 1, no password", biff5, u"", nullptr, kRequired},
      {"CryptoAPI 2.2, right password", CryptoApiFilePass(2), kPassword15, nullptr, nullptr},
      {"CryptoAPI 3.2, right password", CryptoApiFilePass(3), kPassword15, nullptr, nullptr},
      {"CryptoAPI 4.2, right password", CryptoApiFilePass(4), kPassword15, nullptr, nullptr},
      {"CryptoAPI, wrong password", CryptoApiFilePass(4), u"Secret-Passwore", nullptr, kInvalid},
      {"CryptoAPI, header cut short", cryptoApiCut, kPassword15, nullptr, kUnknown},
      {"CryptoAPI, AES named", cryptoApiAes, kPassword15, nullptr, kUnknown},
      {"CryptoAPI, no password", CryptoApiFilePass(4), u"", nullptr, kRequired},
      {"default password, none configured", kFilePassDefault, u"", nullptr, nullptr},
      {"default password, another configured", kFilePassDefault, kPassword15, nullptr, kInvalid},
      {"default password, configured", kFilePassDefault, kDefaultWorkbookPassword, nullptr, nullptr},
      {"OnPassword gives it", kFilePass15, u"", give(kPassword15), nullptr},
      {"OnPassword replaces a wrong one", kFilePass15, u"wrong", give(kPassword15), nullptr},
      {"OnPassword gives none", kFilePass15, kPassword15, give(u""), "Password is missing."},
      {"OnPassword and the default password", kFilePassDefault, u"", give(u""), "Password is missing."},
  };
  for (const HandlerCase& c : cases) {
    SCOPED_TRACE(c.what);
    bool result = false;
    bool encrypted = false;
    const std::string message = RunHandler(c, &result, &encrypted);
    EXPECT_EQ(message, c.message ? c.message : "");
    EXPECT_EQ(result, c.message == nullptr);
    EXPECT_EQ(encrypted, c.message == nullptr);
  }
}

TEST(FilePass, AbortAfterOnPasswordEndsQuietly) {
  TXLSStream x;
  TXLSWorkbook workbook;
  std::u16string asked;
  workbook.OnPassword = [&](std::u16string& password) {
    asked = password;
    workbook.Abort = true;
    return false;
  };
  workbook.Password = u"given";
  EXPECT_FALSE(ReadFilePass(x, kFilePass15.data(), kFilePass15.size(), workbook));
  EXPECT_EQ(asked, u"given");
  EXPECT_FALSE(x.Encrypted());
}

}  // namespace
}  // namespace tabulon
