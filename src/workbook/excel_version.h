// The generation of a workbook file, as the readers report it and the model
// sizes its record buffer and sheet limits by it.
#pragma once

namespace tabulon {

enum TExcelVersion {
  xvNone = 0,          // no known BOF (a raw BIFF5/BIFF8 stream outside a compound file)
  xvExcelUnknown = 1,
  xvExcel21 = 2,       // BIFF2
  xvExcel30 = 3,       // BIFF3
  xvExcel40 = 4,       // BIFF4
  xvExcel50 = 5,       // BIFF5, "Book" stream
  xvExcel97 = 6,       // BIFF8, "Workbook" stream
  xvExcel2007 = 7,     // Open XML package
};

}  // namespace tabulon
