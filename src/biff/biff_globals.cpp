// Workbook globals records: the sheet list, shared strings, fonts, formats,
// palette, window settings, defined names and external references.
#include <algorithm>

#include "biff/biff_reader.h"
#include "biff/biff_records.h"
#include "biff/xls_stream.h"
#include "biff/xls_text.h"
#include "platform/error.h"
#include "platform/platform.h"
#include "workbook/formats.h"
#include "workbook/formula_handler.h"
#include "workbook/sst.h"
#include "workbook/workbook.h"

namespace tabulon {

// BIFF2-BIFF5 files store their 8-bit texts in this code page. BIFF8 texts
// are UTF-16 or compressed UTF-16 (code page 1200) whatever it says.
void TXLSBiffReader::OnCodePage() {
  DefaultFrom(xvExcel50);
  codePage_.reset();
  if (version_ >= xvExcel97 || length_ < 2) return;
  auto converter = std::make_unique<platform::TCodePageConverter>(W(0));
  if (converter->Supported()) codePage_ = std::move(converter);
}

void TXLSBiffReader::DecodeBytes(const uint8_t* data, std::size_t size, std::size_t count, std::u16string& out,
                                 TTextDecoder fallback) const {
  if (codePage_) DecodeCodePageString(*codePage_, data, size, count, out);
  else fallback(data, size, count, out);
}

void TXLSBiffReader::OnBoundSheet() {
  storage_->SetPlaceholder(phSheetList);
  store_ = false;
  Need(7);
  const std::size_t count = B(6);
  const uint8_t* name = buffer_.data() + 7;
  const std::size_t size = length_ - 7;
  TSheetEntry entry;
  entry.Visibility = B(4) & 0x03;
  if (version_ >= xvExcel97) {
    const uint8_t flag = B(7);
    if (flag == 0x01) DecodeFlaggedString(name, size, count, entry.Name);
    else if (flag == 0x00) DecodeAnsiString(name + 1, size - 1, count, entry.Name);
    else DecodeAnsiString(name, size, count + 1, entry.Name);  // no option byte
  } else {
    DecodeBytes(name, size, count, entry.Name, DecodeWidenedString);
  }
  sheetList_.push_back(std::move(entry));
}

// The table and its CONTINUE records are read by the shared string table.
void TXLSBiffReader::OnSST() {
  storage_->SetPlaceholder(phSST);
  store_ = false;
  workbook_.SST().ReadSST(*stream_, static_cast<uint16_t>(length_));
}

void TXLSBiffReader::OnFont() {
  store_ = false;
  workbook_.Fonts().AddFontRecord(buffer_.data(), length_, version_ >= xvExcel97);
}

void TXLSBiffReader::OnFormat() {
  store_ = false;
  Need(3);
  if (version_ >= xvExcel97) ReadFlaggedString(buffer_.data() + 2, length_ - 2, 2, text_);
  else DecodeBytes(buffer_.data() + 3, length_ - 3, B(2), text_, DecodeWidenedString);
  // Number format texts are 8-bit texts of the ANSI code page.
  const std::u16string text = platform::AnsiToWide(platform::WideToAnsi(text_));
  workbook_.CellFormats().NumberFormats().AddNumberFormat(text, W(0), 1);
}

// The n-th XF record becomes cell format n.
void TXLSBiffReader::OnXF() {
  store_ = false;
  workbook_.CellFormats().AddXFRecord(buffer_.data(), length_, version_ >= xvExcel97, version_ == xvExcel50);
}

void TXLSBiffReader::OnPalette() {
  // Also kept raw.
  const std::size_t count = std::min<std::size_t>({W(0), 57, length_ >= 2 ? (length_ - 2) / 4 : 0});
  std::vector<uint32_t>& colors = workbook_.PaletteColors();
  colors.resize(count);
  for (std::size_t i = 0; i < count; ++i) colors[i] = D(2 + 4 * i);
}

void TXLSBiffReader::OnWindow1() {
  store_ = false;
  if (version_ < xvExcel97) return;
  FileDefault(buffer_.data(), length_);
  TWorkbookData& data = workbook_.Workbook();
  data.Left = W(0);
  data.Top = W(2);
  data.Width = W(4);
  data.Height = W(6);
  data.Options = B(8);
  data.SelectedTab = W(10);
  data.FirstTab = W(12);
  data.TabRatio = W(16);
}

// ---- Defined names and external references (BIFF8; raw in earlier files) ----------

void TXLSBiffReader::OnName() {
  if (version_ < xvExcel97) return;
  storage_->SetPlaceholder(phNames);
  store_ = false;
  TDefinedName name;
  name.Options = W(0);
  name.SheetIndex = W(8);
  std::size_t at = 14;
  if (length_ > at) at += DecodeFlaggedString(buffer_.data() + at, length_ - at, B(3), name.Name);
  const std::size_t cce = std::min<std::size_t>(W(4), length_ > at ? length_ - at : 0);
  name.FormulaData.assign(buffer_.data() + at, buffer_.data() + at + cce);
  name.Record.assign(buffer_.data(), buffer_.data() + length_);
  workbook_.FormulaHandler().Names().push_back(std::move(name));
}

void TXLSBiffReader::OnSupBook() {
  if (version_ < xvExcel97) return;
  storage_->SetPlaceholder(phNames);
  store_ = false;
  Need(4);
  // Bytes of a flagged string of `count` characters at `at`, cut to the body.
  auto flaggedSize = [this](std::size_t at, std::size_t count) -> std::size_t {
    if (at >= length_) return 0;
    const std::size_t size = 1 + count * (buffer_[at] == 0x01 ? 2 : 1);
    return std::min(size, length_ - at);
  };
  TSupBook book;
  const uint16_t sheets = W(0);
  const uint16_t marker = W(2);
  if (marker == 0x0401 || marker == 0x3A01) {
    book.Kind = marker;
  } else {
    std::size_t at = 4;
    std::size_t size = flaggedSize(at, marker);
    book.DocumentName.assign(buffer_.data() + at, buffer_.data() + at + size);
    at += size;
    for (uint32_t i = 0; i < sheets && at + 2 <= length_; ++i) {
      const std::size_t count = W(at);
      at += 2;
      size = flaggedSize(at, count);
      TSupBookSheet& sheet = book.Sheets.emplace_back();
      sheet.Name.assign(buffer_.data() + at, buffer_.data() + at + size);
      at += size;
    }
  }
  workbook_.FormulaHandler().SupBooks().push_back(std::move(book));
}

void TXLSBiffReader::OnExternName() {
  std::vector<TSupBook>& books = workbook_.FormulaHandler().SupBooks();
  if (version_ < xvExcel97 || books.empty()) return;
  storage_->SetPlaceholder(phNames);
  store_ = false;
  books.back().ExternNames.emplace_back(buffer_.data(), buffer_.data() + length_);
}

void TXLSBiffReader::OnExternSheet() {
  if (version_ < xvExcel97) return;
  storage_->SetPlaceholder(phNames);
  store_ = false;
  if (foreignWriter_) return;
  Need(2);
  const std::size_t count = std::min<std::size_t>(W(0), (length_ - 2) / 6);
  std::vector<TExtSheet>& sheets = workbook_.FormulaHandler().ExtSheets();
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t at = 2 + 6 * i;
    sheets.push_back(TExtSheet{W(at), W(at + 2), W(at + 4)});
  }
}

// XCT: the cached values of one external sheet, in the CRN records that
// follow it.
void TXLSBiffReader::OnXCT() {
  store_ = false;
  uint32_t count = W(0);
  if (count & 0x8000) count = 0x10000 - count;
  const uint16_t sheetIndex = W(2);
  std::vector<TSupBook>& books = workbook_.FormulaHandler().SupBooks();
  for (uint32_t i = 0; i < count; ++i) {
    if (stream_->PeekRecordId() != rtCRN) Throw("CRN record missing");
    uint16_t id = 0;
    ReadAhead(id, ahead_);
    if (books.empty()) Throw("No SUPBOOK for CRN");
    std::vector<TSupBookSheet>& sheets = books.back().Sheets;
    if (sheetIndex >= sheets.size()) Throw("Invalid SUPBOOK Sheet Index");
    sheets[sheetIndex].CRNs.push_back(ahead_);
  }
}

}  // namespace tabulon
