#include "biff/shared_formula.h"

#include <algorithm>

#include "platform/error.h"

namespace tabulon {

namespace {

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

// Sizes of the operand tokens 0x20..0x3F (the reference class bits 0x60
// folded to 0x20); 0 where no token is defined.
constexpr uint8_t kOperand8[32] = {
    8, 3, 4, 5, 5, 9, 7, 7, 7, 3, 5, 9, 5, 9, 3, 3,  // Array .. MemNoMemN
    0, 0, 0, 0, 0, 0, 0, 0, 0, 7, 7, 11, 7, 11, 0, 0,  // NameX, Ref3d, Area3d, RefErr3d, AreaErr3d
};
constexpr uint8_t kOperand5[32] = {
    8, 3, 4, 15, 4, 7, 7, 7, 7, 3, 4, 7, 4, 7, 3, 3,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 25, 18, 21, 18, 21, 0, 0,
};

// BIFF8 reference: row u16 and column u16 (bit 15 relative row, bit 14
// relative column, the column in the low byte).
void ResolveRef8(uint8_t* rowField, uint8_t* colField, uint32_t col, uint32_t row) {
  uint16_t r = Get16(rowField);
  const uint16_t c = Get16(colField);
  if (c & 0x8000) r = static_cast<uint16_t>(r + row);
  const uint8_t low = static_cast<uint8_t>(c);
  const uint8_t newCol = (c & 0x4000) ? static_cast<uint8_t>(static_cast<int8_t>(low) + static_cast<int32_t>(col)) : low;
  Put16(rowField, r);
  Put16(colField, static_cast<uint16_t>((c & 0xC000) | newCol));
}

// BIFF5 reference: row word (row in bits 0-13, bit 15 relative row, bit 14
// relative column) and a column byte.
void ResolveRef5(uint8_t* rowField, uint8_t* colField, uint32_t col, uint32_t row) {
  uint16_t r = Get16(rowField);
  if (r & 0x8000) {
    int32_t offset = r & 0x3FFF;
    if (offset & 0x2000) offset -= 0x4000;
    r = static_cast<uint16_t>((r & 0xC000) | ((offset + static_cast<int32_t>(row)) & 0x3FFF));
  }
  if (r & 0x4000) *colField = static_cast<uint8_t>(static_cast<int8_t>(*colField) + static_cast<int32_t>(col));
  Put16(rowField, r);
}

}  // namespace

std::size_t PtgSize(const uint8_t* token, std::size_t available, bool biff8) {
  if (available == 0) return 0;
  const uint8_t id = token[0];
  if (id >= 0x80) return 0;
  if (id >= 0x20) return (biff8 ? kOperand8 : kOperand5)[id & 0x1F];
  switch (id) {
    case 0x01:  // ptgExp
    case 0x02:  // ptgTbl
      return 5;
    case 0x17: {  // ptgStr: character count, (BIFF8) option byte, characters
      if (available < 2) return 0;
      const std::size_t count = token[1];
      if (!biff8) return 2 + count;
      if (available < 3) return 0;
      return 3 + count * ((token[2] & 0x01) ? 2 : 1);
    }
    case 0x18:  // extended tokens of BIFF8: 6 bytes each
      return biff8 ? 6 : 0;
    case 0x19: {  // ptgAttr: option byte and a word; the choose kind adds its jump table
      if (available < 2) return 0;
      if (!(token[1] & 0x04)) return 4;
      if (available < 4) return 0;
      return 4 + 2 * (std::size_t{Get16(token + 2)} + 1);
    }
    case 0x1C:  // ptgErr
    case 0x1D:  // ptgBool
      return 2;
    case 0x1E:  // ptgInt
      return 3;
    case 0x1F:  // ptgNum
      return 9;
    default:
      // Operators, parentheses and the missing argument (0x03..0x16) are one byte.
      return id >= 0x03 && id <= 0x16 ? 1 : 0;
  }
}

void ConvertSharedFormula(uint8_t* tokens, std::size_t cce, bool biff8, uint32_t col, uint32_t row) {
  std::size_t at = 0;
  while (at < cce) {
    uint8_t* token = tokens + at;
    const std::size_t size = PtgSize(token, cce - at, biff8);
    if (size == 0 || size > cce - at) Throw(Format("Unknown ptg[%.2X] in Shared Formula", token[0]));
    const uint8_t id = token[0];
    if (id >= 0x20 && id < 0x80 && ((id & 0x1F) == 0x0C || (id & 0x1F) == 0x0D)) {
      token[0] = static_cast<uint8_t>(id - 8);  // ptgRefN -> ptgRef, ptgAreaN -> ptgArea
      const bool area = (id & 0x1F) == 0x0D;
      if (biff8) {
        if (area) {
          ResolveRef8(token + 1, token + 5, col, row);
          ResolveRef8(token + 3, token + 7, col, row);
        } else {
          ResolveRef8(token + 1, token + 3, col, row);
        }
      } else if (area) {
        // Rows first and last, then columns first and last.
        uint8_t* lastRow = token + 3;
        ResolveRef5(token + 1, token + 5, col, row);
        ResolveRef5(lastRow, token + 6, col, row);
      } else {
        ResolveRef5(token + 1, token + 3, col, row);
      }
    }
    at += size;
  }
}

void TSharedFormulaList::Add(TEntry entry) {
  if (entries_.size() % kSmallRun == 0) small_.emplace_back();
  if (entries_.size() % kLargeRun == 0) large_.emplace_back();
  small_.back().Take(entry);
  large_.back().Take(entry);
  entries_.push_back(std::move(entry));
}

const TSharedFormulaList::TEntry* TSharedFormulaList::Find(uint32_t col, uint32_t row) {
  // Cells past the 8-bit column or 16-bit row of a range are in none.
  if (col > 0xFF || row > 0xFFFF) return nullptr;
  const uint32_t cell = row << 8 | col;
  TRemembered& slot = remembered_[(cell * 2654435761u) >> 26];
  // An entry found stays the first for its cell: later entries come after it.
  if (slot.Cell == cell) return &entries_[slot.Index];

  uint64_t steps = 0;
  const TEntry* found = nullptr;
  for (std::size_t l = 0; l < large_.size() && !found; ++l) {
    ++steps;
    if (!large_[l].Holds(col, row)) continue;
    const std::size_t smallEnd = std::min(small_.size(), (l + 1) * (kLargeRun / kSmallRun));
    for (std::size_t s = l * (kLargeRun / kSmallRun); s < smallEnd && !found; ++s) {
      ++steps;
      if (!small_[s].Holds(col, row)) continue;
      const std::size_t end = std::min(entries_.size(), (s + 1) * kSmallRun);
      for (std::size_t i = s * kSmallRun; i < end; ++i) {
        ++steps;
        const TEntry& e = entries_[i];
        if (e.Col1 <= col && col <= e.Col2 && e.Row1 <= row && row <= e.Row2) {
          found = &e;
          break;
        }
      }
    }
  }
  steps_ += steps;
  if (steps_ > stepLimit_)
    Throw(Format("Shared formula lookups take more than %llu steps", static_cast<unsigned long long>(stepLimit_)));
  if (found) slot = {cell, static_cast<uint32_t>(found - entries_.data())};
  return found;
}

void TSharedFormulaList::Clear() {
  entries_.clear();
  small_.clear();
  large_.clear();
  remembered_.fill(TRemembered{});
}

void TSharedFormulaList::SetStepLimit(uint64_t limit) {
  steps_ = 0;
  stepLimit_ = limit;
}

}  // namespace tabulon
