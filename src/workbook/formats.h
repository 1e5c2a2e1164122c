// Cell formats (XF records), number formats and the Open XML style objects
// (fills, borders, cell styles) of a workbook.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "workbook/fonts.h"

namespace tabulon {

class TCellFormats;

// Base of the counted objects kept in lists: cell formats, fills, borders.
class TUsageObject {
 public:
  virtual ~TUsageObject() = default;
  int32_t UsageCount = 0;
  int32_t ListIndex = 0;
};

// ---- Number formats ---------------------------------------------------------

// Number format indexes up to this one are built in and never counted.
inline constexpr int32_t kLastBuiltInNumberFormat = 58;

struct TNumberFormat {
  uint16_t Hash = 0;   // 16-bit hash of Text
  std::u16string Text;
  int32_t Index = 0;   // the number format index that cell formats use
  int32_t UsageCount = 0;  // -1: a built-in format that no one uses
  static uint16_t HashText(std::u16string_view text);
};

class TNumberFormats {
 public:
  TNumberFormats();  // empty; call AddBuiltIns
  int32_t Count() const { return static_cast<int32_t>(items_.size()); }
  // By list position; raises "List index out of bounds (%d)".
  TNumberFormat& Items(int32_t position);
  const TNumberFormat& Items(int32_t position) const;

  // Empties the list and adds the 59 built-in formats (usage -1);
  // HighestIndex 58, sorted.
  void Reset();
  void Clear();
  // Adds or updates the format with that index (see the .cpp).
  void AddNumberFormat(std::u16string_view text, int32_t index, int32_t usage);
  // The index of the format with exactly that text (usage raised), or of a
  // new one under HighestIndex + 1 with usage 1.
  int32_t FindOrAddNumberFormat(std::u16string_view text);
  // The list position of the format with that index, or -1.
  int32_t FindNumberFormat(int32_t index) const;
  // The format with that index, or nullptr.
  TNumberFormat* FormatByIndex(int32_t index);
  // Raise / lower the usage of a format above the built-in range. Use returns
  // false when no format has that index (built-in indexes always succeed).
  // Release deletes a format whose usage falls below 1 (never a built-in one
  // whose usage is -1).
  bool UseNumberFormat(int32_t index);
  void ReleaseNumberFormat(int32_t index);
  void SortNumberFormats();

  int32_t HighestIndex = 0;
  bool IsSorted = true;

 private:
  std::vector<TNumberFormat> items_;
};

// ---- Cell formats -------------------------------------------------------------

inline constexpr std::size_t kXFDataSize = 20;

// One cell format: the 20-byte body of a BIFF8 XF record (MS-XLS layout).
class TCellFormat : public TUsageObject {
 public:
  // A new cell format with the default values (font 0, number format 0,
  // locked, general/bottom alignment, default colours).
  explicit TCellFormat(TCellFormats* owner);
  // Releases its number format.
  ~TCellFormat() override;
  TCellFormat(const TCellFormat&) = delete;
  TCellFormat& operator=(const TCellFormat&) = delete;

  TCellFormats* Owner() const { return owner_; }

  // Copies a BIFF8 XF body; uses its number format.
  void ReadXF8(const uint8_t* data, std::size_t size);
  // Re-packs a BIFF5 XF body into the BIFF8 layout; uses its number format.
  void ReadXF5(const uint8_t* data, std::size_t size);

  uint16_t FontIndex() const { return Get16(0); }
  uint16_t NumberFormatIndex() const { return Get16(2); }
  uint16_t ProtectionWord() const { return Get16(4); }
  uint8_t Alignment() const { return XFData[6]; }
  uint8_t Rotation() const { return XFData[7]; }
  uint8_t Indent() const { return XFData[8]; }
  uint8_t Attributes() const { return XFData[9]; }
  uint32_t BorderWord1() const { return Get32(10); }
  uint32_t BorderWord2() const { return Get32(14); }
  uint16_t FillColorWord() const { return Get16(18); }
  void SetFontIndex(uint16_t v) { Set16(0, v); }
  void SetProtectionWord(uint16_t v) { Set16(4, v); }
  void SetBorderWord1(uint32_t v) { Set32(10, v); }
  void SetBorderWord2(uint32_t v) { Set32(14, v); }
  void SetFillColorWord(uint16_t v) { Set16(18, v); }
  // Releases the current number format and uses the new one (an index that
  // does not exist gives the general format 0).
  void SetNumberFormatIndex(uint16_t index);
  // The font of the workbook's font list at FontIndex; font 0 when the index
  // is outside the list; nullptr when there are no fonts.
  TXFont* Font() const;

  uint8_t XFData[kXFDataSize] = {};

 protected:
  struct ZeroTag {};
  // All fields zero (Open XML cell formats).
  TCellFormat(TCellFormats* owner, ZeroTag);
  uint16_t Get16(std::size_t at) const { return static_cast<uint16_t>(XFData[at] | XFData[at + 1] << 8); }
  uint32_t Get32(std::size_t at) const {
    return static_cast<uint32_t>(XFData[at]) | static_cast<uint32_t>(XFData[at + 1]) << 8 |
           static_cast<uint32_t>(XFData[at + 2]) << 16 | static_cast<uint32_t>(XFData[at + 3]) << 24;
  }
  void Set16(std::size_t at, uint16_t v) {
    XFData[at] = static_cast<uint8_t>(v);
    XFData[at + 1] = static_cast<uint8_t>(v >> 8);
  }
  void Set32(std::size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) XFData[at + i] = static_cast<uint8_t>(v >> (8 * i));
  }
  // Uses the number format named in XFData; a missing one becomes format 0.
  void UseOwnNumberFormat();

 private:
  TCellFormats* owner_;
};

// ---- Open XML style objects ---------------------------------------------------

// A colour of an Open XML style: kind 0 none, 1 indexed (Value = index),
// 2 ARGB (Value), 3 theme (Value = theme index), 4 auto; Tint -1..1.
struct TEx12Color {
  uint8_t Kind = 0;
  uint32_t Value = 0;
  double Tint = 0.0;
  bool operator==(const TEx12Color&) const = default;
};

class TFill final : public TUsageObject {
 public:
  // ECMA-376 ST_PatternType in its enumeration order: 0 none, 1 solid,
  // ... 17 gray125, 18 gray0625.
  uint8_t PatternType = 0;
  TEx12Color Foreground;
  TEx12Color Background;
  // Gradient fills are kept as their XML text (not interpreted).
  std::u16string GradientXml;
};

struct TBorderLine {
  uint8_t Style = 0;  // ECMA-376 ST_BorderStyle order: 0 none, 1 thin, ...
  TEx12Color Color;
  bool operator==(const TBorderLine&) const = default;
};

class TBorder final : public TUsageObject {
 public:
  TBorderLine Left, Right, Top, Bottom, Diagonal;
  // Inner lines of a range (Open XML horizontal and vertical elements).
  TBorderLine Horizontal, Vertical;
  bool DiagonalUp = false;
  bool DiagonalDown = false;
  bool Outline = true;
};

// A list of owned usage objects; appended objects get their position as
// ListIndex and usage 0.
template <typename T>
class TUsageList {
 public:
  int32_t Count() const { return static_cast<int32_t>(items_.size()); }
  // Raises "List index out of bounds (%d)".
  T* Items(int32_t index) const;
  T* operator[](int32_t index) const { return Items(index); }
  T* Add() {
    items_.push_back(std::make_unique<T>());
    items_.back()->ListIndex = Count() - 1;
    return items_.back().get();
  }
  void Clear() { items_.clear(); }

 private:
  std::vector<std::unique_ptr<T>> items_;
};

class TFills final : public TUsageList<TFill> {};
class TBorders final : public TUsageList<TBorder> {};

// The cell format of Open XML packages (an xf element of cellXfs or
// cellStyleXfs): created with all inherited fields zero; refers to its font,
// fill and border.
class TCellFormatEx12 final : public TCellFormat {
 public:
  explicit TCellFormatEx12(TCellFormats* owner) : TCellFormat(owner, ZeroTag{}) {}

  // applyX flags of the xf element.
  static constexpr uint8_t kApplyNumberFormat = 1, kApplyFont = 2, kApplyFill = 4,
                           kApplyBorder = 8, kApplyAlignment = 16, kApplyProtection = 32;

  TXFont* FontRef = nullptr;
  TFill* FillRef = nullptr;
  TBorder* BorderRef = nullptr;
  uint8_t ApplyFlags = 0;
  int32_t XfId = -1;  // the style format (xfId), -1 when absent
  // alignment element
  uint8_t Horizontal = 0;  // ST_HorizontalAlignment order, 0 general
  uint8_t Vertical = 2;    // ST_VerticalAlignment order: 0 top, 1 center, 2 bottom, ...
  int16_t TextRotation = 0;
  uint8_t IndentLevel = 0;
  bool WrapText = false;
  bool ShrinkToFit = false;
  bool JustifyLastLine = false;
  int8_t RelativeIndent = 0;
  uint8_t ReadingOrder = 0;
  // protection element
  bool Locked = true;
  bool Hidden = false;
  bool QuotePrefix = false;
  bool PivotButton = false;
};

// A named cell style (cellStyle element).
class TEx12CellStyle {
 public:
  std::u16string Name;
  int32_t XfId = 0;
  int32_t BuiltinId = -1;  // -1 when absent
  int32_t ILevel = 0;
  bool Hidden = false;
  bool CustomBuiltin = false;
};

class TEx12CellStyles {
 public:
  int32_t Count() const { return static_cast<int32_t>(items_.size()); }
  // Raises "List index out of bounds (%d)".
  TEx12CellStyle* Items(int32_t index) const;
  TEx12CellStyle* operator[](int32_t index) const { return Items(index); }
  TEx12CellStyle* Add();
  void Clear() { items_.clear(); }

 private:
  std::vector<std::unique_ptr<TEx12CellStyle>> items_;
};

// ---- The list of cell formats -------------------------------------------------

class TCellFormats {
 public:
  // The master list (the workbook's) starts with the defaults: 59 built-in
  // number formats, 2 fills, 1 border, 21 default cell formats and one more
  // (DeletableFrom 22). Other lists start empty with the built-in number
  // formats.
  TCellFormats(TXFonts* fonts, bool master);
  ~TCellFormats();
  TCellFormats(const TCellFormats&) = delete;
  TCellFormats& operator=(const TCellFormats&) = delete;

  int32_t Count() const { return static_cast<int32_t>(items_.size()); }
  // Raises "List index out of bounds (%d)".
  TCellFormat* Items(int32_t index) const;
  TCellFormat* operator[](int32_t index) const { return Items(index); }

  // Appends a cell format with the default values; ListIndex is its position.
  TCellFormat* AddFormat();
  TCellFormatEx12* AddFormatEx12();
  // Deletes the cell format; later ones move down by one.
  void DeleteFormat(int32_t index);

  // Empties the cell formats, then the number formats (back to the built-ins),
  // fills and borders; DeletableFrom 0.
  void Clear();
  // Back to the master defaults (Clear + SetDefaults).
  void SetDefaults();
  // Appends the 21 default cell formats; raises
  // "Add default formats when not empty." when the list is not empty.
  void AddDefaultFormats();
  // Appends default cell formats until at least `count` exist (cell writers
  // call it so that format 15 exists before a cell is written).
  void EnsureFormats(int32_t count = 16);
  // Legacy XF record: sorts the number formats when needed, then AddFormat
  // and ReadXF8 (biff8) or ReadXF5 (BIFF5); BIFF3 and BIFF4 records
  // (biff5 false, biff8 false) only add a default format.
  TCellFormat* AddXFRecord(const uint8_t* data, std::size_t size, bool biff8, bool biff5);
  // After a read: DeletableFrom becomes the count.
  void FinishRead() { DeletableFrom = Count(); }
  // Cell format 15 when there are at least 16, cell format 0 when there is
  // one, nullptr for an empty list.
  TCellFormat* DefaultFormat() const;

  // Usage counting by cells. TakeFormat gives the format at `index`, or
  // format 15 when the index is outside the list (adding default formats up
  // to 16 when needed), and raises its usage when it is deletable.
  TCellFormat* TakeFormat(int32_t index);
  void UseFormat(TCellFormat* format);
  // Lowers the usage of a deletable format and deletes it when it falls to 0.
  void ReleaseFormat(TCellFormat* format);
  // Gives back `uses` uses at once, as that many ReleaseFormat calls would.
  void ReleaseFormatUses(TCellFormat* format, std::size_t uses);

  TXFonts* Fonts() const { return fonts_; }
  TNumberFormats& NumberFormats() { return numberFormats_; }
  const TNumberFormats& NumberFormats() const { return numberFormats_; }
  TFills& Fills() { return fills_; }
  TBorders& Borders() { return borders_; }
  bool IsMaster() const { return master_; }

  int32_t DeletableFrom = 0;

 private:
  TCellFormat* Append(std::unique_ptr<TCellFormat> format);
  void ClearFormats();
  bool master_;
  TXFonts* fonts_;
  TNumberFormats numberFormats_;
  TFills fills_;
  TBorders borders_;
  std::vector<std::unique_ptr<TCellFormat>> items_;
};

}  // namespace tabulon
