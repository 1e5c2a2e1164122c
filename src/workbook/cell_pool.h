// Memory for cells in bulk. A pool hands out cell-sized pieces of 64 KiB
// slabs by moving a pointer; each slab counts the cells living in it and is
// given back when its last cell is freed and the pool has moved on to a
// newer slab. A whole sheet is thus stored with one allocation per slab and
// freed with one deallocation per slab, and a cell taken out of its
// container stays valid however long it lives.
//
// Pools given a TSlabCache take their slabs from it and give them back to
// it, so that a workbook read again and again reuses the memory of its last
// read instead of returning it to the system and faulting it in anew.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace tabulon {

// Free slabs kept for the pools that share the cache. Each slab handed out
// holds the cache, so the cache lives until its last slab is gone; it keeps
// at most kMaxKept slabs and frees the rest.
class TSlabCache {
 public:
  static constexpr std::size_t kMaxKept = 1024;

  TSlabCache() { kept_.reserve(kMaxKept); }
  TSlabCache(const TSlabCache&) = delete;
  TSlabCache& operator=(const TSlabCache&) = delete;
  ~TSlabCache();

  // A kept slab, or null when none is left.
  void* Take();
  // Keeps the slab, or frees it when the cache is full.
  void Keep(void* slab) noexcept;
  std::size_t KeptCount() const { return kept_.size(); }

 private:
  std::vector<void*> kept_;
};

class TCellPool {
 public:
  static constexpr std::size_t kSlabSize = 64 * 1024;

  TCellPool() = default;
  TCellPool(const TCellPool&) = delete;
  TCellPool& operator=(const TCellPool&) = delete;
  // Slabs that still hold cells stay until their last cell is freed.
  ~TCellPool();

  // Slabs made from now on come from and go back to `cache`.
  void SetCache(std::shared_ptr<TSlabCache> cache) { cache_ = std::move(cache); }

  // Room for one object of `size` bytes (8-byte aligned), counted as live.
  void* Allocate(std::size_t size) {
    size = (size + 7) & ~std::size_t{7};
    if (size > static_cast<std::size_t>(limit_ - next_)) NewSlab(size);
    void* piece = next_;
    next_ += size;
    ++current_->live;
    return piece;
  }
  // Gives back a piece handed out by any pool; frees its slab when the slab
  // is no longer its pool's current one and holds nothing else.
  static void Release(void* piece);
  // Gives back `count` pieces of the slab that holds `piece` at once.
  static void ReleaseMany(void* piece, std::size_t count);
  // True when both pieces lie in the same slab.
  static bool SameSlab(const void* a, const void* b) {
    return ((reinterpret_cast<uintptr_t>(a) ^ reinterpret_cast<uintptr_t>(b)) & ~uintptr_t{kSlabSize - 1}) == 0;
  }

 private:
  struct TSlab {
    TCellPool* pool;  // the pool still allocating from this slab, or null
    std::size_t live;
    std::shared_ptr<TSlabCache> cache;  // where the slab goes when freed, or null
  };
  static constexpr std::size_t kHeaderSize = (sizeof(TSlab) + 15) & ~std::size_t{15};

  void NewSlab(std::size_t size);
  // Leaves the current slab; frees it when no cell lives in it.
  void Retire();
  static void FreeSlab(TSlab* slab);

  TSlab* current_ = nullptr;
  uint8_t* next_ = nullptr;
  uint8_t* limit_ = nullptr;
  std::shared_ptr<TSlabCache> cache_;
};

}  // namespace tabulon
