// The XML document module on text: configuration files and request texts.
#include <cstddef>
#include <cstdint>

#include "xmldoc_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  tabulon::fuzz::LoadAndWalk(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
