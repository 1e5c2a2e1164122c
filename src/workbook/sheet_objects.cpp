#include "workbook/sheet_objects.h"

#include <algorithm>

namespace tabulon {

TXMLRelation& TXMLRelations::Add() {
  items_.push_back(std::make_unique<TXMLRelation>());
  return *items_.back();
}

void TXMLRelations::Sort() {
  std::stable_sort(items_.begin(), items_.end(),
                   [](const std::unique_ptr<TXMLRelation>& a, const std::unique_ptr<TXMLRelation>& b) {
                     return a->Id < b->Id;
                   });
}

TXMLRelation* TXMLRelations::Find(std::string_view id) const {
  std::size_t low = 0, high = items_.size();
  while (low < high) {
    const std::size_t mid = (low + high) / 2;
    const int order = std::string_view(items_[mid]->Id).compare(id);
    if (order == 0) return items_[mid].get();
    if (order < 0) low = mid + 1; else high = mid;
  }
  return nullptr;
}

}  // namespace tabulon
