#include "workbook/fonts.h"

#include <cstring>

#include "platform/error.h"
#include "platform/platform.h"
#include "workbook/crc32.h"

namespace tabulon {

namespace {

uint16_t ReadU16(const uint8_t* data, std::size_t size, std::size_t at) {
  if (at + 2 > size) return 0;
  return static_cast<uint16_t>(data[at] | data[at + 1] << 8);
}

uint8_t ReadU8(const uint8_t* data, std::size_t size, std::size_t at) {
  return at < size ? data[at] : 0;
}

}  // namespace

// ---- TXFont -------------------------------------------------------------------

void TXFont::Reset() {
  Name = u"Arial";
  std::memset(FontData, 0, sizeof FontData);
  SetFamily(2);
  SetColor(8);
  SetHeight(200);
}

uint32_t TXFont::Height() const {
  return static_cast<uint32_t>(FontData[3]) | static_cast<uint32_t>(FontData[4]) << 8 |
         static_cast<uint32_t>(FontData[5]) << 16 | static_cast<uint32_t>(FontData[6]) << 24;
}

void TXFont::SetHeight(uint32_t v) {
  for (int i = 0; i < 4; ++i) FontData[3 + i] = static_cast<uint8_t>(v >> (8 * i));
}

void TXFont::ReadFontRecord(const uint8_t* data, std::size_t size, bool biff8) {
  SetCharset(ReadU8(data, size, 12));
  SetFamily(ReadU8(data, size, 11));
  uint16_t color = ReadU16(data, size, 4);
  SetColor(color <= 255 ? static_cast<uint8_t>(color) : 0);
  SetHeight(ReadU16(data, size, 0));
  uint16_t attributes = ReadU16(data, size, 2);
  uint8_t style = 0;
  if (ReadU16(data, size, 6) >= 700) style |= kFontBold;
  if (attributes & 0x02) style |= kFontItalic;
  if (attributes & 0x08) style |= kFontStrikeOut;
  SetStyle(style);
  SetUnderline(ReadU8(data, size, 10));

  // The name: its character count at 14, then (BIFF8) an option byte and the
  // characters; the count is cut to the bytes the record really holds.
  std::size_t count = ReadU8(data, size, 14);
  std::size_t at = 15;
  bool wide = false;
  if (biff8) {
    wide = ReadU8(data, size, at) == 1;
    ++at;
  }
  std::size_t available = at < size ? size - at : 0;
  if (wide) {
    if (count > available / 2) count = available / 2;
    Name.resize(count);
    for (std::size_t i = 0; i < count; ++i)
      Name[i] = static_cast<char16_t>(data[at + 2 * i] | data[at + 2 * i + 1] << 8);
  } else {
    if (count > available) count = available;
    if (biff8) {
      // Compressed UTF-16: each byte is the low byte of a code unit.
      Name.resize(count);
      for (std::size_t i = 0; i < count; ++i) Name[i] = data[at + i];
    } else {
      Name = platform::AnsiToWide(
          std::string_view(reinterpret_cast<const char*>(data) + (count ? at : 0), count));
    }
  }
}

uint32_t TXFont::ComputeHash() const {
  uint32_t crc = Crc32(FontData, sizeof FontData);
  std::u16string upper = platform::WideUpper(Name);
  crc = Crc32(upper.data(), upper.size() * sizeof(char16_t), crc);
  std::size_t extraSize;
  const uint8_t* extra = ExtraKey(extraSize);
  return Crc32(extra, extraSize, crc);
}

bool TXFont::SameItem(const THashItem& other) const {
  const auto& font = static_cast<const TXFont&>(other);
  if (std::memcmp(FontData, font.FontData, sizeof FontData) != 0) return false;
  std::size_t sizeA, sizeB;
  const uint8_t* a = ExtraKey(sizeA);
  const uint8_t* b = font.ExtraKey(sizeB);
  if (sizeA != sizeB || (sizeA && std::memcmp(a, b, sizeA) != 0)) return false;
  return Name == font.Name || platform::WideSameText(Name, font.Name);
}

std::unique_ptr<TXFont> TXFont::CloneFont() const {
  auto copy = std::make_unique<TXFont>();
  copy->Name = Name;
  std::memcpy(copy->FontData, FontData, sizeof FontData);
  return copy;
}

std::unique_ptr<TXFont> TXFontEx12::CloneFont() const {
  auto copy = std::make_unique<TXFontEx12>();
  copy->Name = Name;
  std::memcpy(copy->FontData, FontData, sizeof FontData);
  std::memcpy(copy->Ex12Data, Ex12Data, sizeof Ex12Data);
  return copy;
}

// ---- TXFonts ------------------------------------------------------------------

TXFonts::TXFonts() { SetDefaults(); }

TXFonts::~TXFonts() { trie_.Clear(); }

TXFont* TXFonts::Items(int32_t index) const {
  if (index < 0 || index >= Count()) ThrowListIndexError(index);
  return items_[static_cast<std::size_t>(index)].get();
}

TXFont* TXFonts::FontOrFirst(int32_t index) const {
  if (items_.empty()) return nullptr;
  if (index < 0 || index >= Count()) index = 0;
  return items_[static_cast<std::size_t>(index)].get();
}

TXFont* TXFonts::Append(std::unique_ptr<TXFont> font) {
  font->ListIndex = Count();
  items_.push_back(std::move(font));
  // The caller fills the new font in: the trie is rebuilt when next needed.
  trieValid_ = false;
  return items_.back().get();
}

TXFont* TXFonts::AddFont() { return Append(std::make_unique<TXFont>()); }

TXFontEx12* TXFonts::AddFontEx12() {
  return static_cast<TXFontEx12*>(Append(std::make_unique<TXFontEx12>()));
}

TXFont* TXFonts::FindOrAddFont(const TXFont& font) {
  if (!trieValid_) RebuildFontTrie();
  std::unique_ptr<TXFont> copy = font.CloneFont();
  if (THashItem* found = trie_.FindEqual(*copy)) return static_cast<TXFont*>(found);
  TXFont* added = Append(std::move(copy));
  trie_.AddOrFind(added);
  trieValid_ = true;
  return added;
}

void TXFonts::DeleteFont(int32_t index) {
  if (index < 0 || index >= Count()) ThrowListIndexError(index);
  TXFont* font = items_[static_cast<std::size_t>(index)].get();
  if (trieValid_ && !trie_.Unlink(font)) trieValid_ = false;
  items_.erase(items_.begin() + index);
  for (std::size_t i = static_cast<std::size_t>(index); i < items_.size(); ++i)
    items_[i]->ListIndex = static_cast<int32_t>(i);
}

void TXFonts::Clear() {
  trie_.Clear();
  trieValid_ = false;
  items_.clear();
  DeletableFrom = 0;
}

void TXFonts::SetDefaults() {
  Clear();
  for (int i = 0; i < 5; ++i) AddFont();
  DeletableFrom = 5;
}

TXFont* TXFonts::AddFontRecord(const uint8_t* data, std::size_t size, bool biff8) {
  TXFont* font = AddFont();
  font->ReadFontRecord(data, size, biff8);
  if (Count() == 4) AddFont();
  return font;
}

void TXFonts::FinishRead() {
  if (items_.empty()) AddFont();
  DeletableFrom = Count();
}

void TXFonts::RebuildFontTrie() {
  trie_.Clear();
  // Inserted in list order so that of equal fonts the first one is found.
  for (auto& font : items_) trie_.AddOrFind(font.get());
  trieValid_ = true;
}

void TXFonts::UseFont(TXFont* font) {
  if (font && font->ListIndex >= DeletableFrom) ++font->UsageCount;
}

void TXFonts::ReleaseFont(TXFont* font) {
  if (!font || font->ListIndex < DeletableFrom) return;
  if (--font->UsageCount < 1) DeleteFont(font->ListIndex);
}

}  // namespace tabulon
