// The shared string table: every distinct text of the workbook's text cells
// is kept once, as one allocated entry block with a reference count, found
// again through a hash trie keyed by the CRC-32 of the entry's bytes.
// StringList maps the shared string indexes of the file to entries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "workbook/fonts.h"
#include "workbook/hash_trie.h"
#include "workbook/record_source.h"

namespace tabulon {

// Options bits of an entry.
inline constexpr uint8_t kSSTWide = 0x01;      // text is UTF-16
inline constexpr uint8_t kSSTPhonetic = 0x04;  // a phonetic block follows
inline constexpr uint8_t kSSTRich = 0x08;      // formatting runs follow

// A formatting run of an entry: the first character it applies to and its
// font (nullptr when the table serves no font list).
struct TSSTRun {
  uint32_t Position;
  TXFont* Font;
};

// One shared string. The block holds this header and then:
//   the hashed span: text (CharCount bytes, or 2 x CharCount bytes of UTF-16
//     little endian when wide), the runs as read (RunCount x 4 bytes: u16
//     position, u16 font index), the phonetic block (PhoneticSize bytes);
//   padding, then RunCount TSSTRun.
struct TSSTEntry : THashTrieLink {
  uint32_t EntryIndex;  // StringList position, 0xFFFF for FindOrAddString
  int32_t RefCount;     // references held by cells and by repeated indexes
  uint32_t CharCount;
  uint32_t RunCount;
  uint32_t PhoneticSize;
  uint8_t Options;
  bool InList;  // StringList holds it: it stays until Clear

  bool IsWide() const { return (Options & kSSTWide) != 0; }
  const uint8_t* Text() const { return reinterpret_cast<const uint8_t*>(this + 1); }
  std::size_t TextBytes() const { return IsWide() ? 2 * std::size_t{CharCount} : CharCount; }
  std::size_t SpanSize() const { return TextBytes() + 4 * std::size_t{RunCount} + PhoneticSize; }
  const uint8_t* RawRuns() const { return Text() + TextBytes(); }
  const uint8_t* Phonetic() const { return RawRuns() + 4 * std::size_t{RunCount}; }
  TSSTRun* Runs();
  const TSSTRun* Runs() const { return const_cast<TSSTEntry*>(this)->Runs(); }
};

// A piece of a rich text: its characters and its font.
struct TXLSWideStringItem {
  std::u16string Text;
  TXFont* Font = nullptr;
};
using TXLSWideStringList = std::vector<TXLSWideStringItem>;

// A trie of entry blocks; owns them.
class TSSTHashTrie : public THashTrie {
 public:
  ~TSSTHashTrie() override;

 protected:
  uint32_t HashItem(const THashTrieLink* item) const override;
  void FreeItem(THashTrieLink* item) override;
  bool EqualItems(const THashTrieLink* a, const THashTrieLink* b) const override;
  static void FreeEntry(TSSTEntry* entry);
};

// Extended SST data (kept for writing; reading never fills it).
class TExtSST {
 public:
  void Clear() { blocks_.clear(); }
  std::size_t Count() const { return blocks_.size(); }

 private:
  std::vector<std::vector<uint8_t>> blocks_;
};

class TSST2 final : public TSSTHashTrie {
 public:
  explicit TSST2(TXFonts* fontList = nullptr) : fontList_(fontList) {}
  ~TSST2() override;

  void SetFontList(TXFonts* fontList) { fontList_ = fontList; }
  TXFonts* FontList() const { return fontList_; }
  // Largest record body of the legacy format in use (kept for writing).
  void SetBufferSize(int32_t size) { bufferSize_ = size; }
  int32_t BufferSize() const { return bufferSize_; }

  // Reads the body of a legacy SST record (the source is positioned at its
  // start) and the CONTINUE records it spans; the strings get indexes 0, 1,
  // 2, ... Raises "SST record repeated" when the table already holds strings
  // of an earlier ReadSST since the last Clear.
  void ReadSST(TRecordSource& source, uint16_t recordLength);
  // Appends one plain entry at the next index.
  TSSTEntry* AddString(std::u16string_view text);
  // Appends one entry with formatting runs (one run per piece) at the next
  // index.
  TSSTEntry* AddRichString(std::u16string_view text, const TXLSWideStringList& runs);
  // The entry for the text, found or added with one reference; no index.
  TSSTEntry* FindOrAddString(std::u16string_view text);

  // The entry at a shared string index; raises "List index out of bounds (%d)".
  TSSTEntry* GetEntry(int64_t index) const;
  // The entry's text.
  static std::u16string GetText(const TSSTEntry* entry);
  // One more reference (a cell now refers to the entry).
  static void AddRef(TSSTEntry* entry) { ++entry->RefCount; }
  // Drops one reference; true when the entry was freed. Entries that
  // StringList holds stay until Clear.
  bool ReleaseString(TSSTEntry* entry);
  // The stored entry equal to `entry` (whose reference count is raised and
  // which is freed), or `entry` itself, now stored.
  TSSTEntry* AddOrFind(TSSTEntry* entry);
  // Frees all entries and empties the table.
  void Clear();

  // Count of StringList.
  int32_t Count() const { return static_cast<int32_t>(stringList_.size()); }
  // Total count of string references (from the SST record, or as added).
  int32_t StringCount() const { return stringCount_; }
  const std::vector<TSSTEntry*>& StringList() const { return stringList_; }
  TExtSST& ExtSSTList() { return extSST_; }

 private:
  class Reader;
  TSSTEntry* NewEntry(std::size_t spanSize, uint32_t runCount);
  TSSTEntry* MakeTextEntry(std::u16string_view text, uint8_t richOption, uint32_t runCount);
  TSSTEntry* Append(TSSTEntry* entry);
  void ConvertRuns(TSSTEntry* entry);
  void ReleaseRunFonts(TSSTEntry* entry);

  std::vector<TSSTEntry*> stringList_;
  TExtSST extSST_;
  TXFonts* fontList_;
  int32_t stringCount_ = 0;
  int32_t bufferSize_ = 8224;
  bool readSSTDone_ = false;
  std::vector<uint8_t> recordBuffer_;  // reused between reads
  std::vector<uint8_t> scratch_;
};

}  // namespace tabulon
