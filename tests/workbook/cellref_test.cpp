#include <gtest/gtest.h>

#include "workbook/cellref.h"

namespace tabulon {
namespace {
TEST(CellRef, Placeholder) { EXPECT_EQ(CellRefText(0, 0), u"A1"); }
}  // namespace
}  // namespace tabulon
