#include "workbook/workbook.h"

#include <cstring>

#include "platform/error.h"
#include "platform/platform.h"
#include "workbook/cellref.h"
#include "workbook/fonts.h"
#include "workbook/formats.h"
#include "workbook/sst.h"

namespace tabulon {

namespace {

bool IsPathDelimiter(char16_t c) { return c == u'/' || c == u'\\' || c == platform::kPathSeparator; }

// The text from the last "." of the file name part, dot included.
std::u16string_view FileExtension(std::u16string_view name) {
  for (std::size_t i = name.size(); i > 0; --i) {
    const char16_t c = name[i - 1];
    if (c == u'.') return name.substr(i - 1);
    if (IsPathDelimiter(c)) break;
  }
  return {};
}

// The directory part of a file name, up to and including its last delimiter.
std::u16string_view FileDirectory(std::u16string_view name) {
  for (std::size_t i = name.size(); i > 0; --i)
    if (IsPathDelimiter(name[i - 1])) return name.substr(0, i);
  return {};
}

// The Open XML reader's scratch file: deleted from disk when the stream is
// freed, so at most one exists at a time.
class TScratchFileStream final : public TStream {
 public:
  explicit TScratchFileStream(std::unique_ptr<TFileStream> file) : file_(std::move(file)) {}
  ~TScratchFileStream() override {
    const std::u16string name = file_->FileName();
    file_.reset();
    platform::DeleteFile(name);
  }
  std::size_t Read(void* buffer, std::size_t count) override { return file_->Read(buffer, count); }
  std::size_t Write(const void* buffer, std::size_t count) override { return file_->Write(buffer, count); }
  int64_t Seek(int64_t offset, SeekOrigin origin) override { return file_->Seek(offset, origin); }
  int64_t Size() override { return file_->Size(); }

 private:
  std::unique_ptr<TFileStream> file_;
};

std::u16string DecimalText(uint64_t value) {
  const std::string digits = std::to_string(value);
  return std::u16string(digits.begin(), digits.end());
}

}  // namespace

TWorkbookFileKind WorkbookFileKind(const uint8_t* head, std::size_t size) {
  static constexpr uint8_t kZipLocalHeader[4] = {'P', 'K', 0x03, 0x04};
  static constexpr uint8_t kCompoundSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  if (size >= 4 && std::memcmp(head, kZipLocalHeader, 4) == 0) return TWorkbookFileKind::wfPackage;
  if (size >= 8 && std::memcmp(head, kCompoundSignature, 8) == 0) return TWorkbookFileKind::wfLegacy;
  if (size >= 4) {
    // A BOF record of BIFF2, BIFF3, BIFF4 or BIFF5/8 with a body of 4 to 256 bytes.
    const unsigned id = head[0] | head[1] << 8;
    const unsigned length = head[2] | head[3] << 8;
    if ((id == 0x0009 || id == 0x0209 || id == 0x0409 || id == 0x0809) && length >= 4 && length <= 256)
      return TWorkbookFileKind::wfLegacy;
  }
  return TWorkbookFileKind::wfUnknown;
}

bool IsScratchFileName(std::u16string_view name) {
  if (name.size() < 8 || name.substr(0, 3) != u"XLS" || name.substr(name.size() - 4) != u".tmp") return false;
  const std::u16string_view digits = name.substr(3, name.size() - 7);
  // A tick count has at most 10 digits.
  if (digits.size() > 10) return false;
  for (char16_t c : digits)
    if (c < u'0' || c > u'9') return false;
  return true;
}

void DeleteScratchLeftovers(const std::u16string& directory) {
  for (const std::u16string& name : platform::ListDirectory(directory))
    if (IsScratchFileName(name)) platform::DeleteFile(directory + name);
}

// ---- Life ----------------------------------------------------------------------------

TXLSWorkbook::TXLSWorkbook(IWorkbookReaders* readers) : readers_(readers) {
  DeleteScratchLeftovers(platform::TempDirectory());
  fonts_ = std::make_unique<TXFonts>();
  cellFormats_ = std::make_unique<TCellFormats>(fonts_.get(), true);
  cellFormats2_ = std::make_unique<TCellFormats>(fonts_.get(), false);
  ex12CellStyles_ = std::make_unique<TEx12CellStyles>();
  sst_ = std::make_unique<TSST2>(fonts_.get());
  formulaHandler_ = std::make_unique<TFormulaHandler>(*sst_);
  sheets_ = std::make_unique<TSheets>(this, *cellFormats_, *sst_, formulaHandler_->CellValues());
  defaultFormat_ = cellFormats_->DefaultFormat();
  tabulon::StrTRUE = u"TRUE";
  tabulon::StrFALSE = u"FALSE";
  sheets_->Add(skWorksheet);
  CalcOptionsFromFirstSheet();
  SetVersion(xvExcel97);
}

TXLSWorkbook::~TXLSWorkbook() = default;

// ---- Properties ------------------------------------------------------------------------

void TXLSWorkbook::SetVersion(TExcelVersion version) {
  version_ = version;
  bufferSize_ = version < xvExcel97 ? 2080 : 8224;
  sst_->SetBufferSize(bufferSize_);
  if (version < xvExcel2007) {
    MaxCol = 255;
    MaxRow = 65535;
  } else {
    MaxCol = 16383;
    MaxRow = 1048575;
  }
  formulaHandler_->Version = version;
}

bool TXLSWorkbook::Excel2007MacroFile() const {
  if (Filename.size() < 4) return false;
  return platform::WideLower(std::u16string_view(Filename).substr(Filename.size() - 4)) == u"xlsm";
}

TXFont* TXLSWorkbook::Font() const { return fonts_->Count() > 0 ? fonts_->Items(0) : nullptr; }

void TXLSWorkbook::SetFont(const TXFont& font) {
  if (fonts_->Count() == 0) return;
  TXFont* first = fonts_->Items(0);
  if (first == &font) return;
  std::memcpy(first->FontData, font.FontData, TXFont::kFontDataSize);
  first->Name = font.Name;
}

const std::u16string& TXLSWorkbook::StrTRUE() const { return tabulon::StrTRUE; }
void TXLSWorkbook::SetStrTRUE(std::u16string_view text) { tabulon::StrTRUE = text; }
const std::u16string& TXLSWorkbook::StrFALSE() const { return tabulon::StrFALSE; }
void TXLSWorkbook::SetStrFALSE(std::u16string_view text) { tabulon::StrFALSE = text; }

// ---- Clear and read -----------------------------------------------------------------------

void TXLSWorkbook::Clear() {
  formulaHandler_->ClearNames();
  // Sheets (and with them every cell) go before the formats the cells use.
  sheets_->Clear();
  sst_->Clear();
  globals_.Clear();
  ex2007Unknown_.Clear();
  sheets_->Add(skWorksheet);
  cellFormats_->SetDefaults();
  cellFormats2_->Clear();
  fonts_->SetDefaults();
  defaultFormat_ = cellFormats_->DefaultFormat();
  styles_.Clear();
  ex12CellStyles_->Clear();
  savedTags_.Clear();
  styleTags_.Clear();
  relations_.Clear();
  sheetNameList_.clear();
  UserName.clear();
  scratch_.reset();
  rawData_.clear();
  extraObjects_.Clear();
  paletteColors_.clear();
  origVersion_ = xvNone;
  // The model no longer is what the kept bytes gave.
  fileBytes_.Forget();
}

TXLSWorkbook::TReadSettings TXLSWorkbook::ReadSettings() const {
  // A password callback may answer differently from read to read.
  return {Filename, Password, PreserveMacros, TempFileMode, OnPassword ? nullptr : readers_};
}

void TXLSWorkbook::Read() {
  if (!readers_) Throw("No workbook reader is installed");
  // Without reuse the bytes are not held between reads, however this one ends.
  struct TGiveBack {
    TXLSWorkbook& workbook;
    ~TGiveBack() {
      if (!workbook.ReuseUnchanged) workbook.fileBytes_.Release();
    }
  } giveBack{*this};
  const TReadSettings settings = ReadSettings();
  if (!ReuseUnchanged || settings.Readers == nullptr || !(settings == keptSettings_)) fileBytes_.Forget();
  if (fileBytes_.Load(Filename)) {
    // The bytes the model was read from: a read would leave the same model,
    // and the same module-wide limits of its version.
    SetVersion(keptVersion_);
    origVersion_ = keptVersion_;
    return;
  }
  // The content decides: templates, add-ins and downloads are often named
  // for another format than the one they hold.
  const std::span<const uint8_t> bytes = fileBytes_.Bytes();
  bool openXml = false;
  switch (WorkbookFileKind(bytes.data(), bytes.size())) {
    case TWorkbookFileKind::wfPackage: openXml = true; break;
    case TWorkbookFileKind::wfLegacy: openXml = false; break;
    case TWorkbookFileKind::wfUnknown: {
      const std::u16string extension = platform::WideLower(FileExtension(Filename));
      openXml = extension == u".xlsx" || extension == u".xlsm" || extension == u".zip";
      break;
    }
  }
  if (openXml) ReadOpenXml();
  else ReadLegacy();
  origVersion_ = version_;
  // A read ended early holds part of the workbook only.
  if (ReuseUnchanged && !Abort) {
    fileBytes_.Keep();
    keptSettings_ = settings;
    keptVersion_ = version_;
  }
}

std::unique_ptr<TStream> TXLSWorkbook::CreateScratchStream() {
  if (TempFileMode == tfmInMemory) return std::make_unique<TMemoryStream>();
  const std::u16string directory = platform::TempDirectory();
  uint32_t tick = platform::TickCount();
  // A name in use (another component's, or a file left behind) is skipped.
  for (int attempt = 0; attempt < 1000; ++attempt, ++tick) {
    std::unique_ptr<TFileStream> file =
        TFileStream::CreateExclusive(directory + u"XLS" + DecimalText(tick) + u".tmp");
    if (file) return std::make_unique<TScratchFileStream>(std::move(file));
  }
  Throw("Cannot create a scratch file in \"" + platform::WideToHost(directory) + "\". " +
        platform::LastErrorText());
}

void TXLSWorkbook::ReadOpenXml(TStream* package) {
  // The file's own bytes, unless the package was decrypted from them.
  const std::span<const uint8_t> bytes = fileBytes_.Bytes();
  TMemoryView view(bytes.data(), bytes.size());
  if (package == nullptr) package = &view;
  Clear();
  fonts_->Clear();
  cellFormats_->Clear();
  cellFormats2_->Clear();
  cellFormats_->AddDefaultFormats();
  cellFormats_->DeletableFrom = 21;
  defaultFormat_ = cellFormats_->DefaultFormat();
  scratch_ = CreateScratchStream();
  try {
    readers_->ReadOpenXml(*this, *package, scratch_.get());
  } catch (...) {
    if (sheets_->Count() == 0) Clear();
    throw;
  }
  if (sheets_->Count() == 0) Clear();
  formulaHandler_->BasePath = FileDirectory(Filename);
  AfterRead();
  SetVersion(xvExcel2007);
}

void TXLSWorkbook::ReadLegacy() {
  Clear();
  sheets_->Clear();
  fonts_->Clear();
  cellFormats_->Clear();
  cellFormats2_->Clear();
  defaultFormat_ = nullptr;
  std::unique_ptr<TStream> package;
  try {
    package = readers_->ReadLegacy(*this);
  } catch (...) {
    if (sheets_->Count() == 0) Clear();
    throw;
  }
  if (package) {
    ReadOpenXml(package.get());
    return;
  }
  if (sheets_->Count() == 0) Clear();
  formulaHandler_->BasePath = FileDirectory(Filename);
  AfterRead();
}

void TXLSWorkbook::AfterRead() {
  cellFormats_->FinishRead();
  fonts_->FinishRead();
  defaultFormat_ = cellFormats_->DefaultFormat();
  CalcOptionsFromFirstSheet();
}

void TXLSWorkbook::CalcOptionsFromFirstSheet() {
  if (sheets_->Count() == 0) return;
  TRecordStorageSheet& records = (*sheets_)[0].Records();
  auto word = [&](const TBaseRecordStorage& storage, uint16_t id, uint16_t& value) {
    const TBaseRecordStorage::Record* record = storage.Find(id);
    if (!record || record->Length < 2) return false;
    const uint8_t* body = storage.Body(*record);
    value = static_cast<uint16_t>(body[0] | body[1] << 8);
    return true;
  };
  uint16_t value = 0;
  if (word(records, 0x000D, value))  // CALCMODE
    optionsDialog_.CalcMode = value == 0 ? cmManual : value == 0xFFFF ? cmAutomaticExTables : cmAutomatic;
  if (word(records, 0x000C, value)) optionsDialog_.IterationCount = value;  // CALCCOUNT
  if (const TBaseRecordStorage::Record* delta = records.Find(0x0010); delta && delta->Length >= 8)
    std::memcpy(&optionsDialog_.MaxChange, records.Body(*delta), 8);
  // PRECISION is 1 for full precision: "precision as displayed" is its inverse.
  if (word(records, 0x000E, value) || word(globals_, 0x000E, value))
    optionsDialog_.PrecisionAsDisplayed = value == 0;
  if (word(records, 0x0011, value)) optionsDialog_.Iteration = value != 0;         // ITERATION
  if (word(records, 0x005F, value)) optionsDialog_.RecalcBeforeSave = value != 0;  // SAVERECALC
}

}  // namespace tabulon
