// Open XML packages (.xlsx, .xlsm, .zip).
#include "loader/loader.h"

#include "ooxml/package_reader.h"

namespace tabulon {

void TWorkbookLoader::ReadOpenXml(TXLSWorkbook& workbook, TStream& package, TStream* scratch) {
  TXLSRead2007XML reader(workbook);
  reader.Read(package, scratch);
}

}  // namespace tabulon
