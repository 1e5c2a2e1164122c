// Objects the readers keep beside the cells of a sheet or of the workbook:
// row and column records, merged areas, the used area, saved XML tags and
// package relationships. Nothing in cell values depends on them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tabulon {

// A rectangle of cells, 0-based and inclusive.
struct TCellArea {
  int32_t Col1 = 0, Row1 = 0, Col2 = 0, Row2 = 0;
};

// Flag bits of row and column records.
enum : uint16_t {
  rfHidden = 0x0001,
  rfCustomFormat = 0x0002,
  rfCollapsed = 0x0004,
  rfCustomHeight = 0x0008,  // rows; bestFit for columns
  rfPhonetic = 0x0010,
  rfThickTop = 0x0020,      // rows; customWidth for columns
  rfThickBottom = 0x0040,
};

struct TXLSRow {
  uint32_t Row = 0;
  uint32_t Height = 255;     // twentieths of a point
  int32_t FormatIndex = -1;  // -1: no row format
  uint16_t Flags = 0;
  uint8_t OutlineLevel = 0;
  std::vector<uint8_t> Record;  // the BIFF ROW record body, when read from one
};

struct TXLSColumn {
  uint32_t Col = 0;
  uint32_t Width = 2500;     // 1/256 of a character
  int32_t FormatIndex = -1;
  uint16_t Flags = 0;
  uint8_t OutlineLevel = 0;
};

// Records kept in ascending order of their key; readers mostly append.
template <class T, uint32_t T::*Key>
class TSortedRecords {
 public:
  // The record for `key`, created when missing.
  T& FindOrAdd(uint32_t key) {
    if (items_.empty() || items_.back().*Key < key) {
      items_.emplace_back();
      items_.back().*Key = key;
      return items_.back();
    }
    auto it = Lower(key);
    if (it != items_.end() && (*it).*Key == key) return *it;
    it = items_.emplace(it);
    (*it).*Key = key;
    return *it;
  }
  const T* Find(uint32_t key) const {
    auto it = std::lower_bound(items_.begin(), items_.end(), key, Less);
    return it != items_.end() && (*it).*Key == key ? &*it : nullptr;
  }
  std::size_t Count() const { return items_.size(); }
  const T& operator[](std::size_t index) const { return items_[index]; }
  void Clear() { items_.clear(); }

 private:
  static bool Less(const T& item, uint32_t key) { return item.*Key < key; }
  typename std::vector<T>::iterator Lower(uint32_t key) {
    return std::lower_bound(items_.begin(), items_.end(), key, Less);
  }
  std::vector<T> items_;
};

using TXLSRows = TSortedRecords<TXLSRow, &TXLSRow::Row>;
using TXLSColumns = TSortedRecords<TXLSColumn, &TXLSColumn::Col>;

// XML elements a reader does not interpret, kept as XML text with their tag
// number so that a writer can put them back.
struct TXLSSavedTag {
  int32_t Tag = 0;
  bool Placeholder = false;  // the text is an empty element of that name
  std::string Xml;
};

class TXLSSavedTags {
 public:
  void Add(int32_t tag, std::string_view xml, bool placeholder = false) {
    items_.push_back(TXLSSavedTag{tag, placeholder, std::string(xml)});
  }
  std::size_t Count() const { return items_.size(); }
  const TXLSSavedTag& operator[](std::size_t index) const { return items_[index]; }
  void Clear() { items_.clear(); }

 private:
  std::vector<TXLSSavedTag> items_;
};

// One package relationship.
struct TXMLRelation {
  std::string Id;          // as written, e.g. "rId3"
  int32_t Number = 0;      // the integer after the first three characters of Id
  uint8_t Namespace = 0;   // 0 unknown, 1 officeDocument relationships, 2 Office 2006
  std::string TypeName;
  std::string Target;
  uint8_t TargetMode = 0;  // 0 none, 1 Internal, 2 External
  int32_t TypeNumber = 0;  // workbook relationships: position in the type table
};

// An owning list of relationships, sorted by Id (ordinal) once loaded.
class TXMLRelations {
 public:
  virtual ~TXMLRelations() = default;
  TXMLRelation& Add();
  // Sorts by Id in ordinal order.
  void Sort();
  // Halving search by Id over the sorted list; null when absent.
  TXMLRelation* Find(std::string_view id) const;
  std::size_t Count() const { return items_.size(); }
  TXMLRelation& operator[](std::size_t index) const { return *items_[index]; }
  void Clear() { items_.clear(); }

  bool Loading = false;

 private:
  std::vector<std::unique_ptr<TXMLRelation>> items_;
};

// The workbook part's relationships.
class TXMLRelationsWorkbook final : public TXMLRelations {};

}  // namespace tabulon
