// The floating-point state guard (see platform.h). Same code on every
// platform: the state lives in the processor, not in the operating system.
#include "platform/platform.h"

namespace tabulon::platform {

#if defined(__GNUC__) && (defined(__i386__) || defined(__x86_64__))

namespace {

// x87: all six exceptions masked, 64-bit precision, round to nearest.
constexpr uint16_t kX87Control = 0x037F;
// SSE: all six exceptions masked, round to nearest, no flush-to-zero.
constexpr uint32_t kSseControl = 0x1F80;

}  // namespace

TFloatModeGuard::TFloatModeGuard() noexcept {
  // fnstenv keeps the caller's whole x87 state, its flags included.
  __asm__ __volatile__("fnstenv %0" : "=m"(x87_environment_));
  __asm__ __volatile__("stmxcsr %0" : "=m"(sse_control_));
  const uint16_t x87 = kX87Control;
  const uint32_t sse = kSseControl | (sse_control_ & 0x3Fu);  // keep the caller's sticky flags
  __asm__ __volatile__("fnclex\n\tfldcw %0" : : "m"(x87) : "memory");
  __asm__ __volatile__("ldmxcsr %0" : : "m"(sse) : "memory");
}

TFloatModeGuard::~TFloatModeGuard() {
  // The caller gets back exactly its own control words and flags: nothing
  // raised in here can fire once its masks are back.
  __asm__ __volatile__("fldenv %0" : : "m"(x87_environment_) : "memory");
  __asm__ __volatile__("ldmxcsr %0" : : "m"(sse_control_) : "memory");
}

#else

TFloatModeGuard::TFloatModeGuard() noexcept = default;
TFloatModeGuard::~TFloatModeGuard() = default;

#endif

}  // namespace tabulon::platform
