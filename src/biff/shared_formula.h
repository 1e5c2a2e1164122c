// Formula tokens of a shared formula: token sizes of the BIFF5 and BIFF8
// layouts, and the conversion of a shared formula's relative references into
// the references of one cell of its range.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

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

// The SHRFMLA entries of one sheet, in the order they were read, and the
// lookup of the first entry whose range holds a master cell. Entries are
// grouped in runs of 32 and 1024 with the bounding box of each run, so a
// lookup passes over the runs that cannot hold the cell; recent answers are
// remembered by cell. Ranges that overlap without end could still make every
// lookup walk every entry, so the comparisons a read may spend are bounded.
class TSharedFormulaList {
 public:
  struct TEntry {
    uint16_t Row1, Row2;
    uint8_t Col1, Col2;
    std::vector<uint8_t> Tokens;
  };

  void Add(TEntry entry);
  // The first entry whose range holds (col, row), or null. Raises
  // "Shared formula lookups take more than %llu steps" once the lookups since
  // SetStepLimit have spent their bound.
  const TEntry* Find(uint32_t col, uint32_t row);
  void Clear();
  // Starts counting the comparisons of a new read against `limit`.
  void SetStepLimit(uint64_t limit);

 private:
  struct TBox {
    uint16_t Row1 = 0xFFFF, Row2 = 0;
    uint16_t Col1 = 0xFFFF, Col2 = 0;
    bool Holds(uint32_t col, uint32_t row) const { return Row1 <= row && row <= Row2 && Col1 <= col && col <= Col2; }
    template <class T>
    void Take(const T& r) {
      if (r.Row1 < Row1) Row1 = r.Row1;
      if (r.Row2 > Row2) Row2 = r.Row2;
      if (r.Col1 < Col1) Col1 = r.Col1;
      if (r.Col2 > Col2) Col2 = r.Col2;
    }
  };
  struct TRemembered {
    uint32_t Cell = 0xFFFFFFFF;  // row << 8 | col; never a real cell
    uint32_t Index = 0;
  };
  static constexpr std::size_t kSmallRun = 32;
  static constexpr std::size_t kLargeRun = 1024;

  std::vector<TEntry> entries_;
  std::vector<TBox> small_;  // box of entries [32 i, 32 i + 32)
  std::vector<TBox> large_;  // box of entries [1024 i, 1024 i + 1024)
  std::array<TRemembered, 64> remembered_{};
  uint64_t steps_ = 0;
  uint64_t stepLimit_ = UINT64_MAX;
};

}  // namespace tabulon
