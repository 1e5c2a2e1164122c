// The platform layer on Windows, over the Win32 API. Host text is the ANSI
// code page here, so host text and ANSI text are the same conversion.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <oleauto.h>
// windows.h maps DeleteFile to DeleteFileW; this file defines the platform's own.
#undef DeleteFile

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>

#include "platform/code_page.h"
#include "platform/error.h"
#include "platform/platform.h"
#include "platform/stream.h"

// The image base of the module this code is linked into (the DLL when the
// plug-in is loaded, the program otherwise); supplied by the linker.
extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace tabulon::platform {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wchar_t expected on Windows");

namespace {

const wchar_t* Wide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

std::u16string FromWide(const wchar_t* text, std::size_t length) {
  return std::u16string(reinterpret_cast<const char16_t*>(text), length);
}

int CheckedLength(std::size_t length) {
  if (length > static_cast<std::size_t>(INT_MAX)) Throw("Out of memory");
  return static_cast<int>(length);
}

std::u16string CodePageToWide(std::string_view text) {
  if (text.empty()) return {};
  const int length = CheckedLength(text.size());
  const int needed = MultiByteToWideChar(CP_ACP, 0, text.data(), length, nullptr, 0);
  if (needed <= 0) return {};
  std::u16string out(static_cast<std::size_t>(needed), u'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), length, reinterpret_cast<wchar_t*>(out.data()), needed);
  return out;
}

std::string WideToCodePage(std::u16string_view text) {
  if (text.empty()) return {};
  const int length = CheckedLength(text.size());
  const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
  // No best-fit mapping: a character the code page lacks becomes '?', never
  // a look-alike (a full-width quote must not turn into a real one).
  const int needed = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, length, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return {};
  std::string out(static_cast<std::size_t>(needed), '\0');
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, length, out.data(), needed, nullptr, nullptr);
  return out;
}

// Per-byte facts of the ANSI code page, taken once from the system: the
// readers and the XML parser ask them for every byte.
struct AnsiTables {
  bool single_byte = true;
  std::array<char16_t, 256> wide{};
  std::array<bool, 256> alpha{};
  std::array<bool, 256> alpha_numeric{};
};

const AnsiTables& Ansi() {
  static const AnsiTables tables = [] {
    AnsiTables t;
    CPINFO info{};
    t.single_byte = !GetCPInfo(CP_ACP, &info) || info.MaxCharSize == 1;
    for (int b = 0; b < 256; ++b) {
      const char byte = static_cast<char>(b);
      wchar_t c = static_cast<wchar_t>(b);
      if (b != 0 && MultiByteToWideChar(CP_ACP, 0, &byte, 1, &c, 1) != 1) c = static_cast<wchar_t>(b);
      t.wide[static_cast<std::size_t>(b)] = static_cast<char16_t>(c);
      t.alpha[static_cast<std::size_t>(b)] = IsCharAlphaA(byte) != FALSE;
      t.alpha_numeric[static_cast<std::size_t>(b)] = IsCharAlphaNumericA(byte) != FALSE;
    }
    return t;
  }();
  return tables;
}

char16_t ReadDecimalSymbol() {
  wchar_t buffer[8] = {};
  if (GetLocaleInfoW(GetThreadLocale(), LOCALE_SDECIMAL, buffer, 8) > 1 && buffer[0] != L'\0')
    return static_cast<char16_t>(buffer[0]);
  return u'.';
}

}  // namespace

const char16_t kPathSeparator = u'\\';

// GMEM_MOVEABLE | GMEM_ZEROINIT, locked once for its address. The lock is
// released at once: a block that is never reallocated keeps its address,
// and the host receives it unlocked, to free with GlobalFree(GlobalHandle(p)).
char* AllocHostBlock(std::size_t size) noexcept {
  HGLOBAL handle = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size == 0 ? 1 : size);
  if (handle == nullptr) return nullptr;
  void* block = GlobalLock(handle);
  if (block == nullptr) {
    GlobalFree(handle);
    return nullptr;
  }
  GlobalUnlock(handle);
  return static_cast<char*>(block);
}

void FreeHostBlock(char* block) noexcept {
  if (block != nullptr) GlobalFree(GlobalHandle(block));
}

void SleepMs(uint32_t milliseconds) { Sleep(milliseconds); }

uint32_t TickCount() { return GetTickCount(); }

std::u16string TempDirectory() {
  wchar_t buffer[MAX_PATH + 2] = {};
  const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
  std::u16string path;
  if (length > 0 && length <= MAX_PATH + 1) {
    path = FromWide(buffer, length);
  } else if (length > MAX_PATH + 1) {
    std::wstring large(length, L'\0');
    const DWORD written = GetTempPathW(length, large.data());
    if (written > 0 && written < length) path = FromWide(large.data(), written);
  }
  if (path.empty()) path = u".\\";
  if (path.back() != u'\\' && path.back() != u'/') path.push_back(u'\\');
  return path;
}

std::u16string ModuleFileName() {
  const auto module = reinterpret_cast<HMODULE>(&__ImageBase);
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD size = static_cast<DWORD>(buffer.size());
    const DWORD length = GetModuleFileNameW(module, buffer.data(), size);
    if (length == 0) return {};
    if (length < size) return FromWide(buffer.data(), length);
    if (buffer.size() >= 32768) return {};
    buffer.resize(buffer.size() * 2);
  }
}

bool FileExists(const std::u16string& name) {
  if (name.empty()) return false;
  const DWORD attributes = GetFileAttributesW(Wide(name));
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::vector<std::u16string> ListDirectory(const std::u16string& directory) {
  std::vector<std::u16string> names;
  std::u16string pattern = directory;
  if (!pattern.empty() && pattern.back() != u'\\' && pattern.back() != u'/') pattern.push_back(u'\\');
  pattern.push_back(u'*');
  WIN32_FIND_DATAW entry{};
  HANDLE search = FindFirstFileW(Wide(pattern), &entry);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::u16string name = FromWide(entry.cFileName, std::wcslen(entry.cFileName));
    if (name != u"." && name != u"..") names.push_back(name);
  } while (FindNextFileW(search, &entry));
  FindClose(search);
  return names;
}

bool DeleteFile(const std::u16string& name) { return !name.empty() && DeleteFileW(Wide(name)) != FALSE; }

// The system's message for the calling thread's last error, without the
// line break that ends it.
std::string LastErrorText() {
  const DWORD code = GetLastError();
  char* text = nullptr;
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message;
  if (length > 0 && text != nullptr) message.assign(text, length);
  if (text != nullptr) LocalFree(text);
  while (!message.empty() && (message.back() == '\r' || message.back() == '\n' || message.back() == ' '))
    message.pop_back();
  if (message.empty()) message = Format("System error.  Code: %lu.", static_cast<unsigned long>(code));
  return message;
}

std::u16string HostToWide(std::string_view text) { return AnsiToWide(text); }

std::string WideToHost(std::u16string_view text) { return WideToCodePage(text); }

char16_t AnsiCharToWide(unsigned char c) { return Ansi().wide[c]; }

std::u16string AnsiToWide(std::string_view text) {
  const AnsiTables& tables = Ansi();
  if (!tables.single_byte) return CodePageToWide(text);
  std::u16string out(text.size(), u'\0');
  for (std::size_t i = 0; i < text.size(); ++i) out[i] = tables.wide[static_cast<unsigned char>(text[i])];
  return out;
}

std::string WideToAnsi(std::u16string_view text) { return WideToCodePage(text); }

bool IsAnsiAlpha(unsigned char c) { return Ansi().alpha[c]; }
bool IsAnsiAlphaNumeric(unsigned char c) { return Ansi().alpha_numeric[c]; }

std::u16string WideUpper(std::u16string_view text) {
  std::u16string out(text);
  if (!out.empty()) CharUpperBuffW(reinterpret_cast<wchar_t*>(out.data()), static_cast<DWORD>(out.size()));
  return out;
}

std::u16string WideLower(std::u16string_view text) {
  std::u16string out(text);
  if (!out.empty()) CharLowerBuffW(reinterpret_cast<wchar_t*>(out.data()), static_cast<DWORD>(out.size()));
  return out;
}

int WideCompareText(std::u16string_view a, std::u16string_view b) {
  const int result = CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, reinterpret_cast<const wchar_t*>(a.data()),
                                    CheckedLength(a.size()), reinterpret_cast<const wchar_t*>(b.data()),
                                    CheckedLength(b.size()));
  return result == 0 ? 0 : result - CSTR_EQUAL;
}

char16_t DecimalSymbol() {
  static const char16_t symbol = ReadDecimalSymbol();
  return symbol;
}

IntConversion LocaleTextToInt32(std::string_view text, int32_t& value) {
  std::u16string wide = HostToWide(text);
  if (wide.find(u'\0') != std::u16string::npos) return IntConversion::kTypeMismatch;
  LONG result = 0;
  const HRESULT status = VarI4FromStr(reinterpret_cast<wchar_t*>(wide.data()), LOCALE_USER_DEFAULT, 0, &result);
  if (status == S_OK) {
    value = static_cast<int32_t>(result);
    return IntConversion::kOk;
  }
  return status == DISP_E_OVERFLOW ? IntConversion::kOverflow : IntConversion::kTypeMismatch;
}

// ---- Double-byte code pages: the system's converter.

std::unique_ptr<TCodePageConverter::TSystemConverter> TCodePageConverter::TSystemConverter::Open(uint16_t codePage) {
  if (!IsValidCodePage(codePage)) return nullptr;
  std::unique_ptr<TSystemConverter> converter(new TSystemConverter());
  converter->codePage_ = codePage;
  return converter;
}

TCodePageConverter::TSystemConverter::~TSystemConverter() = default;

bool TCodePageConverter::TSystemConverter::Convert(std::string_view pairs, std::u16string& out) const {
  if (pairs.empty()) return true;
  const int length = CheckedLength(pairs.size());
  // A character the code page lacks fails the call instead of becoming the
  // page's default character.
  const int needed = MultiByteToWideChar(codePage_, MB_ERR_INVALID_CHARS, pairs.data(), length, nullptr, 0);
  if (needed <= 0) return false;
  const std::size_t start = out.size();
  out.resize(start + static_cast<std::size_t>(needed));
  MultiByteToWideChar(codePage_, MB_ERR_INVALID_CHARS, pairs.data(), length,
                      reinterpret_cast<wchar_t*>(out.data() + start), needed);
  return true;
}

}  // namespace tabulon::platform

namespace tabulon {

namespace {

HANDLE Handle(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// Other readers, writers and deleters are never locked out.
constexpr DWORD kShareNothingDenied = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

}  // namespace

TFileStream::~TFileStream() {
  if (Handle(handle_) != INVALID_HANDLE_VALUE) CloseHandle(Handle(handle_));
}

std::unique_ptr<TFileStream> TFileStream::OpenRead(const std::u16string& name) {
  HANDLE file = CreateFileW(reinterpret_cast<const wchar_t*>(name.c_str()), GENERIC_READ, kShareNothingDenied, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const std::string reason = platform::LastErrorText();
    throw Exception(Format("Cannot open file \"%s\". %s", platform::WideToHost(name).c_str(), reason.c_str()));
  }
  return std::unique_ptr<TFileStream>(new TFileStream(reinterpret_cast<intptr_t>(file), name));
}

std::unique_ptr<TFileStream> TFileStream::CreateExclusive(const std::u16string& name) {
  // CREATE_NEW fails on any existing name, a link included, so an existing
  // file is never opened.
  HANDLE file = CreateFileW(reinterpret_cast<const wchar_t*>(name.c_str()), GENERIC_WRITE, kShareNothingDenied,
                            nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  return std::unique_ptr<TFileStream>(new TFileStream(reinterpret_cast<intptr_t>(file), name));
}

std::size_t TFileStream::Read(void* buffer, std::size_t count) {
  std::size_t done = 0;
  auto* out = static_cast<char*>(buffer);
  while (done < count) {
    const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(count - done, 1u << 30));
    DWORD read = 0;
    if (!ReadFile(Handle(handle_), out + done, piece, &read, nullptr) || read == 0) break;
    done += read;
  }
  return done;
}

std::size_t TFileStream::Write(const void* buffer, std::size_t count) {
  std::size_t done = 0;
  const auto* in = static_cast<const char*>(buffer);
  while (done < count) {
    const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(count - done, 1u << 30));
    DWORD written = 0;
    if (!WriteFile(Handle(handle_), in + done, piece, &written, nullptr) || written == 0) break;
    done += written;
  }
  return done;
}

int64_t TFileStream::Seek(int64_t offset, SeekOrigin origin) {
  const DWORD method = origin == SeekOrigin::kBegin ? FILE_BEGIN : origin == SeekOrigin::kCurrent ? FILE_CURRENT : FILE_END;
  LARGE_INTEGER distance{};
  distance.QuadPart = offset;
  LARGE_INTEGER position{};
  if (!SetFilePointerEx(Handle(handle_), distance, &position, method)) return -1;
  return static_cast<int64_t>(position.QuadPart);
}

int64_t TFileStream::Size() {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(Handle(handle_), &size)) return 0;
  return static_cast<int64_t>(size.QuadPart);
}

}  // namespace tabulon
