// The XML document module's binary form: the input follows the signature.
#include <cstddef>
#include <cstdint>

#include "xmldoc_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  std::string text = "< binary-xml >";
  text.append(reinterpret_cast<const char*>(data), size);
  tabulon::fuzz::LoadAndWalk(text);
  return 0;
}
