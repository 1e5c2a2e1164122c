// Encrypted Open XML packages through the component and the loader: the
// fixtures with their passwords, the failure messages, damaged and
// unknown encryption descriptions, and the kept derived key.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "biff/cfb_writer.h"
#include "biff/compound_file.h"
#include "loader/loader.h"
#include "ooxml/encrypted_package.h"
#include "platform/error.h"
#include "platform/platform.h"
#include "support/temp_dir.h"
#include "workbook/workbook.h"

namespace tabulon {
namespace {

using Bytes = std::vector<uint8_t>;

std::u16string Fixture(const char* file) { return platform::HostToWide(std::string(TABULON_FIXTURES "/") + file); }

struct Streams {
  Bytes info;
  Bytes package;
};

Streams StreamsOf(const char* fixture) {
  std::unique_ptr<TCompoundFile> document = TCompoundFile::OpenFile(Fixture(fixture));
  const auto read = [&](const char16_t* name) {
    std::unique_ptr<TCompoundStream> stream = document->OpenStream(std::u16string_view(name));
    Bytes bytes(static_cast<std::size_t>(stream->Size()));
    stream->Read(bytes.data(), bytes.size());
    return bytes;
  };
  return {read(u"EncryptionInfo"), read(u"EncryptedPackage")};
}

class EncryptedPackage : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = test::MakeTempDirectory("tabulon-encrypted");
    test::UseAsTempDirectory(dir_);
  }
  void TearDown() override {
    workbook_.reset();
    std::error_code error;
    std::filesystem::remove_all(dir_, error);
  }
  TXLSWorkbook& Workbook() {
    if (!workbook_) {
      workbook_ = std::make_unique<TXLSWorkbook>(&loader_);
      workbook_->TempFileMode = tfmInMemory;
    }
    return *workbook_;
  }
  // Reads a file; the failure's message, or "" with the model filled.
  std::string Read(const std::u16string& file, const std::u16string& password) {
    Workbook().Filename = file;
    Workbook().Password = password;
    try {
      Workbook().Read();
    } catch (const Exception& e) {
      return e.Message();
    }
    return "";
  }
  std::u16string Write(const Streams& streams) {
    test::CfbWriter writer;
    writer.AddStream(u"EncryptionInfo", streams.info);
    writer.AddStream(u"EncryptedPackage", streams.package);
    const Bytes bytes = writer.Build();
    const std::filesystem::path path = dir_ / "secret.xlsx";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
    return platform::HostToWide(path.string());
  }
  std::u16string Text(int sheet, int col, int row) { return Workbook().Sheets()[sheet].GetCellText(col, row); }

  TWorkbookLoader loader_;
  std::unique_ptr<TXLSWorkbook> workbook_;
  std::filesystem::path dir_;
};

TEST_F(EncryptedPackage, FixturesAnswerWithTheirPasswordsOnly) {
  const char* kRequired = "File is encrypted. Password required.";
  const struct {
    const char* file;
    std::u16string password;
    const char* message;  // "": read
  } cases[] = {
      {"enc_prices_standard.xlsx", u"Standard-2007", ""},
      {"enc_prices_standard.xlsx", u"standard-2007", "Invalid password"},
      {"enc_prices_standard.xlsx", u"", kRequired},
      {"enc_prices_agile.xlsx", u"Agile-Pa55", ""},
      {"enc_prices_agile.xlsx", u"Agile-Pa5", "Invalid password"},
      {"enc_prices_agile.xlsx", u"", kRequired},
      {"enc_prices_agile_sha1.xlsx", u"", ""},  // the default password
      {"enc_prices_agile_sha1.xlsx", kDefaultWorkbookPassword, ""},
      {"enc_prices_agile_sha1.xlsx", u"other", "Invalid password"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.file) + " " + platform::WideToHost(c.password));
    EXPECT_EQ(Read(Fixture(c.file), c.password), c.message);
    if (*c.message != 0) continue;
    EXPECT_EQ(Workbook().Version(), xvExcel2007);
    ASSERT_EQ(Workbook().Sheets().Count(), 2);
    EXPECT_EQ(Text(0, 0, 1), u"Apple");
    EXPECT_EQ(Text(0, 1, 3), u"10");
    EXPECT_EQ(Text(1, 0, 0), u"Z\u00FCrich");
  }
  // OnPassword gives the password, or ends the read quietly.
  Workbook().OnPassword = [](std::u16string& password) {
    password = u"Agile-Pa55";
    return true;
  };
  EXPECT_EQ(Read(Fixture("enc_prices_agile.xlsx"), u""), "");
  EXPECT_EQ(Text(1, 0, 0), u"Z\u00FCrich");
  Workbook().OnPassword = [this](std::u16string&) {
    Workbook().Abort = true;
    return false;
  };
  EXPECT_EQ(Read(Fixture("enc_prices_agile.xlsx"), u""), "");
  ASSERT_EQ(Workbook().Sheets().Count(), 1);
  EXPECT_EQ(Text(0, 0, 1), u"");
}

TEST_F(EncryptedPackage, DamagedAndUnknownEncryptionAreRefused) {
  const char* kDamaged = "The encrypted package is damaged";
  const char* kUnknown = "Can not read file, unknown type of encryption.";
  const auto replace = [](Bytes& bytes, const std::string& from, const std::string& to) {
    const std::string text(bytes.begin(), bytes.end());
    const std::size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                bytes.begin() + static_cast<std::ptrdiff_t>(at + from.size()));
    bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), to.begin(), to.end());
  };
  const struct {
    const char* what;
    const char* file;
    std::u16string password;
    std::function<void(Streams&)> change;
    const char* message;
  } cases[] = {
      {"a byte of the agile package changed", "enc_prices_agile.xlsx", u"Agile-Pa55",
       [](Streams& s) { s.package[100] ^= 1; }, kDamaged},
      {"the agile package's size field changed", "enc_prices_agile.xlsx", u"Agile-Pa55",
       [](Streams& s) { s.package[0] ^= 1; }, kDamaged},
      {"agile package cut short", "enc_prices_agile_sha1.xlsx", u"",
       [](Streams& s) { s.package.resize(s.package.size() - 40); }, kDamaged},
      {"standard package cut short", "enc_prices_standard.xlsx", u"Standard-2007",
       [](Streams& s) { s.package.resize(s.package.size() - 40); }, kDamaged},
      {"standard package without size", "enc_prices_standard.xlsx", u"Standard-2007",
       [](Streams& s) { s.package.resize(7); }, kDamaged},
      {"extensible encryption (3.3)", "enc_prices_standard.xlsx", u"Standard-2007",
       [](Streams& s) { s.info[2] = 3; }, kUnknown},
      {"standard with RC4 named", "enc_prices_standard.xlsx", u"Standard-2007",
       [](Streams& s) { s.info[12 + 8] = 0x01, s.info[12 + 9] = 0x68; }, kUnknown},
      {"standard header cut short", "enc_prices_standard.xlsx", u"Standard-2007",
       [](Streams& s) { s.info.resize(60); }, kUnknown},
      {"agile with DES", "enc_prices_agile.xlsx", u"Agile-Pa55",
       [&](Streams& s) { replace(s.info, "cipherAlgorithm=\"AES\"", "cipherAlgorithm=\"DES\""); }, kUnknown},
      {"agile with MD5", "enc_prices_agile.xlsx", u"Agile-Pa55",
       [&](Streams& s) { replace(s.info, "hashAlgorithm=\"SHA512\"", "hashAlgorithm=\"MD5\""); }, kUnknown},
      {"agile spinning too long", "enc_prices_agile.xlsx", u"Agile-Pa55",
       [&](Streams& s) { replace(s.info, "spinCount=\"100000\"", "spinCount=\"10000001\""); }, kUnknown},
      {"agile without password key encryptor", "enc_prices_agile.xlsx", u"Agile-Pa55",
       [&](Streams& s) { replace(s.info, "encryptedVerifierHashInput=", "encryptedVerifierHashInpuX="); }, kUnknown},
      {"agile descriptor cut short", "enc_prices_agile.xlsx", u"Agile-Pa55",
       [](Streams& s) { s.info.resize(200); }, kUnknown},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Streams streams = StreamsOf(c.file);
    c.change(streams);
    EXPECT_EQ(Read(Write(streams), c.password), c.message);
    ASSERT_GE(Workbook().Sheets().Count(), 1);
  }
  // A compound file with only one of the two streams is no workbook.
  test::CfbWriter writer;
  writer.AddStream(u"EncryptionInfo", StreamsOf("enc_prices_agile.xlsx").info);
  const Bytes bytes = writer.Build();
  const std::filesystem::path path = dir_ / "half.xlsx";
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
  EXPECT_EQ(Read(platform::HostToWide(path.string()), u"Agile-Pa55"), "The file is not an Excel workbook");
}

TEST_F(EncryptedPackage, TheDerivedKeyIsKeptForTheNextRead) {
  ASSERT_EQ(Read(Fixture("enc_prices_agile.xlsx"), u"Agile-Pa55"), "");
  // The kept entry is the one for this password, salt and spin count (the
  // password key encryptor's salt is 70..7F); a wrong key kept in its place
  // is used as it is, so the same password no longer fits.
  Bytes salt;
  for (int i = 0x70; i < 0x80; ++i) salt.push_back(static_cast<uint8_t>(i));
  TDerivedKeyCache& cache = Workbook().DerivedKeys();
  int algorithm = -1;
  for (int tag = 0; tag < 64 && algorithm < 0; ++tag)
    if (cache.Find(u"Agile-Pa55", salt, 100000, tag) != nullptr) algorithm = tag;
  ASSERT_GE(algorithm, 0);
  EXPECT_EQ(cache.Find(u"Agile-Pa55", salt, 100000, algorithm)->size(), 64u);  // SHA-512
  EXPECT_EQ(cache.Find(u"Agile-Pa5", salt, 100000, algorithm), nullptr);
  EXPECT_EQ(cache.Find(u"Agile-Pa55", salt, 99999, algorithm), nullptr);

  EXPECT_EQ(Read(Fixture("enc_prices_agile.xlsx"), u"Agile-Pa55"), "");
  cache.Keep(u"Agile-Pa55", salt, 100000, algorithm, Bytes(64, 0));
  EXPECT_EQ(Read(Fixture("enc_prices_agile.xlsx"), u"Agile-Pa55"), "Invalid password");
  // Another workbook's derivation takes the place of the kept one.
  EXPECT_EQ(Read(Fixture("enc_prices_standard.xlsx"), u"Standard-2007"), "");
  EXPECT_EQ(cache.Find(u"Agile-Pa55", salt, 100000, algorithm), nullptr);
  EXPECT_EQ(Read(Fixture("enc_prices_agile.xlsx"), u"Agile-Pa55"), "");
}

}  // namespace
}  // namespace tabulon
