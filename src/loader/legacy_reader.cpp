// Legacy workbooks (.xls and anything without an Open XML extension).
#include "loader/loader.h"

#include "platform/error.h"

namespace tabulon {

void TWorkbookLoader::ReadLegacy(TXLSWorkbook& /*workbook*/) { Throw("Legacy workbook reader not built yet"); }

}  // namespace tabulon
