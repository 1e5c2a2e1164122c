// The compound-file reader and the record stream over it: open from memory,
// list the elements, open and read every stream; then open the workbook
// stream as the legacy reader does and walk its records.
#include "targets.h"

#include <cstddef>
#include <cstdint>
#include <vector>

#include "biff/compound_file.h"
#include "biff/xls_stream.h"
#include "platform/error.h"

using namespace tabulon;

namespace {

void ReadEveryStream(const std::vector<uint8_t>& bytes) {
  std::unique_ptr<TCompoundFile> document = TCompoundFile::OpenMemory(bytes, u"fuzz.xls");
  uint8_t buffer[4096];
  for (const TCompoundElement& element : document->Elements()) {
    (void)document->FindElement(element.name);
    if (element.type != TCompoundElementType::kStream) continue;
    try {
      std::unique_ptr<TCompoundStream> stream = document->OpenStream(element);
      uint64_t total = 0;
      while (std::size_t n = stream->Read(buffer, sizeof buffer)) total += n;
      if (total != element.size) __builtin_trap();
      // Reads from the middle and past the end.
      stream->Seek(static_cast<int64_t>(element.size / 2), SeekOrigin::kBegin);
      (void)stream->Read(buffer, 7);
      stream->Seek(16, SeekOrigin::kEnd);
      (void)stream->Read(buffer, sizeof buffer);
    } catch (const Exception&) {
    }
  }
}

void WalkRecords(const std::vector<uint8_t>& bytes) {
  TMemoryStream source;
  source.WriteBuffer(bytes.data(), bytes.size());
  TExtraObjects extra;
  TXLSStream stream;
  stream.SetSourceStream(&source);
  stream.SetExtraObjects(&extra);
  stream.OpenFile(u"fuzz.xls");
  std::vector<uint8_t> body(8224);
  uint16_t id = 0, length = 0;
  for (int records = 0; records < 100000 && stream.ReadHeader(id, length) == 4; ++records) {
    if (id == TXLSStream::kIdDrawingGroup && length > 0) {
      // The drawing group reads its CONTINUE chain as one body.
      stream.BeginContinueRead();
      (void)stream.ReadBody(body.data(), std::min<std::size_t>(length + 100, body.size()));
      stream.EndContinueRead();
      continue;
    }
    (void)stream.PeekRecordId();
    (void)stream.ReadBody(body.data(), std::min<std::size_t>(length, body.size()));
  }
}

}  // namespace

void tabulon::fuzz::Compound(const uint8_t* data, std::size_t size) {
  const std::vector<uint8_t> bytes(data, data + size);
  try {
    ReadEveryStream(bytes);
  } catch (const Exception&) {
  }
  try {
    WalkRecords(bytes);
  } catch (const Exception&) {
  }
}
