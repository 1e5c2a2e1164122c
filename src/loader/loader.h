// The component's file loading: the two readers the workbook component
// chooses between, and the way from an encrypted Open XML package (a
// compound file, as legacy workbooks are) to the Open XML reader.
#pragma once

#include "ooxml/zip.h"
#include "workbook/workbook.h"

namespace tabulon {

class TWorkbookLoader final : public IWorkbookReaders {
 public:
  // Reads the legacy workbook named by workbook.Filename, or decrypts the
  // encrypted Open XML package that it proves to be (legacy_reader.cpp).
  std::unique_ptr<TStream> ReadLegacy(TXLSWorkbook& workbook) override;
  // Reads an Open XML package from the open file stream (openxml_reader.cpp).
  void ReadOpenXml(TXLSWorkbook& workbook, TStream& package, TStream* scratch) override;

 private:
  // Parts of packages are extracted here, read after read (one at a time).
  TPartBuffer partBuffer_;
};

}  // namespace tabulon
