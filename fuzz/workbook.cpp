// Whole workbook reads from bytes: the bytes are written to a scratch file
// with the extension that picks the reader, the workbook component reads it
// through the loader as a request does, and every stored cell's value text
// is taken. The answer a request would get is built from them (every stored
// cell as a piece, or the read's failure) and checked as XML.
#include "targets.h"
#include "answer_check.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "loader/loader.h"
#include "platform/error.h"
#include "platform/platform.h"
#include "plugin/answer.h"
#include "workbook/cellref.h"
#include "workbook/cells.h"
#include "workbook/sheet.h"
#include "workbook/workbook.h"

namespace tabulon::fuzz {

namespace {

// Answers of the whole-read targets stop here, as a request's would at its
// limit.
constexpr std::size_t kAnswerLimit = std::size_t{1} << 22;

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
    std::string failure;
    try {
      xls_.Read();
    } catch (const Exception& e) {
      failure = e.Message();
    }
    // What a failed read leaves must be as safe to read as a whole model.
    TAnswer answer(kAnswerLimit);
    TSheets& sheets = xls_.Sheets();
    for (int32_t i = 0; i < sheets.Count(); ++i) {
      TSheet& sheet = sheets[i];
      TCellValues& cells = sheet.Cells();
      cells.BeginIteration();
      int taken = 0;
      while (TCell* cell = cells.NextCell()) {
        if (++taken > 100000) break;
        try {
          const std::u16string text = sheet.GetCellText(cell->Col(), cell->Row());
          if (failure.empty()) {
            const std::u16string ref = CellRefText(cell->Col(), cell->Row());
            answer.AppendPiece(i + 1, std::string(ref.begin(), ref.end()), text);
          }
        } catch (const Exception& e) {
          if (failure.empty()) failure = e.Message();  // "Answer too large" among others
        }
      }
      (void)sheet.GetCellText(0, 0);
    }
    CheckAnswer(failure.empty() ? answer.Finish() : FailureAnswer(failure));
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
