// Cell records: values and formulas written into the current sheet.
#include <algorithm>
#include <cstring>

#include "biff/biff_reader.h"
#include "biff/biff_records.h"
#include "biff/shared_formula.h"
#include "biff/xls_stream.h"
#include "biff/xls_text.h"
#include "platform/error.h"
#include "platform/platform.h"
#include "workbook/cellref.h"
#include "workbook/cells.h"
#include "workbook/sheet.h"

namespace tabulon {

namespace {

constexpr uint16_t kBiff2Format = 15;

// RK number: bit 0 divides by 100, bit 1 marks a 30-bit signed integer;
// otherwise the word is the high half of a double.
double DecodeRK(uint32_t rk) {
  double value;
  if (rk & 0x02) {
    value = static_cast<double>(static_cast<int32_t>(rk & 0xFFFFFFFCu) / 4);
  } else {
    const uint64_t bits = static_cast<uint64_t>(rk & 0xFFFFFFFCu) << 32;
    std::memcpy(&value, &bits, sizeof(value));
  }
  return (rk & 0x01) ? value / 100.0 : value;
}

uint16_t Get16(const std::vector<uint8_t>& body, std::size_t at) {
  return at + 2 <= body.size() ? static_cast<uint16_t>(body[at] | body[at + 1] << 8) : 0;
}

[[noreturn]] void ThrowShortRecord(uint16_t id, std::size_t size, std::size_t needed) {
  Throw(Format("Record %.4X is too short: %u bytes, %u needed", id, static_cast<unsigned>(size),
               static_cast<unsigned>(needed)));
}

// A formula's parsed expression never reaches past its token bytes.
uint32_t ExpressionLength(uint32_t cce, uint32_t size) { return std::min(cce, size); }

// Appends up to `wanted` characters of one piece of a flagged string (an
// option byte, then the characters); returns the number appended.
std::size_t AppendFlaggedPiece(const uint8_t* data, std::size_t size, std::size_t wanted, std::u16string& out) {
  if (size == 0) return 0;
  const uint8_t* chars = data + 1;
  const std::size_t room = size - 1;
  const std::size_t start = out.size();
  if (data[0] == 0x01) {
    const std::size_t n = std::min(wanted, room / 2);
    out.resize(start + n);
    for (std::size_t i = 0; i < n; ++i) out[start + i] = static_cast<char16_t>(chars[2 * i] | chars[2 * i + 1] << 8);
    return n;
  }
  const std::size_t n = std::min(wanted, room);
  out.resize(start + n);
  for (std::size_t i = 0; i < n; ++i) out[start + i] = static_cast<char16_t>(chars[i]);
  return n;
}

// The same for a piece of single-byte characters without an option byte
// (BIFF2-BIFF5: bytes of the code page the file was written in).
std::size_t AppendBytePiece(const uint8_t* data, std::size_t size, std::size_t wanted, std::u16string& out) {
  const std::size_t start = out.size();
  const std::size_t n = std::min(wanted, size);
  out.resize(start + n);
  for (std::size_t i = 0; i < n; ++i) out[start + i] = platform::AnsiCharToWide(data[i]);
  return n;
}

}  // namespace

// ---- Simple cells ------------------------------------------------------------------------

void TXLSBiffReader::OnBlank() {
  store_ = false;
  Need(6);
  Sheet().WriteBlank(W(2), W(0), W(4));
}

void TXLSBiffReader::OnMulBlank() {
  store_ = false;
  Need(6);
  TSheet& sheet = Sheet();
  const uint32_t row = W(0);
  const uint32_t first = W(2);
  const std::size_t count = (length_ - 6) / 2;  // the last column word closes the record
  for (std::size_t i = 0; i < count; ++i)
    sheet.WriteBlank(first + static_cast<uint32_t>(i), row, W(4 + 2 * i));
}

void TXLSBiffReader::OnNumber() {
  store_ = false;
  Need(14);
  Sheet().WriteNumber(W(2), W(0), W(4), F(6));
}

void TXLSBiffReader::OnRK() {
  store_ = false;
  Need(10);
  Sheet().WriteNumber(W(2), W(0), W(4), DecodeRK(D(6)));
}

void TXLSBiffReader::OnMulRK() {
  store_ = false;
  Need(6);
  TSheet& sheet = Sheet();
  const uint32_t row = W(0);
  const uint32_t first = W(2);
  const std::size_t count = (length_ - 6) / 6;
  const uint8_t* pair = buffer_.data() + 4;  // count pairs lie inside the body
  for (std::size_t i = 0; i < count; ++i, pair += 6) {
    const uint16_t xf = static_cast<uint16_t>(pair[0] | pair[1] << 8);
    const uint32_t rk = pair[2] | pair[3] << 8 | pair[4] << 16 | static_cast<uint32_t>(pair[5]) << 24;
    sheet.WriteNumber(first + static_cast<uint32_t>(i), row, xf, DecodeRK(rk));
  }
}

void TXLSBiffReader::OnBoolErr() {
  store_ = false;
  Need(8);
  const uint8_t value = B(6);
  if (B(7) != 0) Sheet().WriteError(W(2), W(0), W(4), ErrorCodeToIndex(value));
  else Sheet().WriteBoolean(W(2), W(0), W(4), value);
}

void TXLSBiffReader::OnLabelSST() {
  store_ = false;
  Need(10);
  TSheet& sheet = Sheet();
  try {
    sheet.WriteSSTString(W(2), W(0), W(4), D(6));
  } catch (const Exception&) {
    Throw(Format("Read error at %.8lld", static_cast<long long>(stream_->Position())));
  }
}

// LABEL text: the byte at 8 is an option byte when it is 0 or 1 (BIFF8);
// any other value is the first character of a BIFF2-BIFF5 byte string, whose
// bytes are characters of the ANSI code page (0x80 is the euro sign, not
// U+0080), as in RSTRING and BIFF2 LABEL.
void TXLSBiffReader::OnLabel() {
  store_ = false;
  Need(8);
  const std::size_t count = W(6);
  const uint8_t flag = B(8);
  if (flag == 0x00 || flag == 0x01) DecodeFlaggedString(buffer_.data() + 8, length_ - 8, count, text_);
  else DecodeBytes(buffer_.data() + 8, length_ - 8, count, text_, DecodeAnsiString);
  Sheet().WriteString(W(2), W(0), W(4), text_);
}

void TXLSBiffReader::OnRString() {
  if (version_ >= xvExcel97) return OnLabel();
  store_ = false;
  Need(8);
  DecodeBytes(buffer_.data() + 8, length_ - 8, W(6), text_, DecodeAnsiString);
  Sheet().WriteString(W(2), W(0), W(4), text_);
}

// BIFF2 cells: row, column, 3 attribute bytes, then the value; format 15.
void TXLSBiffReader::OnBiff2Cell() {
  store_ = false;
  switch (id_) {
    case rtBlank2:
      Need(4);
      Sheet().WriteBlank(W(2), W(0), kBiff2Format);
      break;
    case rtInteger2:
      Need(9);
      Sheet().WriteNumber(W(2), W(0), kBiff2Format, W(7));
      break;
    case rtNumber2:
      Need(15);
      Sheet().WriteNumber(W(2), W(0), kBiff2Format, F(7));
      break;
    case rtLabel2:
      Need(8);
      DecodeBytes(buffer_.data() + 8, length_ - 8, B(7), text_, DecodeAnsiString);
      Sheet().WriteString(W(2), W(0), kBiff2Format, text_);
      break;
    case rtBoolErr2:
      Need(9);
      if (B(8) != 0) Sheet().WriteError(W(2), W(0), kBiff2Format, ErrorCodeToIndex(B(7)));
      else Sheet().WriteBoolean(W(2), W(0), kBiff2Format, B(7));
      break;
    default:
      break;
  }
}

// ---- Records read ahead of the loop ----------------------------------------------------

// Reads the next record whole into `body`, sized by its own header.
void TXLSBiffReader::ReadAhead(uint16_t& id, std::vector<uint8_t>& body) {
  uint16_t length = 0;
  if (stream_->ReadHeader(id, length) < 4) {
    body.clear();
    return;
  }
  body.resize(length);
  body.resize(stream_->ReadBody(body.data(), length));
}

bool TXLSBiffReader::ReadFormulaString(bool biff2String) {
  uint16_t next = stream_->PeekRecordId();
  uint16_t id = 0;
  if (next == rtTable) {
    // A cell of a data table: its TABLE record stands between the FORMULA
    // and the STRING. It is kept raw, where the loop would have filed it.
    ReadAhead(id, ahead_);
    storage_->AddRecord(id, static_cast<uint16_t>(ahead_.size()), ahead_.data());
    next = stream_->PeekRecordId();
  }
  if (next != rtString && !(biff2String && next == rtString2)) return false;
  ReadAhead(id, ahead_);
  if (id == rtString2) {
    if (ahead_.empty()) text_.clear();
    else DecodeBytes(ahead_.data() + 1, ahead_.size() - 1, ahead_[0], text_, DecodeAnsiString);
    return true;
  }
  // A text longer than one record goes on in CONTINUE records; in BIFF8
  // each piece starts with its own option byte.
  const bool biff8 = version_ >= xvExcel97;
  const std::size_t count = Get16(ahead_, 0);
  text_.clear();
  if (!biff8 && codePage_) {
    // Bytes of the code page: the pieces are joined before a double-byte
    // character could be split between them.
    bytes_.assign(ahead_.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(2, ahead_.size())),
                  ahead_.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(2 + count, ahead_.size())));
    while (bytes_.size() < count && stream_->PeekRecordId() == rtContinue) {
      ReadAhead(id, ahead_);
      bytes_.append(ahead_.begin(), ahead_.begin() + static_cast<std::ptrdiff_t>(
                                                         std::min(count - bytes_.size(), ahead_.size())));
    }
    codePage_->ToWide(bytes_, text_);
    return true;
  }
  if (ahead_.size() > 2) {
    if (biff8) AppendFlaggedPiece(ahead_.data() + 2, ahead_.size() - 2, count, text_);
    else AppendBytePiece(ahead_.data() + 2, ahead_.size() - 2, count, text_);
  }
  while (text_.size() < count && stream_->PeekRecordId() == rtContinue) {
    ReadAhead(id, ahead_);
    if (biff8) AppendFlaggedPiece(ahead_.data(), ahead_.size(), count - text_.size(), text_);
    else AppendBytePiece(ahead_.data(), ahead_.size(), count - text_.size(), text_);
  }
  return true;
}

void TXLSBiffReader::ReadSharedFormula() {
  uint16_t id = 0;
  ReadAhead(id, ahead_);
  if (ahead_.size() < 10) ThrowShortRecord(id, ahead_.size(), 10);
  const std::size_t cce = Get16(ahead_, 8);
  if (10 + cce > ahead_.size()) ThrowShortRecord(id, ahead_.size(), 10 + cce);
  sharedFormulas_.Add({Get16(ahead_, 0), Get16(ahead_, 2), ahead_[4], ahead_[5],
                       std::vector<uint8_t>(ahead_.begin() + 10, ahead_.begin() + 10 + static_cast<std::ptrdiff_t>(cce))});
}

// Puts the tokens of the shared formula that covers the master cell named by
// the record's ptgExp into formula_ (after the record's 22-byte head),
// converted for the cell at (col, row).
bool TXLSBiffReader::ApplySharedFormula(uint32_t col, uint32_t row, uint32_t& cce, uint32_t& size) {
  const uint16_t next = stream_->PeekRecordId();
  if (next == rtShrFmla || next == rtShrFmla5) ReadSharedFormula();
  const uint32_t masterRow = W(23);
  const uint32_t masterCol = version_ >= xvExcel97 ? W(25) : B(25);
  const TSharedFormulaList::TEntry* found = sharedFormulas_.Find(masterCol, masterRow);
  if (!found) {
    Throw(Format("Fixup error in shared formula at C=%d,R=%d (%s)", static_cast<int>(col), static_cast<int>(row),
                 platform::WideToHost(CellRefText(static_cast<int32_t>(col), static_cast<int32_t>(row))).c_str()));
  }
  const std::size_t tokens = found->Tokens.size();
  ChargeCopiedFormula(tokens);
  formula_.assign(22 + tokens, 0);
  std::memcpy(formula_.data(), buffer_.data(), std::min<std::size_t>(22, length_));
  if (tokens) std::memcpy(formula_.data() + 22, found->Tokens.data(), tokens);
  ConvertSharedFormula(formula_.data() + 22, tokens, version_ >= xvExcel97, col, row);
  cce = size = static_cast<uint32_t>(tokens);
  return true;
}

void TXLSBiffReader::ChargeCopiedFormula(std::size_t bytes) {
  copiedFormulaBytes_ += bytes;
  if (copiedFormulaBytes_ > copiedFormulaLimit_)
    Throw(Format("Shared and array formulas copy more than %llu bytes",
                 static_cast<unsigned long long>(copiedFormulaLimit_)));
}

// Array formulas: the anchor cell is followed by its ARRAY record; further
// cells of the array refer to the last ARRAY read. False when the cell is
// not part of an array (the array is then forgotten).
bool TXLSBiffReader::WriteArrayFormula(uint32_t col, uint32_t row, uint16_t xf, const uint8_t* tokens,
                                       uint32_t size, uint32_t cce) {
  uint8_t member;
  if (stream_->PeekRecordId() == rtArray) {
    uint16_t id = 0;
    ReadAhead(id, arrayRecord_);
    hasArray_ = true;
    member = 0;
  } else if (hasArray_ && Get16(arrayRecord_, 0) <= row && row <= Get16(arrayRecord_, 2) &&
             (arrayRecord_.size() > 4 ? arrayRecord_[4] : 0) <= col &&
             col <= (arrayRecord_.size() > 5 ? arrayRecord_[5] : 0)) {
    member = 1;
  } else {
    hasArray_ = false;
    arrayRecord_.clear();
    return false;
  }
  TSheet& sheet = Sheet();
  const uint32_t arraySize = static_cast<uint32_t>(arrayRecord_.size());
  const uint32_t expression = ExpressionLength(cce, size);
  if (member != 0) ChargeCopiedFormula(arraySize);
  // The cached result: a number, or (top two bytes 0xFFFF) the same result
  // types as a plain formula's.
  const bool number = !(B(12) == 0xFF && B(13) == 0xFF && B(6) < 4);
  if (ReadFormulaString(false)) {
    sheet.WriteStringArrayFormula(col, row, xf, tokens, size, expression, text_, arrayRecord_.data(), arraySize,
                                  member);
  } else if (number) {
    sheet.WriteNumberArrayFormula(col, row, xf, tokens, size, expression, F(6), arrayRecord_.data(), arraySize,
                                  member);
  } else if (B(6) == 1) {
    sheet.WriteBooleanArrayFormula(col, row, xf, tokens, size, expression, B(8), arrayRecord_.data(), arraySize,
                                   member);
  } else if (B(6) == 2) {
    sheet.WriteErrorArrayFormula(col, row, xf, tokens, size, expression, B(8), arrayRecord_.data(), arraySize,
                                 member);
  } else {  // the empty text, or a text whose STRING record is missing
    sheet.WriteStringArrayFormula(col, row, xf, tokens, size, expression, std::u16string_view(),
                                  arrayRecord_.data(), arraySize, member);
  }
  return true;
}

bool TXLSBiffReader::WriteNonNumberFormula(uint32_t col, uint32_t row, uint16_t xf, uint8_t type, uint8_t value,
                                           const uint8_t* tokens, uint32_t size, uint32_t cce) {
  const uint32_t expression = ExpressionLength(cce, size);
  switch (type) {
    case 0: {  // text, in the STRING record that follows
      const uint16_t next = stream_->PeekRecordId();
      if (next == rtShrFmla || next == rtShrFmla5) Throw("Unxepected SHRFMLA");
      if (ReadFormulaString(true)) Sheet().WriteStringFormula(col, row, xf, tokens, size, expression, text_);
      return true;
    }
    case 1:
      Sheet().WriteBooleanFormula(col, row, xf, tokens, size, expression, value);
      return true;
    case 2:
      Sheet().WriteErrorFormula(col, row, xf, tokens, size, expression, value);
      return true;
    case 3:
      Sheet().WriteStringFormula(col, row, xf, tokens, size, expression, std::u16string_view());
      return true;
    default:
      return false;
  }
}

// ---- Formulas ----------------------------------------------------------------------------

// BIFF5 and BIFF8: head, cached result at 6, options at 14, cce at 20,
// tokens from 22.
void TXLSBiffReader::OnFormula() {
  store_ = false;
  Need(16);
  const uint32_t row = W(0);
  const uint32_t col = W(2);
  const uint16_t xf = W(4);
  uint32_t cce = W(20);
  uint32_t size = length_ > 22 ? static_cast<uint32_t>(length_ - 22) : 0;
  const uint8_t* tokens = buffer_.data() + 22;
  const uint8_t first = B(22);
  if ((W(14) & 0x0008) && first == 0x01) {
    ApplySharedFormula(col, row, cce, size);
    tokens = formula_.data() + 22;
  } else if (first == 0x01) {
    if (WriteArrayFormula(col, row, xf, tokens, size, cce)) return;
  }
  if (B(12) == 0xFF && B(13) == 0xFF && B(6) < 4) {
    WriteNonNumberFormula(col, row, xf, B(6), B(8), tokens, size, cce);
  } else if (cce != 0) {
    Sheet().WriteNumberFormula(col, row, xf, tokens, size, ExpressionLength(cce, size), F(6));
  }
}

// BIFF3 and BIFF4: cached result at 6, options at 14, cce at 16, tokens
// from 18. The number is written first; a result that is not a number then
// writes the cell again.
void TXLSBiffReader::OnFormula34() {
  store_ = false;
  Need(14);
  const uint32_t row = W(0);
  const uint32_t col = W(2);
  const uint16_t xf = W(4);
  const uint32_t cce = W(16);
  const uint32_t size = length_ > 18 ? static_cast<uint32_t>(length_ - 18) : 0;
  const uint8_t* tokens = buffer_.data() + 18;
  Sheet().WriteNumberFormula(col, row, xf, tokens, size, ExpressionLength(cce, size), F(6));
  if (B(12) == 0xFF && B(13) == 0xFF)
    WriteNonNumberFormula(col, row, xf, B(6), B(8), tokens, std::min(cce, size), cce);
}

// BIFF2: row, column, 3 attribute bytes, cached result at 7, cce byte at
// 16, tokens from 17; format 15.
void TXLSBiffReader::OnFormula2() {
  store_ = false;
  Need(15);
  const uint32_t row = W(0);
  const uint32_t col = W(2);
  const uint32_t cce = B(16);
  const uint32_t size = length_ > 17 ? static_cast<uint32_t>(length_ - 17) : 0;
  const uint8_t* tokens = buffer_.data() + 17;
  if (B(13) == 0xFF && B(14) == 0xFF)
    WriteNonNumberFormula(col, row, kBiff2Format, B(7), B(9), tokens, size, cce);
  else
    Sheet().WriteNumberFormula(col, row, kBiff2Format, tokens, size, ExpressionLength(cce, size), F(7));
}

}  // namespace tabulon
