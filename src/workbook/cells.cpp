#include "workbook/cells.h"

#include <cstring>

#include "platform/error.h"
#include "workbook/formats.h"

namespace tabulon {

namespace {

const std::u16string kErrorTexts[kErrorIndexCount] = {
    u"[int] No error value", u"#NULL!", u"#DIV/0!", u"#VALUE!", u"#REF!", u"#NAME?", u"#NUM!", u"#N/A",
};

std::unique_ptr<uint8_t[]> CopyBlock(const uint8_t* data, uint32_t size) {
  if (size == 0 || !data) return nullptr;
  auto block = std::make_unique_for_overwrite<uint8_t[]>(size);
  std::memcpy(block.get(), data, size);
  return block;
}

}  // namespace

uint8_t ErrorCodeToIndex(uint8_t code) {
  switch (code) {
    case 0x00: return 1;
    case 0x07: return 2;
    case 0x0F: return 3;
    case 0x17: return 4;
    case 0x1D: return 5;
    case 0x24: return 6;
    case 0x2A: return 7;
    default: return 0;
  }
}

const std::u16string& ErrorText(uint8_t errorIndex) {
  return kErrorTexts[errorIndex < kErrorIndexCount ? errorIndex : 0];
}

void* TCell::operator new(std::size_t size) { return ::operator new(size); }

void TCell::operator delete(void* block) { ::operator delete(block); }

void TCell::operator delete(TCell* cell, std::destroying_delete_t) {
  const bool pooled = cell->pooled_;
  cell->~TCell();
  if (pooled) {
    TCellPool::Release(cell);
  } else {
    ::operator delete(static_cast<void*>(cell));
  }
}

void TCellBulkDelete::Delete(TCell* cell) {
  if (cell == nullptr) return;
  const uint8_t type = cell->CellType() & 0x7F;
  const bool plain = type == ctBlank || type == ctFloat || type == ctString || type == ctBoolean || type == ctError;
  if (!plain || !cell->Pooled()) {
    // Runs still pending hold their uses and pieces, so this cannot free a
    // format or a slab that one of them refers to.
    delete cell;
    return;
  }
  TCellFormat* format = cell->CellFormat();
  if (format != format_) {
    if (format_ != nullptr) format_->Owner()->ReleaseFormatUses(format_, formatUses_);
    format_ = format;
    formatUses_ = 0;
  }
  ++formatUses_;
  if (pieces_ == 0 || !TCellPool::SameSlab(slabPiece_, cell)) {
    if (pieces_ != 0) TCellPool::ReleaseMany(slabPiece_, pieces_);
    slabPiece_ = cell;
    pieces_ = 0;
  }
  ++pieces_;
}

void TCellBulkDelete::Flush() {
  if (format_ != nullptr) format_->Owner()->ReleaseFormatUses(format_, formatUses_);
  format_ = nullptr;
  formatUses_ = 0;
  if (pieces_ != 0) TCellPool::ReleaseMany(slabPiece_, pieces_);
  slabPiece_ = nullptr;
  pieces_ = 0;
}

// ---- Format usage -----------------------------------------------------------------

TCellFormat* UseCellFormat(TCellFormats& formats, uint32_t index) {
  if (formats.Count() < 16) formats.EnsureFormats(16);
  const int32_t position = index < static_cast<uint32_t>(formats.Count()) ? static_cast<int32_t>(index) : 15;
  return formats.TakeFormat(position);
}

void ReleaseCellFormat(TCellFormat* format) {
  if (format) format->Owner()->ReleaseFormat(format);
}

void AddCellFormatUse(TCellFormat* format) {
  if (format) format->Owner()->UseFormat(format);
}

uint32_t TFormattedObject::FormatIndex() const {
  return format_ ? static_cast<uint32_t>(format_->ListIndex) : 0;
}

void TFormattedObject::SetFormatIndex(uint32_t index) {
  if (!format_) return;
  TCellFormats& formats = *format_->Owner();
  // Release first, as a format's user would: a deletable format left without
  // users goes away before the new one is taken.
  ReleaseCellFormat(format_);
  format_ = nullptr;
  format_ = UseCellFormat(formats, index);
}

void TFormattedObject::SetCellFormat(TCellFormat* format) {
  if (format == format_) return;
  AddCellFormatUse(format);
  ReleaseCellFormat(format_);
  format_ = format;
}

// ---- Value cells --------------------------------------------------------------------

std::unique_ptr<TCell> TBlankCell::Clone() const { return std::unique_ptr<TCell>(new TBlankCell(*this)); }
std::unique_ptr<TCell> TFloatCell::Clone() const { return std::unique_ptr<TCell>(new TFloatCell(*this)); }
std::unique_ptr<TCell> TBooleanCell::Clone() const { return std::unique_ptr<TCell>(new TBooleanCell(*this)); }
std::unique_ptr<TCell> TErrorCell::Clone() const { return std::unique_ptr<TCell>(new TErrorCell(*this)); }

std::unique_ptr<TCell> TStringCell::Clone() const {
  std::unique_ptr<TCell> copy(new TStringCell(*this));
  if (entry_) TSST2::AddRef(entry_);
  return copy;
}

void CheckCellErrorIndex(uint8_t errorIndex) {
  if (errorIndex == 0 || errorIndex >= kErrorIndexCount) Throw("Invalid cell error value");
}

TErrorCell::TErrorCell(TCellFormats& formats, uint32_t formatIndex, uint16_t col, uint32_t row,
                       uint8_t errorIndex)
    : TCell(formats, formatIndex, col, row), errorIndex_(errorIndex) {
  CheckCellErrorIndex(errorIndex);
}

// ---- Formula cells ------------------------------------------------------------------

TFormulaCell::TFormulaCell(const TFormulaCell& other)
    : TCell(other),
      formulaDataSize_(other.formulaData_ ? other.formulaDataSize_ : 0),
      expressionLength_(other.expressionLength_),
      formulaData_(CopyBlock(other.formulaData_.get(), other.formulaDataSize_)) {}

std::u16string TFormulaCell::FormulaText() const {
  if (formulaIsText_ != 1 || !formulaData_) return std::u16string();
  std::u16string text(formulaDataSize_ / 2, u'\0');
  std::memcpy(text.data(), formulaData_.get(), text.size() * 2);
  return text;
}

void TFormulaCell::SetTokens(const uint8_t* tokens, uint32_t size, uint32_t expressionLength) {
  formulaData_ = CopyBlock(tokens, size);
  formulaDataSize_ = formulaData_ ? size : 0;
  expressionLength_ = expressionLength;
  formulaIsText_ = 0;
  formulaOptions_ = 0;
  sharedIndex_ = kNoSharedIndex;
}

void TFormulaCell::SetText(std::u16string_view text, uint8_t options, uint16_t sharedIndex) {
  const uint32_t size = static_cast<uint32_t>(text.size() * 2);
  formulaData_ = CopyBlock(reinterpret_cast<const uint8_t*>(text.data()), size);
  formulaDataSize_ = size;
  expressionLength_ = 0;
  formulaIsText_ = 1;
  formulaOptions_ = options;
  sharedIndex_ = sharedIndex;
}

std::unique_ptr<TCell> TNumberFormulaCell::Clone() const {
  return std::unique_ptr<TCell>(new TNumberFormulaCell(*this));
}
std::unique_ptr<TCell> TStringFormulaCell::Clone() const {
  return std::unique_ptr<TCell>(new TStringFormulaCell(*this));
}
std::unique_ptr<TCell> TBooleanFormulaCell::Clone() const {
  return std::unique_ptr<TCell>(new TBooleanFormulaCell(*this));
}
std::unique_ptr<TCell> TErrorFormulaCell::Clone() const {
  return std::unique_ptr<TCell>(new TErrorFormulaCell(*this));
}

TBaseArrayFormulaCell::TBaseArrayFormulaCell(const TBaseArrayFormulaCell& other)
    : TFormulaCell(other),
      arrayMember_(other.arrayMember_),
      arrayDataSize_(other.arrayData_ ? other.arrayDataSize_ : 0),
      arrayData_(CopyBlock(other.arrayData_.get(), other.arrayDataSize_)) {}

void TBaseArrayFormulaCell::SetArrayData(const uint8_t* data, uint32_t size) {
  arrayData_ = CopyBlock(data, size);
  arrayDataSize_ = arrayData_ ? size : 0;
}

std::unique_ptr<TCell> TNumberArrayFormulaCell::Clone() const {
  return std::unique_ptr<TCell>(new TNumberArrayFormulaCell(*this));
}
std::unique_ptr<TCell> TStringArrayFormulaCell::Clone() const {
  return std::unique_ptr<TCell>(new TStringArrayFormulaCell(*this));
}
std::unique_ptr<TCell> TBooleanArrayFormulaCell::Clone() const {
  return std::unique_ptr<TCell>(new TBooleanArrayFormulaCell(*this));
}
std::unique_ptr<TCell> TErrorArrayFormulaCell::Clone() const {
  return std::unique_ptr<TCell>(new TErrorArrayFormulaCell(*this));
}

}  // namespace tabulon

namespace tabulon {
// Cells are the bulk of a workbook in memory: keep the common kinds at three
// or four words.
static_assert(sizeof(void*) != 8 || sizeof(TBlankCell) <= 24);
static_assert(sizeof(void*) != 8 || sizeof(TBooleanCell) <= 24);
static_assert(sizeof(void*) != 8 || sizeof(TErrorCell) <= 24);
static_assert(sizeof(void*) != 8 || sizeof(TFloatCell) <= 32);
static_assert(sizeof(void*) != 8 || sizeof(TStringCell) <= 32);
}  // namespace tabulon
