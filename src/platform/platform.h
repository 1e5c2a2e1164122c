// The platform layer: everything Tabulon takes from the operating system,
// behind one small interface. platform_posix.cpp implements it for Linux,
// platform_win32.cpp with the Win32 API.
//
// Two kinds of 8-bit text are kept apart:
//  * host text: the text at the host interface, in the configuration file and
//    in exception messages. UTF-8 on Linux, the ANSI code page on Windows.
//  * ANSI text: the single-byte code page the readers use for byte strings in
//    workbooks, ZIP member names and the tag reader. Windows-1252 on Linux
//    (all 256 bytes map one to one; the five bytes that Windows-1252 leaves
//    undefined map to the C1 code points of the same value), the system's
//    ANSI code page on Windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// windows.h maps DeleteFile to DeleteFileA/W; a file that includes it before
// this header calls the platform's DeleteFile all the same.
#ifdef DeleteFile
#undef DeleteFile
#endif

namespace tabulon::platform {

// ---- Answer blocks -------------------------------------------------------
// A zero-filled block of `size` bytes that leaves the library: on Linux the
// host releases it with free(), on Windows with GlobalFree(GlobalHandle(p)).
// Returns nullptr when the block cannot be had.
char* AllocHostBlock(std::size_t size) noexcept;
// Releases a block made by AllocHostBlock (as the host would).
void FreeHostBlock(char* block) noexcept;

// ---- Time ----------------------------------------------------------------
void SleepMs(uint32_t milliseconds);
// Milliseconds since an arbitrary start, wrapping at 2^32 like GetTickCount.
uint32_t TickCount();

// ---- Files and directories -------------------------------------------------
// The path separator: '/' on Linux, '\' on Windows.
extern const char16_t kPathSeparator;
// The temporary directory, ending with the path separator ($TMPDIR or /tmp/).
std::u16string TempDirectory();
// The full file name of the module (shared library or executable) that holds
// this code.
std::u16string ModuleFileName();
// True when a regular file exists under the name (false for directories and
// for the empty name).
bool FileExists(const std::u16string& name);
// Names (without directory) of the entries of a directory; empty on failure.
std::vector<std::u16string> ListDirectory(const std::u16string& directory);
// Deletes a file; false when it could not be deleted.
bool DeleteFile(const std::u16string& name);
// The system's text for the last error of a file operation (errno / GetLastError).
std::string LastErrorText();

// ---- Host text ---------------------------------------------------------------
std::u16string HostToWide(std::string_view text);
std::string WideToHost(std::u16string_view text);

// ---- ANSI code page (single-byte) --------------------------------------------
std::u16string AnsiToWide(std::string_view text);
// Characters the code page lacks become '?'.
std::string WideToAnsi(std::u16string_view text);
char16_t AnsiCharToWide(unsigned char c);
// Letter tests of the code page's character classification (IsCharAlpha,
// IsCharAlphaNumeric).
bool IsAnsiAlpha(unsigned char c);
bool IsAnsiAlphaNumeric(unsigned char c);

// ---- Wide-character case -------------------------------------------------------
std::u16string WideUpper(std::u16string_view text);
std::u16string WideLower(std::u16string_view text);
// Case-insensitive comparison: <0, 0, >0.
int WideCompareText(std::u16string_view a, std::u16string_view b);
inline bool WideSameText(std::u16string_view a, std::u16string_view b) {
  return WideCompareText(a, b) == 0;
}

// ---- Locale ----------------------------------------------------------------------
// The decimal symbol of the process locale (LC_NUMERIC of the environment on
// Linux, LOCALE_SDECIMAL on Windows), read once; '.' when unavailable.
char16_t DecimalSymbol();

// The locale-aware text-to-integer conversion of the system (VarI4FromStr
// with the user's default locale): blanks around the number, a sign, digit
// grouping, a decimal fraction rounded half to even, an exponent.
enum class IntConversion { kOk, kTypeMismatch, kOverflow };
IntConversion LocaleTextToInt32(std::string_view text, int32_t& value);

// ---- Floating-point unit ---------------------------------------------------------
// Puts the floating-point unit into the state this library computes in and
// gives the caller's state back when it goes out of scope: rounding to
// nearest, every exception masked, and (on x86) the x87 unit at 64-bit
// precision, since long double arithmetic still runs there. Results then never
// depend on the precision or the exception masks that a host leaves in its
// thread. Each export opens one around its work.
class TFloatModeGuard {
 public:
  TFloatModeGuard() noexcept;
  ~TFloatModeGuard();
  TFloatModeGuard(const TFloatModeGuard&) = delete;
  TFloatModeGuard& operator=(const TFloatModeGuard&) = delete;

 private:
  unsigned char x87_environment_[28] = {};
  uint32_t sse_control_ = 0;
};

}  // namespace tabulon::platform
