// A 256-way hash trie used to de-duplicate shared strings and fonts.
//
// Items are intrusive: each carries its cached 32-bit hash and the link of the
// chain it sits in, so that storing an item costs no allocation of its own.
// A node slot is empty, holds a child node, or holds a chain of at most 8
// items; a full chain is replaced by a child node one level deeper. The node
// at depth d picks its slot by byte (d mod 4) of the hash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace tabulon {

// The part of an item that the trie uses.
struct THashTrieLink {
  THashTrieLink* NextLink = nullptr;
  uint32_t Hash = 0;
};

class TTreeItem;

class THashTrie {
 public:
  THashTrie();
  virtual ~THashTrie();
  THashTrie(const THashTrie&) = delete;
  THashTrie& operator=(const THashTrie&) = delete;

  // The stored item equal to `probe` (whose Hash must be set), or nullptr.
  THashTrieLink* Find(const THashTrieLink* probe) const;
  // Inserts `item` (whose Hash must be set) unless an equal item is stored;
  // returns the stored equal item or `item`.
  THashTrieLink* Insert(THashTrieLink* item);
  // Unlinks `item` itself (found by its Hash and identity) and frees it with
  // FreeItem. Returns false when it is not stored.
  bool Remove(THashTrieLink* item);
  // Unlinks `item` without freeing it. Returns false when it is not stored.
  bool Unlink(THashTrieLink* item);
  // Frees every node; frees every item with FreeItem when freeItems is set.
  void ClearTrie(bool freeItems);
  // Calls visit(item) for every stored item.
  template <typename F>
  void ForEach(F&& visit) const;
  std::size_t ItemCount() const { return itemCount_; }

  // Chains at this depth are never split again: all 32 bits of the hash are
  // used up, and items whose hashes are equal would only split forever.
  static constexpr uint32_t kMaxDepth = 4;

 protected:
  virtual uint32_t HashItem(const THashTrieLink* item) const = 0;
  virtual void FreeItem(THashTrieLink* item) = 0;
  virtual bool EqualItems(const THashTrieLink* a, const THashTrieLink* b) const = 0;

 private:
  void ForEachRaw(void (*visit)(THashTrieLink*, void*), void* context) const;
  std::unique_ptr<TTreeItem> root_;
  std::size_t itemCount_ = 0;
};

template <typename F>
void THashTrie::ForEach(F&& visit) const {
  ForEachRaw([](THashTrieLink* item, void* context) { (*static_cast<F*>(context))(item); },
             const_cast<void*>(static_cast<const void*>(&visit)));
}

// Base of the objects kept in a TObjectHashTrie (fonts): the hash is computed
// by the object itself.
class THashItem : public THashTrieLink {
 public:
  virtual ~THashItem() = default;
  virtual uint32_t ComputeHash() const = 0;
  virtual bool SameItem(const THashItem& other) const = 0;
};

// A trie of THashItem objects that it does not own.
class TObjectHashTrie final : public THashTrie {
 public:
  ~TObjectHashTrie() override;
  // Computes the item's hash and inserts it; returns the equal stored item or
  // `item`.
  THashItem* AddOrFind(THashItem* item);
  // The stored item equal to `probe`, or nullptr (computes probe's hash).
  THashItem* FindEqual(THashItem& probe) const;
  void Clear() { ClearTrie(false); }

 protected:
  uint32_t HashItem(const THashTrieLink* item) const override;
  void FreeItem(THashTrieLink*) override {}
  bool EqualItems(const THashTrieLink* a, const THashTrieLink* b) const override;
};

}  // namespace tabulon
