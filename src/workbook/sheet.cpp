#include "workbook/sheet.h"

#include "platform/error.h"
#include "platform/platform.h"
#include "workbook/cellref.h"
#include "workbook/formats.h"
#include "workbook/number_text.h"
#include "workbook/sst.h"
#include "workbook/workbook.h"

namespace tabulon {

std::u16string StrTRUE = u"TRUE";
std::u16string StrFALSE = u"FALSE";

// ---- TBasicSheet ------------------------------------------------------------------

TBasicSheet::TBasicSheet(TSheets& collection, int32_t index, uint64_t id)
    : collection_(collection), index_(index), id_(id) {}

void TBasicSheet::SetName(std::u16string_view name) {
  const std::u16string newUpper = platform::WideUpper(name);
  const std::u16string oldUpper = platform::WideUpper(name_);
  if (oldUpper == newUpper) return;
  // The sheet's own name is another one, so any sheet counted under the new
  // name is some other sheet.
  const auto found = collection_.upperNames_.find(newUpper);
  if (found != collection_.upperNames_.end() && found->second > 0)
    Throw("Sheet name \"" + platform::WideToHost(name) + "\" allready exists");
  collection_.CountName(newUpper, 1);
  collection_.CountName(oldUpper, -1);
  name_ = name;
  collection_.names_[static_cast<std::size_t>(index_)] = name_;
}

// ---- TSheet: life -------------------------------------------------------------------

TSheet::TSheet(TSheets& collection, int32_t index, uint64_t id, uint8_t kind)
    : TBasicSheet(collection, index, id), kind_(kind), cells_(&collection.CellValues().Add()) {}

TSheet::~TSheet() { Collection().CellValues().Remove(cells_); }

void TSheet::ClearContents() {
  cells_->SharedFormulaRanges().clear();
  cells_->ClearCells();
  records_.Clear();
  rows_.Clear();
  columns_.Clear();
  mergedCells_.clear();
  savedTags_.Clear();
  relations_.Clear();
  HasDimension = false;
  Dimension = TCellArea();
}

TCellFormats& TSheet::Formats() const { return Collection().Formats(); }

// ---- TSheet: writes --------------------------------------------------------------------

void TSheet::WriteBlank(uint32_t col, uint32_t row, uint16_t formatIndex) {
  CheckCellPosition(col, row);
  cells_->SetCell(col, row, MakePooledCell<TBlankCell>(cells_->Pool(), Formats(), formatIndex, col, row));
}

void TSheet::WriteBoolean(uint32_t col, uint32_t row, uint16_t formatIndex, uint8_t value) {
  CheckCellPosition(col, row);
  cells_->SetCell(col, row, MakePooledCell<TBooleanCell>(cells_->Pool(), Formats(), formatIndex, col, row, value));
}

void TSheet::WriteError(uint32_t col, uint32_t row, uint16_t formatIndex, uint8_t errorIndex) {
  CheckCellPosition(col, row);
  CheckCellErrorIndex(errorIndex);
  cells_->SetCell(col, row, MakePooledCell<TErrorCell>(cells_->Pool(), Formats(), formatIndex, col, row, errorIndex));
}

void TSheet::WriteNumber(uint32_t col, uint32_t row, uint16_t formatIndex, double value) {
  CheckCellPosition(col, row);
  cells_->SetCell(col, row, MakePooledCell<TFloatCell>(cells_->Pool(), Formats(), formatIndex, col, row, value));
}

void TSheet::WriteSSTString(uint32_t col, uint32_t row, uint16_t formatIndex, int64_t index) {
  TSSTEntry* entry = Collection().SST().GetEntry(index);
  CheckCellPosition(col, row);
  cells_->SetCell(col, row, MakePooledCell<TStringCell>(cells_->Pool(), Formats(), formatIndex, col, row, entry));
  TSST2::AddRef(entry);
}

void TSheet::WriteString(uint32_t col, uint32_t row, uint16_t formatIndex, std::u16string_view text) {
  CheckCellPosition(col, row);
  TSSTEntry* entry = Collection().SST().FindOrAddString(text);
  cells_->SetCell(col, row, MakePooledCell<TStringCell>(cells_->Pool(), Formats(), formatIndex, col, row, entry));
}

void TSheet::StoreFormula(uint32_t col, uint32_t row, std::unique_ptr<TFormulaCell> cell) {
  cells_->SetCell(col, row, std::move(cell));
}

void TSheet::WriteNumberFormula(uint32_t col, uint32_t row, uint16_t formatIndex, const uint8_t* tokens,
                                uint32_t size, uint32_t expressionLength, double result) {
  CheckCellPosition(col, row);
  auto cell = MakePooledCell<TNumberFormulaCell>(cells_->Pool(), Formats(), formatIndex, col, row, result);
  cell->SetTokens(tokens, size, expressionLength);
  StoreFormula(col, row, std::move(cell));
}

void TSheet::WriteStringFormula(uint32_t col, uint32_t row, uint16_t formatIndex, const uint8_t* tokens,
                                uint32_t size, uint32_t expressionLength, std::u16string_view result) {
  CheckCellPosition(col, row);
  auto cell = MakePooledCell<TStringFormulaCell>(cells_->Pool(), Formats(), formatIndex, col, row, result);
  cell->SetTokens(tokens, size, expressionLength);
  StoreFormula(col, row, std::move(cell));
}

void TSheet::WriteBooleanFormula(uint32_t col, uint32_t row, uint16_t formatIndex, const uint8_t* tokens,
                                 uint32_t size, uint32_t expressionLength, uint8_t result) {
  CheckCellPosition(col, row);
  auto cell = MakePooledCell<TBooleanFormulaCell>(cells_->Pool(), Formats(), formatIndex, col, row, result);
  cell->SetTokens(tokens, size, expressionLength);
  StoreFormula(col, row, std::move(cell));
}

void TSheet::WriteErrorFormula(uint32_t col, uint32_t row, uint16_t formatIndex, const uint8_t* tokens,
                               uint32_t size, uint32_t expressionLength, uint8_t errorCode) {
  CheckCellPosition(col, row);
  auto cell =
      MakePooledCell<TErrorFormulaCell>(cells_->Pool(), Formats(), formatIndex, col, row, ErrorCodeToIndex(errorCode));
  cell->SetTokens(tokens, size, expressionLength);
  StoreFormula(col, row, std::move(cell));
}

template <class TArrayCell, class TResult>
void TSheet::WriteArrayFormulaCell(uint32_t col, uint32_t row, uint16_t formatIndex, const uint8_t* tokens,
                                   uint32_t size, uint32_t expressionLength, TResult result,
                                   const uint8_t* arrayData, uint32_t arrayDataSize, uint8_t arrayMember) {
  CheckCellPosition(col, row);
  auto cell = MakePooledCell<TArrayCell>(cells_->Pool(), Formats(), formatIndex, col, row, result, arrayMember);
  cell->SetTokens(tokens, size, expressionLength);
  cell->SetArrayData(arrayData, arrayDataSize);
  StoreFormula(col, row, std::move(cell));
}

void TSheet::WriteNumberArrayFormula(uint32_t col, uint32_t row, uint16_t formatIndex, const uint8_t* tokens,
                                     uint32_t size, uint32_t expressionLength, double result,
                                     const uint8_t* arrayData, uint32_t arrayDataSize, uint8_t arrayMember) {
  WriteArrayFormulaCell<TNumberArrayFormulaCell>(col, row, formatIndex, tokens, size, expressionLength, result,
                                                 arrayData, arrayDataSize, arrayMember);
}

void TSheet::WriteStringArrayFormula(uint32_t col, uint32_t row, uint16_t formatIndex, const uint8_t* tokens,
                                     uint32_t size, uint32_t expressionLength, std::u16string_view result,
                                     const uint8_t* arrayData, uint32_t arrayDataSize, uint8_t arrayMember) {
  WriteArrayFormulaCell<TStringArrayFormulaCell>(col, row, formatIndex, tokens, size, expressionLength, result,
                                                 arrayData, arrayDataSize, arrayMember);
}

void TSheet::WriteBooleanArrayFormula(uint32_t col, uint32_t row, uint16_t formatIndex, const uint8_t* tokens,
                                      uint32_t size, uint32_t expressionLength, uint8_t result,
                                      const uint8_t* arrayData, uint32_t arrayDataSize, uint8_t arrayMember) {
  WriteArrayFormulaCell<TBooleanArrayFormulaCell>(col, row, formatIndex, tokens, size, expressionLength, result,
                                                  arrayData, arrayDataSize, arrayMember);
}

void TSheet::WriteErrorArrayFormula(uint32_t col, uint32_t row, uint16_t formatIndex, const uint8_t* tokens,
                                    uint32_t size, uint32_t expressionLength, uint8_t errorCode,
                                    const uint8_t* arrayData, uint32_t arrayDataSize, uint8_t arrayMember) {
  WriteArrayFormulaCell<TErrorArrayFormulaCell>(col, row, formatIndex, tokens, size, expressionLength,
                                                ErrorCodeToIndex(errorCode), arrayData, arrayDataSize,
                                                arrayMember);
}

void TSheet::WriteNumberFormulaText(uint32_t col, uint32_t row, uint16_t formatIndex,
                                    std::u16string_view formula, double result, uint8_t options,
                                    uint16_t sharedIndex) {
  CheckCellPosition(col, row);
  auto cell = MakePooledCell<TNumberFormulaCell>(cells_->Pool(), Formats(), formatIndex, col, row, result);
  cell->SetText(formula, options, sharedIndex);
  StoreFormula(col, row, std::move(cell));
}

void TSheet::WriteStringFormulaText(uint32_t col, uint32_t row, uint16_t formatIndex,
                                    std::u16string_view formula, std::u16string_view result, uint8_t options,
                                    uint16_t sharedIndex) {
  CheckCellPosition(col, row);
  auto cell = MakePooledCell<TStringFormulaCell>(cells_->Pool(), Formats(), formatIndex, col, row, result);
  cell->SetText(formula, options, sharedIndex);
  StoreFormula(col, row, std::move(cell));
}

void TSheet::WriteBooleanFormulaText(uint32_t col, uint32_t row, uint16_t formatIndex,
                                     std::u16string_view formula, uint8_t result, uint8_t options,
                                     uint16_t sharedIndex) {
  CheckCellPosition(col, row);
  auto cell = MakePooledCell<TBooleanFormulaCell>(cells_->Pool(), Formats(), formatIndex, col, row, result);
  cell->SetText(formula, options, sharedIndex);
  StoreFormula(col, row, std::move(cell));
}

void TSheet::WriteErrorFormulaText(uint32_t col, uint32_t row, uint16_t formatIndex,
                                   std::u16string_view formula, uint8_t errorIndex, uint8_t options,
                                   uint16_t sharedIndex) {
  CheckCellPosition(col, row);
  auto cell = MakePooledCell<TErrorFormulaCell>(cells_->Pool(), Formats(), formatIndex, col, row, errorIndex);
  cell->SetText(formula, options, sharedIndex);
  StoreFormula(col, row, std::move(cell));
}

// ---- TSheet: reads ---------------------------------------------------------------------

uint8_t TSheet::GetCellType(uint32_t col, uint32_t row) const {
  const TCell* cell = cells_->GetCell(col, row);
  return cell ? cell->CellType() : static_cast<uint8_t>(ctNone);
}

double TSheet::GetCellAsFloat(uint32_t col, uint32_t row) const {
  const TCell* cell = cells_->GetCell(col, row);
  if (!cell) return 0;
  switch (cell->CellType()) {
    case ctFloat: return static_cast<const TFloatCell*>(cell)->Value();
    case ctNumberFormula: return static_cast<const TNumberFormulaCell*>(cell)->NumberResult();
    case ctNumberArrayFormula: return static_cast<const TNumberArrayFormulaCell*>(cell)->NumberResult();
    default: return 0;
  }
}

void TSheet::DeleteCell(uint32_t col, uint32_t row) {
  try {
    TCell* cell = cells_->GetCell(col, row);
    if (cell && cell->CellType() == ctString) {
      TSSTEntry* entry = static_cast<TStringCell*>(cell)->StringEntry();
      if (entry) Collection().SST().ReleaseString(entry);
    }
    cells_->RemoveCell(col, row);
  } catch (const std::exception&) {
    Throw(Format("Error on deleting cell %d:%d", static_cast<int>(col), static_cast<int>(row)));
  }
}

std::u16string TSheet::GetCellText(uint32_t col, uint32_t row) const {
  const TCell* cell = cells_->GetCell(col, row);
  if (!cell) return std::u16string();
  const uint8_t type = cell->CellType() & 0x7F;
  if (type >= ctNumberFormula && type <= ctErrorArrayFormula) {
    const TXLSWorkbook* workbook = Collection().Owner();
    // Without the formula handler the text form is the stored formula text.
    if (workbook && workbook->ShowFormulas)
      return static_cast<const TFormulaCell*>(cell)->FormulaText();
  }
  switch (type) {
    case ctFloat: return FloatToText(static_cast<const TFloatCell*>(cell)->Value());
    case ctString: {
      const TSSTEntry* entry = static_cast<const TStringCell*>(cell)->StringEntry();
      return entry ? TSST2::GetText(entry) : std::u16string();
    }
    case ctBoolean: return static_cast<const TBooleanCell*>(cell)->Value() ? StrTRUE : StrFALSE;
    case ctError: return ErrorText(static_cast<const TErrorCell*>(cell)->ErrorIndex());
    case ctNumberFormula: return FloatToText(static_cast<const TNumberFormulaCell*>(cell)->NumberResult());
    case ctStringFormula: return static_cast<const TStringFormulaCell*>(cell)->StringResult();
    case ctBooleanFormula:
      return static_cast<const TBooleanFormulaCell*>(cell)->BooleanResult() ? StrTRUE : StrFALSE;
    case ctErrorFormula: return ErrorText(static_cast<const TErrorFormulaCell*>(cell)->ErrorResult());
    case ctNumberArrayFormula:
      return FloatToText(static_cast<const TNumberArrayFormulaCell*>(cell)->NumberResult());
    case ctStringArrayFormula: return static_cast<const TStringArrayFormulaCell*>(cell)->StringResult();
    case ctBooleanArrayFormula:
      return static_cast<const TBooleanArrayFormulaCell*>(cell)->BooleanResult() ? StrTRUE : StrFALSE;
    case ctErrorArrayFormula: return ErrorText(static_cast<const TErrorArrayFormulaCell*>(cell)->ErrorResult());
    default: return std::u16string();
  }
}

std::u16string TSheet::GetCellTextRef(std::u16string_view refText) const {
  uint16_t col = 0, row = 0;
  // The parse's result is not consulted: a reference that fails reads the
  // position the parser reached.
  (void)ParseCellRef(refText, col, row);
  return GetCellText(col, row);
}

// ---- TSheets --------------------------------------------------------------------------

TSheets::TSheets(TXLSWorkbook* owner, TCellFormats& formats, TSST2& sst, TCellValuesList& cellValues)
    : owner_(owner), formats_(formats), sst_(sst), cellValues_(cellValues) {}

TSheets::~TSheets() {
  // Cells go before the list of containers they live in.
  for (auto& sheet : items_) sheet->ClearContents();
  FreeSheets();
}

void TSheets::FreeSheets() {
  while (!items_.empty()) items_.pop_back();
}

void TSheets::CountName(const std::u16string& upper, int32_t delta) {
  int32_t& count = upperNames_[upper];
  count += delta;
  if (count <= 0) upperNames_.erase(upper);
}

TSheet& TSheets::operator[](int64_t index) const {
  if (index < 0 || index >= static_cast<int64_t>(items_.size())) ThrowListIndexError(index);
  return *items_[static_cast<std::size_t>(index)];
}

TSheet& TSheets::Add(uint8_t kind) {
  if (Count() >= kMaxSheets) Throw(Format("Too many sheets (more than %d)", kMaxSheets));
  names_.emplace_back();
  const uint64_t id = nextId_;
  try {
    items_.push_back(std::unique_ptr<TSheet>(new TSheet(*this, Count(), id, kind)));
  } catch (...) {
    names_.pop_back();
    throw;
  }
  ++nextId_;
  TSheet& sheet = *items_.back();
  const std::string number = std::to_string(id + 1);
  sheet.name_ = u"Sheet" + std::u16string(number.begin(), number.end());
  names_.back() = sheet.name_;
  CountName(platform::WideUpper(sheet.name_), 1);
  return sheet;
}

void TSheets::Clear() {
  for (auto& sheet : items_) sheet->ClearContents();
  sst_.Clear();
  FreeSheets();
  cellValues_.Clear();
  names_.clear();
  upperNames_.clear();
}

void TSheets::ClearAndAddDefault() {
  Clear();
  Add(skWorksheet);
}

TSheet* TSheets::FindByName(std::u16string_view name) const {
  for (const auto& sheet : items_)
    if (platform::WideSameText(sheet->Name(), name)) return sheet.get();
  return nullptr;
}

}  // namespace tabulon
