#include "workbook/cell_storage.h"

#include <algorithm>

#include "platform/error.h"

namespace tabulon {

void ThrowCellPosition(uint32_t col, uint32_t row) {
  Throw(Format("Cell position out of range (%d, %d)", static_cast<int>(col), static_cast<int>(row)));
}

// ---- TCellStorage ------------------------------------------------------------

TCellStorage::TCellStorage() = default;

TCellStorage::TChunk& TCellStorage::TRow::Obtain(uint32_t slot) {
  if (slot == 0) return first;
  if (!rest) rest = std::make_unique<TRowBlock>();
  TChunk* chunk = rest->Find(slot);
  return chunk ? *chunk : rest->Insert(slot);
}

TCellStorage::~TCellStorage() { ClearCells(); }

TCell* TCellStorage::GetCell(uint32_t col, uint32_t row) {
  if (cache_ && cache_->Row() == row && cache_->Col() == col) return cache_;
  if (col > kStorageMaxCol || row > kStorageMaxRow) return nullptr;
  TRow* rowBlock = FindRow(row);
  if (!rowBlock) return nullptr;
  TChunk* chunk = rowBlock->Find(col >> 7);
  if (!chunk) return nullptr;
  TCell** slot = chunk->Find(col & 0x7F);
  if (!slot) return nullptr;
  cache_ = *slot;
  return cache_;
}

TCell** TCellStorage::Slot(uint32_t col, uint32_t row) {
  if (col > kStorageMaxCol || row > kStorageMaxRow) return nullptr;
  TRow* rowBlock = FindRow(row);
  if (!rowBlock) return nullptr;
  TChunk* chunk = rowBlock->Find(col >> 7);
  if (!chunk) return nullptr;
  return chunk->Find(col & 0x7F);
}

TCellStorage::TRow& TCellStorage::ObtainRow(uint32_t row) {
  if (lastRow_ != nullptr && lastRowNumber_ == row) return *lastRow_;
  if (!level1_) level1_ = std::make_unique<TLevel1>();
  std::unique_ptr<TBandGroup>& group = (*level1_)[row >> 15];
  if (!group) group = std::make_unique<TBandGroup>();
  std::unique_ptr<TLevel2>& band = (*group)[(row >> 10) & 31];
  if (!band) band = std::make_unique<TLevel2>();
  std::unique_ptr<TRowRun>& run = (*band)[(row >> 5) & 31];
  if (!run) run = std::make_unique<TRowRun>();
  lastRowNumber_ = row;
  lastRow_ = &(*run)[row & 31];
  return *lastRow_;
}

void TCellStorage::SetCell(uint32_t col, uint32_t row, std::unique_ptr<TCell> cell) {
  Store(col, row, std::move(cell), true);
}

void TCellStorage::PutCell(uint32_t col, uint32_t row, std::unique_ptr<TCell> cell) {
  Store(col, row, std::move(cell), false);
}

void TCellStorage::Store(uint32_t col, uint32_t row, std::unique_ptr<TCell> cell, bool passFormat) {
  CheckCellPosition(col, row);
  if (!cell) return;
  TRow& rowBlock = ObtainRow(row);
  const uint32_t chunkSlot = col >> 7, cellSlot = col & 0x7F;
  TChunk* chunk = &rowBlock.Obtain(chunkSlot);
  TCell** slot = chunk->Find(cellSlot);
  if (slot) {
    TCell* old = *slot;
    if (old == cell.get()) {
      // The container owns this cell already.
      cell.release();
      cache_ = old;
      return;
    }
    if (passFormat && old->CellFormat() != cell->CellFormat()) cell->SetCellFormat(old->CellFormat());
    if (cache_ == old) cache_ = nullptr;
    LeaveContainer(old);
    // The hook may have stored other cells of the row; find the position again.
    slot = Slot(col, row);
    if (slot) {
      delete *slot;
    } else {
      slot = &rowBlock.At(chunkSlot).Insert(cellSlot);
    }
  } else {
    // A chunk's first cell: take room for as many cells as the chunk
    // filled last holds.
    slot = &chunk->Insert(cellSlot, chunk->Count() == 0 ? chunkSizeHint_ : 0);
    chunkSizeHint_ = chunk->Count();
  }
  cell->SetPosition(static_cast<uint16_t>(col), row);
  *slot = cell.release();
  cache_ = *slot;
}

void TCellStorage::LeaveContainer(TCell* cell) {
  if (cell->IsFormula() && static_cast<TFormulaCell*>(cell)->SharedIndex() != kNoSharedIndex)
    DeleteSharedFormulaCell(*cell);
}

void TCellStorage::RemoveCell(uint32_t col, uint32_t row) {
  TCell** slot = Slot(col, row);
  if (!slot) return;
  TCell* cell = *slot;
  if (cache_ == cell) cache_ = nullptr;
  LeaveContainer(cell);
  // The hook may have changed the table; find the position again.
  slot = Slot(col, row);
  if (slot && *slot == cell) FindRow(row)->At(col >> 7).Erase(col & 0x7F);
  delete cell;
}

std::unique_ptr<TCell> TCellStorage::TakeCell(uint32_t col, uint32_t row) {
  TCell** slot = Slot(col, row);
  if (!slot) return nullptr;
  std::unique_ptr<TCell> cell(*slot);
  if (cache_ == cell.get()) cache_ = nullptr;
  FindRow(row)->At(col >> 7).Erase(col & 0x7F);
  return cell;
}

void TCellStorage::ClearCells() {
  cache_ = nullptr;
  chunkSizeHint_ = 0;
  lastRow_ = nullptr;
  TCellBulkDelete cells;
  if (level1_) {
    for (std::unique_ptr<TBandGroup>& group : *level1_) {
      if (!group) continue;
      for (std::unique_ptr<TLevel2>& band : *group) {
        if (!band) continue;
        for (std::unique_ptr<TRowRun>& run : *band) {
          if (!run) continue;
          for (TRow& rowBlock : *run) {
            for (TCell* cell : rowBlock.first) cells.Delete(cell);
            if (rowBlock.rest)
              for (TChunk& chunk : *rowBlock.rest)
                for (TCell* cell : chunk) cells.Delete(cell);
          }
        }
      }
      group.reset();
    }
  }
  cells.Flush();
  BeginIteration();
}

void TCellStorage::BeginIteration() { cursor1_ = cursor2_ = cursor3_ = cursor4_ = 0; }

TCell* TCellStorage::NextCell() {
  if (!level1_) return nullptr;
  for (; cursor1_ < 1024; ++cursor1_, cursor2_ = 0, cursor3_ = 0, cursor4_ = 0) {
    const TBandGroup* group = (*level1_)[cursor1_ >> 5].get();
    if (!group) {
      cursor1_ |= 31;  // on to the next group
      continue;
    }
    TLevel2* band = (*group)[cursor1_ & 31].get();
    if (!band) continue;
    for (; cursor2_ < 1024; ++cursor2_, cursor3_ = 0, cursor4_ = 0) {
      TRowRun* run = (*band)[cursor2_ >> 5].get();
      if (!run) {
        cursor2_ |= 31;  // on to the next run
        continue;
      }
      TRow& rowBlock = (*run)[cursor2_ & 31];
      if (rowBlock.Empty()) continue;
      while ((cursor3_ = rowBlock.NextFrom(cursor3_)) < 128) {
        TChunk& chunk = rowBlock.At(cursor3_);
        const uint32_t slot = chunk.NextFrom(cursor4_);
        if (slot < 128) {
          cursor4_ = slot + 1;
          return chunk.At(slot);
        }
        ++cursor3_;
        cursor4_ = 0;
      }
    }
  }
  return nullptr;
}

void TCellStorage::DeleteSharedFormulaCell(TCell&) { Throw("Can not delete shared formula"); }

// ---- TCellValues --------------------------------------------------------------

TCellValues::~TCellValues() {
  sharedFormulaRanges_.clear();
  ClearCells();
}

void TCellValues::DeleteSharedFormulaCell(TCell& cell) {
  if (owner_.OnDeleteSharedFormula) owner_.OnDeleteSharedFormula(*this, cell);
}

// ---- TCellValuesList ------------------------------------------------------------

TCellValues& TCellValuesList::Add() {
  items_.push_back(std::make_unique<TCellValues>(*this, sst_));
  items_.back()->UsePool(pool_);
  return *items_.back();
}

void TCellValuesList::Remove(TCellValues* values) {
  // Sheets go last first: the container is found at once at the end.
  auto it = std::find_if(items_.rbegin(), items_.rend(),
                         [values](const std::unique_ptr<TCellValues>& item) { return item.get() == values; });
  if (it != items_.rend()) items_.erase(std::next(it).base());
}

TCellValues& TCellValuesList::Item(std::size_t index) const {
  if (index >= items_.size()) ThrowListIndexError(static_cast<int64_t>(index));
  return *items_[index];
}

}  // namespace tabulon
