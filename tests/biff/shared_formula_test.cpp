#include "biff/shared_formula.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "platform/error.h"

namespace tabulon {
namespace {

TEST(SharedFormula, TokenSizes) {
  struct Case {
    std::vector<uint8_t> token;
    bool biff8;
    std::size_t size;
  };
  const std::vector<Case> cases = {
      {{0x03}, true, 1},                          // ptgAdd
      {{0x16}, true, 1},                          // ptgMissArg
      {{0x17, 3, 0, 'a', 'b', 'c'}, true, 6},     // ptgStr, 8-bit
      {{0x17, 2, 1, 'a', 0, 'b', 0}, true, 7},    // ptgStr, UTF-16
      {{0x17, 3, 'a', 'b', 'c'}, false, 5},       // ptgStr of BIFF5: no option byte
      {{0x19, 0x10, 0, 0}, true, 4},              // ptgAttr sum
      {{0x19, 0x04, 2, 0, 0, 0, 0, 0, 0, 0}, true, 10},  // choose: 3 jump offsets
      {{0x19, 0x04, 2, 0, 0, 0, 0, 0, 0, 0}, false, 10},
      {{0x1F}, true, 9},
      {{0x24}, true, 5},  {{0x44}, false, 4},  {{0x65}, true, 9},  {{0x25}, false, 7},
      {{0x23}, true, 5},  {{0x43}, false, 15}, {{0x39}, true, 7},  {{0x59}, false, 25},
      {{0x3A}, true, 7},  {{0x7A}, false, 18}, {{0x3B}, true, 11}, {{0x3B}, false, 21},
      {{0x22}, true, 4},  {{0x20}, false, 8},  {{0x26}, true, 7},  {{0x29}, false, 3},
      {{0x18, 0x01}, true, 6},
      // Unknown ids, and sizes that need bytes that are not there.
      {{0x00}, true, 0},  {{0x18}, false, 0},  {{0x1A}, true, 0},  {{0x30}, true, 0},  {{0x80}, true, 0},
      {{0x17}, true, 0},  {{0x17, 1}, true, 0}, {{0x19, 0x04}, true, 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(PtgSize(c.token.data(), c.token.size(), c.biff8), c.size) << std::hex << int(c.token[0]) << " " << c.biff8;
}

TEST(SharedFormula, RelativeReferencesResolveAgainstTheCell) {
  struct Case {
    const char* what;
    bool biff8;
    uint32_t col, row;
    std::vector<uint8_t> tokens, converted;
  };
  const std::vector<Case> cases = {
      {"BIFF8 ptgRefN, row +1, column -1", true, 3, 10,
       {0x2C, 0x01, 0x00, 0xFF, 0xC0}, {0x24, 0x0B, 0x00, 0x02, 0xC0}},
      {"BIFF8 absolute parts stay", true, 3, 10, {0x4C, 0x07, 0x00, 0x05, 0x00}, {0x44, 0x07, 0x00, 0x05, 0x00}},
      {"BIFF8 row wraps to 16 bits", true, 0, 2, {0x6C, 0xFF, 0xFF, 0x00, 0x80}, {0x64, 0x01, 0x00, 0x00, 0x80}},
      {"BIFF8 ptgAreaN", true, 2, 4,
       {0x2D, 0x00, 0x00, 0x02, 0x00, 0x00, 0xC0, 0x01, 0x40},
       {0x25, 0x04, 0x00, 0x02, 0x00, 0x02, 0xC0, 0x03, 0x40}},
      {"BIFF5 ptgRefN, row -1, column +2", false, 1, 5, {0x2C, 0xFF, 0xFF, 0x02}, {0x24, 0x04, 0xC0, 0x03}},
      {"BIFF5 ptgAreaN", false, 1, 5,
       {0x4D, 0x00, 0x80, 0x01, 0x00, 0x00, 0x07},
       {0x45, 0x05, 0x80, 0x01, 0x00, 0x00, 0x07}},
      {"other tokens pass", true, 1, 1,
       {0x17, 1, 1, 0x2C, 0x00, 0x1E, 0x05, 0x00, 0x03},
       {0x17, 1, 1, 0x2C, 0x00, 0x1E, 0x05, 0x00, 0x03}},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> tokens = c.tokens;
    ConvertSharedFormula(tokens.data(), tokens.size(), c.biff8, c.col, c.row);
    EXPECT_EQ(tokens, c.converted) << c.what;
  }
}

TEST(SharedFormula, UnknownOrCutTokensFail) {
  const std::vector<std::vector<uint8_t>> bad = {{0x1E, 0x01, 0x00, 0x00}, {0x03, 0x1F, 0, 0}, {0x03, 0x3E}};
  const char* const messages[] = {"Unknown ptg[00] in Shared Formula", "Unknown ptg[1F] in Shared Formula",
                                  "Unknown ptg[3E] in Shared Formula"};
  for (std::size_t i = 0; i < bad.size(); ++i) {
    std::vector<uint8_t> tokens = bad[i];
    try {
      ConvertSharedFormula(tokens.data(), tokens.size(), true, 0, 0);
      ADD_FAILURE() << i;
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), messages[i]);
    }
  }
}

}  // namespace
}  // namespace tabulon

namespace tabulon {
namespace {

// Random ranges, many overlapping, against the plain first-match scan: the
// runs' boxes and the remembered cells never change which entry is found.
TEST(SharedFormulaList, FindsTheFirstEntryHoldingTheCell) {
  std::mt19937 random(7);
  TSharedFormulaList list;
  std::vector<TSharedFormulaList::TEntry> plain;
  auto pick = [&](uint32_t bound) { return static_cast<uint32_t>(random() % bound); };
  for (int i = 0; i < 3000; ++i) {
    // mostly small blocks down the sheet, now and then a wide one
    const bool wide = pick(50) == 0;
    const uint16_t row1 = static_cast<uint16_t>(wide ? pick(3000) : i * 2 + pick(4));
    const uint16_t row2 = static_cast<uint16_t>(row1 + (wide ? pick(3000) : pick(6)));
    const uint8_t col1 = static_cast<uint8_t>(pick(40));
    const uint8_t col2 = static_cast<uint8_t>(col1 + pick(wide ? 200 : 5));
    TSharedFormulaList::TEntry entry{row1, row2, col1, col2, {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)}};
    plain.push_back(entry);
    list.Add(std::move(entry));
    for (int q = 0; q < 3; ++q) {
      const uint32_t col = pick(300), row = pick(7000);
      const TSharedFormulaList::TEntry* expected = nullptr;
      for (const auto& e : plain) {
        if (e.Col1 <= col && col <= e.Col2 && e.Row1 <= row && row <= e.Row2) {
          expected = &e;
          break;
        }
      }
      const TSharedFormulaList::TEntry* found = list.Find(col, row);
      ASSERT_EQ(found == nullptr, expected == nullptr) << col << "," << row;
      if (found) {
        ASSERT_EQ(found->Tokens, expected->Tokens) << col << "," << row;
      }
    }
  }
  EXPECT_EQ(list.Find(0x100, 0), nullptr);
  list.Clear();
  EXPECT_EQ(list.Find(0, 0), nullptr);
}

// Ranges that cross every box but miss the cells looked up make each lookup
// walk all entries; the bound ends that, and a new read starts afresh.
TEST(SharedFormulaList, BoundsTheStepsOfHostileRanges) {
  TSharedFormulaList list;
  for (int i = 0; i < 2048; ++i)
    list.Add(i % 2 ? TSharedFormulaList::TEntry{0, 0xFFFF, 0, 0, {}} : TSharedFormulaList::TEntry{0, 0, 0, 0xFF, {}});
  list.Add({1, 0xFFFF, 5, 5, {}});
  list.SetStepLimit(100000);
  uint32_t row = 1;
  try {
    for (; row < 1000; ++row) ASSERT_NE(list.Find(5, row), nullptr);
    FAIL() << "no bound";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Shared formula lookups take more than 100000 steps");
  }
  EXPECT_GT(row, 40u);
  list.SetStepLimit(100000);
  EXPECT_NE(list.Find(5, 1), nullptr);
}

}  // namespace
}  // namespace tabulon
