// Raw BIFF records kept for writing a workbook back: an ordered list of
// records (id, length, body). The default storages start with a list of
// default records in writing order; SetDefaultRecord and SetPlaceholder
// move them, in order, into the list as the file's records arrive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace tabulon {

class TBaseRecordStorage {
 public:
  struct Record {
    uint16_t Id;
    uint16_t Length;
    uint32_t Offset;  // of the body in the storage's byte block
  };

  virtual ~TBaseRecordStorage() = default;

  // Appends a record; `body` holds `length` bytes (may be null for 0).
  void AddRecord(uint16_t id, uint16_t length, const uint8_t* body);
  std::size_t Count() const { return records_.size(); }
  const Record& operator[](std::size_t index) const { return records_[index]; }
  const uint8_t* Body(const Record& record) const { return bytes_.data() + record.Offset; }
  // The first record with the id, or null.
  const Record* Find(uint16_t id) const;
  // Empties the storage (default storages get their defaults back).
  virtual void Clear();

 protected:
  void ReplaceBody(std::size_t index, const uint8_t* body);
  // Gives the record at `index` a new id and a body of another length.
  void ResizeRecord(std::size_t index, uint16_t id, uint16_t length, const uint8_t* body);

  std::vector<Record> records_;
  std::vector<uint8_t> bytes_;
};

// A storage with a list of default records in writing order. Placeholder
// codes (0x8000 and above) mark where a writer emits records it generates
// from the model.
class TRecordStorageDefault : public TBaseRecordStorage {
 public:
  struct DefaultRecord {
    uint16_t Id;
    uint16_t Length;  // of its default body (zeros)
  };

  // Files the file's record with this id. When the file gave it before, its
  // body is replaced (lengths must agree: "Size missmatch on default
  // record"); when the default still waits in the default list, the defaults
  // up to and including it move into the list, the moved one with this body;
  // when its default body already moved in (the file wrote it later than the
  // writing order has it), that body is replaced by the file's, whatever its
  // length. Ids the storage does not know raise
  // "[int] Unknown default record %.4X"; a known id found in neither list
  // raises "Excpected default record %.4X not found.".
  void SetDefaultRecord(uint16_t id, uint16_t length, const uint8_t* body);
  // Moves the default records up to and including the placeholder; codes
  // the storage does not know raise "[int] Unknown int. default record %.4X".
  void SetPlaceholder(uint16_t code);
  // Default records not yet moved.
  std::size_t DefaultsLeft() const { return defaults_.size() - nextDefault_; }
  // True when SetDefaultRecord knows the id.
  bool Accepts(uint16_t id) const;
  void Clear() override;

 protected:
  explicit TRecordStorageDefault(std::initializer_list<DefaultRecord> defaults) : defaults_(defaults) {}

 private:
  // Moves defaults up to `id`; false when the id is not among those left.
  bool MoveDefaultsUpTo(uint16_t id);

  std::vector<DefaultRecord> defaults_;
  std::size_t nextDefault_ = 0;
  // Default records in the list by id, with their position and whether the
  // body is the file's (else it is the default body).
  struct Filed {
    uint16_t Key;
    bool FromFile;
    std::size_t Position;
  };
  std::vector<Filed> defaultPositions_;
};

// The workbook-globals records.
class TRecordStorageGlobals final : public TRecordStorageDefault {
 public:
  TRecordStorageGlobals();
};

// The records of one sheet.
class TRecordStorageSheet final : public TRecordStorageDefault {
 public:
  TRecordStorageSheet();
};

// BIFF8 future records the model does not interpret.
class TRecordStorageEx2007Unknown final : public TBaseRecordStorage {};

}  // namespace tabulon
