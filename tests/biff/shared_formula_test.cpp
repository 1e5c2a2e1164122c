#include "biff/shared_formula.h"

#include <gtest/gtest.h>

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
