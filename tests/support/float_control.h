// The floating-point control words of the calling thread, for tests that
// play a host which leaves its own precision and exception masks in place.
#pragma once

#include <cstdint>

#if defined(__GNUC__) && (defined(__i386__) || defined(__x86_64__))
#define TABULON_TEST_FLOAT_CONTROL 1

namespace tabulon::test {

// x87: precision control 53-bit, every exception masked, round to nearest
// (the state Windows itself starts threads in).
constexpr uint16_t kX87Double = 0x027F;
// x87: 53-bit precision with invalid operation, division by zero and
// overflow unmasked (what Delphi hosts leave), and SSE with the same three
// unmasked.
constexpr uint16_t kX87DelphiHost = 0x1272;
constexpr uint32_t kSseDelphiHost = 0x1900;

inline uint16_t X87Control() {
  uint16_t control = 0;
  __asm__ __volatile__("fnstcw %0" : "=m"(control));
  return control;
}
inline uint32_t SseControl() {
  uint32_t control = 0;
  __asm__ __volatile__("stmxcsr %0" : "=m"(control));
  return control;
}

// Puts the given control words in force for its lifetime, then the previous
// ones back.
class THostFloatControl {
 public:
  explicit THostFloatControl(uint16_t x87, uint32_t sse = 0x1F80) : saved_x87_(X87Control()), saved_sse_(SseControl()) {
    __asm__ __volatile__("fnclex\n\tfldcw %0" : : "m"(x87));
    __asm__ __volatile__("ldmxcsr %0" : : "m"(sse));
  }
  ~THostFloatControl() {
    __asm__ __volatile__("fnclex\n\tfldcw %0" : : "m"(saved_x87_));
    __asm__ __volatile__("ldmxcsr %0" : : "m"(saved_sse_));
  }
  THostFloatControl(const THostFloatControl&) = delete;
  THostFloatControl& operator=(const THostFloatControl&) = delete;

 private:
  uint16_t saved_x87_;
  uint32_t saved_sse_;
};

}  // namespace tabulon::test

#endif
