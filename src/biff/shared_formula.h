// Formula tokens of a shared formula: token sizes of the BIFF5 and BIFF8
// layouts, and the conversion of a shared formula's relative references into
// the references of one cell of its range.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tabulon {

// Byte size of the token at `token` (at most `available` bytes are there),
// in the BIFF8 layout when `biff8`, else in the BIFF5 one. 0 for a token id
// without a known size, or when the bytes that tell the size are missing.
std::size_t PtgSize(const uint8_t* token, std::size_t available, bool biff8);

// Walks the `cce` token bytes and turns ptgRefN and ptgAreaN tokens into
// ptgRef and ptgArea tokens of the same class, their relative rows and
// columns resolved against the cell at (col, row). Raises
// "Unknown ptg[%.2X] in Shared Formula" for a token without a known size or
// one that runs past cce.
void ConvertSharedFormula(uint8_t* tokens, std::size_t cce, bool biff8, uint32_t col, uint32_t row);

}  // namespace tabulon
