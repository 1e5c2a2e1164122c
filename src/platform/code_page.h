// 8-bit texts in a code page named by number, as the CODEPAGE record of a
// legacy workbook names it. The same bytes give the same text in every
// build: the single-byte code pages are tables of this library's own, and
// the double-byte ones (932, 936, 949, 950) are split into characters here
// and only their two-byte characters are looked up by the system's converter
// (glibc iconv, MultiByteToWideChar), whose tables agree for these pages.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace tabulon::platform {

// Appends one character (a code point up to U+10FFFF) in UTF-8.
void AppendUtf8(std::string& out, uint32_t code);

class TCodePageConverter {
 public:
  // A converter for `codePage`; Supported() tells whether it knows the page:
  // 367 (ASCII), 437, 737, 775, 850, 852, 855, 857, 858, 860-866, 869, 874,
  // 932, 936, 949, 950, 1250-1258, 10000, 10006, 10007, 10029, 10079, 10081,
  // 32768 (Mac Roman) and 32769 (Windows 1252).
  explicit TCodePageConverter(uint16_t codePage);
  ~TCodePageConverter();
  TCodePageConverter(const TCodePageConverter&) = delete;
  TCodePageConverter& operator=(const TCodePageConverter&) = delete;

  uint16_t CodePage() const { return codePage_; }
  bool Supported() const { return ascii_ || table_ != nullptr || system_ != nullptr; }

  // Converts `bytes` into `out` (reusing its capacity). A byte the code page
  // leaves undefined becomes U+0080..U+009F (its own value) below 0xA0 and
  // U+FFFD above; so does a double-byte character that the page lacks, or a
  // lead byte without its second byte. Bytes of an unsupported page are
  // widened to U+0000..U+00FF.
  void ToWide(std::string_view bytes, std::u16string& out) const;

  // The system's converter of a double-byte code page: converts a text made
  // only of two-byte characters, or fails (false) when one of them is not
  // defined. One implementation per platform.
  class TSystemConverter;

 private:
  void DoubleByteToWide(std::string_view bytes, std::u16string& out) const;

  uint16_t codePage_;
  bool ascii_ = false;
  const char16_t* table_ = nullptr;  // the characters of the bytes 0x80..0xFF
  std::unique_ptr<TSystemConverter> system_;
};

class TCodePageConverter::TSystemConverter {
 public:
  // Null when the system cannot convert the code page.
  static std::unique_ptr<TSystemConverter> Open(uint16_t codePage);
  ~TSystemConverter();
  TSystemConverter(const TSystemConverter&) = delete;
  TSystemConverter& operator=(const TSystemConverter&) = delete;
  // Appends the UTF-16 text of `pairs` to `out`; false (and `out` as it was)
  // when a character is not defined.
  bool Convert(std::string_view pairs, std::u16string& out) const;

 private:
  TSystemConverter() = default;
  void* handle_ = nullptr;  // the iconv descriptor on Linux
  uint16_t codePage_ = 0;
};

}  // namespace tabulon::platform
