#include "workbook/cell_pool.h"

#include <new>

namespace tabulon {

namespace {

void* NewSlabMemory() { return ::operator new(TCellPool::kSlabSize, std::align_val_t{TCellPool::kSlabSize}); }
void DeleteSlabMemory(void* block) noexcept { ::operator delete(block, std::align_val_t{TCellPool::kSlabSize}); }

}  // namespace

TSlabCache::~TSlabCache() {
  for (void* block : kept_) DeleteSlabMemory(block);
}

void* TSlabCache::Take() {
  if (kept_.empty()) return nullptr;
  void* block = kept_.back();
  kept_.pop_back();
  return block;
}

void TSlabCache::Keep(void* slab) noexcept {
  if (kept_.size() < kMaxKept) {
    kept_.push_back(slab);  // within the room reserved at construction
  } else {
    DeleteSlabMemory(slab);
  }
}

TCellPool::~TCellPool() { Retire(); }

void TCellPool::NewSlab(std::size_t size) {
  if (size > kSlabSize - kHeaderSize) throw std::bad_alloc();
  Retire();
  void* block = cache_ ? cache_->Take() : nullptr;
  if (block == nullptr) block = NewSlabMemory();
  current_ = ::new (block) TSlab{this, 0, cache_};
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
  // The slab's hold on the cache goes last: the cache may go with it, and
  // the slab with the cache.
  const std::shared_ptr<TSlabCache> cache = std::move(slab->cache);
  slab->~TSlab();
  if (cache) {
    cache->Keep(slab);
  } else {
    DeleteSlabMemory(slab);
  }
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
