// Fonts of a workbook: TXFont (name + 10 packed bytes), its Open XML variant
// TXFontEx12, and the owning list TXFonts with its hash trie.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "workbook/hash_trie.h"

namespace tabulon {

// Style bits of a font.
inline constexpr uint8_t kFontBold = 1;
inline constexpr uint8_t kFontItalic = 2;
inline constexpr uint8_t kFontStrikeOut = 4;

class TXFont : public THashItem {
 public:
  TXFont() { Reset(); }
  ~TXFont() override = default;

  // "Arial", charset 0, family 2, colour 8, height 200, no style, no
  // sub/superscript, no underline.
  void Reset();
  // Fills the font from the body of a BIFF FONT record. BIFF8 records carry
  // the name as a flagged string (option byte 1: UTF-16); earlier ones as a
  // byte string in the ANSI code page. Missing bytes read as zero.
  void ReadFontRecord(const uint8_t* data, std::size_t size, bool biff8 = true);

  // Packed bytes: charset, family, colour, height (u32 LE), style, sub/super,
  // underline.
  static constexpr std::size_t kFontDataSize = 10;
  uint8_t FontData[kFontDataSize] = {};
  std::u16string Name;
  int32_t ListIndex = 0;
  int32_t UsageCount = 0;

  uint8_t Charset() const { return FontData[0]; }
  uint8_t Family() const { return FontData[1]; }
  uint8_t Color() const { return FontData[2]; }
  uint32_t Height() const;
  uint8_t Style() const { return FontData[7]; }
  uint8_t SubSuperscript() const { return FontData[8]; }
  uint8_t Underline() const { return FontData[9]; }
  void SetCharset(uint8_t v) { FontData[0] = v; }
  void SetFamily(uint8_t v) { FontData[1] = v; }
  void SetColor(uint8_t v) { FontData[2] = v; }
  void SetHeight(uint32_t v);
  void SetStyle(uint8_t v) { FontData[7] = v; }
  void SetSubSuperscript(uint8_t v) { FontData[8] = v; }
  void SetUnderline(uint8_t v) { FontData[9] = v; }

  // CRC-32 over FontData, the upper-cased name's UTF-16 bytes and the extra
  // key bytes of derived fonts.
  uint32_t ComputeHash() const override;
  // Same FontData, same name regardless of case, same extra key bytes.
  bool SameItem(const THashItem& other) const override;
  // A copy of the font's attributes (not its list position or usage).
  virtual std::unique_ptr<TXFont> CloneFont() const;
  virtual bool IsEx12() const { return false; }

 protected:
  // Further bytes that take part in hash and equality (none here).
  virtual const uint8_t* ExtraKey(std::size_t& size) const {
    size = 0;
    return nullptr;
  }
};

// A font of an Open XML styles part: 32 further attribute bytes that take part
// in its hash and equality.
class TXFontEx12 final : public TXFont {
 public:
  static constexpr std::size_t kEx12DataSize = 32;
  // Layout (little endian): 0 colour ARGB (u32), 4 theme colour index (i32,
  // -1 none), 8 tint (double), 16 scheme (0 none, 1 minor, 2 major),
  // 17 vertical alignment (0 baseline, 1 superscript, 2 subscript),
  // 18 flags (1 condense, 2 extend, 4 outline, 8 shadow, 16 colour is ARGB,
  // 32 colour is indexed, 64 auto colour), 19..31 spare.
  uint8_t Ex12Data[kEx12DataSize] = {};

  std::unique_ptr<TXFont> CloneFont() const override;
  bool IsEx12() const override { return true; }

 protected:
  const uint8_t* ExtraKey(std::size_t& size) const override {
    size = kEx12DataSize;
    return Ex12Data;
  }
};

class TXFonts {
 public:
  // Starts with the 5 default fonts; DeletableFrom 5.
  TXFonts();
  ~TXFonts();
  TXFonts(const TXFonts&) = delete;
  TXFonts& operator=(const TXFonts&) = delete;

  int32_t Count() const { return static_cast<int32_t>(items_.size()); }
  // Raises "List index out of bounds (%d)" outside 0..Count-1.
  TXFont* Items(int32_t index) const;
  TXFont* operator[](int32_t index) const { return Items(index); }
  // The font at `index`; font 0 when the index is outside the list; nullptr
  // only when the list is empty.
  TXFont* FontOrFirst(int32_t index) const;

  // Appends a font with the default values; ListIndex is its position.
  TXFont* AddFont();
  TXFontEx12* AddFontEx12();
  // The first font equal to `font`, or an appended copy of it.
  TXFont* FindOrAddFont(const TXFont& font);
  // Deletes the font; later fonts move down by one.
  void DeleteFont(int32_t index);

  // Empties the list (DeletableFrom 0).
  void Clear();
  // Empties the list and adds the 5 default fonts (DeletableFrom 5).
  void SetDefaults();
  // Legacy FONT record: AddFont + ReadFontRecord; when the list then holds
  // exactly 4 fonts, a default font is appended, so that the file's fifth font
  // gets index 5 (font index 4 does not exist in BIFF files).
  TXFont* AddFontRecord(const uint8_t* data, std::size_t size, bool biff8 = true);
  // After a read: a list left empty gets one default font; DeletableFrom
  // becomes the count.
  void FinishRead();
  // Empties the font trie and inserts every font.
  void RebuildFontTrie();

  // Usage counting of fonts held by formatting runs: only fonts at or above
  // DeletableFrom are counted; a released font whose usage falls below 1 is
  // deleted.
  void UseFont(TXFont* font);
  void ReleaseFont(TXFont* font);

  int32_t DeletableFrom = 5;

 private:
  TXFont* Append(std::unique_ptr<TXFont> font);
  std::vector<std::unique_ptr<TXFont>> items_;
  TObjectHashTrie trie_;
  bool trieValid_ = false;
};

}  // namespace tabulon
