#include "workbook/record_storage.h"

#include <cstring>

#include "platform/error.h"

namespace tabulon {

namespace {

constexpr uint16_t kBOF = 0x0809;

// The BOF ids of BIFF2, BIFF3, BIFF4 and BIFF5-BIFF8; no other id ending in 0x09.
bool IsBOF(uint16_t id) { return id == 0x0009 || id == 0x0209 || id == 0x0409 || id == kBOF; }

// BOF records of every BIFF version share the one default BOF entry.
uint16_t DefaultKey(uint16_t id) { return IsBOF(id) ? kBOF : id; }

}  // namespace

// ---- TBaseRecordStorage --------------------------------------------------------

void TBaseRecordStorage::AddRecord(uint16_t id, uint16_t length, const uint8_t* body) {
  const std::size_t offset = bytes_.size();
  bytes_.resize(offset + length);
  if (length != 0) {
    if (body) std::memcpy(bytes_.data() + offset, body, length);
    else std::memset(bytes_.data() + offset, 0, length);
  }
  records_.push_back(Record{id, length, static_cast<uint32_t>(offset)});
}

const TBaseRecordStorage::Record* TBaseRecordStorage::Find(uint16_t id) const {
  for (const Record& record : records_)
    if (record.Id == id) return &record;
  return nullptr;
}

void TBaseRecordStorage::Clear() {
  records_.clear();
  bytes_.clear();
}

void TBaseRecordStorage::ReplaceBody(std::size_t index, const uint8_t* body) {
  const Record& record = records_[index];
  if (record.Length == 0) return;
  if (body) std::memcpy(bytes_.data() + record.Offset, body, record.Length);
  else std::memset(bytes_.data() + record.Offset, 0, record.Length);
}

void TBaseRecordStorage::ResizeRecord(std::size_t index, uint16_t id, uint16_t length, const uint8_t* body) {
  Record& record = records_[index];
  record.Id = id;
  if (length > record.Length) {
    // The old bytes stay unused in the block; default bodies are small.
    record.Offset = static_cast<uint32_t>(bytes_.size());
    bytes_.resize(bytes_.size() + length);
  }
  record.Length = length;
  ReplaceBody(index, body);
}

// ---- TRecordStorageDefault -------------------------------------------------------

bool TRecordStorageDefault::Accepts(uint16_t id) const {
  if (id >= 0x8000) return false;
  const uint16_t key = DefaultKey(id);
  for (const DefaultRecord& record : defaults_)
    if (record.Id == key) return true;
  return false;
}

bool TRecordStorageDefault::MoveDefaultsUpTo(uint16_t id) {
  const uint16_t key = DefaultKey(id);
  std::size_t target = nextDefault_;
  while (target < defaults_.size() && defaults_[target].Id != key) ++target;
  if (target == defaults_.size()) return false;
  for (; nextDefault_ < target; ++nextDefault_) {
    const DefaultRecord& record = defaults_[nextDefault_];
    if (record.Id < 0x8000) defaultPositions_.push_back(Filed{record.Id, false, records_.size()});
    AddRecord(record.Id, record.Id < 0x8000 ? record.Length : 0, nullptr);
  }
  ++nextDefault_;
  return true;
}

void TRecordStorageDefault::SetDefaultRecord(uint16_t id, uint16_t length, const uint8_t* body) {
  if (!Accepts(id)) Throw(Format("[int] Unknown default record %.4X", id));
  const uint16_t key = DefaultKey(id);
  for (Filed& filed : defaultPositions_) {
    if (filed.Key != key) continue;
    if (filed.FromFile) {
      if (records_[filed.Position].Length != length) Throw("Size missmatch on default record");
      ReplaceBody(filed.Position, body);
    } else {
      ResizeRecord(filed.Position, id, length, body);
      filed.FromFile = true;
    }
    return;
  }
  if (!MoveDefaultsUpTo(id)) Throw(Format("Excpected default record %.4X not found.", id));
  defaultPositions_.push_back(Filed{key, true, records_.size()});
  AddRecord(id, length, body);
}

void TRecordStorageDefault::SetPlaceholder(uint16_t code) {
  bool known = false;
  for (const DefaultRecord& record : defaults_) known = known || record.Id == code;
  if (code < 0x8000 || !known) Throw(Format("[int] Unknown int. default record %.4X", code));
  if (MoveDefaultsUpTo(code)) AddRecord(code, 0, nullptr);
}

void TRecordStorageDefault::Clear() {
  TBaseRecordStorage::Clear();
  nextDefault_ = 0;
  defaultPositions_.clear();
}

// Default records in writing order, with the lengths of their BIFF8 bodies.
TRecordStorageGlobals::TRecordStorageGlobals()
    : TRecordStorageDefault({
          {kBOF, 16},    {0x005C, 112}, {0x0042, 2},  {0x0161, 2},  {0x013D, 2},  {0x009C, 2},
          {0x0019, 2},   {0x0012, 2},   {0x0013, 2},  {0x01AF, 2},  {0x003D, 18}, {0x0040, 2},
          {0x008D, 2},   {0x0022, 2},   {0x000E, 2},  {0x01B7, 2},  {0x00DA, 2},  {0x8001, 0},
          {0x8002, 0},   {0x008C, 4},   {0x8003, 0},  {0x01C1, 8},  {0x8004, 0},  {0x8005, 0},
          {0x000A, 0},
      }) {}

TRecordStorageSheet::TRecordStorageSheet()
    : TRecordStorageDefault({
          {kBOF, 16},   {0x000D, 2},  {0x000C, 2},  {0x000F, 2},  {0x0011, 2},  {0x0010, 8},
          {0x005F, 2},  {0x002A, 2},  {0x002B, 2},  {0x0082, 2},  {0x0080, 8},  {0x0225, 4},
          {0x0081, 2},  {0x8101, 0},  {0x8102, 0},  {0x0083, 2},  {0x0084, 2},  {0x8103, 0},
          {0x00A1, 34}, {0x0012, 2},  {0x0055, 2},  {0x8104, 0},  {0x0200, 14}, {0x8105, 0},
          {0x023E, 18}, {0x001D, 15}, {0x8106, 0},  {0x000A, 0},
      }) {}

}  // namespace tabulon
