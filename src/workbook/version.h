// Generations of the workbook file formats.
#pragma once

#include <cstdint>

namespace tabulon {

enum TExcelVersion : uint8_t {
  xvNone = 0,
  xvExcelUnknown = 1,
  xvExcel21 = 2,
  xvExcel30 = 3,
  xvExcel40 = 4,
  xvExcel50 = 5,
  xvExcel97 = 6,
  xvExcel2007 = 7,
};

}  // namespace tabulon
