// Encrypted legacy workbooks (RC4, its CryptoAPI variant, XOR obfuscation)
// through the loaded plug-in, with the password in the configuration: every
// cell answers what the unencrypted twin answers.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "plugin/plugin_host.h"

namespace tabulon::test {
namespace {

// The configuration of Config(file), with a password attribute on data
// unless it is null.
std::string ConfigWithPassword(const std::string& file, const char* password) {
  std::string config = TPluginHost::Config(file);
  if (password != nullptr) {
    const std::string data = "<data file=\"" + file + "\"";
    config.replace(config.find(data), data.size(), data + " password=\"" + password + "\"");
  }
  return config;
}

std::string Answer(const std::string& file, const char* password, const std::string& request) {
  TPluginHost host(ConfigWithPassword(file, password));
  host.CopyFile(std::string(TABULON_FIXTURES) + "/" + file, file);
  host.Start();
  return host.MultiRequest(request).value_or("(null)");
}

TEST(EncryptedFiles, AnswerAsTheirUnencryptedTwins) {
  const struct {
    const char* file;
    const char* twin;
    const char* password;
    const char* first;   // the block asked of sheet 1
    const char* second;  // and of sheet 2
    const char* someText;
  } cases[] = {
      {"enc_short_rc4.xls", "enc_prices_plain.xls", "abc", "D5", "B3", "Zürich"},
      {"enc_long15_rc4.xls", "enc_prices_plain.xls", "LongPassword-15", "D5", "B3", "Apple"},
      {"enc_large_rc4.xls", "enc_large_plain.xls", "L4rge!Workbook#", "E400", "C60", "Second 59 é€"},
      {"enc_chart_rc4.xls", "enc_chart_plain.xls", "chart", "E20", "B2", "after the chart"},
      {"enc_prices_cryptoapi.xls", "enc_prices_plain.xls", "Strong-Provider-2003", "D5", "B3", "Zürich"},
      {"enc_large_cryptoapi40.xls", "enc_large_plain.xls", "L4rge!Workbook#", "E400", "C60", "Second 59 é€"},
      {"enc_prices_xor.xls", "enc_prices_plain.xls", "xor-pass", "D5", "B3", "Zürich"},
      // Encrypted with the default password: none configured.
      {"enc_large_xor.xls", "enc_large_plain.xls", nullptr, "E400", "C60", "Second 59 é€"},
      {"enc_prices_biff5_xor.xls", "prices_biff5_gnumeric.xls", "Excel95", "D5", "B3", "Zürich"},
      // Encrypted Open XML packages.
      {"enc_prices_standard.xlsx", "enc_prices_plain.xlsx", "Standard-2007", "D5", "B3", "Zürich"},
      {"enc_prices_agile.xlsx", "enc_prices_plain.xlsx", "Agile-Pa55", "D5", "B3", "Zürich"},
      {"enc_prices_agile_sha1.xlsx", "enc_prices_plain.xlsx", nullptr, "D5", "B3", "Zürich"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    std::string all;
    for (const auto& [sheet, last] : {std::pair{"1", c.first}, std::pair{"2", c.second}}) {
      const std::string request =
          std::string("<range><r sheet=\"") + sheet + "\" cellMin=\"A1\" cellMax=\"" + last + "\"/></range>";
      const std::string answer = Answer(c.file, c.password, request);
      EXPECT_EQ(answer.rfind("<result state=\"ok\">", 0), 0u) << answer.substr(0, 200);
      EXPECT_EQ(answer, Answer(c.twin, nullptr, request));
      all += answer;
    }
    EXPECT_NE(all.find(c.someText), std::string::npos);
  }
}

TEST(EncryptedFiles, WithoutTheRightPasswordTheAnswerIsTheError) {
  const std::string request = R"(<range><r sheet="1" cellMin="A1" cellMax="A1"/></range>)";
  const struct {
    const char* password;
    const char* message;
  } cases[] = {
      {nullptr, "File is encrypted. Password required."},
      {"", "File is encrypted. Password required."},
      {"ABC", "Invalid password"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.password ? c.password : "(none)");
    const std::string answer = Answer("enc_short_rc4.xls", c.password, request);
    EXPECT_EQ(answer.rfind("<result state=\"error\"><error>Error on reading record # 1, 002F Offs: 0000004E", 0), 0u)
        << answer;
    EXPECT_NE(answer.find(c.message), std::string::npos) << answer;
    // An encrypted package answers the message alone.
    EXPECT_EQ(Answer("enc_prices_agile.xlsx", c.password, request),
              std::string("<result state=\"error\"><error>") + c.message + "</error></result>");
  }
}

}  // namespace
}  // namespace tabulon::test
