#include "workbook/cell_storage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <utility>
#include <vector>

#include "platform/error.h"
#include "workbook/fonts.h"
#include "workbook/formats.h"
#include "workbook/sst.h"

namespace tabulon {
namespace {

using Position = std::pair<uint32_t, uint32_t>;  // (col, row)

class CellStorageTest : public ::testing::Test {
 protected:
  std::unique_ptr<TCell> Number(uint32_t col, uint32_t row, double value, uint32_t format = 15) {
    return std::make_unique<TFloatCell>(formats_, format, static_cast<uint16_t>(col), row, value);
  }
  std::unique_ptr<TCell> SharedFormula(uint32_t col, uint32_t row, uint16_t group) {
    auto cell = std::make_unique<TNumberFormulaCell>(formats_, 15, static_cast<uint16_t>(col), row, 1.0);
    cell->SetText(u"A1+1", 0, group);
    return cell;
  }
  static std::vector<Position> Iterate(TCellStorage& storage) {
    std::vector<Position> order;
    storage.BeginIteration();
    while (TCell* cell = storage.NextCell()) order.emplace_back(cell->Col(), cell->Row());
    return order;
  }

  TXFonts fonts_;
  TCellFormats formats_{&fonts_, true};
  TSST2 sst_{&fonts_};
  TCellValuesList list_{&sst_};
};

TEST_F(CellStorageTest, StoresAndFindsCellsAtTheEdgesOfEveryLevel) {
  TCellStorage storage;
  const Position positions[] = {{0, 0},     {16383, 1048575}, {127, 1023}, {128, 1024},
                                {16383, 0}, {0, 1048575},     {129, 1},    {255, 2047}};
  for (const auto& [col, row] : positions) storage.SetCell(col, row, Number(col, row, col * 10.0 + row));
  for (const auto& [col, row] : positions) {
    TCell* cell = storage.GetCell(col, row);
    ASSERT_NE(cell, nullptr) << col << "," << row;
    EXPECT_EQ(cell->Col(), col);
    EXPECT_EQ(cell->Row(), row);
    EXPECT_EQ(static_cast<TFloatCell*>(cell)->Value(), col * 10.0 + row);
  }
  // Neighbours of stored cells and positions outside the container hold nothing.
  const Position empty[] = {{1, 0}, {0, 1}, {16382, 1048575}, {126, 1023}, {16384, 0}, {0, 1048576}};
  for (const auto& [col, row] : empty) EXPECT_EQ(storage.GetCell(col, row), nullptr) << col << "," << row;
}

TEST_F(CellStorageTest, RefusesPositionsOutsideTheContainer) {
  struct Case {
    uint32_t col, row;
    const char* message;
  } const cases[] = {
      {16384, 0, "Cell position out of range (16384, 0)"},
      {0, 1048576, "Cell position out of range (0, 1048576)"},
      {0xFFFFFFFF, 5, "Cell position out of range (-1, 5)"},
  };
  TCellStorage storage;
  for (const Case& c : cases) {
    try {
      storage.SetCell(c.col, c.row, Number(0, 0, 1));
      ADD_FAILURE() << c.message;
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), c.message);
    }
    EXPECT_THROW(storage.PutCell(c.col, c.row, Number(0, 0, 1)), Exception);
  }
  EXPECT_TRUE(Iterate(storage).empty());
}

TEST_F(CellStorageTest, IteratesInRowOrder) {
  TCellStorage storage;
  for (const auto& [col, row] : {Position{5, 2}, Position{0, 7}, Position{3, 2}}) storage.SetCell(col, row, Number(col, row, 0));
  EXPECT_EQ(Iterate(storage), (std::vector<Position>{{3, 2}, {5, 2}, {0, 7}}));
  // Another pass starts over.
  EXPECT_EQ(Iterate(storage).size(), 3u);
}

// Fills a block that spans chunk and band boundaries in random order,
// removes every other cell, and checks lookups and iteration against a plain
// list of positions.
TEST_F(CellStorageTest, RandomFillAndRemovalKeepLookupAndOrder) {
  std::vector<Position> positions;
  for (uint32_t row = 1020; row < 1030; ++row)
    for (uint32_t col = 0; col < 300; col += 3) positions.emplace_back(col, row);
  positions.emplace_back(16383, 1048575);
  std::mt19937 random(42);
  std::shuffle(positions.begin(), positions.end(), random);

  TCellStorage storage;
  for (const auto& [col, row] : positions) storage.SetCell(col, row, Number(col, row, col + row * 1000.0));
  std::vector<Position> expected = positions;
  std::sort(expected.begin(), expected.end(), [](const Position& a, const Position& b) {
    return std::tie(a.second, a.first) < std::tie(b.second, b.first);
  });
  EXPECT_EQ(Iterate(storage), expected);

  std::vector<Position> kept;
  for (std::size_t i = 0; i < positions.size(); ++i) {
    if (i % 2) storage.RemoveCell(positions[i].first, positions[i].second);
    else kept.push_back(positions[i]);
  }
  for (std::size_t i = 0; i < positions.size(); ++i) {
    TCell* cell = storage.GetCell(positions[i].first, positions[i].second);
    if (i % 2) {
      EXPECT_EQ(cell, nullptr);
    } else {
      ASSERT_NE(cell, nullptr);
      EXPECT_EQ(static_cast<TFloatCell*>(cell)->Value(), positions[i].first + positions[i].second * 1000.0);
    }
  }
  std::sort(kept.begin(), kept.end(), [](const Position& a, const Position& b) {
    return std::tie(a.second, a.first) < std::tie(b.second, b.first);
  });
  EXPECT_EQ(Iterate(storage), kept);
}

TEST_F(CellStorageTest, ReplacingPassesTheFormatUnlessPut) {
  TCellStorage storage;
  storage.SetCell(1, 1, std::make_unique<TBlankCell>(formats_, 20, 1, 1));
  storage.SetCell(1, 1, Number(1, 1, 2.5, 3));
  TCell* cell = storage.GetCell(1, 1);
  EXPECT_EQ(cell->CellType(), ctFloat);
  EXPECT_EQ(cell->FormatIndex(), 20u);

  storage.PutCell(1, 1, Number(1, 1, 3.5, 3));
  EXPECT_EQ(storage.GetCell(1, 1)->FormatIndex(), 3u);
}

TEST_F(CellStorageTest, StoringTheStoredCellAgainChangesNothing) {
  TCellStorage storage;
  storage.SetCell(4, 4, Number(4, 4, 7, 20));
  TCell* cell = storage.GetCell(4, 4);
  storage.SetCell(4, 4, std::unique_ptr<TCell>(cell));
  storage.PutCell(4, 4, std::unique_ptr<TCell>(cell));
  EXPECT_EQ(storage.GetCell(4, 4), cell);
  EXPECT_EQ(cell->FormatIndex(), 20u);
  EXPECT_EQ(Iterate(storage).size(), 1u);
}

TEST_F(CellStorageTest, ClearCellsEmptiesEverythingIncludingTheCache) {
  TCellStorage storage;
  storage.SetCell(2, 3, Number(2, 3, 1));
  storage.SetCell(9000, 500000, Number(9000, 500000, 2));
  ASSERT_NE(storage.GetCell(9000, 500000), nullptr);
  storage.ClearCells();
  EXPECT_EQ(storage.GetCell(9000, 500000), nullptr);
  EXPECT_EQ(storage.GetCell(2, 3), nullptr);
  EXPECT_TRUE(Iterate(storage).empty());
  // Usable again afterwards.
  storage.SetCell(2, 3, Number(2, 3, 4));
  EXPECT_NE(storage.GetCell(2, 3), nullptr);
}

TEST_F(CellStorageTest, TakeCellHandsTheCellOverAndRemoveCellFreesIt) {
  TCellStorage storage;
  storage.SetCell(6, 6, Number(6, 6, 1));
  TCell* stored = storage.GetCell(6, 6);  // now cached
  std::unique_ptr<TCell> taken = storage.TakeCell(6, 6);
  EXPECT_EQ(taken.get(), stored);
  EXPECT_EQ(storage.GetCell(6, 6), nullptr);
  EXPECT_EQ(storage.TakeCell(6, 6), nullptr);
  // Moved elsewhere, it takes its new position.
  storage.PutCell(7, 8, std::move(taken));
  EXPECT_EQ(storage.GetCell(7, 8)->Col(), 7);
  EXPECT_EQ(storage.GetCell(7, 8)->Row(), 8u);
  storage.RemoveCell(7, 8);
  storage.RemoveCell(7, 8);
  storage.RemoveCell(20000, 5);
  EXPECT_EQ(storage.GetCell(7, 8), nullptr);
}

TEST_F(CellStorageTest, PooledCellsMixWithHeapCellsAndOutliveTheirContainer) {
  // Enough cells to fill several slabs, so that earlier slabs are retired.
  constexpr uint32_t kRows = 3000;
  std::unique_ptr<TCell> taken;
  {
    TCellStorage storage;
    for (uint32_t row = 0; row < kRows; ++row)
      for (uint32_t col = 0; col < 20; ++col)
        storage.SetCell(col, row, MakePooledCell<TFloatCell>(storage.Pool(), formats_, 15, static_cast<uint16_t>(col),
                                                             row, col + row * 100.0));
    // A heap cell replaces a pooled one and a pooled one a heap one.
    storage.SetCell(3, 3, Number(3, 3, -1));
    storage.SetCell(3, 3, MakePooledCell<TFloatCell>(storage.Pool(), formats_, 15, uint16_t{3}, 3u, -2.0));
    // A refused cell gives its memory back.
    EXPECT_THROW(MakePooledCell<TErrorCell>(storage.Pool(), formats_, 15, uint16_t{0}, 0u, uint8_t{0}), Exception);
    taken = storage.TakeCell(5, 10);
    storage.RemoveCell(6, 10);
    EXPECT_EQ(static_cast<TFloatCell*>(storage.GetCell(3, 3))->Value(), -2.0);
    EXPECT_EQ(static_cast<TFloatCell*>(storage.GetCell(19, kRows - 1))->Value(), 19 + (kRows - 1) * 100.0);
    storage.ClearCells();
    // Usable again after a clear, with the memory of the old cells reused.
    storage.SetCell(1, 1, MakePooledCell<TFloatCell>(storage.Pool(), formats_, 15, uint16_t{1}, 1u, 7.0));
    EXPECT_EQ(static_cast<TFloatCell*>(storage.GetCell(1, 1))->Value(), 7.0);
  }
  // The taken cell lives on after its container is gone.
  ASSERT_NE(taken, nullptr);
  EXPECT_EQ(static_cast<TFloatCell*>(taken.get())->Value(), 5 + 10 * 100.0);
  taken.reset();
}

TEST_F(CellStorageTest, SlabsGoBackToTheCacheAndAreReused) {
  auto cache = std::make_shared<TSlabCache>();
  auto fill = [&](TCellStorage& storage) {
    storage.Pool().SetCache(cache);
    for (uint32_t row = 0; row < 3000; ++row)
      for (uint32_t col = 0; col < 20; ++col)
        storage.SetCell(col, row, MakePooledCell<TFloatCell>(storage.Pool(), formats_, 15, static_cast<uint16_t>(col),
                                                             row, row + col / 100.0));
  };
  std::size_t used = 0;
  {
    TCellStorage first;
    fill(first);
  }
  used = cache->KeptCount();
  EXPECT_GT(used, 10u);
  std::unique_ptr<TCell> taken;
  {
    TCellStorage second;
    fill(second);
    EXPECT_EQ(cache->KeptCount(), 0u);  // the second read made no slab of its own
    taken = second.TakeCell(4, 2999);
    cache.reset();  // the owner lets go: live slabs hold the cache
  }
  // The taken cell keeps its slab, and the slab the cache, until it goes.
  EXPECT_EQ(static_cast<TFloatCell*>(taken.get())->Value(), 2999.04);
  taken.reset();
}

TEST_F(CellStorageTest, ClearCellsGivesBackEveryFormatUse) {
  // Deletable formats: a and b only used by cells cleared below, kept also by
  // a cell taken out first. Value and formula cells, pooled and from the
  // heap, across several slabs, the formats alternating in runs.
  const int32_t base = formats_.Count();
  TCellFormat* a = formats_.AddFormat();
  TCellFormat* b = formats_.AddFormat();
  TCellFormat* kept = formats_.AddFormat();
  ASSERT_GE(a->ListIndex, formats_.DeletableFrom);
  std::unique_ptr<TCell> taken;
  {
    TCellStorage storage;
    TCellPool& pool = storage.Pool();
    for (uint32_t row = 0; row < 3000; ++row) {
      const auto f = [&](uint32_t col) {
        TCellFormat* format = (row / 7 + col) % 3 == 0 ? a : (row % 2 == 0 ? b : kept);
        return static_cast<uint32_t>(format->ListIndex);
      };
      storage.SetCell(0, row, MakePooledCell<TFloatCell>(pool, formats_, f(0), uint16_t{0}, row, 1.5));
      storage.SetCell(1, row, MakePooledCell<TBlankCell>(pool, formats_, f(1), uint16_t{1}, row));
      storage.SetCell(2, row, MakePooledCell<TBooleanCell>(pool, formats_, f(2), uint16_t{2}, row, uint8_t{1}));
      storage.SetCell(3, row, MakePooledCell<TErrorCell>(pool, formats_, f(3), uint16_t{3}, row, uint8_t{7}));
      storage.SetCell(4, row, MakePooledCell<TStringCell>(pool, formats_, f(4), uint16_t{4}, row, nullptr));
      auto formula = MakePooledCell<TNumberFormulaCell>(pool, formats_, f(5), uint16_t{5}, row, 2.0);
      formula->SetText(u"A1*2", 0, kNoSharedIndex);
      storage.SetCell(5, row, std::move(formula));
      if (row % 100 == 0)
        storage.SetCell(6, row, std::make_unique<TFloatCell>(formats_, f(6), uint16_t{6}, row, 3.0));
    }
    storage.SetCell(7, 0, MakePooledCell<TFloatCell>(pool, formats_, static_cast<uint32_t>(kept->ListIndex),
                                                     uint16_t{7}, 0u, 9.0));
    taken = storage.TakeCell(7, 0);
    storage.ClearCells();
    EXPECT_EQ(storage.GetCell(0, 0), nullptr);
    EXPECT_EQ(formats_.Count(), base + 1);
    EXPECT_EQ(kept->UsageCount, 1);
  }
  EXPECT_EQ(taken->CellFormat(), kept);
  taken.reset();
  EXPECT_EQ(formats_.Count(), base);
}

TEST_F(CellStorageTest, SharedFormulaCellsLeavingTheContainer) {
  // A bare container refuses to let a shared-formula cell go.
  {
    TCellStorage storage;
    storage.SetCell(0, 0, SharedFormula(0, 0, 3));
    try {
      storage.RemoveCell(0, 0);
      ADD_FAILURE();
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), "Can not delete shared formula");
    }
    EXPECT_NE(storage.GetCell(0, 0), nullptr);
    EXPECT_THROW(storage.SetCell(0, 0, Number(0, 0, 1)), Exception);
    EXPECT_EQ(storage.GetCell(0, 0)->CellType(), ctNumberFormula);
  }
  // A sheet's container asks the list's handler, when one is set.
  std::vector<Position> seen;
  TCellValues& values = list_.Add();
  values.SetCell(1, 1, SharedFormula(1, 1, 0));
  values.SetCell(1, 2, SharedFormula(1, 2, 0));
  values.SetCell(1, 3, SharedFormula(1, 3, 0));
  values.SetCell(1, 4, SharedFormula(1, 4, kNoSharedIndex));
  values.RemoveCell(1, 1);  // no handler: the cell just goes
  EXPECT_EQ(values.GetCell(1, 1), nullptr);
  list_.OnDeleteSharedFormula = [&](TCellValues& sender, TCell& cell) {
    EXPECT_EQ(&sender, &values);
    seen.emplace_back(cell.Col(), cell.Row());
  };
  values.RemoveCell(1, 2);
  values.SetCell(1, 3, Number(1, 3, 5));
  values.RemoveCell(1, 4);  // not shared: no call
  EXPECT_EQ(seen, (std::vector<Position>{{1, 2}, {1, 3}}));
  EXPECT_EQ(values.GetCell(1, 3)->CellType(), ctFloat);
  values.SetCell(2, 2, SharedFormula(2, 2, 0));
  values.ClearCells();  // clearing calls no handler
  EXPECT_EQ(seen.size(), 2u);
}

TEST_F(CellStorageTest, ErrorIndexes) {
  const std::pair<uint8_t, uint8_t> codes[] = {{0x00, 1}, {0x07, 2}, {0x0F, 3}, {0x17, 4}, {0x1D, 5},
                                               {0x24, 6}, {0x2A, 7}, {0x01, 0}, {0x2B, 0}, {0xFF, 0}};
  for (const auto& [code, index] : codes) EXPECT_EQ(ErrorCodeToIndex(code), index) << int(code);
  EXPECT_EQ(ErrorText(7), u"#N/A");
  EXPECT_EQ(ErrorText(0), u"[int] No error value");
  EXPECT_EQ(ErrorText(200), u"[int] No error value");
  for (uint8_t bad : {uint8_t{0}, uint8_t{8}}) {
    try {
      TErrorCell cell(formats_, 15, 0, 0, bad);
      ADD_FAILURE();
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), "Invalid cell error value");
    }
  }
}

TEST_F(CellStorageTest, ClonesCopyValueFormatAndFormulaData) {
  const uint8_t tokens[] = {0x1E, 0x05, 0x00, 0xAA};
  const uint8_t array[] = {1, 2, 3};
  const uint32_t extra = static_cast<uint32_t>(formats_.AddFormat()->ListIndex);
  TFloatCell number(formats_, extra, 3, 4, 2.25);
  TCellFormat* deletable = number.CellFormat();
  ASSERT_GE(deletable->ListIndex, formats_.DeletableFrom);
  EXPECT_EQ(deletable->UsageCount, 1);
  {
    std::unique_ptr<TCell> copy = number.Clone();
    EXPECT_EQ(copy->CellType(), ctFloat);
    EXPECT_EQ(static_cast<TFloatCell&>(*copy).Value(), 2.25);
    EXPECT_EQ(copy->Col(), 3);
    EXPECT_EQ(copy->Row(), 4u);
    EXPECT_EQ(copy->CellFormat(), deletable);
    EXPECT_EQ(deletable->UsageCount, 2);
  }
  EXPECT_EQ(deletable->UsageCount, 1);

  TStringFormulaCell formula(formats_, 15, 0, 0, u"cached");
  formula.SetText(u"A1&B1", 4, 2);
  auto formulaCopy = formula.Clone();
  auto& f = static_cast<TStringFormulaCell&>(*formulaCopy);
  // A fresh token formula holding the same bytes, without cached result.
  EXPECT_EQ(f.FormulaDataSize(), 10u);
  EXPECT_EQ(f.FormulaIsText(), 0);
  EXPECT_EQ(f.FormulaOptions(), 0);
  EXPECT_EQ(f.SharedIndex(), kNoSharedIndex);
  EXPECT_EQ(f.StringResult(), u"");
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(f.FormulaData()), 5), u"A1&B1");

  TNumberArrayFormulaCell arrayCell(formats_, 15, 0, 0, 9.5, 1);
  arrayCell.SetTokens(tokens, sizeof tokens, 3);
  arrayCell.SetArrayData(array, sizeof array);
  auto arrayCopy = arrayCell.Clone();
  auto& a = static_cast<TNumberArrayFormulaCell&>(*arrayCopy);
  EXPECT_EQ(a.NumberResult(), 9.5);
  EXPECT_EQ(a.ArrayMember(), 1);
  EXPECT_EQ(a.ExpressionLength(), 3u);
  ASSERT_EQ(a.ArrayDataSize(), 3u);
  EXPECT_EQ(a.ArrayData()[2], 3);
  ASSERT_EQ(a.FormulaDataSize(), 4u);
  EXPECT_EQ(a.FormulaData()[3], 0xAA);
  EXPECT_NE(a.FormulaData(), arrayCell.FormulaData());
}

TEST_F(CellStorageTest, FormatIndexesOutsideTheListAndShortLists) {
  TFloatCell outside(formats_, 500, 0, 0, 1);
  EXPECT_EQ(outside.FormatIndex(), 15u);
  // A list that holds fewer than 16 formats (a legacy file without XF
  // records) gets default formats before a cell refers to format 15.
  TXFonts fonts;
  TCellFormats formats(&fonts, true);
  formats.Clear();
  ASSERT_EQ(formats.Count(), 0);
  {
    TBlankCell blank(formats, 40, 0, 0);
    EXPECT_GE(formats.Count(), 16);
    EXPECT_EQ(blank.FormatIndex(), 15u);
  }
  formats.Clear();
  formats.AddFormat();
  formats.AddFormat();
  TBlankCell second(formats, 1, 0, 0);
  EXPECT_GE(formats.Count(), 16);
  EXPECT_EQ(second.FormatIndex(), 1u);
  EXPECT_EQ(formats.DefaultFormat(), formats[15]);
}

}  // namespace
}  // namespace tabulon
