// Whole workbook reads from bytes: the bytes are written to a scratch file
// with the extension that picks the reader, the workbook component reads it
// through the loader as a request does, and every stored cell's value text
// is taken.
#include "targets.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "loader/loader.h"
#include "platform/error.h"
#include "platform/platform.h"
#include "workbook/cells.h"
#include "workbook/sheet.h"
#include "workbook/workbook.h"

namespace tabulon::fuzz {

namespace {

class TScratchBook {
 public:
  explicit TScratchBook(const char* extension) : xls_(&readers_) {
    std::string name = std::string("/tmp/tabulon-fuzz-XXXXXX") + extension;
    const int fd = mkstemps(name.data(), static_cast<int>(std::string(extension).size()));
    if (fd < 0) std::abort();
    close(fd);
    path_ = name;
    xls_.Filename = platform::HostToWide(path_);
  }
  ~TScratchBook() { std::remove(path_.c_str()); }

  void Read(const uint8_t* data, std::size_t size) {
    std::FILE* f = std::fopen(path_.c_str(), "wb");
    if (f == nullptr) std::abort();
    if (size != 0 && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);
    try {
      xls_.Read();
    } catch (const Exception& e) {
      (void)e.Message();
    }
    // What a failed read leaves must be as safe to read as a whole model.
    TSheets& sheets = xls_.Sheets();
    for (int32_t i = 0; i < sheets.Count(); ++i) {
      TSheet& sheet = sheets[i];
      TCellValues& cells = sheet.Cells();
      cells.BeginIteration();
      int taken = 0;
      while (TCell* cell = cells.NextCell()) {
        if (++taken > 100000) break;
        try {
          (void)sheet.GetCellText(cell->Col(), cell->Row());
        } catch (const Exception&) {
        }
      }
      (void)sheet.GetCellText(0, 0);
    }
  }

 private:
  TWorkbookLoader readers_;
  TXLSWorkbook xls_;
  std::string path_;
};

}  // namespace

void LegacyWorkbook(const uint8_t* data, std::size_t size) {
  static TScratchBook book(".xls");
  book.Read(data, size);
}

void OpenXmlWorkbook(const uint8_t* data, std::size_t size) {
  static TScratchBook book(".xlsx");
  book.Read(data, size);
}

}  // namespace tabulon::fuzz
