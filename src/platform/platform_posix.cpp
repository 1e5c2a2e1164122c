// The platform layer on Linux and other POSIX systems.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <wctype.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "platform/code_page.h"
#include "platform/error.h"
#include "platform/platform.h"
#include "platform/stream.h"

namespace tabulon::platform {

const char16_t kPathSeparator = u'/';

char* AllocHostBlock(std::size_t size) noexcept {
  return static_cast<char*>(std::calloc(size == 0 ? 1 : size, 1));
}

void FreeHostBlock(char* block) noexcept { std::free(block); }

void SleepMs(uint32_t milliseconds) {
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
  // Fuzz builds do not wait: a pause per requested cell would read as a hang.
  (void)milliseconds;
#else
  timespec request{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&request, &request) != 0 && errno == EINTR) {
  }
#endif
}

uint32_t TickCount() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

std::u16string TempDirectory() {
  const char* dir = std::getenv("TMPDIR");
  std::string path = (dir != nullptr && *dir != '\0') ? dir : "/tmp/";
  if (path.back() != '/') path.push_back('/');
  return HostToWide(path);
}

std::u16string ModuleFileName() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&ModuleFileName), &info) == 0 || info.dli_fname == nullptr) return {};
  char resolved[PATH_MAX];
  if (realpath(info.dli_fname, resolved) != nullptr) return HostToWide(resolved);
  return HostToWide(info.dli_fname);
}

bool FileExists(const std::u16string& name) {
  if (name.empty()) return false;
  struct stat st {};
  return stat(WideToHost(name).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::vector<std::u16string> ListDirectory(const std::u16string& directory) {
  std::vector<std::u16string> names;
  DIR* dir = opendir(WideToHost(directory).c_str());
  if (dir == nullptr) return names;
  while (dirent* entry = readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    names.push_back(HostToWide(entry->d_name));
  }
  closedir(dir);
  return names;
}

bool DeleteFile(const std::u16string& name) { return unlink(WideToHost(name).c_str()) == 0; }

std::string LastErrorText() { return std::strerror(errno); }

// ---- Host text: UTF-8. Bytes that are not UTF-8 travel as the lone
// surrogates U+DC80..U+DCFF and come back as the same bytes.

std::u16string HostToWide(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char c = p[i];
    if (c < 0x80) {
      out.push_back(c);
      ++i;
      continue;
    }
    int length = 0;
    uint32_t code = 0;
    uint32_t minimum = 0;
    if ((c & 0xE0) == 0xC0) { length = 2; code = c & 0x1F; minimum = 0x80; }
    else if ((c & 0xF0) == 0xE0) { length = 3; code = c & 0x0F; minimum = 0x800; }
    else if ((c & 0xF8) == 0xF0) { length = 4; code = c & 0x07; minimum = 0x10000; }
    bool valid = length != 0 && i + static_cast<std::size_t>(length) <= n;
    for (int k = 1; valid && k < length; ++k) {
      const unsigned char cc = p[i + static_cast<std::size_t>(k)];
      if ((cc & 0xC0) != 0x80) valid = false;
      code = (code << 6) | (cc & 0x3F);
    }
    if (valid && (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))) valid = false;
    if (!valid) {
      out.push_back(static_cast<char16_t>(0xDC00 + c));
      ++i;
      continue;
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
    i += static_cast<std::size_t>(length);
  }
  return out;
}

std::string WideToHost(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    uint32_t code = text[i];
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00u);
      ++i;
    } else if (code >= 0xDC80 && code <= 0xDCFF) {
      out.push_back(static_cast<char>(code - 0xDC00));
      continue;
    }
    AppendUtf8(out, code);
  }
  return out;
}

// ---- ANSI code page: Windows-1252.

namespace {

// Code points of the bytes 0x80..0x9F; the five bytes that Windows-1252
// leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) keep their C1 code point.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

unsigned char WideCharToAnsi(char16_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<unsigned char>(c);
  for (std::size_t i = 0; i < kCp1252High.size(); ++i)
    if (kCp1252High[i] == c) return static_cast<unsigned char>(0x80 + i);
  return '?';
}

// Letters of Windows-1252 by the Unicode classification of their characters.
bool AnsiLetter(unsigned char c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) return true;
  switch (c) {
    case 0x83: case 0x8A: case 0x8C: case 0x8E: case 0x9A: case 0x9C: case 0x9E: case 0x9F:
    case 0xAA: case 0xB5: case 0xBA:
      return true;
    default:
      break;
  }
  return c >= 0xC0 && c != 0xD7 && c != 0xF7;
}

// Made at first use and freed when the library is unloaded (a host that
// loads and unloads the plug-in again and again must not lose it each time).
class TUtf8Locale {
 public:
  TUtf8Locale() {
    locale_ = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    if (locale_ == static_cast<locale_t>(0)) locale_ = newlocale(LC_CTYPE_MASK, "C.utf8", static_cast<locale_t>(0));
  }
  ~TUtf8Locale() {
    if (locale_ != static_cast<locale_t>(0)) freelocale(locale_);
  }
  TUtf8Locale(const TUtf8Locale&) = delete;
  TUtf8Locale& operator=(const TUtf8Locale&) = delete;
  locale_t Get() const { return locale_; }

 private:
  locale_t locale_;
};

locale_t Utf8Locale() {
  static const TUtf8Locale locale;
  return locale.Get();
}

char16_t UpperChar(char16_t c) {
  if (c < 0x80) return (c >= 'a' && c <= 'z') ? static_cast<char16_t>(c - 32) : c;
  if (c >= 0xD800 && c <= 0xDFFF) return c;
  const locale_t l = Utf8Locale();
  if (l == static_cast<locale_t>(0)) return c;
  const wint_t u = towupper_l(static_cast<wint_t>(c), l);
  return u <= 0xFFFF ? static_cast<char16_t>(u) : c;
}

char16_t LowerChar(char16_t c) {
  if (c < 0x80) return (c >= 'A' && c <= 'Z') ? static_cast<char16_t>(c + 32) : c;
  if (c >= 0xD800 && c <= 0xDFFF) return c;
  const locale_t l = Utf8Locale();
  if (l == static_cast<locale_t>(0)) return c;
  const wint_t u = towlower_l(static_cast<wint_t>(c), l);
  return u <= 0xFFFF ? static_cast<char16_t>(u) : c;
}

struct NumericLocale {
  char16_t decimal = u'.';
  std::string decimal_utf8 = ".";
  std::string thousands_utf8;
};

const NumericLocale& ProcessNumericLocale() {
  static const NumericLocale numeric = [] {
    NumericLocale n;
    locale_t l = newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(0));
    if (l == static_cast<locale_t>(0)) return n;
    const char* radix = nl_langinfo_l(RADIXCHAR, l);
    if (radix != nullptr && *radix != '\0') {
      const std::u16string wide = HostToWide(radix);
      if (wide.size() == 1) {
        n.decimal = wide[0];
        n.decimal_utf8 = radix;
      }
    }
    const char* group = nl_langinfo_l(THOUSEP, l);
    if (group != nullptr) n.thousands_utf8 = group;
    freelocale(l);
    return n;
  }();
  return numeric;
}

}  // namespace

char16_t AnsiCharToWide(unsigned char c) {
  return (c >= 0x80 && c < 0xA0) ? kCp1252High[c - 0x80] : static_cast<char16_t>(c);
}

std::u16string AnsiToWide(std::string_view text) {
  std::u16string out(text.size(), u'\0');
  for (std::size_t i = 0; i < text.size(); ++i) out[i] = AnsiCharToWide(static_cast<unsigned char>(text[i]));
  return out;
}

std::string WideToAnsi(std::u16string_view text) {
  std::string out(text.size(), '\0');
  for (std::size_t i = 0; i < text.size(); ++i) out[i] = static_cast<char>(WideCharToAnsi(text[i]));
  return out;
}

bool IsAnsiAlpha(unsigned char c) { return AnsiLetter(c); }
bool IsAnsiAlphaNumeric(unsigned char c) { return AnsiLetter(c) || (c >= '0' && c <= '9'); }

std::u16string WideUpper(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& c : out) c = UpperChar(c);
  return out;
}

std::u16string WideLower(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& c : out) c = LowerChar(c);
  return out;
}

int WideCompareText(std::u16string_view a, std::u16string_view b) {
  const std::size_t n = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < n; ++i) {
    const char16_t x = UpperChar(a[i]);
    const char16_t y = UpperChar(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

char16_t DecimalSymbol() { return ProcessNumericLocale().decimal; }

IntConversion LocaleTextToInt32(std::string_view text, int32_t& value) {
  const NumericLocale& numeric = ProcessNumericLocale();
  std::size_t i = 0;
  const std::size_t n = text.size();
  auto is_blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; };
  auto starts_with = [&](std::size_t at, const std::string& token) {
    return !token.empty() && text.compare(at, token.size(), token) == 0;
  };
  while (i < n && is_blank(text[i])) ++i;
  bool negative = false;
  if (i < n && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  long double number = 0;
  bool digits = false;
  while (i < n) {
    if (text[i] >= '0' && text[i] <= '9') {
      number = number * 10 + (text[i] - '0');
      digits = true;
      ++i;
    } else if (digits && starts_with(i, numeric.thousands_utf8)) {
      i += numeric.thousands_utf8.size();
    } else {
      break;
    }
  }
  if (starts_with(i, numeric.decimal_utf8)) {
    i += numeric.decimal_utf8.size();
    long double scale = 0.1L;
    while (i < n && text[i] >= '0' && text[i] <= '9') {
      number += (text[i] - '0') * scale;
      scale /= 10;
      digits = true;
      ++i;
    }
  }
  if (!digits) return IntConversion::kTypeMismatch;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    std::size_t j = i + 1;
    bool exponent_negative = false;
    if (j < n && (text[j] == '+' || text[j] == '-')) {
      exponent_negative = text[j] == '-';
      ++j;
    }
    if (j < n && text[j] >= '0' && text[j] <= '9') {
      int exponent = 0;
      while (j < n && text[j] >= '0' && text[j] <= '9') {
        if (exponent < 10000) exponent = exponent * 10 + (text[j] - '0');
        ++j;
      }
      // Zero stays zero: times the infinite power of a huge exponent it
      // would be no number at all.
      if (number != 0) number *= std::pow(10.0L, exponent_negative ? -exponent : exponent);
      i = j;
    }
  }
  while (i < n && is_blank(text[i])) ++i;
  if (i != n) return IntConversion::kTypeMismatch;
  // Round half to even, as the system's variant conversion does.
  const long double whole = std::floor(number);
  const long double fraction = number - whole;
  long double rounded = whole;
  if (fraction > 0.5L || (fraction == 0.5L && std::fmod(whole, 2.0L) != 0)) rounded = whole + 1;
  if (negative) rounded = -rounded;
  if (!(rounded >= static_cast<long double>(INT32_MIN) && rounded <= static_cast<long double>(INT32_MAX)))
    return IntConversion::kOverflow;
  value = static_cast<int32_t>(rounded);
  return IntConversion::kOk;
}

// ---- Double-byte code pages: glibc's iconv.

std::unique_ptr<TCodePageConverter::TSystemConverter> TCodePageConverter::TSystemConverter::Open(uint16_t codePage) {
  const std::string name = "CP" + std::to_string(codePage);
  const iconv_t handle = iconv_open("UTF-16LE", name.c_str());
  if (handle == reinterpret_cast<iconv_t>(-1)) return nullptr;
  std::unique_ptr<TSystemConverter> converter(new TSystemConverter());
  converter->handle_ = handle;
  converter->codePage_ = codePage;
  return converter;
}

TCodePageConverter::TSystemConverter::~TSystemConverter() {
  if (handle_ != nullptr) iconv_close(static_cast<iconv_t>(handle_));
}

bool TCodePageConverter::TSystemConverter::Convert(std::string_view pairs, std::u16string& out) const {
  const auto handle = static_cast<iconv_t>(handle_);
  iconv(handle, nullptr, nullptr, nullptr, nullptr);
  // A two-byte character gives at most a surrogate pair.
  std::u16string converted(pairs.size(), u'\0');
  char* in = const_cast<char*>(pairs.data());
  std::size_t inLeft = pairs.size();
  char* to = reinterpret_cast<char*>(converted.data());
  std::size_t toLeft = converted.size() * sizeof(char16_t);
  if (iconv(handle, &in, &inLeft, &to, &toLeft) == static_cast<std::size_t>(-1) || inLeft != 0) return false;
  converted.resize(converted.size() - toLeft / sizeof(char16_t));
  out += converted;
  return true;
}

}  // namespace tabulon::platform

namespace tabulon {

TFileStream::~TFileStream() {
  if (handle_ >= 0) close(static_cast<int>(handle_));
}

std::unique_ptr<TFileStream> TFileStream::OpenRead(const std::u16string& name) {
  const std::string host = platform::WideToHost(name);
  int fd = -1;
  do {
    fd = open(host.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    throw Exception(Format("Cannot open file \"%s\". %s", host.c_str(), platform::LastErrorText().c_str()));
  }
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    close(fd);
    throw Exception(Format("Cannot open file \"%s\". %s", host.c_str(), std::strerror(EISDIR)));
  }
  return std::unique_ptr<TFileStream>(new TFileStream(fd, name));
}

std::unique_ptr<TFileStream> TFileStream::CreateExclusive(const std::u16string& name) {
  const int fd = open(platform::WideToHost(name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  return std::unique_ptr<TFileStream>(new TFileStream(fd, name));
}

std::size_t TFileStream::Read(void* buffer, std::size_t count) {
  std::size_t done = 0;
  auto* out = static_cast<char*>(buffer);
  while (done < count) {
    const ssize_t n = read(static_cast<int>(handle_), out + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

std::size_t TFileStream::Write(const void* buffer, std::size_t count) {
  std::size_t done = 0;
  const auto* in = static_cast<const char*>(buffer);
  while (done < count) {
    const ssize_t n = write(static_cast<int>(handle_), in + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

int64_t TFileStream::Seek(int64_t offset, SeekOrigin origin) {
  const int whence = origin == SeekOrigin::kBegin ? SEEK_SET : origin == SeekOrigin::kCurrent ? SEEK_CUR : SEEK_END;
  const off_t result = lseek(static_cast<int>(handle_), static_cast<off_t>(offset), whence);
  return result < 0 ? -1 : static_cast<int64_t>(result);
}

int64_t TFileStream::Size() {
  struct stat st {};
  if (fstat(static_cast<int>(handle_), &st) != 0) return 0;
  return static_cast<int64_t>(st.st_size);
}

}  // namespace tabulon
