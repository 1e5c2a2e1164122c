#include "workbook/sst.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <new>

#include "platform/error.h"
#include "workbook/crc32.h"

namespace tabulon {

static_assert(std::endian::native == std::endian::little,
              "UTF-16 entry text is kept as little-endian bytes");

namespace {

constexpr uint16_t kContinueRecord = 0x003C;

// Options values that occur: bits 0 (wide), 2 (phonetic) and 3 (rich) only.
constexpr bool ValidOptions(uint8_t options) { return (options & 0xF2) == 0; }

constexpr std::size_t AlignUp(std::size_t value, std::size_t alignment) {
  return (value + alignment - 1) & ~(alignment - 1);
}

std::size_t RunsOffset(std::size_t spanSize) {
  return AlignUp(sizeof(TSSTEntry) + spanSize, alignof(TSSTRun));
}

void DestroyEntry(TSSTEntry* entry) {
  entry->~TSSTEntry();
  ::operator delete(static_cast<void*>(entry));
}

struct EntryDeleter {
  void operator()(TSSTEntry* entry) const { DestroyEntry(entry); }
};
using EntryPtr = std::unique_ptr<TSSTEntry, EntryDeleter>;

bool AllLowBytes(std::u16string_view text) {
  for (char16_t c : text)
    if (c > 0xFF) return false;
  return true;
}

void WriteU16(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
}

}  // namespace

TSSTRun* TSSTEntry::Runs() {
  return reinterpret_cast<TSSTRun*>(reinterpret_cast<uint8_t*>(this) + RunsOffset(SpanSize()));
}

// ---- TSSTHashTrie -------------------------------------------------------------------

TSSTHashTrie::~TSSTHashTrie() { ClearTrie(true); }

uint32_t TSSTHashTrie::HashItem(const THashTrieLink* item) const {
  const auto* entry = static_cast<const TSSTEntry*>(item);
  return Crc32(entry->Text(), entry->SpanSize());
}

void TSSTHashTrie::FreeItem(THashTrieLink* item) { FreeEntry(static_cast<TSSTEntry*>(item)); }

void TSSTHashTrie::FreeEntry(TSSTEntry* entry) { DestroyEntry(entry); }

bool TSSTHashTrie::EqualItems(const THashTrieLink* a, const THashTrieLink* b) const {
  const auto* x = static_cast<const TSSTEntry*>(a);
  const auto* y = static_cast<const TSSTEntry*>(b);
  // The width and the character count take part: the 8-bit "-N" and the
  // UTF-16 U+4E2D have the same bytes.
  if (x->CharCount != y->CharCount || x->IsWide() != y->IsWide()) return false;
  std::size_t size = x->SpanSize();
  return size == y->SpanSize() && std::memcmp(x->Text(), y->Text(), size) == 0;
}

// ---- Reading the SST record -------------------------------------------------------------

// Walks the SST record and its CONTINUE records; each record body is read
// whole into a buffer, so that every size from the file is checked against
// the bytes that really remain.
class TSST2::Reader {
 public:
  Reader(TRecordSource& source, std::vector<uint8_t>& buffer) : source_(source), buffer_(buffer) {}

  void Load(uint16_t length) {
    buffer_.resize(length);
    if (length && source_.ReadBody(buffer_.data(), length) != length) Throw("SST record truncated");
    pos_ = 0;
    end_ = length;
  }
  void NextContinue() {
    uint16_t id = 0, length = 0;
    if (source_.ReadHeader(id, length) < 4 || id != kContinueRecord)
      Throw("CONTINUE record is missing in SST");
    Load(length);
  }
  std::size_t Remaining() const { return end_ - pos_; }
  // A fixed field: it must lie wholly in the current record.
  void Need(std::size_t count) const {
    if (Remaining() < count) Throw("SST record truncated");
  }
  const uint8_t* Take(std::size_t count) {
    const uint8_t* at = buffer_.data() + pos_;
    pos_ += count;
    return at;
  }
  uint8_t U8() { return *Take(1); }
  uint16_t U16() {
    const uint8_t* p = Take(2);
    return static_cast<uint16_t>(p[0] | p[1] << 8);
  }
  uint32_t U32() {
    const uint8_t* p = Take(4);
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
  }
  // Appends `count` bytes that may cross into further CONTINUE records
  // (which carry no option byte here).
  void ReadCrossing(std::size_t count, std::vector<uint8_t>& out) {
    while (count > 0) {
      if (Remaining() == 0) NextContinue();
      std::size_t piece = std::min(count, Remaining());
      const uint8_t* p = Take(piece);
      out.insert(out.end(), p, p + piece);
      count -= piece;
    }
  }

 private:
  TRecordSource& source_;
  std::vector<uint8_t>& buffer_;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
};

void TSST2::ReadSST(TRecordSource& source, uint16_t recordLength) {
  if (readSSTDone_) Throw("SST record repeated");
  Reader reader(source, recordBuffer_);
  reader.Load(recordLength);
  reader.Need(8);
  stringCount_ = static_cast<int32_t>(reader.U32());
  uint32_t unique = reader.U32();
  stringList_.reserve(stringList_.size() + std::min<uint32_t>(unique, 65536));

  for (uint32_t i = 0; i < unique; ++i) {
    // Some writers leave an empty CONTINUE record between two strings.
    while (reader.Remaining() == 0) reader.NextContinue();
    reader.Need(3);
    uint16_t charCount = reader.U16();
    uint8_t options = reader.U8();
    if (!ValidOptions(options))
      Throw(Format("STT: Unhandled string type in Read (%.2X)", static_cast<unsigned>(options)));
    reader.Need((options & kSSTRich ? 2 : 0) + (options & kSSTPhonetic ? 4 : 0));
    uint32_t runCount = options & kSSTRich ? reader.U16() : 0;
    uint32_t phoneticSize = options & kSSTPhonetic ? reader.U32() : 0;

    // The text, in pieces when it crosses CONTINUE records; each further piece
    // starts with an option byte giving its width. Once a piece is UTF-16,
    // the whole text is kept as UTF-16.
    scratch_.clear();
    bool wide = (options & kSSTWide) != 0;
    std::size_t width = wide ? 2 : 1;
    std::size_t got = 0;
    for (;;) {
      std::size_t take = std::min<std::size_t>(charCount - got, reader.Remaining() / width);
      const uint8_t* p = reader.Take(take * width);
      if (width == 2) {
        if (!wide) {
          // Widen the one-byte characters read so far.
          std::size_t n = scratch_.size();
          scratch_.resize(2 * n);
          for (std::size_t k = n; k-- > 0;) {
            scratch_[2 * k] = scratch_[k];
            scratch_[2 * k + 1] = 0;
          }
          wide = true;
        }
        scratch_.insert(scratch_.end(), p, p + 2 * take);
      } else if (wide) {
        for (std::size_t k = 0; k < take; ++k) {
          scratch_.push_back(p[k]);
          scratch_.push_back(0);
        }
      } else {
        scratch_.insert(scratch_.end(), p, p + take);
      }
      got += take;
      if (got == charCount) break;
      reader.NextContinue();
      reader.Need(1);
      width = (reader.U8() & kSSTWide) ? 2 : 1;
    }
    // Runs (u16 position, u16 font index) and phonetic data as read.
    reader.ReadCrossing(4 * std::size_t{runCount}, scratch_);
    reader.ReadCrossing(phoneticSize, scratch_);

    TSSTEntry* entry = NewEntry(scratch_.size(), runCount);
    entry->CharCount = charCount;
    entry->RunCount = runCount;
    entry->PhoneticSize = phoneticSize;
    entry->Options = static_cast<uint8_t>((options & ~kSSTWide) | (wide ? kSSTWide : 0));
    entry->EntryIndex = static_cast<uint32_t>(stringList_.size());
    if (!scratch_.empty())
      std::memcpy(const_cast<uint8_t*>(entry->Text()), scratch_.data(), scratch_.size());
    readSSTDone_ = true;
    TSSTEntry* stored = Append(entry);
    if (stored == entry) ConvertRuns(entry);
  }
}

// ---- Adding strings -------------------------------------------------------------------

TSST2::~TSST2() { Clear(); }

TSSTEntry* TSST2::NewEntry(std::size_t spanSize, uint32_t runCount) {
  std::size_t total = RunsOffset(spanSize) + sizeof(TSSTRun) * std::size_t{runCount};
  void* block = ::operator new(total);
  TSSTEntry* entry = new (block) TSSTEntry{};
  entry->EntryIndex = 0;
  entry->RefCount = 0;
  entry->CharCount = 0;
  entry->RunCount = runCount;
  entry->PhoneticSize = 0;
  entry->Options = 0;
  entry->InList = false;
  TSSTRun* runs = reinterpret_cast<TSSTRun*>(static_cast<uint8_t*>(block) + RunsOffset(spanSize));
  for (uint32_t i = 0; i < runCount; ++i) new (runs + i) TSSTRun{0, nullptr};
  return entry;
}

TSSTEntry* TSST2::MakeTextEntry(std::u16string_view text, uint8_t richOption, uint32_t runCount) {
  // Texts whose code units all fit a byte are kept one byte per character
  // (their low bytes), others as UTF-16.
  bool wide = !AllLowBytes(text);
  std::size_t textBytes = wide ? 2 * text.size() : text.size();
  TSSTEntry* entry = NewEntry(textBytes + 4 * std::size_t{runCount}, runCount);
  entry->CharCount = static_cast<uint32_t>(text.size());
  entry->Options = static_cast<uint8_t>(richOption | (wide ? kSSTWide : 0));
  uint8_t* out = const_cast<uint8_t*>(entry->Text());
  if (wide) {
    if (!text.empty()) std::memcpy(out, text.data(), textBytes);
  } else {
    for (std::size_t i = 0; i < text.size(); ++i) out[i] = static_cast<uint8_t>(text[i]);
  }
  return entry;
}

TSSTEntry* TSST2::AddOrFind(TSSTEntry* entry) {
  EntryPtr guard(entry);
  entry->Hash = Crc32(entry->Text(), entry->SpanSize());
  auto* stored = static_cast<TSSTEntry*>(Insert(entry));
  if (stored == entry) return guard.release();
  ++stored->RefCount;
  return stored;  // the guard frees the new block
}

TSSTEntry* TSST2::Append(TSSTEntry* entry) {
  if (stringList_.size() == stringList_.capacity())
    stringList_.reserve(std::max<std::size_t>(64, 2 * stringList_.size()));
  TSSTEntry* stored = AddOrFind(entry);
  stored->InList = true;
  stringList_.push_back(stored);
  return stored;
}

void TSST2::ConvertRuns(TSSTEntry* entry) {
  TSSTRun* runs = entry->Runs();
  const uint8_t* raw = entry->RawRuns();
  for (uint32_t i = 0; i < entry->RunCount; ++i, raw += 4) {
    runs[i].Position = static_cast<uint32_t>(raw[0] | raw[1] << 8);
    // A run naming a font the list lacks uses font 0.
    TXFont* font = fontList_ ? fontList_->FontOrFirst(raw[2] | raw[3] << 8) : nullptr;
    runs[i].Font = font;
    if (fontList_) fontList_->UseFont(font);
  }
}

void TSST2::ReleaseRunFonts(TSSTEntry* entry) {
  if (!fontList_ || !(entry->Options & kSSTRich)) return;
  TSSTRun* runs = entry->Runs();
  for (uint32_t i = 0; i < entry->RunCount; ++i) fontList_->ReleaseFont(runs[i].Font);
}

TSSTEntry* TSST2::AddString(std::u16string_view text) {
  TSSTEntry* entry = MakeTextEntry(text, 0, 0);
  entry->EntryIndex = static_cast<uint32_t>(stringList_.size());
  TSSTEntry* stored = Append(entry);
  ++stringCount_;
  return stored;
}

TSSTEntry* TSST2::AddRichString(std::u16string_view text, const TXLSWideStringList& runs) {
  uint32_t runCount = static_cast<uint32_t>(runs.size());
  TSSTEntry* entry = MakeTextEntry(text, kSSTRich, runCount);
  entry->EntryIndex = static_cast<uint32_t>(stringList_.size());
  // The hashed form of a run: u16 position, u16 font list index.
  uint8_t* raw = const_cast<uint8_t*>(entry->RawRuns());
  std::size_t position = 0;
  for (const TXLSWideStringItem& piece : runs) {
    WriteU16(raw, static_cast<uint32_t>(position));
    WriteU16(raw + 2, piece.Font ? static_cast<uint32_t>(piece.Font->ListIndex) : 0xFFFF);
    raw += 4;
    position += piece.Text.size();
  }
  TSSTEntry* stored = Append(entry);
  if (stored == entry) {
    TSSTRun* out = entry->Runs();
    position = 0;
    for (uint32_t i = 0; i < runCount; ++i) {
      out[i].Position = static_cast<uint32_t>(position);
      out[i].Font = runs[i].Font;
      if (fontList_) fontList_->UseFont(runs[i].Font);
      position += runs[i].Text.size();
    }
  }
  ++stringCount_;
  return stored;
}

TSSTEntry* TSST2::FindOrAddString(std::u16string_view text) {
  ++stringCount_;
  TSSTEntry* entry = MakeTextEntry(text, 0, 0);
  entry->EntryIndex = 0xFFFF;
  entry->RefCount = 1;
  return AddOrFind(entry);
}

// ---- Access and release ----------------------------------------------------------------

TSSTEntry* TSST2::GetEntry(int64_t index) const {
  if (index < 0 || index >= static_cast<int64_t>(stringList_.size())) ThrowListIndexError(index);
  return stringList_[static_cast<std::size_t>(index)];
}

std::u16string TSST2::GetText(const TSSTEntry* entry) {
  const uint8_t* text = entry->Text();
  std::u16string result(entry->CharCount, u'\0');
  if (entry->IsWide()) {
    if (entry->CharCount) std::memcpy(result.data(), text, 2 * std::size_t{entry->CharCount});
  } else {
    for (std::size_t i = 0; i < entry->CharCount; ++i) result[i] = text[i];
  }
  return result;
}

bool TSST2::ReleaseString(TSSTEntry* entry) {
  if (--entry->RefCount >= 1) return false;
  // StringList's hold keeps the entry valid for GetEntry until Clear.
  if (entry->InList) return false;
  ReleaseRunFonts(entry);
  Remove(entry);
  --stringCount_;
  return true;
}

void TSST2::Clear() {
  stringCount_ = 0;
  stringList_.clear();
  ClearTrie(true);
  extSST_.Clear();
  readSSTDone_ = false;
}

}  // namespace tabulon
