// The byte source of the legacy reader: opens a workbook file, finds its
// workbook stream (inside a compound document, or the bare file of a BIFF2 to
// BIFF4 workbook), tells the BIFF generation, and hands out record headers and
// bodies. For the drawing group it can join CONTINUE records into one body.
// Once a password has been checked against the FILEPASS record, bodies are
// decrypted by the cipher it names (xls_cipher.h), by their absolute offset
// in the workbook stream: every byte after FILEPASS, read or passed over,
// has its own key-stream byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "biff/compound_file.h"
#include "biff/xls_cipher.h"
#include "workbook/extra_objects.h"
#include "platform/stream.h"
#include "workbook/version.h"
#include "workbook/record_source.h"

namespace tabulon {

// Receives the "_VBA_PROJECT_CUR" storage of a workbook while it is opened.
class TVbaProjectSink {
 public:
  virtual ~TVbaProjectSink() = default;
  virtual void ReadVbaProject(TCompoundFile& document, const TCompoundElement& storage) = 0;
};

class TXLSStream final : public TRecordSource {
 public:
  // Bodies of a CONTINUE chain are taken to be this long, except the last.
  static constexpr std::size_t kContinuePieceSize = 8224;

  static constexpr uint16_t kIdContinue = 0x003C;
  static constexpr uint16_t kIdDrawingGroup = 0x00EB;
  static constexpr uint16_t kIdContinueFrt = 0x0866;
  static constexpr uint16_t kIdGelFrame = 0x1066;

  explicit TXLSStream(TVbaProjectSink* vbaHolder = nullptr, bool preserveMacros = true);
  ~TXLSStream() override;
  TXLSStream(const TXLSStream&) = delete;
  TXLSStream& operator=(const TXLSStream&) = delete;

  // A stream to read instead of the named file (not owned; nullptr: none).
  // It is always taken as a compound document.
  void SetSourceStream(TStream* source) { source_ = source; }
  // The named file's bytes, already read (not owned: they must stay,
  // unchanged, until Close; nullopt: none). Read as the file would be,
  // without a copy; a source stream goes first.
  void SetSourceBytes(std::optional<std::span<const uint8_t>> bytes) { sourceBytes_ = bytes; }
  // Receives the names of the document's other elements (not owned).
  void SetExtraObjects(TExtraObjects* extraObjects) { extraObjects_ = extraObjects; }

  // Closes what is open, opens the workbook and returns its generation.
  TExcelVersion OpenFile(const std::u16string& filename);
  void Close();

  TExcelVersion FileVersion() const { return version_; }
  // Byte size of the workbook stream (or of the bare file).
  int64_t StreamSize() const { return streamSize_; }

  // Reads the 4-byte header (never decrypted). Returns 4, or fewer at the end.
  std::size_t ReadHeader(uint16_t& id, uint16_t& length) override;
  // Reads body bytes; joins CONTINUE records in continue mode.
  std::size_t ReadBody(void* buffer, std::size_t count) override;
  // Reads body bytes that are stored unencrypted (BOF bodies).
  std::size_t ReadUnencrypted(void* buffer, std::size_t count);
  // Decrypts in place the `count` bytes just read with ReadUnencrypted, which
  // end at the current position: for a BOF body that its writer encrypted
  // after all. Does nothing while decryption is off.
  void DecryptUnencrypted(void* buffer, std::size_t count);
  // The id of the next record without moving, or 0 when no whole header is left.
  uint16_t PeekRecordId();

  int64_t Position();
  int64_t Seek(int64_t offset, SeekOrigin origin);

  void BeginContinueRead() { continueMode_ = true; continuePosition_ = 0; }
  void EndContinueRead() { continueMode_ = false; continuePosition_ = 0; }
  bool ContinueMode() const { return continueMode_; }
  // Payload bytes taken from the current record of a CONTINUE chain.
  std::size_t ContinuePosition() const { return continuePosition_; }

  // Checks a password against the body of a FILEPASS record (any kind that
  // FilePassEncryption knows). When it fits, every body read from here on
  // is decrypted and true is returned; otherwise, and for a body too short
  // for its kind, nothing changes and the result is false.
  bool CheckPassword(const uint8_t* filePass, std::size_t length, std::u16string_view password);
  // True once CheckPassword has succeeded.
  bool Encrypted() const { return cipher_ != nullptr; }

 private:
  TExcelVersion OpenCompound(std::unique_ptr<TCompoundFile> document);
  // A bare BIFF file: it must start with a BOF record, whose id tells the
  // generation.
  TExcelVersion OpenBare(std::unique_ptr<TStream> file, std::span<const uint8_t> bytes);
  // Reads from the workbook stream as it is stored.
  std::size_t ReadRaw(void* buffer, std::size_t count) {
    if (stream_ == nullptr || count == 0) return 0;
    // Record by record: bytes that lie in one run of the workbook stream are
    // copied straight from the file's bytes.
    if (stream_ == workbookStream_.get()) {
      if (const uint8_t* bytes = workbookStream_->Take(count)) {
        std::memcpy(buffer, bytes, count);
        return count;
      }
    }
    return stream_->Read(buffer, count);
  }
  // Decrypts body bytes just read; `endOffset` is the stream offset just
  // after them. Called only while a cipher is set.
  void Decrypt(uint8_t* data, std::size_t count, int64_t endOffset) {
    cipher_->Decrypt(data, count, endOffset - static_cast<int64_t>(count), recordLength_);
  }

  TVbaProjectSink* vbaHolder_;
  bool preserveMacros_;
  TStream* source_ = nullptr;
  std::optional<std::span<const uint8_t>> sourceBytes_;
  TExtraObjects* extraObjects_ = nullptr;

  std::unique_ptr<TCompoundFile> storage_;
  std::unique_ptr<TCompoundStream> workbookStream_;
  std::unique_ptr<TStream> plainFile_;
  TStream* stream_ = nullptr;  // the one of the two above that is open

  int64_t streamSize_ = 0;
  TExcelVersion version_ = xvNone;
  bool continueMode_ = false;
  std::size_t continuePosition_ = 0;
  uint16_t recordLength_ = 0;  // length field of the last header read
  std::unique_ptr<TXLSCipher> cipher_;  // set once a password fits
};

}  // namespace tabulon
