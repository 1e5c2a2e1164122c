// Open XML packages (.xlsx, .xlsm, .zip).
#include "loader/loader.h"

#include "ooxml/package_reader.h"

namespace tabulon {

void TWorkbookLoader::ReadOpenXml(TXLSWorkbook& workbook, TStream& package, TStream* scratch) {
  struct TTrim {
    TPartBuffer& buffer;
    ~TTrim() { buffer.Trim(); }
  } trim{partBuffer_};
  TXLSRead2007XML reader(workbook, &partBuffer_);
  reader.Read(package, scratch);
}

}  // namespace tabulon
