#include "platform/error.h"

#include <cstdarg>
#include <cstdio>

namespace tabulon {

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string result;
  if (length > 0) {
    result.resize(static_cast<std::size_t>(length));
    std::vsnprintf(result.data(), result.size() + 1, format, args);
  }
  va_end(args);
  return result;
}

void ThrowListIndexError(int64_t index) {
  throw Exception(Format("List index out of bounds (%lld)", static_cast<long long>(index)));
}

void Throw(std::string message) { throw Exception(std::move(message)); }

}  // namespace tabulon
