#include "biff/biff_reader.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>

#include "biff/biff_records.h"
#include "biff/filepass.h"
#include "biff/xls_stream.h"
#include "platform/error.h"
#include "workbook/formats.h"
#include "workbook/sheet.h"
#include "workbook/workbook.h"

namespace tabulon {

namespace {

// The BOF ids of BIFF2, BIFF3, BIFF4 and BIFF5-BIFF8. Other ids that end in
// the byte 0x09 are no BOF: chart records such as MarkerFormat (0x1009).
bool IsBOF(uint16_t id) { return id == 0x0009 || id == 0x0209 || id == 0x0409 || id == 0x0809; }

// Records whose handlers read their own bodies from the stream.
bool ReadsOwnBody(uint16_t id) {
  return IsBOF(id) || id == rtSST || id == rtMsoDrawingGroup || id == rtMsoDrawing;
}

// Records that belong to a drawing object; CONTINUE records after them do too.
bool IsDrawingObject(uint16_t id) {
  return id == rtMsoDrawing || id == rtObj || id == rtTxo || id == rtImData;
}

}  // namespace

TXLSBiffReader::TXLSBiffReader(TXLSWorkbook& workbook)
    : workbook_(workbook), stream_(std::make_unique<TXLSStream>(nullptr, workbook.PreserveMacros)) {}

TXLSBiffReader::~TXLSBiffReader() = default;

double TXLSBiffReader::F(std::size_t at) const {
  double value;
  if (at + 8 <= length_) {
    std::memcpy(&value, buffer_.data() + at, sizeof(value));
    return value;
  }
  uint8_t bytes[8];
  for (std::size_t i = 0; i < 8; ++i) bytes[i] = B(at + i);
  std::memcpy(&value, bytes, sizeof(value));
  return value;
}

void TXLSBiffReader::Need(std::size_t size) const {
  if (length_ < size)
    Throw(Format("Record %.4X is too short: %u bytes, %u needed", id_, static_cast<unsigned>(length_),
                 static_cast<unsigned>(size)));
}

TSheet& TXLSBiffReader::Sheet() const {
  if (!sheet_) ThrowListIndexError(sheetIndex_);
  return *sheet_;
}

// ---- Read and the record loop ------------------------------------------------------

void TXLSBiffReader::ReadBytes(std::span<const uint8_t> bytes) {
  stream_->SetSourceBytes(bytes);
  Read(nullptr);
}

void TXLSBiffReader::Read(TStream* source) {
  sheetIndex_ = -1;
  sheetNumber_ = -1;
  sheetList_.clear();
  sheet_ = nullptr;
  inSheet_ = sheetSeen_ = chartSheet_ = skipping_ = afterDrawing_ = foreignWriter_ = hasArray_ = false;
  chartDepth_ = 0;
  subVersion_ = 0;
  arrayRecord_.clear();
  copiedFormulaBytes_ = 0;
  codePage_.reset();

  // The stream is closed and the buffers freed however the read ends.
  struct Cleanup {
    TXLSBiffReader& reader;
    ~Cleanup() {
      reader.stream_->Close();
      reader.stream_->SetSourceStream(nullptr);
      reader.stream_->SetSourceBytes(std::nullopt);
      std::vector<uint8_t>().swap(reader.buffer_);
      reader.sharedFormulas_.Clear();
    }
  } cleanup{*this};

  stream_->SetExtraObjects(&workbook_.ExtraObjects());
  stream_->SetSourceStream(source);
  version_ = stream_->OpenFile(workbook_.Filename);
  workbook_.SetVersion(version_);
  copiedFormulaLimit_ = std::max<uint64_t>(kMinCopiedFormulaLimit,
                                           kCopiedFormulaFactor * static_cast<uint64_t>(stream_->StreamSize()));
  sharedFormulas_.SetStepLimit(std::max<uint64_t>(kMinSharedLookupSteps,
                                                  kSharedLookupFactor * static_cast<uint64_t>(stream_->StreamSize())));

  buffer_.resize(static_cast<std::size_t>(workbook_.BufferSize()));
  storage_ = &workbook_.GlobalsRecords();
  // BIFF2 cells carry no cell format index: they use format 15.
  if (version_ <= xvExcel21)
    for (int i = 0; i < 16; ++i) workbook_.CellFormats().AddFormat();
  if (workbook_.OnProgress) workbook_.OnProgress(this, 0);

  RunLoop();
}

void TXLSBiffReader::RunLoop() {
  int32_t recordNumber = 0;
  int lastPercent = 0;
  const double streamSize = static_cast<double>(stream_->StreamSize());
  for (;;) {
    try {
      uint16_t id = 0;
      uint16_t length = 0;
      if (stream_->ReadHeader(id, length) < 4) {
        if (workbook_.OnProgress) workbook_.OnProgress(this, 100);
        return;
      }
      id_ = id;
      length_ = length;
      if (workbook_.Abort) return;
      if (length > buffer_.size()) buffer_.resize(length);
      if (id & 0x8000) Throw("Bad record in file");

      const bool passOver = skipping_ || chartDepth_ > 0;
      if (passOver || !ReadsOwnBody(id)) SkipRecordBody();

      if (workbook_.OnProgress && streamSize > 0) {
        const int percent = static_cast<int>(std::nearbyint(static_cast<double>(stream_->Position()) / streamSize * 100.0));
        if (percent > lastPercent) {
          workbook_.OnProgress(this, percent);
          lastPercent = percent;
        }
      }

      Step step = Step::kGoOn;
      if (skipping_) {
        if (id == rtUsersViewEnd) skipping_ = false;
      } else if (chartDepth_ > 0) {
        // A chart substream, passed over from its BOF to its EOF. Only the
        // end of a chart sheet can end the read.
        if (IsBOF(id)) {
          ++chartDepth_;
        } else if (id == rtEOF && --chartDepth_ == 0 && chartSheet_) {
          step = EndOfSubstream();
        }
      } else {
        store_ = true;
        step = Dispatch();
        if (store_) storage_->AddRecord(id_, static_cast<uint16_t>(length_), buffer_.data());
        afterDrawing_ = IsDrawingObject(id) || (id == rtContinue && afterDrawing_);
      }
      ++recordNumber;
      if (step == Step::kFinished) {
        if (workbook_.OnProgress) workbook_.OnProgress(this, 100);
        return;
      }
      if (step == Step::kStop) return;
    } catch (const std::exception& e) {
      Throw(Format("Error on reading record # %d, %.4X Offs: %.8X", recordNumber, id_,
                   static_cast<unsigned>(stream_->Position())) +
            "\r" + e.what());
    }
  }
}

// Reads the current record's body into the buffer; a body cut short by the
// end of the stream holds what was there. BOF bodies are stored in clear,
// except where their writer encrypted them after all (LibreOffice, for the
// charts embedded in worksheets): those are taken decrypted.
void TXLSBiffReader::SkipRecordBody() {
  if (IsBOF(id_)) {
    length_ = stream_->ReadUnencrypted(buffer_.data(), length_);
    if (stream_->Encrypted()) TakeEncryptedBof(*stream_, buffer_.data(), length_);
  } else {
    length_ = stream_->ReadBody(buffer_.data(), length_);
  }
}

TXLSBiffReader::Step TXLSBiffReader::Dispatch() {
  const TExcelVersion v = version_;
  if (IsBOF(id_)) return OnBOF();
  switch (id_) {
    case rtEOF:
      return OnEOF();

    // ---- Cells.
    case rtBlank: OnBlank(); break;
    case rtMulBlank: OnMulBlank(); break;
    case rtNumber: OnNumber(); break;
    case rtRK:
    case rtRK3: OnRK(); break;
    case rtMulRK: OnMulRK(); break;
    case rtBoolErr: OnBoolErr(); break;
    case rtLabelSST: OnLabelSST(); break;
    case rtLabel: OnLabel(); break;
    case rtRString: OnRString(); break;
    case rtBlank2:
    case rtInteger2:
    case rtNumber2:
    case rtLabel2:
    case rtBoolErr2: OnBiff2Cell(); break;
    case rtFormula:
      if (v == xvExcel21) OnFormula2();
      else OnFormula();
      break;
    case rtFormula3:
    case rtFormula4:
      if (subVersion_ == 6) OnFormula();
      else OnFormula34();
      break;
    case rtRow: OnRow(); break;

    // ---- Workbook globals.
    case rtBoundSheet: OnBoundSheet(); break;
    case rtSST: OnSST(); break;
    case rtFont:
    case rtFont3: OnFont(); break;
    case rtFormat: OnFormat(); break;
    case rtXF:
    case rtXF3:
    case rtXF4: OnXF(); break;
    case rtPalette: OnPalette(); break;
    case rtStyle:
      workbook_.Styles().Add(buffer_.data(), length_);
      store_ = false;
      break;
    case rtCodePage: OnCodePage(); break;
    case rtDateMode: DefaultFrom(xvExcel50); break;
    case rtWindow1: OnWindow1(); break;
    case rtName:
    case rtName3: OnName(); break;
    case rtSupBook: OnSupBook(); break;
    case rtExternName:
    case rtExternName3: OnExternName(); break;
    case rtExternSheet: OnExternSheet(); break;
    case rtXCT: OnXCT(); break;
    case rtFilePass:
      store_ = false;
      if (!ReadFilePass(*stream_, buffer_.data(), length_, workbook_)) return Step::kStop;
      break;

    // ---- Settings filed as default records.
    case rtDimensions2:
      // BIFF2 DIMENSIONS; in later files the id 0 is a record that a
      // decrypting tool blanked out (FILEPASS): passed over either way.
      store_ = false;
      break;
    case rtDimensions: OnDimensions(); break;
    case rtCalcCount:
    case rtCalcMode:
    case rtPrecision:
    case rtRefMode:
    case rtDelta:
    case rtIteration:
    case rtWindowProtect:
    case rtBackup:
    case rtDefColWidth:
    case rtSaveRecalc:
    case rtGuts:
    case rtGridSet:
    case rtHCenter:
    case rtVCenter:
    case rtSetup:
    case rtDefaultRowHeight:
    case rtPrintHeaders:
    case rtPrintGridlines:
    case rtHideObj: DefaultFrom(xvExcel50); break;
    case rtProtect:
    case rtDSF:
    case rtProt4Rev:
    case rtRefreshAll:
    case rtRecalcId:
    case rtFnGroupCount: Default(); break;
    case rtBookBool:
      Default();
      storage_->SetPlaceholder(phBookBool);
      break;
    case rtPassword:
      if (!sheetSeen_) Default();
      break;
    case rtCountry:
      if (v >= xvExcel97 && !foreignWriter_) Default();
      else store_ = false;
      break;
    case rtWsBool:
      if (v >= xvExcel50 && storage_ != &workbook_.GlobalsRecords()) Default();
      break;
    case rtWriteAccess: OnWriteAccess(); break;
    case rtWindow2: OnWindow2(); break;
    case rtSelection: DefaultFrom(xvExcel50); break;
    case rtPane: OnPane(); break;
    case rtHeader:
    case rtFooter:
      if (v >= xvExcel50) storage_->SetPlaceholder(phHeaderFooter);
      store_ = false;
      break;
    case rtVerticalPageBreaks:
    case rtHorizontalPageBreaks:
      storage_->SetPlaceholder(phPageBreaks);
      store_ = false;
      break;
    case rtLeftMargin:
    case rtRightMargin:
    case rtTopMargin:
    case rtBottomMargin:
      if (v >= xvExcel50) storage_->SetPlaceholder(phMargins);
      store_ = false;
      break;
    case rtColInfo: OnColInfo(); break;
    case rtMergedCells: OnMergedCells(); break;
    case rtNote:
      if (v >= xvExcel50) storage_->SetPlaceholder(phSheetObjects);
      store_ = false;
      break;

    // ---- Drawings and other objects kept beside the cells.
    case rtMsoDrawingGroup: OnDrawingGroup(); break;
    case rtMsoDrawing: OnDrawing(); break;
    case rtObj:
    case rtTxo:
    case rtImData: store_ = false; break;
    case rtContinue:
      if (afterDrawing_) store_ = false;
      break;
    case rtFilterMode:
    case rtAutoFilterInfo:
    case rtCondFmt:
    case rtDVal:
    case rtFileSharing: store_ = false; break;
    case rtHLink:
      if (v >= xvExcel97) store_ = false;
      break;
    case rtFeatHdr:
      if (inSheet_) store_ = false;
      break;

    // ---- Dropped.
    case rtIndex:
      if (sheet_) storage_ = &sheet_->Records();
      store_ = false;
      break;
    case rtDBCell:
    case rtUserBView:
    case rtExtSST:
    case rtMsoDrawingSelection: store_ = false; break;
    case rtUsersViewBegin:
      skipping_ = true;
      store_ = false;
      break;

    // ---- Records of later Excel versions.
    case 0x0863: case 0x087C: case 0x087D: case 0x088C: case 0x088E:
    case 0x0892: case 0x0896: case 0x089A: case 0x089B: case 0x08A3:
      workbook_.Ex2007Unknown().AddRecord(id_, static_cast<uint16_t>(length_), buffer_.data());
      store_ = false;
      break;

    default:
      break;
  }
  return Step::kGoOn;
}

// ---- Substreams ---------------------------------------------------------------------

TXLSBiffReader::Step TXLSBiffReader::OnBOF() {
  store_ = false;
  SkipRecordBody();
  switch (W(2)) {
    case 0x0005: {  // workbook globals
      if (length_ > 256) Throw("Invalid BOF size");
      workbook_.IsMac = version_ == xvExcel97 && (D(8) & 0x10) != 0;
      storage_ = &workbook_.GlobalsRecords();
      inSheet_ = false;
      const bool foreign = W(6) == 1998 && D(8) == 0 && D(12) == 6;
      if (length_ >= 6) {
        buffer_[4] = 21;
        buffer_[5] = 0;
      }
      storage_->SetDefaultRecord(id_, static_cast<uint16_t>(length_), buffer_.data());
      foreignWriter_ = foreign;
      break;
    }
    case 0x0010: NewSheet(skWorksheet); break;
    case 0x0006: NewSheet(skVBModule); break;
    case 0x0040: NewSheet(skMacroSheet); break;
    case 0x0020:  // chart: embedded in a sheet, or a chart sheet of its own
      chartDepth_ = 1;
      chartSheet_ = !inSheet_;
      if (chartSheet_) {
        const TSheetEntry& entry = SheetEntry(sheetNumber_ + 1);
        ++sheetNumber_;
        sheetSeen_ = true;
        workbook_.SheetNameList().push_back(entry.Name);
      }
      break;
    case 0x0100:
      Throw("BIFF4 Workbook unhandled");
    default:
      break;
  }
  return Step::kGoOn;
}

const TXLSBiffReader::TSheetEntry& TXLSBiffReader::SheetEntry(int32_t number) const {
  if (number < 0 || static_cast<std::size_t>(number) >= sheetList_.size()) ThrowListIndexError(number);
  return sheetList_[static_cast<std::size_t>(number)];
}

void TXLSBiffReader::NewSheet(uint8_t kind) {
  const bool named = version_ >= xvExcel50;
  const TSheetEntry* entry = named ? &SheetEntry(sheetNumber_ + 1) : nullptr;
  ++sheetNumber_;
  ++sheetIndex_;
  TSheet& sheet = workbook_.Sheets().Add(kind);
  sheet_ = &sheet;
  sheetSeen_ = true;
  inSheet_ = true;
  if (named) {
    sheet.SetName(entry->Name);
    sheet.Visibility = entry->Visibility;
    sheet.SheetNumber = sheetNumber_;
    storage_ = &sheet.Records();
    storage_->SetDefaultRecord(id_, static_cast<uint16_t>(length_), buffer_.data());
  } else {
    sheet.SetName(u"Sheet1");
  }
  subVersion_ = length_ >= 16 ? D(12) : 0;
  workbook_.SheetNameList().push_back(sheet.Name());
}

TXLSBiffReader::Step TXLSBiffReader::OnEOF() {
  storage_->SetDefaultRecord(id_, static_cast<uint16_t>(length_), buffer_.data());
  store_ = false;
  sharedFormulas_.Clear();
  inSheet_ = false;
  return EndOfSubstream();
}

// A workbook is read up to the end of the substream of its last sheet-list
// entry; one without a sheet list up to its first EOF.
TXLSBiffReader::Step TXLSBiffReader::EndOfSubstream() const {
  if (!sheetList_.empty() && sheetNumber_ < static_cast<int32_t>(sheetList_.size()) - 1) return Step::kGoOn;
  return Step::kFinished;
}

// ---- Settings -------------------------------------------------------------------------

// A settings record of the other kind of substream (a globals setting that a
// writer put into a sheet, or the reverse) is kept raw where it stands: the
// storage has no default place for it, and refusing it would lose the whole
// workbook. Ids that neither kind knows still raise the storage's error.
void TXLSBiffReader::FileDefault(const uint8_t* body, std::size_t size) {
  if (!storage_->Accepts(id_) && (workbook_.GlobalsRecords().Accepts(id_) || sheetDefaults_.Accepts(id_))) {
    storage_->AddRecord(id_, static_cast<uint16_t>(size), body);
    return;
  }
  storage_->SetDefaultRecord(id_, static_cast<uint16_t>(size), body);
}

void TXLSBiffReader::Default() {
  FileDefault(buffer_.data(), length_);
  store_ = false;
}

void TXLSBiffReader::DefaultFrom(TExcelVersion version) {
  if (version_ >= version) FileDefault(buffer_.data(), length_);
  store_ = false;
}

void TXLSBiffReader::OnDimensions() {
  store_ = false;
  if (version_ < xvExcel50) return;
  uint8_t body[14] = {};
  const uint8_t* source = buffer_.data();
  std::size_t size = length_;
  uint32_t row1 = 0, row2 = 0;
  uint16_t col1 = 0, col2 = 0;
  if (version_ == xvExcel50) {
    // Rows widened to 32 bits: the BIFF8 layout.
    row1 = W(0);
    row2 = W(2);
    col1 = W(4);
    col2 = W(6);
    for (int i = 0; i < 4; ++i) {
      body[i] = static_cast<uint8_t>(row1 >> (8 * i));
      body[4 + i] = static_cast<uint8_t>(row2 >> (8 * i));
    }
    for (int i = 0; i < 6; ++i) body[8 + i] = B(4 + i);
    source = body;
    size = sizeof(body);
  } else {
    row1 = D(0);
    row2 = D(4);
    col1 = W(8);
    col2 = W(10);
  }
  FileDefault(source, size);
  if (sheet_ && row2 > row1 && col2 > col1) {
    sheet_->HasDimension = true;
    sheet_->Dimension = TCellArea{col1, static_cast<int32_t>(row1), col2 - 1, static_cast<int32_t>(row2 - 1)};
  }
}

void TXLSBiffReader::OnWriteAccess() {
  store_ = false;
  // Filed in the BIFF8 form: character count u16, option byte 0, the
  // characters; padded with spaces to 112 bytes.
  uint8_t body[3 + 255 + 112];
  const uint8_t* source = buffer_.data();
  std::size_t size = length_;
  if (version_ < xvExcel97) {
    const std::size_t count = std::min<std::size_t>(B(0), length_ > 0 ? length_ - 1 : 0);
    body[0] = static_cast<uint8_t>(count);
    body[1] = 0;
    body[2] = 0;
    if (count) std::memcpy(body + 3, buffer_.data() + 1, count);
    source = body;
    size = 3 + count;
  }
  if (size < 112) {
    if (source != body && size) std::memcpy(body, source, size);
    std::memset(body + size, 0x20, 112 - size);
    source = body;
    size = 112;
  }
  FileDefault(source, size);
}

void TXLSBiffReader::OnWindow2() {
  store_ = false;
  if (version_ < xvExcel50) return;
  if (version_ == xvExcel50) {
    // The BIFF8 layout: 18 bytes, bytes 10-17 zero.
    uint8_t body[18] = {};
    for (std::size_t i = 0; i < 10; ++i) body[i] = B(i);
    FileDefault(body, sizeof(body));
  } else {
    FileDefault(buffer_.data(), length_);
  }
}

void TXLSBiffReader::OnPane() {
  store_ = false;
  // The selections of the panes follow the PANE record.
  while (stream_->PeekRecordId() == rtSelection) {
    uint16_t id = 0;
    ReadAhead(id, ahead_);
  }
}

void TXLSBiffReader::OnColInfo() {
  if (version_ < xvExcel50) return;
  storage_->SetPlaceholder(phColInfo);
  store_ = false;
  Need(10);
  const uint32_t last = std::min<uint32_t>(W(2), 255);
  for (uint32_t col = W(0); col <= last; ++col) {
    TXLSColumn& column = Sheet().Columns().FindOrAdd(col);
    column.Width = W(4);
    column.FormatIndex = W(6);
    const uint16_t options = W(8);
    column.Flags = static_cast<uint16_t>((options & 0x0001 ? rfHidden : 0) | (options & 0x1000 ? rfCollapsed : 0));
    column.OutlineLevel = static_cast<uint8_t>((options >> 8) & 0x07);
  }
}

void TXLSBiffReader::OnMergedCells() {
  storage_->SetPlaceholder(phSheetObjects);
  store_ = false;
  Need(2);
  const std::size_t count = std::min<std::size_t>(W(0), (length_ - 2) / 8);
  std::vector<TCellArea>& merged = Sheet().MergedCells();
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t at = 2 + 8 * i;
    merged.push_back(TCellArea{W(at + 4), W(at), W(at + 6), W(at + 2)});
  }
}

void TXLSBiffReader::OnRow() {
  store_ = false;
  Need(8);
  TXLSRow& row = Sheet().Rows().FindOrAdd(W(0));
  row.Height = W(6) & 0x7FFF;
  const uint16_t options = W(12);
  row.OutlineLevel = static_cast<uint8_t>(options & 0x07);
  row.Flags = static_cast<uint16_t>((options & 0x10 ? rfCollapsed : 0) | (options & 0x20 ? rfHidden : 0) |
                                    (options & 0x40 ? rfCustomHeight : 0) | (options & 0x80 ? rfCustomFormat : 0));
  row.FormatIndex = (options & 0x80) ? (W(14) & 0x0FFF) : -1;
  row.Record.assign(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(length_));
}

// The drawing group: one OfficeArt container spread over the record and its
// CONTINUE records, read in continue mode. No drawing model is built.
void TXLSBiffReader::OnDrawingGroup() {
  storage_->SetPlaceholder(phDrawingGroup);
  store_ = false;
  const std::size_t recordLength = length_;
  stream_->BeginContinueRead();
  std::size_t consumed = 0;
  uint8_t header[8];
  const std::size_t got = stream_->ReadBody(header, sizeof(header));
  consumed += got;
  if (got == sizeof(header)) {
    uint64_t left = static_cast<uint32_t>(header[4] | header[5] << 8 | header[6] << 16 |
                                          static_cast<uint32_t>(header[7]) << 24);
    while (left > 0) {
      const std::size_t want = static_cast<std::size_t>(std::min<uint64_t>(left, buffer_.size()));
      const std::size_t n = stream_->ReadBody(buffer_.data(), want);
      consumed += n;
      left -= n;
      if (n < want) break;
    }
  }
  stream_->EndContinueRead();
  // A record longer than its container: the rest of it is passed over too.
  if (consumed < recordLength) {
    length_ = recordLength - consumed;
    length_ = stream_->ReadBody(buffer_.data(), length_);
  }
  length_ = 0;
}

void TXLSBiffReader::OnDrawing() {
  storage_->SetPlaceholder(phSheetObjects);
  store_ = false;
  SkipRecordBody();
}

}  // namespace tabulon
