#include "plugin/request.h"

#include <cinttypes>
#include <exception>
#include <memory>
#include <new>

#include "platform/error.h"
#include "platform/platform.h"
#include "plugin/config.h"
#include "workbook/cellref.h"
#include "workbook/workbook.h"
#include "xmldoc/xml_document.h"

namespace tabulon {

namespace {

std::string_view HostText(const char* text) { return text == nullptr ? std::string_view() : std::string_view(text); }

// The sheet a request's 1-based number names.
TSheet& SheetOf(TXLSWorkbook& xls, int32_t sheet) { return xls.Sheets()[int64_t{sheet} - 1]; }

void ServeCells(TXLSWorkbook& xls, const TXmlNode* root, TAnswer& answer) {
  if (root == nullptr) return;
  const int32_t count = root->ChildCount();
  for (int32_t i = 0; i < count; ++i) {
    const TXmlNode* child = root->Children().Item(i);
    const int32_t sheet = child->AttributeAsInteger("sheet", 0);
    const std::string cell = child->AttributeText("cell");
    TSheet& target = SheetOf(xls, sheet);
    uint32_t col = 0, row = 0;
    ReadRequestCellRef(cell, col, row);
    answer.AppendPiece(sheet, cell, target.GetCellText(col, row));
    platform::SleepMs(1);
  }
}

void ServeBlock(TXLSWorkbook& xls, const TXmlNode* root, TAnswer& answer) {
  if (root == nullptr) return;
  const TXmlNode* child = root->Children().Item(0);
  const int32_t sheet = child->AttributeAsInteger("sheet", 0);
  uint32_t firstCol = 0, firstRow = 0, lastCol = 0, lastRow = 0;
  ReadRequestCellRef(child->AttributeText("cellMin"), firstCol, firstRow);
  ReadRequestCellRef(child->AttributeText("cellMax"), lastCol, lastRow);
  if (lastCol < firstCol || lastRow < firstRow) return;
  const uint64_t cells = uint64_t{lastCol - firstCol + 1} * uint64_t{lastRow - firstRow + 1};
  if (cells > kMaxBlockCells) Throw(Format("Range too large: %" PRIu64 " cells", cells));
  std::string ref;
  for (uint32_t col = firstCol; col <= lastCol; ++col) {
    for (uint32_t row = firstRow; row <= lastRow; ++row) {
      const std::u16string text = CellRefText(static_cast<int32_t>(col), static_cast<int32_t>(row));
      ref.assign(text.begin(), text.end());  // letters and digits only
      TSheet& target = SheetOf(xls, sheet);
      answer.AppendPiece(sheet, ref, target.GetCellText(col, row));
    }
  }
}

std::string Serve(TRequestKind kind, TXLSWorkbook& xls, const TConfiguration& config, const char* nickName,
                  const char* room, const char* domain, const char* request, std::size_t answerLimit) {
  const std::string message = CheckAccess(config, xls, HostText(domain), HostText(room), HostText(nickName));
  if (!message.empty()) return FailureAnswer(message);

  std::unique_ptr<TXmlDocument> document = CreateDocument();
  document->LoadFromText(HostText(request));
  const TXmlNode* root = document->RootElement();
  if (kind == rkCells && root != nullptr && root->ChildCount() > kMaxRequestCells)
    Throw(Format("Too many cells: %d", root->ChildCount()));
  TAnswer answer(answerLimit);
  xls.Read();
  if (kind == rkCells) ServeCells(xls, root, answer);
  else ServeBlock(xls, root, answer);
  return answer.Finish();
}

}  // namespace

std::string ServeRequest(TRequestKind kind, TXLSWorkbook& xls, const TConfiguration& config, const char* nickName,
                         const char* room, const char* domain, const char* request,
                         std::size_t answerLimit) noexcept {
  try {
    try {
      return Serve(kind, xls, config, nickName, room, domain, request, answerLimit);
    } catch (const Exception& e) {
      return FailureAnswer(e.Message());
    } catch (const std::bad_alloc&) {
      return FailureAnswer("Out of memory");
    } catch (const std::exception& e) {
      return FailureAnswer(e.what());
    } catch (...) {
      return FailureAnswer("Unexpected failure");
    }
  } catch (...) {
    // Not even the failure answer could be built.
    return std::string();
  }
}

}  // namespace tabulon
