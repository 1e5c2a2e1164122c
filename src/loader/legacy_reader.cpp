// Legacy workbooks (.xls and anything without an Open XML extension).
#include "loader/loader.h"

#include "biff/biff_reader.h"

namespace tabulon {

void TWorkbookLoader::ReadLegacy(TXLSWorkbook& workbook) {
  TXLSBiffReader reader(workbook);
  reader.ReadBytes(workbook.FileBytes());
}

}  // namespace tabulon
