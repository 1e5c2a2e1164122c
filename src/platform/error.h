// The one exception family of Tabulon. Every failure inside the library is an
// Exception carrying a message in host text (see platform.h); the request
// functions turn it into an error answer.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace tabulon {

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const std::string& Message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// printf-style formatting into a std::string; the formats of the system's
// messages ("%.4X", "%.8D" written as "%.8d", ...) behave as in C.
std::string Format(const char* format, ...)
#if defined(__MINGW32__)
    // MinGW's C++ runtime formats with its own C99 printf (%zu, %lld), not
    // the system's; check the format against that one.
    __attribute__((format(gnu_printf, 1, 2)))
#elif defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// "List index out of bounds (%d)": the error of every list of the model.
[[noreturn]] void ThrowListIndexError(int64_t index);

// Raises an Exception with the message.
[[noreturn]] void Throw(std::string message);

}  // namespace tabulon
