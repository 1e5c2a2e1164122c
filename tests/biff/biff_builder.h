// Builds BIFF record streams byte by byte for tests, wraps them into a
// compound document or a bare file, and reads them with the legacy reader
// through a workbook component.
#pragma once

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "biff/biff_reader.h"
#include "cfb_writer.h"
#include "platform/error.h"
#include "platform/platform.h"
#include "support/host_text.h"
#include "support/temp_files.h"
#include "workbook/workbook.h"

namespace tabulon::test {

// A record body, written field by field (little-endian).
class Body {
 public:
  Body() = default;
  Body(std::initializer_list<uint8_t> bytes) : bytes_(bytes) {}
  Body& u8(uint32_t v) {
    bytes_.push_back(static_cast<uint8_t>(v));
    return *this;
  }
  Body& u16(uint32_t v) { return u8(v).u8(v >> 8); }
  Body& u32(uint32_t v) { return u16(v).u16(v >> 16); }
  Body& f64(double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, 8);
    return u32(static_cast<uint32_t>(bits)).u32(static_cast<uint32_t>(bits >> 32));
  }
  Body& bytes(const std::vector<uint8_t>& b) {
    bytes_.insert(bytes_.end(), b.begin(), b.end());
    return *this;
  }
  Body& text(const std::string& s) {  // single-byte characters
    bytes_.insert(bytes_.end(), s.begin(), s.end());
    return *this;
  }
  Body& wide(const std::u16string& s) {  // UTF-16LE characters
    for (char16_t c : s) u16(c);
    return *this;
  }
  Body& zeros(std::size_t n) {
    bytes_.insert(bytes_.end(), n, 0);
    return *this;
  }
  const std::vector<uint8_t>& data() const { return bytes_; }
  std::size_t size() const { return bytes_.size(); }

 private:
  std::vector<uint8_t> bytes_;
};

// A record stream.
class Stream {
 public:
  Stream& rec(uint16_t id, const Body& body = Body()) {
    Body header;
    header.u16(id).u16(static_cast<uint32_t>(body.size()));
    bytes_.insert(bytes_.end(), header.data().begin(), header.data().end());
    bytes_.insert(bytes_.end(), body.data().begin(), body.data().end());
    ++count_;
    return *this;
  }
  Stream& raw(const std::vector<uint8_t>& b) {
    bytes_.insert(bytes_.end(), b.begin(), b.end());
    return *this;
  }
  const std::vector<uint8_t>& data() const { return bytes_; }
  std::size_t size() const { return bytes_.size(); }
  // Records added so far: the number the next record will have.
  int count() const { return count_; }

 private:
  std::vector<uint8_t> bytes_;
  int count_ = 0;
};

// BOF bodies. BIFF8: version 0x0600, 16 bytes; BIFF5: version 0x0500, 8 bytes.
inline Body Bof8(uint16_t type) { return Body().u16(0x0600).u16(type).u16(0x0DBB).u16(0x07CC).u32(0x41).u32(6); }
inline Body Bof5(uint16_t type) { return Body().u16(0x0500).u16(type).u16(0x0DBB).u16(0x07CC); }

// BOUNDSHEET: BIFF8 with an 8-bit name, BIFF5 with a byte string.
inline Body BoundSheet8(const std::string& name, uint8_t visibility = 0, uint8_t type = 0) {
  return Body().u32(0).u8(visibility).u8(type).u8(static_cast<uint32_t>(name.size())).u8(0).text(name);
}
inline Body BoundSheet5(const std::string& name, uint8_t visibility = 0) {
  return Body().u32(0).u8(visibility).u8(0).u8(static_cast<uint32_t>(name.size())).text(name);
}

// Cell record bodies (BIFF3-BIFF8 head: row, column, format).
inline Body Cell(uint16_t col, uint16_t row, uint16_t xf = 15) { return Body().u16(row).u16(col).u16(xf); }
inline Body Number(uint16_t col, uint16_t row, double value) { return Cell(col, row).f64(value); }

// A BIFF8 FORMULA body: cached result bytes, option flags, tokens.
inline Body Formula8(uint16_t col, uint16_t row, const std::vector<uint8_t>& result, uint16_t options,
                     const std::vector<uint8_t>& tokens) {
  return Cell(col, row).bytes(result).u16(options).u32(0).u16(static_cast<uint32_t>(tokens.size())).bytes(tokens);
}
inline std::vector<uint8_t> NumberResult(double v) {
  Body b;
  b.f64(v);
  return b.data();
}

// A BIFF8 workbook: globals with one BOUNDSHEET per sheet, then each sheet
// substream with the given records between its BOF and EOF.
class Book8 {
 public:
  Book8& globals(uint16_t id, const Body& body = Body()) {
    globals_.push_back({id, body});
    return *this;
  }
  Book8& sheet(const std::string& name, Stream records, uint16_t type = 0x0010) {
    sheets_.push_back({name, std::move(records), type});
    return *this;
  }
  Stream build() const {
    Stream s;
    s.rec(0x0809, Bof8(0x0005));
    for (const auto& [id, body] : globals_) s.rec(id, body);
    for (const auto& sheet : sheets_)
      s.rec(0x0085, BoundSheet8(sheet.name, 0, sheet.type == 0x0020 ? 2 : 0));
    s.rec(0x000A);
    for (const auto& sheet : sheets_) {
      s.rec(0x0809, Bof8(sheet.type));
      s.raw(sheet.records.data());
      s.rec(0x000A);
    }
    return s;
  }

 private:
  struct Sheet {
    std::string name;
    Stream records;
    uint16_t type;
  };
  std::vector<std::pair<uint16_t, Body>> globals_;
  std::vector<Sheet> sheets_;
};

// Readers for the component: the legacy reader only.
class LegacyOnly final : public IWorkbookReaders {
 public:
  std::unique_ptr<TStream> ReadLegacy(TXLSWorkbook& workbook) override {
    TXLSBiffReader(workbook).Read();
    return nullptr;
  }
  void ReadOpenXml(TXLSWorkbook&, TStream&, TStream*) override { Throw("no Open XML reader in this test"); }
};

// A workbook read from a file, with the message of the read's failure.
struct Loaded {
  std::unique_ptr<LegacyOnly> readers = std::make_unique<LegacyOnly>();
  std::unique_ptr<TXLSWorkbook> workbook = std::make_unique<TXLSWorkbook>(readers.get());
  std::string error;  // empty when the read succeeded

  TXLSWorkbook& wb() { return *workbook; }
  TSheet& sheet(int index) { return workbook->Sheets()[index]; }
  // The cell's text as UTF-8, to compare with literals.
  std::string text(int sheetIndex, const char* ref) {
    return Utf8(sheet(sheetIndex).GetCellTextRef(platform::HostToWide(ref)));
  }
};

inline std::unique_ptr<Loaded> ReadFile(const std::u16string& name) {
  auto loaded = std::make_unique<Loaded>();
  loaded->wb().Filename = name;
  try {
    loaded->wb().Read();
  } catch (const Exception& e) {
    loaded->error = e.Message();
  }
  return loaded;
}

// Reads the record stream as the workbook stream of a compound document.
inline std::unique_ptr<Loaded> ReadCompound(const Stream& stream, const char16_t* streamName = u"Workbook") {
  TempDir dir;
  CfbWriter writer;
  writer.AddStream(streamName, stream.data());
  return ReadFile(dir.Write("book.xls", writer.Build()));
}

// Reads the bytes as a bare file.
inline std::unique_ptr<Loaded> ReadBare(const std::vector<uint8_t>& bytes) {
  TempDir dir;
  return ReadFile(dir.Write("bare.xls", bytes));
}

// The first line of a wrapped reader error, the inner message after it.
inline std::string Wrapped(int record, uint16_t id, std::size_t offset, const std::string& inner) {
  return Format("Error on reading record # %d, %.4X Offs: %.8X", record, id, static_cast<unsigned>(offset)) + "\r" +
         inner;
}

}  // namespace tabulon::test
