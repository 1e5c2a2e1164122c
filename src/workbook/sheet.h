// Sheets of a workbook: the owning collection TSheets with its parallel list
// of names, and TSheet with its cell container, the cell write and read
// operations the readers use, and the text of a cell's value.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "workbook/cell_storage.h"
#include "workbook/record_storage.h"
#include "workbook/sheet_objects.h"

namespace tabulon {

class TCellFormats;
class TSST2;
class TSheets;
class TXLSWorkbook;

// The texts of boolean values, shared by every workbook of the module;
// "TRUE" and "FALSE" unless a workbook's setter changed them.
extern std::u16string StrTRUE;
extern std::u16string StrFALSE;

// Sheet kinds of TSheets::Add.
enum : uint8_t { skWorksheet = 0, skVBModule = 1, skMacroSheet = 2 };

class TBasicSheet {
 public:
  TBasicSheet(const TBasicSheet&) = delete;
  TBasicSheet& operator=(const TBasicSheet&) = delete;
  virtual ~TBasicSheet() = default;

  TSheets& Collection() const { return collection_; }
  // Position in the collection.
  int32_t Index() const { return index_; }
  // Collection-unique, never reused.
  uint64_t ID() const { return id_; }

  const std::u16string& Name() const { return name_; }
  // A change of letter case alone is ignored; a name another sheet has
  // (compared without case) raises "Sheet name "%s" allready exists".
  void SetName(std::u16string_view name);

 protected:
  TBasicSheet(TSheets& collection, int32_t index, uint64_t id);

 private:
  friend class TSheets;
  TSheets& collection_;
  int32_t index_;
  uint64_t id_;
  std::u16string name_;
};

class TSheet final : public TBasicSheet {
 public:
  ~TSheet() override;

  uint8_t Kind() const { return kind_; }
  // Visibility of a legacy sheet: 0 visible, 1 hidden, 2 very hidden.
  uint8_t Visibility = 0;
  // Position of the sheet's entry in a legacy file's sheet list.
  int32_t SheetNumber = 0;

  TCellValues& Cells() const { return *cells_; }

  // ---- Cell writes: each creates one cell and stores it with SetCell. A
  // format index not below the number of cell formats stands for format 15.
  // Positions outside the container raise "Cell position out of range (%d, %d)".
  void WriteBlank(uint32_t col, uint32_t row, uint16_t formatIndex);
  void WriteBoolean(uint32_t col, uint32_t row, uint16_t formatIndex, uint8_t value);
  // errorIndex 1..7; other values raise "Invalid cell error value".
  void WriteError(uint32_t col, uint32_t row, uint16_t formatIndex, uint8_t errorIndex);
  void WriteNumber(uint32_t col, uint32_t row, uint16_t formatIndex, double value);
  // A text cell on the shared string at `index`; an index outside the table
  // raises "List index out of bounds (%d)" before anything is stored.
  void WriteSSTString(uint32_t col, uint32_t row, uint16_t formatIndex, int64_t index);
  // A text cell on the shared string found or added for the text.
  void WriteString(uint32_t col, uint32_t row, uint16_t formatIndex, std::u16string_view text);

  // Token formulas: a copy of `size` token bytes of which the first
  // `expressionLength` are the parsed expression.
  void WriteNumberFormula(uint32_t col, uint32_t row, uint16_t formatIndex, const uint8_t* tokens,
                          uint32_t size, uint32_t expressionLength, double result);
  void WriteStringFormula(uint32_t col, uint32_t row, uint16_t formatIndex, const uint8_t* tokens,
                          uint32_t size, uint32_t expressionLength, std::u16string_view result);
  void WriteBooleanFormula(uint32_t col, uint32_t row, uint16_t formatIndex, const uint8_t* tokens,
                           uint32_t size, uint32_t expressionLength, uint8_t result);
  // `errorCode` is a BIFF error code, stored as its error index.
  void WriteErrorFormula(uint32_t col, uint32_t row, uint16_t formatIndex, const uint8_t* tokens,
                         uint32_t size, uint32_t expressionLength, uint8_t errorCode);
  void WriteNumberArrayFormula(uint32_t col, uint32_t row, uint16_t formatIndex, const uint8_t* tokens,
                               uint32_t size, uint32_t expressionLength, double result,
                               const uint8_t* arrayData, uint32_t arrayDataSize, uint8_t arrayMember);
  void WriteStringArrayFormula(uint32_t col, uint32_t row, uint16_t formatIndex, const uint8_t* tokens,
                               uint32_t size, uint32_t expressionLength, std::u16string_view result,
                               const uint8_t* arrayData, uint32_t arrayDataSize, uint8_t arrayMember);
  void WriteBooleanArrayFormula(uint32_t col, uint32_t row, uint16_t formatIndex, const uint8_t* tokens,
                                uint32_t size, uint32_t expressionLength, uint8_t result,
                                const uint8_t* arrayData, uint32_t arrayDataSize, uint8_t arrayMember);
  // `errorCode` is a BIFF error code, stored as its error index.
  void WriteErrorArrayFormula(uint32_t col, uint32_t row, uint16_t formatIndex, const uint8_t* tokens,
                              uint32_t size, uint32_t expressionLength, uint8_t errorCode,
                              const uint8_t* arrayData, uint32_t arrayDataSize, uint8_t arrayMember);

  // Text formulas (Open XML): the formula's text with its option bits and
  // shared group (kNoSharedIndex for none).
  void WriteNumberFormulaText(uint32_t col, uint32_t row, uint16_t formatIndex, std::u16string_view formula,
                              double result, uint8_t options, uint16_t sharedIndex);
  void WriteStringFormulaText(uint32_t col, uint32_t row, uint16_t formatIndex, std::u16string_view formula,
                              std::u16string_view result, uint8_t options, uint16_t sharedIndex);
  void WriteBooleanFormulaText(uint32_t col, uint32_t row, uint16_t formatIndex, std::u16string_view formula,
                               uint8_t result, uint8_t options, uint16_t sharedIndex);
  // `errorIndex` is an error index, stored as given.
  void WriteErrorFormulaText(uint32_t col, uint32_t row, uint16_t formatIndex, std::u16string_view formula,
                             uint8_t errorIndex, uint8_t options, uint16_t sharedIndex);

  // ---- Cell reads.
  TCell* GetCell(uint32_t col, uint32_t row) const { return cells_->GetCell(col, row); }
  // The cell's type code, 0 when no cell is stored.
  uint8_t GetCellType(uint32_t col, uint32_t row) const;
  // The value of a number cell or the result of a number formula, else 0.
  double GetCellAsFloat(uint32_t col, uint32_t row) const;
  // Gives back a text cell's shared string, then removes the cell. Failures
  // raise "Error on deleting cell %d:%d".
  void DeleteCell(uint32_t col, uint32_t row);

  // The text of the value of the cell at (col, row); empty for no cell.
  std::u16string GetCellText(uint32_t col, uint32_t row) const;
  // GetCellText of the position an A1 reference names. The reference is
  // read as far as it parses: "B" and "b2" read A1, "C$" reads C1.
  std::u16string GetCellTextRef(std::u16string_view refText) const;

  // Frees cells and the objects kept beside them.
  void ClearContents();

  // ---- Objects the readers keep beside the cells.
  TRecordStorageSheet& Records() { return records_; }
  TXLSRows& Rows() { return rows_; }
  TXLSColumns& Columns() { return columns_; }
  std::vector<TCellArea>& MergedCells() { return mergedCells_; }
  TXLSSavedTags& SavedTags() { return savedTags_; }
  TXMLRelations& Relations() { return relations_; }
  // The used area given by the file, when it gave one.
  bool HasDimension = false;
  TCellArea Dimension;

 private:
  friend class TSheets;
  TSheet(TSheets& collection, int32_t index, uint64_t id, uint8_t kind);
  TCellFormats& Formats() const;
  void StoreFormula(uint32_t col, uint32_t row, std::unique_ptr<TFormulaCell> cell);
  // An array-formula cell of class TArrayCell with its result, tokens and array data.
  template <class TArrayCell, class TResult>
  void WriteArrayFormulaCell(uint32_t col, uint32_t row, uint16_t formatIndex, const uint8_t* tokens, uint32_t size,
                             uint32_t expressionLength, TResult result, const uint8_t* arrayData,
                             uint32_t arrayDataSize, uint8_t arrayMember);

  uint8_t kind_;
  TCellValues* cells_;  // owned by the workbook's TCellValuesList
  TRecordStorageSheet records_;
  TXLSRows rows_;
  TXLSColumns columns_;
  std::vector<TCellArea> mergedCells_;
  TXLSSavedTags savedTags_;
  TXMLRelations relations_;
};

// Most sheets a workbook may have; one more raises "Too many sheets (more
// than 65535)", so that a small file cannot make a vast collection.
inline constexpr int32_t kMaxSheets = 65535;

// The owning collection of a workbook's sheets.
class TSheets {
 public:
  // `owner` may be null for a collection that serves no workbook (its
  // formula cells then give their cached results).
  TSheets(TXLSWorkbook* owner, TCellFormats& formats, TSST2& sst, TCellValuesList& cellValues);
  ~TSheets();
  TSheets(const TSheets&) = delete;
  TSheets& operator=(const TSheets&) = delete;

  int32_t Count() const { return static_cast<int32_t>(items_.size()); }
  // Raises "List index out of bounds (%d)" outside 0..Count-1.
  TSheet& operator[](int64_t index) const;
  TSheet& Items(int64_t index) const { return (*this)[index]; }

  // Appends a new empty sheet of the kind, named "Sheet" + (ID + 1).
  // Raises "Too many sheets (more than 65535)" past kMaxSheets.
  TSheet& Add(uint8_t kind);
  // Frees every sheet with its contents, empties the shared string table,
  // the list of cell containers and the names.
  void Clear();
  void ClearAndAddDefault();
  // The first sheet whose name equals `name` without regard to case.
  TSheet* FindByName(std::u16string_view name) const;

  // Entry i is the name of sheet i.
  const std::vector<std::u16string>& Names() const { return names_; }
  // The ID the next sheet gets.
  uint64_t NextID() const { return nextId_; }
  void SetNextID(uint64_t id) { nextId_ = id; }

  TXLSWorkbook* Owner() const { return owner_; }
  TCellFormats& Formats() const { return formats_; }
  TSST2& SST() const { return sst_; }
  TCellValuesList& CellValues() const { return cellValues_; }

 private:
  friend class TBasicSheet;
  TXLSWorkbook* owner_;
  TCellFormats& formats_;
  TSST2& sst_;
  TCellValuesList& cellValues_;
  std::vector<std::unique_ptr<TSheet>> items_;
  std::vector<std::u16string> names_;
  // How many sheets bear each name, upper-cased: the check of a new name
  // takes one lookup however many sheets there are.
  std::unordered_map<std::u16string, int32_t> upperNames_;
  uint64_t nextId_ = 0;
  void CountName(const std::u16string& upper, int32_t delta);
  // Frees the sheets, the last first (each takes its container off the
  // list's end).
  void FreeSheets();
};

}  // namespace tabulon
