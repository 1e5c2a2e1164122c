#include "workbook/hash_trie.h"

#include <cstdint>

namespace tabulon {

namespace {
constexpr int kChainLimit = 8;
constexpr uintptr_t kChildTag = 1;  // low bit of a slot: the slot holds a child node
}  // namespace

// One trie node. A slot is 0 (empty), a chain head (THashTrieLink*) or a
// child node pointer tagged with kChildTag.
class TTreeItem {
 public:
  explicit TTreeItem(uint32_t depth) : Depth(depth) {}
  ~TTreeItem() {
    for (uintptr_t slot : Slots)
      if (slot & kChildTag) delete ChildOf(slot);  // nodes own their children
  }
  static TTreeItem* ChildOf(uintptr_t slot) { return reinterpret_cast<TTreeItem*>(slot & ~kChildTag); }
  static THashTrieLink* ChainOf(uintptr_t slot) { return reinterpret_cast<THashTrieLink*>(slot); }
  std::size_t SlotOf(uint32_t hash) const { return (hash >> (8 * (Depth & 3))) & 0xFF; }

  uint32_t Depth;
  uint32_t UsedSlots = 0;
  uintptr_t Slots[256] = {};
};

THashTrie::THashTrie() = default;
THashTrie::~THashTrie() = default;  // derived classes free their items first

THashTrieLink* THashTrie::Find(const THashTrieLink* probe) const {
  const TTreeItem* node = root_.get();
  while (node) {
    uintptr_t slot = node->Slots[node->SlotOf(probe->Hash)];
    if (slot == 0) return nullptr;
    if (slot & kChildTag) {
      node = TTreeItem::ChildOf(slot);
      continue;
    }
    for (THashTrieLink* item = TTreeItem::ChainOf(slot); item; item = item->NextLink)
      if (item->Hash == probe->Hash && EqualItems(item, probe)) return item;
    return nullptr;
  }
  return nullptr;
}

THashTrieLink* THashTrie::Insert(THashTrieLink* item) {
  if (!root_) root_ = std::make_unique<TTreeItem>(0);
  TTreeItem* node = root_.get();
  for (;;) {
    uintptr_t& slot = node->Slots[node->SlotOf(item->Hash)];
    if (slot == 0) {
      item->NextLink = nullptr;
      slot = reinterpret_cast<uintptr_t>(item);
      ++node->UsedSlots;
      ++itemCount_;
      return item;
    }
    if (slot & kChildTag) {
      node = TTreeItem::ChildOf(slot);
      continue;
    }
    int length = 0;
    for (THashTrieLink* link = TTreeItem::ChainOf(slot); link; link = link->NextLink, ++length)
      if (link->Hash == item->Hash && EqualItems(link, item)) return link;
    if (length < kChainLimit || node->Depth + 1 >= kMaxDepth) {
      item->NextLink = TTreeItem::ChainOf(slot);
      slot = reinterpret_cast<uintptr_t>(item);
      ++itemCount_;
      return item;
    }
    // A full chain becomes a child node one level deeper; its items move into
    // the child's slots by the next byte of their hashes.
    auto child = std::make_unique<TTreeItem>(node->Depth + 1);
    THashTrieLink* link = TTreeItem::ChainOf(slot);
    while (link) {
      THashTrieLink* next = link->NextLink;
      uintptr_t& target = child->Slots[child->SlotOf(link->Hash)];
      if (target == 0) ++child->UsedSlots;
      link->NextLink = TTreeItem::ChainOf(target);
      target = reinterpret_cast<uintptr_t>(link);
      link = next;
    }
    slot = reinterpret_cast<uintptr_t>(child.release()) | kChildTag;
    // The new item goes on into the child (which may split again).
    node = TTreeItem::ChildOf(slot);
  }
}

bool THashTrie::Unlink(THashTrieLink* item) {
  if (!root_) return false;
  // Path of nodes and slots walked, to drop nodes that become empty.
  TTreeItem* path[kMaxDepth + 1];
  std::size_t slots[kMaxDepth + 1];
  int depth = 0;
  TTreeItem* node = root_.get();
  for (;;) {
    std::size_t index = node->SlotOf(item->Hash);
    path[depth] = node;
    slots[depth] = index;
    uintptr_t& slot = node->Slots[index];
    if (slot == 0) return false;
    if (slot & kChildTag) {
      node = TTreeItem::ChildOf(slot);
      ++depth;
      continue;
    }
    THashTrieLink** link = reinterpret_cast<THashTrieLink**>(&slot);
    while (*link && *link != item) link = &(*link)->NextLink;
    if (!*link) return false;
    *link = item->NextLink;
    item->NextLink = nullptr;
    --itemCount_;
    if (slot == 0) --node->UsedSlots;
    break;
  }
  // Free emptied child nodes bottom-up (the root stays).
  while (depth > 0 && path[depth]->UsedSlots == 0) {
    TTreeItem* parent = path[depth - 1];
    uintptr_t& slot = parent->Slots[slots[depth - 1]];
    delete TTreeItem::ChildOf(slot);
    slot = 0;
    --parent->UsedSlots;
    --depth;
  }
  return true;
}

bool THashTrie::Remove(THashTrieLink* item) {
  if (!Unlink(item)) return false;
  FreeItem(item);
  return true;
}

void THashTrie::ForEachRaw(void (*visit)(THashTrieLink*, void*), void* context) const {
  if (!root_) return;
  // Depth-first without recursion: the depth is bounded by kMaxDepth.
  const TTreeItem* stack[kMaxDepth + 1];
  std::size_t next[kMaxDepth + 1];
  int top = 0;
  stack[0] = root_.get();
  next[0] = 0;
  while (top >= 0) {
    const TTreeItem* node = stack[top];
    if (next[top] == 256) {
      --top;
      continue;
    }
    uintptr_t slot = node->Slots[next[top]++];
    if (slot == 0) continue;
    if (slot & kChildTag) {
      ++top;
      stack[top] = TTreeItem::ChildOf(slot);
      next[top] = 0;
      continue;
    }
    for (THashTrieLink* link = TTreeItem::ChainOf(slot); link;) {
      THashTrieLink* following = link->NextLink;  // visit may free the item
      visit(link, context);
      link = following;
    }
  }
}

void THashTrie::ClearTrie(bool freeItems) {
  if (freeItems) ForEach([this](THashTrieLink* item) { FreeItem(item); });
  root_.reset();
  itemCount_ = 0;
}

TObjectHashTrie::~TObjectHashTrie() { ClearTrie(false); }

THashItem* TObjectHashTrie::AddOrFind(THashItem* item) {
  item->Hash = item->ComputeHash();
  return static_cast<THashItem*>(Insert(item));
}

THashItem* TObjectHashTrie::FindEqual(THashItem& probe) const {
  probe.Hash = probe.ComputeHash();
  return static_cast<THashItem*>(Find(&probe));
}

uint32_t TObjectHashTrie::HashItem(const THashTrieLink* item) const {
  return static_cast<const THashItem*>(item)->ComputeHash();
}

bool TObjectHashTrie::EqualItems(const THashTrieLink* a, const THashTrieLink* b) const {
  return static_cast<const THashItem*>(a)->SameItem(*static_cast<const THashItem*>(b));
}

}  // namespace tabulon
