// The workbook component: holds one workbook in memory (sheets, shared
// strings, cell formats, fonts, workbook settings and the objects kept beside
// the cells) and re-reads its file on request, choosing the Open XML or the
// legacy reader by the file's first bytes (by its extension when they tell
// neither).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/stream.h"
#include "workbook/encryption.h"
#include "workbook/extra_objects.h"
#include "workbook/file_bytes.h"
#include "workbook/formula_handler.h"
#include "workbook/record_storage.h"
#include "workbook/sheet.h"
#include "workbook/sheet_objects.h"
#include "workbook/version.h"

namespace tabulon {

class TCellFormat;
class TCellFormats;
class TEx12CellStyles;
class TSST2;
class TXFont;
class TXFonts;
class TXLSWorkbook;

// The two readers, as the component sees them.
class IWorkbookReaders {
 public:
  virtual ~IWorkbookReaders() = default;
  // Reads the legacy workbook named by workbook.Filename into the component,
  // from the file's bytes that the component has read (FileBytes), and
  // returns null. A compound file that proves to be an encrypted Open XML
  // package is decrypted instead: nothing is read into the component, and
  // the package is returned for ReadOpenXml.
  virtual std::unique_ptr<TStream> ReadLegacy(TXLSWorkbook& workbook) = 0;
  // Reads an Open XML package from a stream over the file's bytes (or over
  // the decrypted package); scratch is the component's scratch stream or null.
  virtual void ReadOpenXml(TXLSWorkbook& workbook, TStream& package, TStream* scratch) = 0;
};

enum TTempFileMode : uint8_t { tfmOnDisk = 0, tfmInMemory = 1 };

// Workbook window options.
enum : uint8_t {
  woHidden = 0x01,
  woIconized = 0x02,
  woHScroll = 0x08,
  woVScroll = 0x10,
  woTabs = 0x20,
};

// Workbook window and tab settings.
struct TWorkbookData {
  uint8_t Options = woHScroll | woVScroll | woTabs;
  int32_t Top = 100;
  int32_t Left = 100;
  int32_t Width = 10000;
  int32_t Height = 7000;
  uint16_t SelectedTab = 0;
  uint16_t FirstTab = 0;
  uint16_t TabRatio = 600;
};

enum TCalcMode : uint8_t { cmManual = 0, cmAutomatic = 1, cmAutomaticExTables = 2 };

// Calculation and display options.
struct TOptionsDialog {
  TCalcMode CalcMode = cmAutomatic;
  uint16_t IterationCount = 100;
  double MaxChange = 0.001;
  bool PrecisionAsDisplayed = false;
  bool Iteration = false;
  bool RecalcBeforeSave = true;
};

// Raw STYLE records of a legacy workbook.
class TStyles {
 public:
  void Add(const uint8_t* body, std::size_t size) { items_.emplace_back(body, body + size); }
  std::size_t Count() const { return items_.size(); }
  const std::vector<uint8_t>& operator[](std::size_t index) const { return items_[index]; }
  void Clear() { items_.clear(); }

 private:
  std::vector<std::vector<uint8_t>> items_;
};

class TXLSWorkbook {
 public:
  // Deletes leftover scratch files of earlier Open XML reads, creates the
  // owned objects with their defaults and one empty sheet, and sets the
  // version xvExcel97. `readers` (not owned) may be set later.
  explicit TXLSWorkbook(IWorkbookReaders* readers = nullptr);
  ~TXLSWorkbook();
  TXLSWorkbook(const TXLSWorkbook&) = delete;
  TXLSWorkbook& operator=(const TXLSWorkbook&) = delete;

  void SetReaders(IWorkbookReaders* readers) { readers_ = readers; }
  IWorkbookReaders* Readers() const { return readers_; }

  // Reads the bytes of the file named by Filename, once, and fills the model
  // from them: emptied first, then filled by the reader the bytes choose (a
  // ZIP archive the Open XML reader, a compound file or a bare BIFF stream
  // the legacy reader, anything else by its extension: ".xlsx", ".xlsm" and
  // ".zip" Open XML, every other legacy). With ReuseUnchanged set, bytes
  // equal to those of the last read that succeeded (with the same settings)
  // leave the model as that read left it, without parsing them again. A
  // failure raises the reader's message; the model then holds what the
  // reader left, and at least one sheet, and is never reused.
  void Read();
  // Empties the model: one empty sheet, default formats and fonts.
  void Clear();
  // The bytes of the file being read (or last read), for the readers.
  std::span<const uint8_t> FileBytes() const { return fileBytes_.Bytes(); }

  TExcelVersion Version() const { return version_; }
  // Sets the version, the record buffer size and the module-wide MaxCol /
  // MaxRow (255 / 65535 below xvExcel2007, else 16383 / 1048575).
  void SetVersion(TExcelVersion version);
  TExcelVersion OrigVersion() const { return origVersion_; }
  // True when Filename ends in "xlsm" (any case).
  bool Excel2007MacroFile() const;

  TSheets& Sheets() const { return *sheets_; }
  TWorkbookData& Workbook() { return workbookData_; }
  TOptionsDialog& OptionsDialog() { return optionsDialog_; }
  // Font 0 of the font list, or null when there is none.
  TXFont* Font() const;
  // Assigns the attributes of `font` to font 0, when there is one.
  void SetFont(const TXFont& font);

  // The texts of boolean values, shared module-wide.
  const std::u16string& StrTRUE() const;
  void SetStrTRUE(std::u16string_view text);
  const std::u16string& StrFALSE() const;
  void SetStrFALSE(std::u16string_view text);

  // Plain properties.
  std::string UserName;
  bool BookProtected = false;
  bool Backup = false;
  bool RefreshAll = false;
  bool ShowFormulas = false;
  std::u16string Filename;
  bool IsMac = false;
  bool PreserveMacros = true;
  std::string ComponentVersion;
  std::u16string Password;
  bool RecomendReadOnly = false;
  TTempFileMode TempFileMode = tfmOnDisk;
  // calcId of an Open XML workbook's calcPr.
  uint32_t CalcId = 0;
  // Set to end a read early.
  bool Abort = false;
  // Keep the file's bytes between reads and answer a read of unchanged bytes
  // from the model in memory (Read). Whoever sets it changes the model only
  // through Read and Clear. Off: the bytes are given back after each read.
  bool ReuseUnchanged = false;
  // Progress of the readers (sender, percent); not assigned by the plug-in.
  std::function<void(void* sender, int percent)> OnProgress;
  // Asks for the password of an encrypted workbook; not assigned by the plug-in.
  std::function<bool(std::u16string& password)> OnPassword;
  // The key of the last password derivation of an encrypted package; kept
  // across reads (Clear leaves it).
  TDerivedKeyCache& DerivedKeys() { return derivedKeys_; }

  // The largest record body the legacy reader handles in one piece.
  int32_t BufferSize() const { return bufferSize_; }
  // The cell format used for cells without one.
  TCellFormat* DefaultFormat() const { return defaultFormat_; }

  // Owned objects.
  TSST2& SST() const { return *sst_; }
  TCellFormats& CellFormats() const { return *cellFormats_; }
  TCellFormats& CellFormats2() const { return *cellFormats2_; }
  TXFonts& Fonts() const { return *fonts_; }
  TFormulaHandler& FormulaHandler() const { return *formulaHandler_; }
  TStyles& Styles() { return styles_; }
  TEx12CellStyles& Ex12CellStyles() const { return *ex12CellStyles_; }
  TRecordStorageGlobals& GlobalsRecords() { return globals_; }
  TRecordStorageEx2007Unknown& Ex2007Unknown() { return ex2007Unknown_; }
  TXLSSavedTags& SavedTags() { return savedTags_; }
  TXMLRelationsWorkbook& Relations() { return relations_; }
  // The compound document's other elements, kept for writing.
  TExtraObjects& ExtraObjects() { return extraObjects_; }
  // Colours of a legacy PALETTE record: entries 8, 9, ... of the workbook
  // colour table (0x00BBGGRR); empty for the default palette.
  std::vector<uint32_t>& PaletteColors() { return paletteColors_; }
  // Whole elements of an Open XML styles part kept as XML text for writing
  // (colors, dxfs, tableStyles).
  TXLSSavedTags& StyleTags() { return styleTags_; }
  // Raw workbook data kept for writing.
  std::vector<uint8_t>& RawData() { return rawData_; }
  // Names of all sheets of a legacy file in reading order, chart sheets included.
  std::vector<std::u16string>& SheetNameList() { return sheetNameList_; }
  // The Open XML reader's scratch stream of the last read, or null.
  TStream* ScratchStream() const { return scratch_.get(); }

 private:
  // Reads the package from `package`, or from the file when it is null.
  void ReadOpenXml(TStream* package = nullptr);
  void ReadLegacy();
  void AfterRead();
  void CalcOptionsFromFirstSheet();
  std::unique_ptr<TStream> CreateScratchStream();

  // What steers a read besides the file's bytes.
  struct TReadSettings {
    std::u16string Filename;
    std::u16string Password;
    bool PreserveMacros = true;
    TTempFileMode TempFileMode = tfmOnDisk;
    IWorkbookReaders* Readers = nullptr;
    bool operator==(const TReadSettings&) const = default;
  };
  TReadSettings ReadSettings() const;

  IWorkbookReaders* readers_;
  TExcelVersion version_ = xvNone;
  TExcelVersion origVersion_ = xvNone;
  int32_t bufferSize_ = 8224;
  TCellFormat* defaultFormat_ = nullptr;

  TWorkbookData workbookData_;
  TOptionsDialog optionsDialog_;
  TRecordStorageGlobals globals_;
  TRecordStorageEx2007Unknown ex2007Unknown_;
  TStyles styles_;
  TXLSSavedTags savedTags_;
  TXMLRelationsWorkbook relations_;
  TXLSSavedTags styleTags_;
  std::vector<uint8_t> rawData_;
  TExtraObjects extraObjects_;
  std::vector<uint32_t> paletteColors_;
  std::vector<std::u16string> sheetNameList_;
  TDerivedKeyCache derivedKeys_;

  // The file's bytes; while marked kept, they are those of the read that
  // left the model, made with keptSettings_, which gave keptVersion_.
  TFileBytes fileBytes_;
  TReadSettings keptSettings_;
  TExcelVersion keptVersion_ = xvNone;

  // Created in this order, freed in the reverse one (cells go before the
  // formats, fonts and strings they refer to).
  std::unique_ptr<TXFonts> fonts_;
  std::unique_ptr<TCellFormats> cellFormats_;
  std::unique_ptr<TCellFormats> cellFormats2_;
  std::unique_ptr<TEx12CellStyles> ex12CellStyles_;
  std::unique_ptr<TSST2> sst_;
  std::unique_ptr<TFormulaHandler> formulaHandler_;
  std::unique_ptr<TSheets> sheets_;
  std::unique_ptr<TStream> scratch_;
};

// What the first bytes of a workbook file say it is.
enum class TWorkbookFileKind : uint8_t {
  wfUnknown,  // neither: the extension decides
  wfPackage,  // a ZIP local file header ("PK\x03\x04"): an Open XML package
  wfLegacy,   // the compound-file signature, or a BIFF BOF record
};
// Judges the first bytes of a file (at least 8 are looked at when there).
TWorkbookFileKind WorkbookFileKind(const uint8_t* head, std::size_t size);

// Deletes the files named "XLS" + digits + ".tmp" in `directory` (the scratch
// files of earlier Open XML reads).
void DeleteScratchLeftovers(const std::u16string& directory);
// True for a name of the form "XLS" + digits + ".tmp".
bool IsScratchFileName(std::u16string_view name);

}  // namespace tabulon
