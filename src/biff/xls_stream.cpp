#include "biff/xls_stream.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/error.h"
#include "platform/platform.h"

namespace tabulon {

namespace {

constexpr const char* kNotAWorkbook = "The file is not an Excel workbook";

// The ids of the BOF records that start a workbook of each generation.
constexpr uint16_t kBof2 = 0x0009;
constexpr uint16_t kBof3 = 0x0209;
constexpr uint16_t kBof4 = 0x0409;
constexpr uint16_t kBof5 = 0x0809;  // BIFF5 and BIFF8

bool IsBofId(uint16_t id) { return id == kBof2 || id == kBof3 || id == kBof4 || id == kBof5; }

bool IsContinuationId(uint16_t id) {
  return id == TXLSStream::kIdContinue || id == TXLSStream::kIdDrawingGroup || id == TXLSStream::kIdContinueFrt ||
         id == TXLSStream::kIdGelFrame;
}

}  // namespace

TXLSStream::TXLSStream(TVbaProjectSink* vbaHolder, bool preserveMacros)
    : vbaHolder_(vbaHolder), preserveMacros_(preserveMacros) {}

TXLSStream::~TXLSStream() = default;

void TXLSStream::Close() {
  stream_ = nullptr;
  plainFile_.reset();
  workbookStream_.reset();
  storage_.reset();
}

TExcelVersion TXLSStream::OpenFile(const std::u16string& filename) {
  Close();
  version_ = xvNone;
  streamSize_ = 0;
  continuePosition_ = 0;
  recordLength_ = 0;
  cipher_.reset();

  if (source_ != nullptr) {
    // A caller's stream is always a compound document; take a copy of it
    // and leave the stream at its start.
    source_->SetPosition(0);
    const int64_t size = source_->Size();
    std::vector<uint8_t> bytes(size > 0 ? static_cast<std::size_t>(size) : 0);
    bytes.resize(source_->Read(bytes.data(), bytes.size()));
    source_->SetPosition(0);
    version_ = OpenCompound(TCompoundFile::OpenMemory(std::move(bytes), filename));
    return version_;
  }

  if (sourceBytes_) {
    const std::span<const uint8_t> bytes = *sourceBytes_;
    if (TCompoundFile::HasSignature(bytes.data(), bytes.size())) {
      version_ = OpenCompound(TCompoundFile::OpenView(bytes, filename));
      return version_;
    }
    return OpenBare(std::make_unique<TMemoryView>(bytes.data(), bytes.size()), bytes);
  }

  // The file is read once, whole: the record loop then works from memory.
  std::vector<uint8_t> bytes = ReadWholeFile(filename);
  if (TCompoundFile::HasSignature(bytes.data(), bytes.size())) {
    version_ = OpenCompound(TCompoundFile::OpenMemory(std::move(bytes), filename));
    return version_;
  }
  auto file = std::make_unique<TMemoryStream>();
  file->Bytes() = std::move(bytes);
  const std::span<const uint8_t> view(file->Memory(), file->Bytes().size());
  return OpenBare(std::move(file), view);
}

// A raw BIFF5/BIFF8 stream (BOF 0x0809) opens without a generation.
TExcelVersion TXLSStream::OpenBare(std::unique_ptr<TStream> file, std::span<const uint8_t> bytes) {
  if (bytes.size() < 4) Throw(kNotAWorkbook);
  switch (bytes[0] | (bytes[1] << 8)) {
    case kBof2: version_ = xvExcel21; break;
    case kBof3: version_ = xvExcel30; break;
    case kBof4: version_ = xvExcel40; break;
    case kBof5: version_ = xvNone; break;
    default: Throw(kNotAWorkbook);
  }
  streamSize_ = static_cast<int64_t>(bytes.size());
  plainFile_ = std::move(file);
  stream_ = plainFile_.get();
  return version_;
}

TExcelVersion TXLSStream::OpenCompound(std::unique_ptr<TCompoundFile> document) {
  storage_ = std::move(document);
  const std::vector<TCompoundElement>& elements = storage_->Elements();

  if (extraObjects_ != nullptr) {
    extraObjects_->Clear();
    for (const TCompoundElement& element : elements) {
      if (platform::WideSameText(element.name, u"book") || platform::WideSameText(element.name, u"workbook") ||
          element.name == u"_VBA_PROJECT_CUR") {
        continue;
      }
      extraObjects_->elements.push_back(
          {element.name, element.type == TCompoundElementType::kStorage, element.size});
    }
  }

  bool book = false;
  bool workbook = false;
  for (const TCompoundElement& element : elements) {
    if (element.name.empty()) break;  // the enumeration ends at a nameless element
    if (platform::WideSameText(element.name, u"book")) {
      book = true;
    } else if (platform::WideSameText(element.name, u"workbook")) {
      workbook = true;
    } else if (element.type == TCompoundElementType::kStorage && preserveMacros_ && vbaHolder_ != nullptr &&
               element.name == u"_VBA_PROJECT_CUR") {
      vbaHolder_->ReadVbaProject(*storage_, element);
    }
  }

  TExcelVersion version;
  if (workbook) {
    workbookStream_ = storage_->OpenStream(u"Workbook");
    version = xvExcel97;
  } else if (book) {
    workbookStream_ = storage_->OpenStream(u"Book");
    version = xvExcel50;
  } else {
    Throw(kNotAWorkbook);
  }
  streamSize_ = workbookStream_->Size();
  stream_ = workbookStream_.get();
  // A workbook stream that is empty or starts with anything but a BOF
  // record holds no workbook.
  if (!IsBofId(PeekRecordId())) Throw(kNotAWorkbook);
  return version;
}

std::size_t TXLSStream::ReadHeader(uint16_t& id, uint16_t& length) {
  uint8_t header[4];
  // Never decrypted: the next decryption passes over its key-stream bytes.
  const std::size_t n = ReadRaw(header, sizeof(header));
  if (n < sizeof(header)) {
    id = 0;
    length = 0;
    return n;
  }
  id = static_cast<uint16_t>(header[0] | (header[1] << 8));
  length = static_cast<uint16_t>(header[2] | (header[3] << 8));
  recordLength_ = length;
  return n;
}

std::size_t TXLSStream::ReadBody(void* buffer, std::size_t count) {
  auto* out = static_cast<uint8_t*>(buffer);
  if (!continueMode_) {
    const std::size_t n = ReadRaw(out, count);
    if (cipher_ && n > 0) Decrypt(out, n, Position());
    return n;
  }
  // Continue mode: the body goes on in the next CONTINUE-like record once
  // the current one has given kContinuePieceSize bytes; the length fields of
  // the continuation headers are not consulted.
  std::size_t done = 0;
  while (done < count) {
    if (continuePosition_ >= kContinuePieceSize) {
      uint16_t id = 0;
      uint16_t length = 0;
      if (ReadHeader(id, length) < 4) break;
      if (!IsContinuationId(id)) Throw("CONTINUE record is missing");
      continuePosition_ = 0;
    }
    const std::size_t want = std::min(kContinuePieceSize - continuePosition_, count - done);
    const std::size_t n = ReadRaw(out + done, want);
    if (cipher_ && n > 0) Decrypt(out + done, n, Position());
    done += n;
    continuePosition_ += n;
    if (n < want) break;
  }
  return done;
}

std::size_t TXLSStream::ReadUnencrypted(void* buffer, std::size_t count) {
  // The next decryption passes over the key-stream bytes of these bytes.
  return ReadRaw(buffer, count);
}

void TXLSStream::DecryptUnencrypted(void* buffer, std::size_t count) {
  const int64_t end = Position();
  if (!cipher_ || count == 0 || static_cast<int64_t>(count) > end) return;
  Decrypt(static_cast<uint8_t*>(buffer), count, end);
}

uint16_t TXLSStream::PeekRecordId() {
  uint8_t header[4];
  const std::size_t n = ReadRaw(header, sizeof(header));
  // Move back over whatever was read, also when a partial header was left.
  if (n > 0) stream_->Seek(-static_cast<int64_t>(n), SeekOrigin::kCurrent);
  if (n < sizeof(header)) return 0;
  return static_cast<uint16_t>(header[0] | (header[1] << 8));
}

int64_t TXLSStream::Position() { return stream_ != nullptr ? stream_->Position() : 0; }

int64_t TXLSStream::Seek(int64_t offset, SeekOrigin origin) {
  return stream_ != nullptr ? stream_->Seek(offset, origin) : 0;
}

bool TXLSStream::CheckPassword(const uint8_t* filePass, std::size_t length, std::u16string_view password) {
  std::unique_ptr<TXLSCipher> cipher =
      OpenXLSCipher(FilePassEncryption(filePass, length), filePass, length, password);
  if (!cipher) return false;
  cipher_ = std::move(cipher);
  return true;
}

}  // namespace tabulon
