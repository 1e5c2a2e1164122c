// The legacy workbook reader: walks the BIFF records of a workbook stream
// from the first record to the end of the last sheet, keeps track of the
// substream it is in (workbook globals, worksheet, chart), hands every
// record to its handler and files what no handler consumed into the raw
// record storages of the workbook and its sheets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "biff/shared_formula.h"
#include "biff/xls_text.h"
#include "platform/code_page.h"
#include "platform/stream.h"
#include "workbook/record_storage.h"
#include "workbook/version.h"

namespace tabulon {

class TSheet;
class TXLSStream;
class TXLSWorkbook;

// Cells of shared and array formulas copy token bytes and array data from a
// SHRFMLA or ARRAY record that the file holds once; together the copies of
// one read may come to this many times the workbook stream's size (and at
// least the minimum), else "Shared and array formulas copy more than %llu
// bytes" ends the read.
inline constexpr uint64_t kCopiedFormulaFactor = 16;
inline constexpr uint64_t kMinCopiedFormulaLimit = uint64_t{16} << 20;
// Comparisons the lookups of shared formulas may spend in one read: this many
// per byte of the workbook stream, and at least the minimum.
inline constexpr uint64_t kSharedLookupFactor = 64;
inline constexpr uint64_t kMinSharedLookupSteps = uint64_t{1} << 26;

class TXLSBiffReader {
 public:
  // One entry of the sheet list (one per BOUNDSHEET record).
  struct TSheetEntry {
    std::u16string Name;
    uint8_t Visibility = 0;  // 0 visible, 1 hidden, 2 very hidden
  };

  explicit TXLSBiffReader(TXLSWorkbook& workbook);
  ~TXLSBiffReader();
  TXLSBiffReader(const TXLSBiffReader&) = delete;
  TXLSBiffReader& operator=(const TXLSBiffReader&) = delete;

  // Reads the file named by the workbook's Filename, or `source` (a compound
  // document) when it is not null, into the workbook. The workbook has been
  // emptied by its caller. Errors met while records are read carry the
  // record's number, id and stream offset in front of their message.
  void Read(TStream* source = nullptr);
  // Reads the file's bytes, already in memory (the caller keeps them
  // unchanged until the read ends), as the file named by Filename.
  void ReadBytes(std::span<const uint8_t> bytes);

  const std::vector<TSheetEntry>& SheetList() const { return sheetList_; }

 private:
  enum class Step { kGoOn, kFinished, kStop };

  void RunLoop();
  Step Dispatch();

  // ---- Body access. Bytes past the record's real body read as zero.
  uint8_t B(std::size_t at) const { return at < length_ ? buffer_[at] : 0; }
  uint16_t W(std::size_t at) const {
    return at + 2 <= length_ ? static_cast<uint16_t>(buffer_[at] | buffer_[at + 1] << 8)
                             : static_cast<uint16_t>(B(at) | B(at + 1) << 8);
  }
  uint32_t D(std::size_t at) const { return W(at) | static_cast<uint32_t>(W(at + 2)) << 16; }
  double F(std::size_t at) const;
  // Raises a record-too-short error unless the body holds `size` bytes.
  void Need(std::size_t size) const;
  TSheet& Sheet() const;

  // ---- Substreams (record loop).
  Step OnBOF();
  Step OnEOF();
  Step EndOfSubstream() const;
  void NewSheet(uint8_t kind);
  const TSheetEntry& SheetEntry(int32_t number) const;
  void SkipRecordBody();

  // ---- Settings and objects kept beside the cells.
  // Files the current record's (possibly rewritten) body as a default record
  // of the current storage.
  void FileDefault(const uint8_t* body, std::size_t size);
  void Default();
  void DefaultFrom(TExcelVersion version);
  void OnDimensions();
  void OnWriteAccess();
  void OnWindow2();
  void OnPane();
  void OnColInfo();
  void OnMergedCells();
  void OnRow();
  void OnDrawingGroup();
  void OnDrawing();

  // ---- Cell records.
  void OnBlank();
  void OnMulBlank();
  void OnNumber();
  void OnRK();
  void OnMulRK();
  void OnBoolErr();
  void OnLabelSST();
  void OnLabel();
  void OnRString();
  void OnBiff2Cell();
  void OnFormula();
  void OnFormula34();
  void OnFormula2();
  // Writes a formula cell whose cached result is not a number (type byte
  // `type`, value byte `value`); returns false for a type of 4 or more.
  bool WriteNonNumberFormula(uint32_t col, uint32_t row, uint16_t xf, uint8_t type, uint8_t value,
                             const uint8_t* tokens, uint32_t size, uint32_t cce);
  // Reads the STRING record that follows, when there is one: 0x0207 always,
  // the BIFF2 0x0007 too when `biff2String`. False when there is none.
  bool ReadFormulaString(bool biff2String);
  void ReadAhead(uint16_t& id, std::vector<uint8_t>& body);
  void ReadSharedFormula();
  bool ApplySharedFormula(uint32_t col, uint32_t row, uint32_t& cce, uint32_t& size);
  bool WriteArrayFormula(uint32_t col, uint32_t row, uint16_t xf, const uint8_t* tokens, uint32_t size,
                         uint32_t cce);

  // An 8-bit text of a BIFF2-BIFF5 record (`count` bytes): by the code page
  // that the workbook's CODEPAGE record names, or by `fallback` when it names
  // none this reader knows (or the file has none).
  void DecodeBytes(const uint8_t* data, std::size_t size, std::size_t count, std::u16string& out,
                   TTextDecoder fallback) const;

  // ---- Workbook globals records.
  void OnCodePage();
  void OnBoundSheet();
  void OnSST();
  void OnFont();
  void OnFormat();
  void OnXF();
  void OnPalette();
  void OnWindow1();
  void OnName();
  void OnSupBook();
  void OnExternName();
  void OnExternSheet();
  void OnXCT();

  TXLSWorkbook& workbook_;
  std::unique_ptr<TXLSStream> stream_;
  TExcelVersion version_ = xvNone;

  // The current record.
  std::vector<uint8_t> buffer_;
  uint16_t id_ = 0;
  std::size_t length_ = 0;  // body bytes in buffer_
  bool store_ = false;

  TRecordStorageDefault* storage_ = nullptr;
  const TRecordStorageSheet sheetDefaults_;  // which ids sheets take as default records
  TSheet* sheet_ = nullptr;
  int32_t sheetIndex_ = -1;
  int32_t sheetNumber_ = -1;
  std::vector<TSheetEntry> sheetList_;
  bool inSheet_ = false;        // between a sheet's BOF and its EOF
  bool sheetSeen_ = false;      // a sheet or chart-sheet BOF was read
  int32_t chartDepth_ = 0;      // > 0 inside a chart substream being passed over
  bool chartSheet_ = false;     // that substream is a chart sheet
  bool skipping_ = false;       // inside a custom view
  bool afterDrawing_ = false;   // the last record belonged to a drawing object
  bool foreignWriter_ = false;
  uint32_t subVersion_ = 0;

  // The code page of the 8-bit texts of a BIFF2-BIFF5 file; null without a
  // CODEPAGE record naming one this reader knows.
  std::unique_ptr<platform::TCodePageConverter> codePage_;

  TSharedFormulaList sharedFormulas_;
  std::vector<uint8_t> arrayRecord_;
  bool hasArray_ = false;
  // Bytes that cells of shared and array formulas copied from a SHRFMLA or
  // ARRAY record read once; bounded by a multiple of the stream's size so
  // that a short record cannot make the model large (ChargeCopiedFormula).
  uint64_t copiedFormulaBytes_ = 0;
  uint64_t copiedFormulaLimit_ = 0;
  void ChargeCopiedFormula(std::size_t bytes);

  // Buffers reused between records.
  std::vector<uint8_t> ahead_;    // records read ahead of the loop
  std::vector<uint8_t> formula_;  // a shared formula's record head and tokens
  std::u16string text_;
  std::string bytes_;
};

}  // namespace tabulon
