#include "workbook/cell_pool.h"

#include <new>

namespace tabulon {

TCellPool::~TCellPool() { Retire(); }

void TCellPool::NewSlab(std::size_t size) {
  if (size > kSlabSize - kHeaderSize) throw std::bad_alloc();
  Retire();
  void* block = ::operator new(kSlabSize, std::align_val_t{kSlabSize});
  current_ = ::new (block) TSlab{this, 0};
  next_ = static_cast<uint8_t*>(block) + kHeaderSize;
  limit_ = static_cast<uint8_t*>(block) + kSlabSize;
}

void TCellPool::Retire() {
  if (current_ == nullptr) return;
  current_->pool = nullptr;
  if (current_->live == 0) FreeSlab(current_);
  current_ = nullptr;
  next_ = limit_ = nullptr;
}

void TCellPool::FreeSlab(TSlab* slab) {
  slab->~TSlab();
  ::operator delete(static_cast<void*>(slab), std::align_val_t{kSlabSize});
}

void TCellPool::Release(void* piece) { ReleaseMany(piece, 1); }

void TCellPool::ReleaseMany(void* piece, std::size_t count) {
  if (count == 0) return;
  auto* slab = reinterpret_cast<TSlab*>(reinterpret_cast<uintptr_t>(piece) & ~uintptr_t{kSlabSize - 1});
  slab->live -= count;
  if (slab->live != 0) return;
  if (slab->pool == nullptr) {
    FreeSlab(slab);
  } else {
    // The pool's current slab, empty again: allocate from its start anew.
    TCellPool& pool = *slab->pool;
    pool.next_ = reinterpret_cast<uint8_t*>(slab) + kHeaderSize;
  }
}

}  // namespace tabulon
