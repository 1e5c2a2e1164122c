// The other top-level elements of a compound workbook (summary information,
// embedded objects, ...), everything but the workbook stream and the VBA
// project. Reading makes no use of them; they are remembered so that a
// workbook written back can restore them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tabulon {

struct TExtraObjects {
  struct TElement {
    std::u16string name;
    bool storage = false;  // a storage, else a stream
    uint64_t size = 0;     // byte size of a stream
  };

  std::vector<TElement> elements;

  void Clear() { elements.clear(); }
};

}  // namespace tabulon
