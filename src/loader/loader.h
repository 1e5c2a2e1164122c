// The component's file loading: the two readers the workbook component
// chooses between by the file's extension.
#pragma once

#include "ooxml/zip.h"
#include "workbook/workbook.h"

namespace tabulon {

class TWorkbookLoader final : public IWorkbookReaders {
 public:
  // Reads the legacy workbook named by workbook.Filename (legacy_reader.cpp).
  void ReadLegacy(TXLSWorkbook& workbook) override;
  // Reads an Open XML package from the open file stream (openxml_reader.cpp).
  void ReadOpenXml(TXLSWorkbook& workbook, TStream& package, TStream* scratch) override;

 private:
  // Parts of packages are extracted here, read after read (one at a time).
  TPartBuffer partBuffer_;
};

}  // namespace tabulon
