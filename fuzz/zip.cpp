// The ZIP reader: open an archive held in memory, list it, extract every
// member by index and by name, read the comment.
#include "targets.h"

#include <cstddef>
#include <cstdint>

#include "ooxml/zip.h"
#include "platform/error.h"
#include "platform/platform.h"

using namespace tabulon;

void tabulon::fuzz::Zip(const uint8_t* data, std::size_t size) {
  TMemoryStream source;
  source.WriteBuffer(data, size);
  source.SetPosition(0);
  TXLSZipArchive archive;
  archive.OpenStream(source);
  const TZipEntries& entries = archive.Reader().Entries();
  (void)archive.Reader().Comment();
  for (int i = 0; i < entries.Count(); ++i) {
    const TZipEntry& entry = entries.Item(i);
    (void)entry.Level();
    TMemoryStream out;
    try {
      entry.ExtractToStream(out);
      if (static_cast<uint64_t>(out.Size()) != 0 &&
          static_cast<uint64_t>(out.Size()) != entry.CentralDirectory().UncompressedSize)
        __builtin_trap();
    } catch (const Exception&) {
    }
    // By name, appending after bytes already there.
    try {
      TMemoryStream dest;
      dest.WriteBuffer("xy", 2);
      dest.SetPosition(1);
      archive.ExtractFile(platform::AnsiToWide(entry.FileName()), dest);
    } catch (const Exception&) {
    }
  }
  try {
    TMemoryStream dest;
    archive.ExtractFile(u"/xl\\workbook.xml", dest);
  } catch (const Exception&) {
  }
}
