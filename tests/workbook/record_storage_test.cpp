#include "workbook/record_storage.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/error.h"

namespace tabulon {
namespace {

std::vector<uint16_t> Ids(const TBaseRecordStorage& storage) {
  std::vector<uint16_t> ids;
  for (std::size_t i = 0; i < storage.Count(); ++i) ids.push_back(storage[i].Id);
  return ids;
}

std::string MessageOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const Exception& e) {
    return e.Message();
  }
  return "(no exception)";
}

TEST(RecordStorage, DefaultRecordsMoveInWritingOrder) {
  TRecordStorageSheet sheet;
  const uint8_t bof[16] = {0x00, 0x06, 0x10, 0x00};
  const uint8_t mode[2] = {1, 0};
  const uint8_t raw[3] = {7, 8, 9};
  sheet.SetDefaultRecord(0x0809, 16, bof);
  sheet.AddRecord(0x020B, 3, raw);          // INDEX, stored as read
  sheet.SetDefaultRecord(0x0011, 2, mode);  // ITERATION: CALCMODE .. REFMODE move first
  EXPECT_EQ(Ids(sheet), (std::vector<uint16_t>{0x0809, 0x020B, 0x000D, 0x000C, 0x000F, 0x0011}));
  EXPECT_EQ(sheet.Body(sheet[5])[0], 1);
  EXPECT_EQ(sheet.Body(sheet[1])[2], 9);

  // A default already in the list is replaced in place, at the same size.
  const uint8_t manual[2] = {0, 0};
  sheet.SetDefaultRecord(0x000D, 2, manual);
  EXPECT_EQ(sheet.Count(), 6u);
  EXPECT_EQ(sheet.Find(0x000D)->Length, 2);
  EXPECT_EQ(MessageOf([&] { sheet.SetDefaultRecord(0x000D, 4, nullptr); }), "Size missmatch on default record");

  // Placeholders mark their place once.
  sheet.SetPlaceholder(0x8104);
  const std::size_t count = sheet.Count();
  sheet.SetPlaceholder(0x8104);
  EXPECT_EQ(sheet.Count(), count);
  EXPECT_EQ(sheet[count - 1].Id, 0x8104);

  EXPECT_EQ(MessageOf([&] { sheet.SetDefaultRecord(0x0042, 2, nullptr); }), "[int] Unknown default record 0042");
  EXPECT_EQ(MessageOf([&] { sheet.SetPlaceholder(0x8001); }), "[int] Unknown int. default record 8001");

  sheet.Clear();
  EXPECT_EQ(sheet.Count(), 0u);
  sheet.SetDefaultRecord(0x000A, 0, nullptr);  // EOF moves everything left
  EXPECT_EQ(sheet.DefaultsLeft(), 0u);
  EXPECT_EQ(sheet[sheet.Count() - 1].Id, 0x000A);
}

TEST(RecordStorage, FileRecordReplacesADefaultBodyOfAnyLength) {
  // WINDOW2 moves in with its default body when SELECTION comes first; the
  // file's shorter WINDOW2 then takes its place. Only a second record from
  // the file must have the same length.
  TRecordStorageSheet sheet;
  sheet.SetDefaultRecord(0x001D, 15, nullptr);
  const std::size_t window2 = sheet.Count() - 2;
  ASSERT_EQ(sheet[window2].Id, 0x023E);
  ASSERT_EQ(sheet[window2].Length, 18);
  const uint8_t body[10] = {0xB6, 0x06};
  sheet.SetDefaultRecord(0x023E, 10, body);
  EXPECT_EQ(sheet[window2].Length, 10);
  EXPECT_EQ(sheet.Body(sheet[window2])[0], 0xB6);
  EXPECT_EQ(sheet[sheet.Count() - 1].Id, 0x001D);
  sheet.SetDefaultRecord(0x023E, 10, nullptr);
  EXPECT_EQ(MessageOf([&] { sheet.SetDefaultRecord(0x023E, 18, nullptr); }), "Size missmatch on default record");
}

TEST(RecordStorage, GlobalsAcceptTheirOwnIds) {
  TRecordStorageGlobals globals;
  const uint8_t bof5[8] = {};
  globals.SetDefaultRecord(0x0009, 8, bof5);  // any BOF id
  globals.SetPlaceholder(0x8005);
  EXPECT_EQ(globals[0].Id, 0x0009);
  EXPECT_EQ(globals[globals.Count() - 1].Id, 0x8005);
  EXPECT_EQ(MessageOf([&] { globals.SetDefaultRecord(0x000D, 2, nullptr); }), "[int] Unknown default record 000D");
  TRecordStorageEx2007Unknown unknown;
  unknown.AddRecord(0x0863, 0, nullptr);
  EXPECT_EQ(unknown.Count(), 1u);
}

}  // namespace
}  // namespace tabulon
