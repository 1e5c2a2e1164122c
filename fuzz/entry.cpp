// The libFuzzer entry of one target; TABULON_FUZZ_TARGET names its function.
#include "targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  tabulon::fuzz::TABULON_FUZZ_TARGET(data, size);
  return 0;
}
