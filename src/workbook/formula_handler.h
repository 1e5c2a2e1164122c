// The workbook's formula side as far as reading fills it: defined names,
// external references (SUPBOOK, EXTERNNAME, EXTERNSHEET, CRN and the Open
// XML external-link relationships), the cell containers of all sheets and
// the workbook's version and base path. Formula text and evaluation are not
// part of it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "workbook/cell_storage.h"
#include "workbook/version.h"

namespace tabulon {

class TSST2;
struct TXMLRelation;

// Option bits of a defined name.
enum : uint16_t {
  noHidden = 0x02,
  noFunction = 0x04,
  noVBProcedure = 0x08,
  noXlm = 0x20,
  noPublishToServer = 0x40,
  noWorkbookParameter = 0x80,
};

struct TDefinedName {
  std::u16string Name;
  std::u16string Comment, CustomMenu, Description, Help, StatusBar, ShortcutKey;
  int32_t SheetIndex = 0;  // 0: global; legacy files: 1-based sheet, Open XML: localSheetId
  int32_t FunctionGroupId = 0;
  uint16_t Options = 0;
  // The definition: BIFF tokens (legacy) or its text (Open XML).
  std::vector<uint8_t> FormulaData;
  std::u16string FormulaText;
  // The NAME record body as read, for legacy files.
  std::vector<uint8_t> Record;
};

// A sheet of an external book with its cached cell records (CRN bodies).
struct TSupBookSheet {
  std::vector<uint8_t> Name;  // flagged string as stored
  std::vector<std::vector<uint8_t>> CRNs;
};

// An external book (SUPBOOK). Kind is 0 for a document, or the marker
// 0x0401 (own workbook) or 0x3A01 (add-in functions).
struct TSupBook {
  uint16_t Kind = 0;
  std::vector<uint8_t> DocumentName;  // flagged string's raw bytes
  std::vector<TSupBookSheet> Sheets;
  std::vector<std::vector<uint8_t>> ExternNames;  // EXTERNNAME bodies
};

struct TExtSheet {
  uint16_t SupBook = 0;
  uint16_t FirstSheet = 0;
  uint16_t LastSheet = 0;
};

class TFormulaHandler {
 public:
  explicit TFormulaHandler(TSST2& sst) : cellValues_(&sst) {}
  TFormulaHandler(const TFormulaHandler&) = delete;
  TFormulaHandler& operator=(const TFormulaHandler&) = delete;

  TCellValuesList& CellValues() { return cellValues_; }

  std::vector<TDefinedName>& Names() { return names_; }
  std::vector<TSupBook>& SupBooks() { return supBooks_; }
  std::vector<TExtSheet>& ExtSheets() { return extSheets_; }
  // External-link relationships of an Open XML workbook (not owned).
  std::vector<TXMLRelation*>& ExtRelations() { return extRelations_; }

  // Empties names and external references.
  void ClearNames() {
    names_.clear();
    supBooks_.clear();
    extSheets_.clear();
    extRelations_.clear();
  }

  TExcelVersion Version = xvExcel97;
  // Directory of the workbook file, for external references.
  std::u16string BasePath;

 private:
  TCellValuesList cellValues_;
  std::vector<TDefinedName> names_;
  std::vector<TSupBook> supBooks_;
  std::vector<TExtSheet> extSheets_;
  std::vector<TXMLRelation*> extRelations_;
};

}  // namespace tabulon
