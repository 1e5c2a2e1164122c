// The reader of Open XML workbook packages (.xlsx, .xlsm, .xltx, .zip, ...):
// finds the workbook part through the package relationships and its styles,
// shared-string and sheet parts through the workbook's relationships (the
// fixed names Excel uses where a package has none), and parses each with the
// tag reader, handling every element at its end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ooxml/package_parts.h"
#include "ooxml/xml_reader.h"
#include "ooxml/zip.h"
#include "platform/stream.h"
#include "workbook/cells.h"
#include "workbook/fonts.h"
#include "workbook/sst.h"

namespace tabulon {

class TSheet;
class TXLSWorkbook;
class TXLSZipArchive;
class TXMLRelations;

// Relationship types of workbook relationships; TypeNumber is the position
// ("" at 0, also for a type outside the table).
inline constexpr int kWorkbookRelationTypeCount = 23;
std::string_view WorkbookRelationTypeName(int number);

class TXLSRead2007XML final : public TXLSReadExcelXMLStream {
 public:
  // Parts are extracted into partBuffer when given (a buffer its owner keeps
  // from one read to the next), else into a buffer of the reader's own.
  explicit TXLSRead2007XML(TXLSWorkbook& workbook, TPartBuffer* partBuffer = nullptr);
  ~TXLSRead2007XML() override;

  // Reads the package into the workbook, which the component has emptied
  // before. The sheets are the workbook part's worksheets, macro sheets and
  // dialog sheets in the order of its sheet elements, each filled from the
  // part its relationship names (chart sheets make no sheet); a workbook
  // part without relationships fills sheet N from "worksheets/sheetN.xml".
  // A stream that is no ZIP archive, or one without a workbook part, raises
  // "The file is not an Excel workbook". With a scratch stream, the package
  // is copied into it once everything is read.
  void Read(TStream& package, TStream* scratch);

  // Names of the parts read (kept only when a scratch stream is given).
  const std::vector<std::u16string>& PartsRead() const { return partsRead_; }

 protected:
  void TagStarted(int tag) override;
  bool TagEnded(int tag) override;
  // The usual cell element of a worksheet, read without nodes.
  bool ReadWholeElement() override;

 private:
  enum class TPartKind : uint8_t { pkNone, pkPackageRelations, pkStyles, pkSharedStrings, pkWorkbookRelations,
                                   pkWorkbook, pkSheetRelations, pkWorksheet };

  // A row element's attributes, applied in row order at the end of the sheet data.
  struct TPendingRow {
    uint32_t Row;
    uint32_t Height;
    int32_t FormatIndex;
    uint16_t Flags;
    uint8_t OutlineLevel;
  };
  // A cell's content as read: its type (the t attribute, "n" without one),
  // its formula with the formula's options and shared group, its cached
  // value (a v element with text) and its inline string element.
  struct TCellContent {
    std::string_view Type = "n";
    bool HasFormula = false;
    std::string_view Formula;
    uint8_t Options = 0;
    uint16_t Group = kNoSharedIndex;
    bool HasValue = false;
    std::string_view Value;
    const TExXMLTag* Inline = nullptr;
  };
  // A col element's range (clamped to the sheet's columns) and attributes.
  struct TPendingCols {
    int32_t First, Last;
    uint32_t Width;
    uint16_t Flags;
    uint8_t OutlineLevel;
  };

  bool ReadPart(TXLSZipArchive& archive, const std::u16string& name, TPartKind kind);
  bool ReadPart(TXLSZipArchive& archive, std::string_view name, TPartKind kind);
  // The workbook part: the target of the package's officeDocument
  // relationship, else "xl/workbook.xml"; "" when the archive has neither.
  std::string FindWorkbookPart(TXLSZipArchive& archive);
  // The part of the workbook's relationship of that kind, else the part of
  // that name beside the workbook part.
  std::string WorkbookPartOf(std::string_view kind, std::string_view fallbackName) const;
  void ReadSheetsByRelationship(TXLSZipArchive& archive);
  void ReadSheetsByNumber(TXLSZipArchive& archive);

  bool StylesTagEnded(int tag, TExXMLTag& node);
  bool SharedStringsTagEnded(int tag, TExXMLTag& node);
  bool RelationsTagEnded(int tag, TExXMLTag& node);
  bool WorkbookTagEnded(int tag, TExXMLTag& node);
  bool WorksheetTagEnded(int tag, TExXMLTag& node);

  void ReadRelationship(TExXMLTag& node, TXMLRelations& list, bool workbook);
  void ReadFont(const TExXMLTag& node, TXFontEx12& font, bool runProperties);
  void ReadFills(TExXMLTag& node);
  void ReadBorders(TExXMLTag& node);
  void ReadFormats(TExXMLTag& node, bool styleFormats);
  void ReadCell(TExXMLTag& node);
  // The cell's position (its r attribute when given, else the column after
  // the row's last cell) and format (its s attribute), remembered as the
  // row's last cell.
  void PlaceCell(const std::string_view* ref, const std::string_view* style, uint32_t& col, uint32_t& row,
                 uint16_t& format);
  void WriteCell(uint32_t col, uint32_t row, uint16_t format, const TCellContent& cell);
  void ReadRow(const TExXMLTag& node);
  void ReadCol(const TExXMLTag& node);
  void ApplyRows();
  void ApplyCols();
  // The text of an inline string element (its runs' texts, else its t).
  std::u16string InlineText(const TExXMLTag& is) const;

  // Cell formats of a cell style number s are at s + 21: the 21 default
  // formats come first.
  static constexpr int32_t kCellFormatOffset = 21;

  TXLSWorkbook& workbook_;
  TPartKind kind_ = TPartKind::pkNone;
  // The package: its main-part target, the workbook part's folder and
  // relationships (every type), and per sheet the part its sheet element
  // names ("" for none).
  std::string officeDocument_;
  std::string workbookFolder_;
  bool workbookRelations_ = false;
  TPartRelations partRelations_;
  std::vector<std::string> sheetParts_;
  TSheet* sheet_ = nullptr;
  int32_t sheetCounter_ = 0;
  TStream* scratch_ = nullptr;
  std::vector<std::u16string> partsRead_;
  TPartBuffer ownPart_;
  TPartBuffer& part_;  // the part being read, reused for every part

  // Worksheet state: the row of the row element being read and the column
  // of the last cell read in it.
  int32_t lastRow_ = -1;
  int32_t currentRow_ = 0;
  int32_t lastCol_ = -1;
  std::vector<TPendingRow> pendingRows_;
  std::vector<TPendingCols> pendingCols_;
  std::vector<int32_t> colOwner_;  // per column: the pending range that sets it
  std::vector<int32_t> colNext_;   // per column: the next column no later range set

  // Shared strings: reused for every rich-text item.
  TXLSWideStringList runs_;
  TXFontEx12 workFont_;
  std::u16string formulaText_;  // the formula of the cell being read
};

}  // namespace tabulon
