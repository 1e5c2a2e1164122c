// The cell container of a sheet: a four-level table addressed by bit fields
// of the position (row >> 10, row & 0x3FF, col >> 7, col & 0x7F), a one-cell
// lookup cache and iteration in row order.
//
// Levels 1 and 2 are tables of 1024 entries, each made in pieces of 32 on
// first use (groups of 32 bands, runs of 32 rows), so that a sheet of a few
// cells costs a few kilobytes. Levels 3 and 4 (the 128 column chunks of a
// row and the 128 cells of a chunk) are sparse: a bitmap of the occupied
// slots and the occupied entries packed in slot order, so a row costs memory
// in proportion to the cells it holds; the chunk of columns 0..127 sits in
// the row itself. Blocks stay allocated until ClearCells.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "workbook/cells.h"

namespace tabulon {

class TSST2;

// The container accepts columns 0..16383 and rows 0..1048575.
constexpr uint32_t kStorageMaxCol = 16383;
constexpr uint32_t kStorageMaxRow = 1048575;

// Raises "Cell position out of range (%d, %d)".
[[noreturn]] void ThrowCellPosition(uint32_t col, uint32_t row);
// Raises the error above for a position the container cannot hold. Inline:
// every cell written passes here.
inline void CheckCellPosition(uint32_t col, uint32_t row) {
  if (col > kStorageMaxCol || row > kStorageMaxRow) ThrowCellPosition(col, row);
}

namespace detail {

// 128 slots, of which the occupied ones are packed in slot order.
template <class T, uint8_t kFirstCapacity>
class TSparseBlock {
 public:
  uint32_t Count() const { return count_; }
  bool Has(uint32_t slot) const { return (bits_[slot >> 6] >> (slot & 63)) & 1; }
  T* Find(uint32_t slot) {
    return Has(slot) ? &items_[Rank(slot)] : nullptr;
  }
  // Occupies a free slot; returns its (value-initialised) entry. A block
  // that has to grow takes room for at least `sizeHint` entries at once.
  T& Insert(uint32_t slot, uint32_t sizeHint = 0) {
    const uint32_t rank = Rank(slot);
    if (count_ == capacity_) Grow(sizeHint);
    for (uint32_t i = count_; i > rank; --i) items_[i] = std::move(items_[i - 1]);
    items_[rank] = T();
    bits_[slot >> 6] |= uint64_t{1} << (slot & 63);
    ++count_;
    return items_[rank];
  }
  void Erase(uint32_t slot) {
    const uint32_t rank = Rank(slot);
    for (uint32_t i = rank + 1; i < count_; ++i) items_[i - 1] = std::move(items_[i]);
    --count_;
    items_[count_] = T();
    bits_[slot >> 6] &= ~(uint64_t{1} << (slot & 63));
  }
  // The first occupied slot at or after `slot`, or 128.
  uint32_t NextFrom(uint32_t slot) const {
    if (slot < 64) {
      const uint64_t low = bits_[0] & (~uint64_t{0} << slot);
      if (low) return static_cast<uint32_t>(std::countr_zero(low));
      slot = 64;
    }
    if (slot < 128) {
      const uint64_t high = bits_[1] & (~uint64_t{0} << (slot - 64));
      if (high) return 64 + static_cast<uint32_t>(std::countr_zero(high));
    }
    return 128;
  }
  T& At(uint32_t slot) { return items_[Rank(slot)]; }
  // Entries in slot order.
  T* begin() { return items_.get(); }
  T* end() { return items_.get() + count_; }

 private:
  uint32_t Rank(uint32_t slot) const {
    if (slot < 64) return CountBits(bits_[0] & ((uint64_t{1} << slot) - 1));
    return CountBits(bits_[0]) + CountBits(bits_[1] & ((uint64_t{1} << (slot - 64)) - 1));
  }
  // The set bits of a word. std::popcount becomes a library call where the
  // instruction set has no population count (both our targets, without
  // SSE4.2); this stays a few inline instructions.
  static uint32_t CountBits(uint64_t v) {
    v -= (v >> 1) & 0x5555555555555555u;
    v = (v & 0x3333333333333333u) + ((v >> 2) & 0x3333333333333333u);
    v = (v + (v >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
    return static_cast<uint32_t>((v * 0x0101010101010101u) >> 56);
  }
  void Grow(uint32_t sizeHint) {
    uint32_t capacity = capacity_ == 0 ? kFirstCapacity : std::min<uint32_t>(capacity_ * 2u, 128u);
    if (sizeHint > capacity) capacity = std::min<uint32_t>(sizeHint, 128u);
    auto items = std::make_unique<T[]>(capacity);
    for (uint32_t i = 0; i < count_; ++i) items[i] = std::move(items_[i]);
    items_ = std::move(items);
    capacity_ = static_cast<uint8_t>(capacity);
  }

  uint64_t bits_[2] = {0, 0};
  uint8_t count_ = 0;  // up to 128
  uint8_t capacity_ = 0;
  std::unique_ptr<T[]> items_;
};

}  // namespace detail

class TCellStorage {
 public:
  TCellStorage();
  TCellStorage(const TCellStorage&) = delete;
  TCellStorage& operator=(const TCellStorage&) = delete;
  virtual ~TCellStorage();

  // The cell at the position, or null.
  TCell* GetCell(uint32_t col, uint32_t row);
  // Stores the cell (owned from now on) at the position, which it takes as
  // its own. A different cell stored there is freed and its format passes
  // to the new cell. Storing the cell already stored there changes nothing.
  // Raises "Cell position out of range (%d, %d)" outside the container.
  void SetCell(uint32_t col, uint32_t row, std::unique_ptr<TCell> cell);
  // As SetCell, but the new cell keeps its own format.
  void PutCell(uint32_t col, uint32_t row, std::unique_ptr<TCell> cell);
  // Frees and removes the cell at the position, if any.
  void RemoveCell(uint32_t col, uint32_t row);
  // Empties the position and hands its cell (or null) to the caller.
  std::unique_ptr<TCell> TakeCell(uint32_t col, uint32_t row);
  // Frees every cell and every block.
  void ClearCells();

  void BeginIteration();
  // The next stored cell in row order (columns ascending within a row), or
  // null at the end.
  TCell* NextCell();

  // Called before a formula cell of a shared group leaves the container.
  virtual void DeleteSharedFormulaCell(TCell& cell);

  // Memory for the cells written into this container (MakePooledCell): the
  // container's own pool, or the one given to UsePool.
  TCellPool& Pool() { return *pool_; }
  // Takes new cells from `pool`, which must stay while the container takes
  // cells (cells already made may outlive both).
  void UsePool(TCellPool& pool) { pool_ = &pool; }

 private:
  using TChunk = detail::TSparseBlock<TCell*, 4>;      // level 4: cells of 128 columns
  using TRowBlock = detail::TSparseBlock<TChunk, 1>;   // level 3: chunks of one row
  // One row: its first 128 columns in place (most rows use no others), the
  // further chunks in a sparse block made on first use.
  struct TRow {
    TChunk first;
    std::unique_ptr<TRowBlock> rest;
    bool Empty() const { return first.Count() == 0 && !rest; }
    TChunk* Find(uint32_t slot) { return slot == 0 ? &first : rest ? rest->Find(slot) : nullptr; }
    TChunk& Obtain(uint32_t slot);
    // The first chunk slot at or after `slot` that holds a chunk, or 128.
    uint32_t NextFrom(uint32_t slot) const { return slot == 0 ? 0 : rest ? rest->NextFrom(slot) : 128; }
    TChunk& At(uint32_t slot) { return slot == 0 ? first : rest->At(slot); }
  };
  // Level 2: the rows of a 1024-row band, in runs of 32 made on first use,
  // so that a sheet of a few cells holds a few runs rather than whole bands.
  using TRowRun = std::array<TRow, 32>;
  using TLevel2 = std::array<std::unique_ptr<TRowRun>, 32>;
  // Level 1: the 1024 bands, in groups of 32 made on first use.
  using TBandGroup = std::array<std::unique_ptr<TLevel2>, 32>;
  using TLevel1 = std::array<std::unique_ptr<TBandGroup>, 32>;

  void Store(uint32_t col, uint32_t row, std::unique_ptr<TCell> cell, bool passFormat);
  TCell** Slot(uint32_t col, uint32_t row);
  void LeaveContainer(TCell* cell);
  // The row's entry, or null when its run was never made.
  TRow* FindRow(uint32_t row) const {
    if (!level1_) return nullptr;
    const TBandGroup* group = (*level1_)[row >> 15].get();
    if (!group) return nullptr;
    const TLevel2* band = (*group)[(row >> 10) & 31].get();
    if (!band) return nullptr;
    TRowRun* run = (*band)[(row >> 5) & 31].get();
    return run ? &(*run)[row & 31] : nullptr;
  }
  TRow& ObtainRow(uint32_t row);

  TCellPool ownPool_;
  TCellPool* pool_ = &ownPool_;
  // Cells in the column chunk written last: rows of a sheet tend to be
  // alike, so the next chunk takes this much room with its first cell.
  uint32_t chunkSizeHint_ = 0;
  // Made with the first cell: a sheet without cells costs next to nothing.
  std::unique_ptr<TLevel1> level1_;
  // The row ObtainRow gave last (rows are mostly written cell after cell).
  uint32_t lastRowNumber_ = 0;
  TRow* lastRow_ = nullptr;
  TCell* cache_ = nullptr;
  uint32_t cursor1_ = 0, cursor2_ = 0, cursor3_ = 0, cursor4_ = 0;
};

class TCellValuesList;

// The cell container of a sheet, one of the workbook's TCellValuesList.
class TCellValues final : public TCellStorage {
 public:
  TCellValues(TCellValuesList& owner, TSST2* sst) : owner_(owner), sst_(sst) {}
  ~TCellValues() override;

  TCellValuesList& Owner() const { return owner_; }
  TSST2* SST() const { return sst_; }
  // A1 range texts of the shared-formula groups, by group index.
  std::vector<std::string>& SharedFormulaRanges() { return sharedFormulaRanges_; }

  // Lets the list's OnDeleteSharedFormula handler convert the group; without
  // a handler the cell leaves the container unconverted.
  void DeleteSharedFormulaCell(TCell& cell) override;

 private:
  TCellValuesList& owner_;
  TSST2* sst_;
  std::vector<std::string> sharedFormulaRanges_;
};

// The cell containers of all sheets of a workbook.
class TCellValuesList {
 public:
  using TDeleteSharedFormulaEvent = std::function<void(TCellValues& sender, TCell& cell)>;

  explicit TCellValuesList(TSST2* sst) : sst_(sst) { pool_.SetCache(slabs_); }
  TCellValuesList(const TCellValuesList&) = delete;
  TCellValuesList& operator=(const TCellValuesList&) = delete;

  // A new empty container, appended to the list.
  TCellValues& Add();
  // Frees the container and takes it off the list.
  void Remove(TCellValues* values);
  void Clear() { items_.clear(); }
  std::size_t Count() const { return items_.size(); }
  TCellValues& Item(std::size_t index) const;
  TSST2* SST() const { return sst_; }

  TDeleteSharedFormulaEvent OnDeleteSharedFormula;

 private:
  TSST2* sst_;
  // Slabs of cells of all containers, kept from one read to the next.
  std::shared_ptr<TSlabCache> slabs_ = std::make_shared<TSlabCache>();
  // One pool for the cells of all containers: a sheet of a few cells takes
  // no slab of its own.
  TCellPool pool_;
  std::vector<std::unique_ptr<TCellValues>> items_;
};

}  // namespace tabulon
