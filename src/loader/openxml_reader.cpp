// Open XML packages (.xlsx, .xlsm, .zip).
#include "loader/loader.h"

#include "platform/error.h"

namespace tabulon {

void TWorkbookLoader::ReadOpenXml(TXLSWorkbook& /*workbook*/, TStream& /*package*/, TStream* /*scratch*/) {
  Throw("Open XML workbook reader not built yet");
}

}  // namespace tabulon
