// Request texts through both request functions (the request core below the
// exports), against a workbook whose reader is a stand-in that fills two
// sheets. The first byte chooses the function: even for getCellValueRef, odd
// for getMultiCellValueRef; the rest is the request text, cut at its first
// zero byte as the host's zero-terminated text would be.
#include "targets.h"
#include "answer_check.h"

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/error.h"
#include "platform/platform.h"
#include "plugin/config.h"
#include "plugin/request.h"
#include "workbook/workbook.h"

namespace tabulon {
namespace {

class TStandInReaders final : public IWorkbookReaders {
 public:
  std::unique_ptr<TStream> ReadLegacy(TXLSWorkbook& book) override {
    book.SetVersion(xvExcel97);
    TSheet& first = book.Sheets().Add(skWorksheet);
    first.WriteNumber(1, 2, 15, 2.5);
    first.WriteString(0, 0, 15, u"text");
    first.WriteString(1, 1, 15, u"x]]>y");
    first.WriteString(2, 1, 15, u"\u20ac\U0001D11E");
    first.WriteBoolean(3, 3, 15, true);
    first.WriteNumber(16383, 1048575, 15, 9);
    book.Sheets().Add(skWorksheet).WriteString(0, 9, 15, u"second");
    return nullptr;
  }
  void ReadOpenXml(TXLSWorkbook&, TStream&, TStream*) override { Throw("no Open XML here"); }
};

struct TFixture {
  TFixture() : xls(&readers) {
    char name[] = "/tmp/tabulon-fuzz-XXXXXX.xls";
    const int fd = mkstemps(name, 4);
    if (fd < 0) std::abort();
    close(fd);
    path = name;
    xls.Filename = platform::HostToWide(path);
    config.ReadDomains = "##";
    config.ReadRooms = "#lobby#";
  }
  ~TFixture() { std::remove(path.c_str()); }

  TStandInReaders readers;
  TXLSWorkbook xls;
  TConfiguration config;
  std::string path;
};

}  // namespace
}  // namespace tabulon

void tabulon::fuzz::Request(const uint8_t* data, std::size_t size) {
  static TFixture fixture;
  if (size == 0) return;
  const TRequestKind kind = (data[0] & 1) != 0 ? rkBlock : rkCells;
  const std::string request(reinterpret_cast<const char*>(data + 1), size - 1);
  // A small answer limit keeps a huge block quick; the limit's own failure is
  // part of what is fuzzed.
  const std::string answer =
      ServeRequest(kind, fixture.xls, fixture.config, "nick", "", "", request.c_str(), std::size_t{1} << 16);
  if (answer.rfind("<result state=\"", 0) != 0) std::abort();
  CheckAnswer(answer);
}
