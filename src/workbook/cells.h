// Cell kinds. Every cell refers to a cell format of the workbook's
// TCellFormats and knows its own position; value cells hold their value,
// formula cells their stored formula and the cached result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "workbook/cell_pool.h"
#include "workbook/sst.h"

namespace tabulon {

class TCellFormat;
class TCellFormats;

// Cell type codes (CellType). Readers of a code mask it with 0x7F.
enum : uint8_t {
  ctNone = 0,
  ctBlank = 1,
  ctFloat = 4,
  ctString = 5,
  ctBoolean = 6,
  ctError = 7,
  ctNumberFormula = 8,
  ctStringFormula = 9,
  ctBooleanFormula = 10,
  ctErrorFormula = 11,
  ctNumberArrayFormula = 12,
  ctStringArrayFormula = 13,
  ctBooleanArrayFormula = 14,
  ctErrorArrayFormula = 15,
};

// Error values are held as an index 1..7 into ErrorTexts ("#NULL!" ..
// "#N/A"); index 0 stands for no valid error.
constexpr uint8_t kErrorIndexCount = 8;
// Maps a BIFF error code to its error index, any unknown code to 0.
uint8_t ErrorCodeToIndex(uint8_t code);
// The texts of the error indexes; index 0 is "[int] No error value".
const std::u16string& ErrorText(uint8_t errorIndex);

// The value of SharedIndex for a formula that belongs to no shared group.
constexpr uint16_t kNoSharedIndex = 0xFFFF;

// Takes one use of the cell format at `index` of `formats` (an index not
// below the count stands for the default format 15). While the list holds
// fewer than 16 formats, default formats are appended first, so that format
// 15 always exists when a cell refers to it.
TCellFormat* UseCellFormat(TCellFormats& formats, uint32_t index);
// Gives back a use taken by UseCellFormat or AddCellFormatUse; a deletable
// format without users left is deleted.
void ReleaseCellFormat(TCellFormat* format);
// Takes one more use of a format that is in use already.
void AddCellFormatUse(TCellFormat* format);

// An object that refers to one cell format, holding one use of it.
class TFormattedObject {
 public:
  TFormattedObject(const TFormattedObject&) = delete;
  TFormattedObject& operator=(const TFormattedObject&) = delete;
  virtual ~TFormattedObject() { ReleaseCellFormat(format_); }

  TCellFormat* CellFormat() const { return format_; }
  // The position of the cell format in its list.
  uint32_t FormatIndex() const;
  // Refers to the format at `index` of the list that holds the current format.
  void SetFormatIndex(uint32_t index);
  // Refers to `format` (a format of the same list), taking a use of it first.
  void SetCellFormat(TCellFormat* format);

 protected:
  TFormattedObject(TCellFormats& formats, uint32_t formatIndex)
      : format_(UseCellFormat(formats, formatIndex)) {}
  // Shares the format of `other`, taking a further use of it.
  explicit TFormattedObject(TCellFormat* format) : format_(format) { AddCellFormatUse(format); }

 private:
  TCellFormat* format_;
};

class TCell : public TFormattedObject {
 public:
  virtual uint8_t CellType() const = 0;
  // A new cell of the same kind at the same position with the same format.
  virtual std::unique_ptr<TCell> Clone() const = 0;

  uint16_t Col() const { return col_; }
  uint32_t Row() const { return row_; }
  // Cells are moved by their container only.
  void SetPosition(uint16_t col, uint32_t row) {
    col_ = col;
    row_ = row;
  }
  bool IsFormula() const { return CellType() >= ctNumberFormula; }

  // Cells come from the heap through this, or from a TCellPool through
  // MakePooledCell. Deleting a cell runs its destructor and then gives the
  // memory back to where it came from.
  static void* operator new(std::size_t size);
  static void operator delete(TCell* cell, std::destroying_delete_t);
  // Frees the memory of a heap cell whose constructor failed.
  static void operator delete(void* block);
  // Marks a cell made in pool memory (MakePooledCell only).
  void SetPooled() { pooled_ = true; }
  bool Pooled() const { return pooled_; }

 protected:
  TCell(TCellFormats& formats, uint32_t formatIndex, uint16_t col, uint32_t row)
      : TFormattedObject(formats, formatIndex), row_(row), col_(col) {}
  explicit TCell(const TCell& other)
      : TFormattedObject(other.CellFormat()), row_(other.row_), col_(other.col_) {}

 private:
  // Row before Col: the small fields of the derived cells fill the space
  // after Col.
  uint32_t row_;
  uint16_t col_;
  bool pooled_ = false;  // made by MakePooledCell (fills padding, costs no room)
};

// Deletes the cells of a whole container, one Delete per cell, with the same
// outcome as deleting each. Value cells made in a pool (blank, number, text,
// boolean, error), whose destructors only give back their format use, skip
// their destructors: the format uses of a run of cells with one format and
// the pieces of a run of cells from one slab are given back in one step.
class TCellBulkDelete {
 public:
  TCellBulkDelete() = default;
  TCellBulkDelete(const TCellBulkDelete&) = delete;
  TCellBulkDelete& operator=(const TCellBulkDelete&) = delete;
  ~TCellBulkDelete() { Flush(); }

  void Delete(TCell* cell);
  // Gives back what the runs so far still hold.
  void Flush();

 private:
  TCellFormat* format_ = nullptr;
  std::size_t formatUses_ = 0;
  void* slabPiece_ = nullptr;
  std::size_t pieces_ = 0;
};

// A new cell of class T in memory of `pool`.
template <class T, class... Args>
std::unique_ptr<T> MakePooledCell(TCellPool& pool, Args&&... args) {
  void* piece = pool.Allocate(sizeof(T));
  T* cell;
  try {
    cell = ::new (piece) T(std::forward<Args>(args)...);
  } catch (...) {
    TCellPool::Release(piece);
    throw;
  }
  cell->SetPooled();
  return std::unique_ptr<T>(cell);
}

class TBlankCell final : public TCell {
 public:
  TBlankCell(TCellFormats& formats, uint32_t formatIndex, uint16_t col, uint32_t row)
      : TCell(formats, formatIndex, col, row) {}
  uint8_t CellType() const override { return ctBlank; }
  std::unique_ptr<TCell> Clone() const override;

 private:
  explicit TBlankCell(const TBlankCell& other) = default;
};

class TFloatCell final : public TCell {
 public:
  TFloatCell(TCellFormats& formats, uint32_t formatIndex, uint16_t col, uint32_t row, double value)
      : TCell(formats, formatIndex, col, row), value_(value) {}
  uint8_t CellType() const override { return ctFloat; }
  std::unique_ptr<TCell> Clone() const override;
  double Value() const { return value_; }
  void SetValue(double value) { value_ = value; }

 private:
  explicit TFloatCell(const TFloatCell& other) = default;
  double value_;
};

// A text cell: refers to an entry of the shared string table. The cell's
// hold on the entry is given back by the sheet's DeleteCell only.
class TStringCell final : public TCell {
 public:
  TStringCell(TCellFormats& formats, uint32_t formatIndex, uint16_t col, uint32_t row,
              TSSTEntry* entry)
      : TCell(formats, formatIndex, col, row), entry_(entry) {}
  uint8_t CellType() const override { return ctString; }
  // The copy refers to the same entry and holds one more count of it.
  std::unique_ptr<TCell> Clone() const override;
  TSSTEntry* StringEntry() const { return entry_; }

 private:
  explicit TStringCell(const TStringCell& other) = default;
  TSSTEntry* entry_;
};

class TBooleanCell final : public TCell {
 public:
  TBooleanCell(TCellFormats& formats, uint32_t formatIndex, uint16_t col, uint32_t row, uint8_t value)
      : TCell(formats, formatIndex, col, row), value_(value) {}
  uint8_t CellType() const override { return ctBoolean; }
  std::unique_ptr<TCell> Clone() const override;
  uint8_t Value() const { return value_; }

 private:
  explicit TBooleanCell(const TBooleanCell& other) = default;
  uint8_t value_;
};

// Raises "Invalid cell error value" for an error index outside 1..7.
void CheckCellErrorIndex(uint8_t errorIndex);

class TErrorCell final : public TCell {
 public:
  // Refuses the error index 0 (and any above 7) with "Invalid cell error value".
  TErrorCell(TCellFormats& formats, uint32_t formatIndex, uint16_t col, uint32_t row, uint8_t errorIndex);
  uint8_t CellType() const override { return ctError; }
  std::unique_ptr<TCell> Clone() const override;
  uint8_t ErrorIndex() const { return errorIndex_; }

 private:
  explicit TErrorCell(const TErrorCell& other) = default;
  uint8_t errorIndex_;
};

// A cell with a stored formula: BIFF tokens (FormulaIsText 0) or the
// formula's text as UTF-16 code units (FormulaIsText 1), and a cached result.
class TFormulaCell : public TCell {
 public:
  const uint8_t* FormulaData() const { return formulaData_.get(); }
  uint32_t FormulaDataSize() const { return formulaDataSize_; }
  uint32_t ExpressionLength() const { return expressionLength_; }
  uint8_t Evaluated() const { return evaluated_; }
  void SetEvaluated(uint8_t evaluated) { evaluated_ = evaluated; }
  uint8_t FormulaIsText() const { return formulaIsText_; }
  uint8_t FormulaOptions() const { return formulaOptions_; }
  uint16_t SharedIndex() const { return sharedIndex_; }
  void SetSharedIndex(uint16_t index) { sharedIndex_ = index; }
  // The formula's text when it is held as text, else the empty text.
  std::u16string FormulaText() const;
  // Replaces the formula by a copy of BIFF tokens (FormulaIsText 0).
  void SetTokens(const uint8_t* tokens, uint32_t size, uint32_t expressionLength);
  // Replaces the formula by its text (FormulaIsText 1).
  void SetText(std::u16string_view text, uint8_t options, uint16_t sharedIndex);

 protected:
  TFormulaCell(TCellFormats& formats, uint32_t formatIndex, uint16_t col, uint32_t row)
      : TCell(formats, formatIndex, col, row) {}
  // A fresh token formula with a copy of other's formula data.
  explicit TFormulaCell(const TFormulaCell& other);

 private:
  uint8_t evaluated_ = 0;
  uint8_t formulaIsText_ = 0;
  uint8_t formulaOptions_ = 0;
  uint16_t sharedIndex_ = kNoSharedIndex;
  uint32_t formulaDataSize_ = 0;
  uint32_t expressionLength_ = 0;
  std::unique_ptr<uint8_t[]> formulaData_;
};

class TNumberFormulaCell final : public TFormulaCell {
 public:
  TNumberFormulaCell(TCellFormats& formats, uint32_t formatIndex, uint16_t col, uint32_t row, double result)
      : TFormulaCell(formats, formatIndex, col, row), result_(result) {}
  uint8_t CellType() const override { return ctNumberFormula; }
  std::unique_ptr<TCell> Clone() const override;
  double NumberResult() const { return result_; }
  void SetNumberResult(double result) { result_ = result; }

 private:
  explicit TNumberFormulaCell(const TNumberFormulaCell& other) : TFormulaCell(other) {}
  double result_ = 0;
};

class TStringFormulaCell final : public TFormulaCell {
 public:
  TStringFormulaCell(TCellFormats& formats, uint32_t formatIndex, uint16_t col, uint32_t row,
                     std::u16string_view result)
      : TFormulaCell(formats, formatIndex, col, row), result_(result) {}
  uint8_t CellType() const override { return ctStringFormula; }
  std::unique_ptr<TCell> Clone() const override;
  const std::u16string& StringResult() const { return result_; }
  void SetStringResult(std::u16string_view result) { result_ = result; }

 private:
  explicit TStringFormulaCell(const TStringFormulaCell& other) : TFormulaCell(other) {}
  std::u16string result_;
};

class TBooleanFormulaCell final : public TFormulaCell {
 public:
  TBooleanFormulaCell(TCellFormats& formats, uint32_t formatIndex, uint16_t col, uint32_t row, uint8_t result)
      : TFormulaCell(formats, formatIndex, col, row), result_(result) {}
  uint8_t CellType() const override { return ctBooleanFormula; }
  std::unique_ptr<TCell> Clone() const override;
  uint8_t BooleanResult() const { return result_; }
  void SetBooleanResult(uint8_t result) { result_ = result; }

 private:
  explicit TBooleanFormulaCell(const TBooleanFormulaCell& other) : TFormulaCell(other) {}
  uint8_t result_ = 0;
};

class TErrorFormulaCell final : public TFormulaCell {
 public:
  // `errorIndex` is an error index (0..7), not a BIFF code.
  TErrorFormulaCell(TCellFormats& formats, uint32_t formatIndex, uint16_t col, uint32_t row, uint8_t errorIndex)
      : TFormulaCell(formats, formatIndex, col, row), result_(errorIndex) {}
  uint8_t CellType() const override { return ctErrorFormula; }
  std::unique_ptr<TCell> Clone() const override;
  uint8_t ErrorResult() const { return result_; }
  void SetErrorResult(uint8_t errorIndex) { result_ = errorIndex; }

 private:
  explicit TErrorFormulaCell(const TErrorFormulaCell& other) : TFormulaCell(other) {}
  uint8_t result_ = 0;
};

// A cell of an array formula: the anchor (ArrayMember 0) or another cell of
// the range (ArrayMember 1), with a copy of the array record's data.
class TBaseArrayFormulaCell : public TFormulaCell {
 public:
  const uint8_t* ArrayData() const { return arrayData_.get(); }
  uint32_t ArrayDataSize() const { return arrayDataSize_; }
  uint8_t ArrayMember() const { return arrayMember_; }
  void SetArrayData(const uint8_t* data, uint32_t size);

 protected:
  TBaseArrayFormulaCell(TCellFormats& formats, uint32_t formatIndex, uint16_t col, uint32_t row,
                        uint8_t arrayMember)
      : TFormulaCell(formats, formatIndex, col, row), arrayMember_(arrayMember) {}
  explicit TBaseArrayFormulaCell(const TBaseArrayFormulaCell& other);

 private:
  uint8_t arrayMember_;
  uint32_t arrayDataSize_ = 0;
  std::unique_ptr<uint8_t[]> arrayData_;
};

class TNumberArrayFormulaCell final : public TBaseArrayFormulaCell {
 public:
  TNumberArrayFormulaCell(TCellFormats& formats, uint32_t formatIndex, uint16_t col, uint32_t row,
                          double result, uint8_t arrayMember)
      : TBaseArrayFormulaCell(formats, formatIndex, col, row, arrayMember), result_(result) {}
  uint8_t CellType() const override { return ctNumberArrayFormula; }
  std::unique_ptr<TCell> Clone() const override;
  double NumberResult() const { return result_; }

 private:
  explicit TNumberArrayFormulaCell(const TNumberArrayFormulaCell& other)
      : TBaseArrayFormulaCell(other), result_(other.result_) {}
  double result_;
};

class TStringArrayFormulaCell final : public TBaseArrayFormulaCell {
 public:
  TStringArrayFormulaCell(TCellFormats& formats, uint32_t formatIndex, uint16_t col, uint32_t row,
                          std::u16string_view result, uint8_t arrayMember)
      : TBaseArrayFormulaCell(formats, formatIndex, col, row, arrayMember), result_(result) {}
  uint8_t CellType() const override { return ctStringArrayFormula; }
  std::unique_ptr<TCell> Clone() const override;
  const std::u16string& StringResult() const { return result_; }

 private:
  explicit TStringArrayFormulaCell(const TStringArrayFormulaCell& other)
      : TBaseArrayFormulaCell(other), result_(other.result_) {}
  std::u16string result_;
};

class TBooleanArrayFormulaCell final : public TBaseArrayFormulaCell {
 public:
  TBooleanArrayFormulaCell(TCellFormats& formats, uint32_t formatIndex, uint16_t col, uint32_t row,
                           uint8_t result, uint8_t arrayMember)
      : TBaseArrayFormulaCell(formats, formatIndex, col, row, arrayMember), result_(result) {}
  uint8_t CellType() const override { return ctBooleanArrayFormula; }
  std::unique_ptr<TCell> Clone() const override;
  uint8_t BooleanResult() const { return result_; }

 private:
  explicit TBooleanArrayFormulaCell(const TBooleanArrayFormulaCell& other)
      : TBaseArrayFormulaCell(other), result_(other.result_) {}
  uint8_t result_;
};

class TErrorArrayFormulaCell final : public TBaseArrayFormulaCell {
 public:
  // `errorIndex` is an error index (0..7), not a BIFF code.
  TErrorArrayFormulaCell(TCellFormats& formats, uint32_t formatIndex, uint16_t col, uint32_t row,
                         uint8_t errorIndex, uint8_t arrayMember)
      : TBaseArrayFormulaCell(formats, formatIndex, col, row, arrayMember), result_(errorIndex) {}
  uint8_t CellType() const override { return ctErrorArrayFormula; }
  std::unique_ptr<TCell> Clone() const override;
  uint8_t ErrorResult() const { return result_; }

 private:
  explicit TErrorArrayFormulaCell(const TErrorArrayFormulaCell& other)
      : TBaseArrayFormulaCell(other), result_(other.result_) {}
  uint8_t result_;
};

}  // namespace tabulon
