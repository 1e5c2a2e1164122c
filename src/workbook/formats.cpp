#include "workbook/formats.h"

#include <algorithm>
#include <cstring>

#include "platform/error.h"
#include "workbook/crc32.h"

namespace tabulon {

namespace {

struct BuiltInFormat {
  int index;
  const char16_t* text;
};

// Built-in number formats with a text; the other indexes up to 58 are empty.
constexpr BuiltInFormat kBuiltInFormats[] = {
    {1, u"0"},
    {2, u"0.00"},
    {3, u"#,##0"},
    {4, u"#,##0.00"},
    {5, u"_($#,##0_);($#,##0)"},
    {6, u"_($#,##0_);[Red]($#,##0)"},
    {7, u"_($#,##0.00_);($#,##0.00)"},
    {8, u"_($#,##0.00_);[Red]($#,##0.00)"},
    {9, u"0%"},
    {10, u"0.00%"},
    {11, u"0.00E+00"},
    {12, u"# ?/?"},
    {13, u"# ?\?/?\?"},
    {14, u"m/d/yy"},
    {15, u"d-mmm-y"},
    {16, u"d-mmm"},
    {17, u"mmmm-yy"},
    {18, u"h:mm AM/PM"},
    {19, u"h:mm:ss AM/PM"},
    {20, u"h:mm"},
    {21, u"h:mm:SS"},
    {22, u"m/d/yy h:mm"},
    {37, u"_(#,##0_);(#,##0)"},
    {38, u"_(#,##0_);[Red](#,##0)"},
    {39, u"_(#,##0.00_);(#,##0.00)"},
    {40, u"_(#,##0.00_);[Red](#,##0.00)"},
    {41, u"_(* #,##0_);_(* (#,##0);_(* \"-\"_);_(@_)"},
    {42, u"_($* #,##0_);_($* (#,##0);_($* \"-\"_);_(@_)"},
    {43, u"_(* #,##0.00_);_(* (#,##0.00);_(* \"-\"??_);_(@_)"},
    {44, u"_($* #,##0.00_);_($* (#,##0.00);_($* \"-\"??_);_(@_)"},
    {45, u"mm:ss"},
    {46, u"[h]:mm:ss"},
    {47, u"mm:ss.0"},
    {48, u"# #0.0E+0"},
    {49, u"@"},
};

// The 21 default cell formats as BIFF8 XF bodies: font, number format,
// protection word and attribute byte (alignment 0x20, borders 0 and fill
// colour word 0x20C0 for all).
struct DefaultXF {
  uint16_t font;
  uint16_t numberFormat;
  uint16_t protection;
  uint8_t attributes;
};

constexpr DefaultXF kDefaultXFs[21] = {
    {0, 0, 0xFFF5, 0x00},                                            // 0: Normal style
    {1, 0, 0xFFF5, 0xF4}, {1, 0, 0xFFF5, 0xF4},                      // 1-2
    {2, 0, 0xFFF5, 0xF4}, {2, 0, 0xFFF5, 0xF4},                      // 3-4
    {0, 0, 0xFFF5, 0xF4}, {0, 0, 0xFFF5, 0xF4}, {0, 0, 0xFFF5, 0xF4},  // 5-7
    {0, 0, 0xFFF5, 0xF4}, {0, 0, 0xFFF5, 0xF4}, {0, 0, 0xFFF5, 0xF4},  // 8-10
    {0, 0, 0xFFF5, 0xF4}, {0, 0, 0xFFF5, 0xF4}, {0, 0, 0xFFF5, 0xF4},  // 11-13
    {0, 0, 0xFFF5, 0xF4},                                            // 14
    {0, 0, 0x0001, 0x00},                                            // 15: default cell format
    {0, 42, 0xFFF5, 0x00}, {0, 43, 0xFFF5, 0x00}, {0, 44, 0xFFF5, 0x00},  // 16-18
    {0, 45, 0xFFF5, 0x00}, {0, 9, 0xFFF5, 0x00},                     // 19-20
};

uint16_t U16(const uint8_t* data, std::size_t size, std::size_t at) {
  if (at + 2 > size) return 0;
  return static_cast<uint16_t>(data[at] | data[at + 1] << 8);
}

}  // namespace

// ---- TNumberFormats -------------------------------------------------------------

uint16_t TNumberFormat::HashText(std::u16string_view text) {
  uint32_t crc = Crc32(text.data(), text.size() * sizeof(char16_t));
  return static_cast<uint16_t>(crc ^ (crc >> 16));
}

TNumberFormats::TNumberFormats() = default;

TNumberFormat& TNumberFormats::Items(int32_t position) {
  if (position < 0 || position >= Count()) ThrowListIndexError(position);
  return items_[static_cast<std::size_t>(position)];
}

const TNumberFormat& TNumberFormats::Items(int32_t position) const {
  if (position < 0 || position >= Count()) ThrowListIndexError(position);
  return items_[static_cast<std::size_t>(position)];
}

void TNumberFormats::Clear() {
  items_.clear();
  HighestIndex = 0;
  IsSorted = true;
}

void TNumberFormats::Reset() {
  Clear();
  items_.reserve(kLastBuiltInNumberFormat + 1 + 16);
  std::size_t next = 0;
  for (int32_t index = 0; index <= kLastBuiltInNumberFormat; ++index) {
    TNumberFormat format;
    format.Index = index;
    format.UsageCount = -1;
    if (next < std::size(kBuiltInFormats) && kBuiltInFormats[next].index == index)
      format.Text = kBuiltInFormats[next++].text;
    format.Hash = TNumberFormat::HashText(format.Text);
    items_.push_back(std::move(format));
  }
  HighestIndex = kLastBuiltInNumberFormat;
  IsSorted = true;
}

int32_t TNumberFormats::FindNumberFormat(int32_t index) const {
  if (IsSorted) {
    int32_t low = 0, high = Count() - 1;
    while (low <= high) {
      int32_t middle = low + (high - low) / 2;
      int32_t value = items_[static_cast<std::size_t>(middle)].Index;
      if (value == index) return middle;
      if (value < index)
        low = middle + 1;
      else
        high = middle - 1;
    }
    return -1;
  }
  // Formats appended since the last sort: a plain search stays correct.
  for (std::size_t i = 0; i < items_.size(); ++i)
    if (items_[i].Index == index) return static_cast<int32_t>(i);
  return -1;
}

TNumberFormat* TNumberFormats::FormatByIndex(int32_t index) {
  int32_t position = FindNumberFormat(index);
  return position < 0 ? nullptr : &items_[static_cast<std::size_t>(position)];
}

void TNumberFormats::AddNumberFormat(std::u16string_view text, int32_t index, int32_t usage) {
  TNumberFormat* format = FormatByIndex(index);
  if (!format) {
    if (!items_.empty() && items_.back().Index > index) IsSorted = false;
    items_.push_back(TNumberFormat{});
    format = &items_.back();
    format->Index = index;
    format->UsageCount = usage;
  } else if (format->UsageCount == -1) {
    format->UsageCount = usage;
  } else {
    format->UsageCount += usage;
  }
  format->Text.assign(text);
  format->Hash = TNumberFormat::HashText(format->Text);
  if (index > HighestIndex) HighestIndex = index;
}

int32_t TNumberFormats::FindOrAddNumberFormat(std::u16string_view text) {
  uint16_t hash = TNumberFormat::HashText(text);
  for (TNumberFormat& format : items_) {
    if (format.Hash == hash && format.Text == text) {
      format.UsageCount = format.UsageCount == -1 ? 1 : format.UsageCount + 1;
      return format.Index;
    }
  }
  int32_t index = HighestIndex + 1;
  AddNumberFormat(text, index, 1);
  return index;
}

bool TNumberFormats::UseNumberFormat(int32_t index) {
  if (index <= kLastBuiltInNumberFormat) return true;
  TNumberFormat* format = FormatByIndex(index);
  if (!format) return false;
  format->UsageCount = format->UsageCount == -1 ? 1 : format->UsageCount + 1;
  return true;
}

void TNumberFormats::ReleaseNumberFormat(int32_t index) {
  if (index <= kLastBuiltInNumberFormat) return;
  int32_t position = FindNumberFormat(index);
  if (position < 0) return;
  TNumberFormat& format = items_[static_cast<std::size_t>(position)];
  if (format.UsageCount == -1) return;
  if (--format.UsageCount < 1) items_.erase(items_.begin() + position);
}

void TNumberFormats::SortNumberFormats() {
  std::stable_sort(items_.begin(), items_.end(),
                   [](const TNumberFormat& a, const TNumberFormat& b) { return a.Index < b.Index; });
  IsSorted = true;
}

// ---- TCellFormat ----------------------------------------------------------------

TCellFormat::TCellFormat(TCellFormats* owner) : owner_(owner) {
  Set16(4, 0x0001);         // locked
  XFData[6] = 0x20;         // general horizontal, bottom vertical
  Set32(10, 0x20400000u);   // left and right colours 0x40
  Set32(14, 0x00102040u);   // top, bottom and diagonal colours 0x40
  Set16(18, 0x20C0);        // foreground 0x40, background 0x41
}

TCellFormat::TCellFormat(TCellFormats* owner, ZeroTag) : owner_(owner) {}

TCellFormat::~TCellFormat() {
  if (owner_) owner_->NumberFormats().ReleaseNumberFormat(NumberFormatIndex());
}

void TCellFormat::UseOwnNumberFormat() {
  if (!owner_) return;
  // A format naming a number format that does not exist shows as General.
  if (!owner_->NumberFormats().UseNumberFormat(NumberFormatIndex())) Set16(2, 0);
}

void TCellFormat::SetNumberFormatIndex(uint16_t index) {
  if (owner_) owner_->NumberFormats().ReleaseNumberFormat(NumberFormatIndex());
  Set16(2, index);
  UseOwnNumberFormat();
}

TXFont* TCellFormat::Font() const {
  if (!owner_ || !owner_->Fonts()) return nullptr;
  return owner_->Fonts()->FontOrFirst(FontIndex());
}

void TCellFormat::ReadXF8(const uint8_t* data, std::size_t size) {
  if (owner_) owner_->NumberFormats().ReleaseNumberFormat(NumberFormatIndex());
  std::memset(XFData, 0, sizeof XFData);
  std::memcpy(XFData, data, std::min(size, kXFDataSize));
  UseOwnNumberFormat();
}

void TCellFormat::ReadXF5(const uint8_t* data, std::size_t size) {
  if (owner_) owner_->NumberFormats().ReleaseNumberFormat(NumberFormatIndex());
  std::memset(XFData, 0, sizeof XFData);
  Set16(0, U16(data, size, 0));   // font
  Set16(2, U16(data, size, 2));   // number format
  Set16(4, U16(data, size, 4));   // protection and parent
  uint16_t align = U16(data, size, 6);
  uint16_t fill = U16(data, size, 8);
  uint16_t pattern = U16(data, size, 10);
  uint16_t border = U16(data, size, 12);
  uint16_t colors = U16(data, size, 14);

  XFData[6] = static_cast<uint8_t>(align);
  static constexpr uint8_t kRotation[4] = {0, 255, 90, 180};
  XFData[7] = kRotation[(align >> 8) & 3];
  XFData[9] = static_cast<uint8_t>((align >> 8) & 0xFC);  // attribute flags, bits 10-15

  uint32_t border1 = 0;
  border1 |= static_cast<uint32_t>((border >> 3) & 7);        // left
  border1 |= static_cast<uint32_t>((border >> 6) & 7) << 4;   // right
  border1 |= static_cast<uint32_t>(border & 7) << 8;          // top
  border1 |= static_cast<uint32_t>((pattern >> 6) & 7) << 12; // bottom
  border1 |= static_cast<uint32_t>(colors & 0x3FFF) << 16;    // left and right colours
  uint32_t border2 = 0;
  border2 |= static_cast<uint32_t>((border >> 9) & 0x7F);       // top colour
  border2 |= static_cast<uint32_t>((pattern >> 9) & 0x7F) << 7; // bottom colour
  border2 |= static_cast<uint32_t>(pattern & 0x3F) << 26;       // fill pattern
  Set32(10, border1);
  Set32(14, border2);
  // Pattern colour in bits 0-6, background colour in bits 7-13 (all seven
  // bits: the default background 0x41 needs the top one).
  Set16(18, static_cast<uint16_t>(fill & 0x3FFF));
  UseOwnNumberFormat();
}

// ---- Open XML lists ---------------------------------------------------------------

template <typename T>
T* TUsageList<T>::Items(int32_t index) const {
  if (index < 0 || index >= Count()) ThrowListIndexError(index);
  return items_[static_cast<std::size_t>(index)].get();
}

template class TUsageList<TFill>;
template class TUsageList<TBorder>;

TEx12CellStyle* TEx12CellStyles::Items(int32_t index) const {
  if (index < 0 || index >= Count()) ThrowListIndexError(index);
  return items_[static_cast<std::size_t>(index)].get();
}

TEx12CellStyle* TEx12CellStyles::Add() {
  items_.push_back(std::make_unique<TEx12CellStyle>());
  return items_.back().get();
}

// ---- TCellFormats ------------------------------------------------------------------

TCellFormats::TCellFormats(TXFonts* fonts, bool master) : master_(master), fonts_(fonts) {
  numberFormats_.Reset();
  if (master_) SetDefaults();
}

TCellFormats::~TCellFormats() { ClearFormats(); }

TCellFormat* TCellFormats::Items(int32_t index) const {
  if (index < 0 || index >= Count()) ThrowListIndexError(index);
  return items_[static_cast<std::size_t>(index)].get();
}

TCellFormat* TCellFormats::Append(std::unique_ptr<TCellFormat> format) {
  format->ListIndex = Count();
  items_.push_back(std::move(format));
  return items_.back().get();
}

TCellFormat* TCellFormats::AddFormat() { return Append(std::make_unique<TCellFormat>(this)); }

TCellFormatEx12* TCellFormats::AddFormatEx12() {
  return static_cast<TCellFormatEx12*>(Append(std::make_unique<TCellFormatEx12>(this)));
}

void TCellFormats::DeleteFormat(int32_t index) {
  if (index < 0 || index >= Count()) ThrowListIndexError(index);
  items_.erase(items_.begin() + index);
  for (std::size_t i = static_cast<std::size_t>(index); i < items_.size(); ++i)
    items_[i]->ListIndex = static_cast<int32_t>(i);
}

void TCellFormats::ClearFormats() {
  // The formats release their number formats while those still exist.
  while (!items_.empty()) items_.pop_back();
}

void TCellFormats::Clear() {
  ClearFormats();
  numberFormats_.Reset();
  fills_.Clear();
  borders_.Clear();
  DeletableFrom = 0;
}

void TCellFormats::AddDefaultFormats() {
  if (!items_.empty()) Throw("Add default formats when not empty.");
  items_.reserve(32);
  for (const DefaultXF& xf : kDefaultXFs) {
    TCellFormat* format = AddFormat();
    format->SetFontIndex(xf.font);
    format->SetProtectionWord(xf.protection);
    format->XFData[6] = 0x20;
    format->XFData[9] = xf.attributes;
    format->SetBorderWord1(0);
    format->SetBorderWord2(0);
    format->SetFillColorWord(0x20C0);
    // Each number format a default format names gets usage 1.
    if (xf.numberFormat != 0) {
      format->XFData[2] = static_cast<uint8_t>(xf.numberFormat);
      format->XFData[3] = 0;
      if (TNumberFormat* number = numberFormats_.FormatByIndex(xf.numberFormat))
        number->UsageCount = 1;
    }
  }
}

void TCellFormats::SetDefaults() {
  Clear();
  TFill* none = fills_.Add();
  none->PatternType = 0;
  TFill* gray = fills_.Add();
  gray->PatternType = 17;  // gray125
  borders_.Add();
  AddDefaultFormats();
  AddFormat();
  DeletableFrom = Count();
}

void TCellFormats::EnsureFormats(int32_t count) {
  if (Count() >= count) return;
  if (items_.empty()) {
    AddDefaultFormats();
  }
  while (Count() < count) AddFormat();
}

TCellFormat* TCellFormats::AddXFRecord(const uint8_t* data, std::size_t size, bool biff8,
                                       bool biff5) {
  if (!numberFormats_.IsSorted) numberFormats_.SortNumberFormats();
  TCellFormat* format = AddFormat();
  if (biff8)
    format->ReadXF8(data, size);
  else if (biff5)
    format->ReadXF5(data, size);
  return format;
}

TCellFormat* TCellFormats::DefaultFormat() const {
  if (Count() >= 16) return items_[15].get();
  if (!items_.empty()) return items_[0].get();
  return nullptr;
}

TCellFormat* TCellFormats::TakeFormat(int32_t index) {
  if (index < 0 || index >= Count()) {
    index = 15;
    EnsureFormats(16);
  }
  TCellFormat* format = items_[static_cast<std::size_t>(index)].get();
  UseFormat(format);
  return format;
}

void TCellFormats::UseFormat(TCellFormat* format) {
  if (format && format->ListIndex >= DeletableFrom) ++format->UsageCount;
}

void TCellFormats::ReleaseFormat(TCellFormat* format) {
  if (!format || format->ListIndex < DeletableFrom) return;
  // A format that was never taken while deletable is not deleted here.
  if (format->UsageCount <= 0) return;
  if (--format->UsageCount == 0) DeleteFormat(format->ListIndex);
}

void TCellFormats::ReleaseFormatUses(TCellFormat* format, std::size_t uses) {
  if (!format || uses == 0 || format->ListIndex < DeletableFrom || format->UsageCount <= 0) return;
  if (static_cast<std::size_t>(format->UsageCount) > uses) {
    format->UsageCount -= static_cast<decltype(format->UsageCount)>(uses);
    return;
  }
  format->UsageCount = 0;
  DeleteFormat(format->ListIndex);
}

}  // namespace tabulon
