// Serving one request: the pre-check, the request text, a fresh read of the
// workbook, and the answer.
#pragma once

#include <cstddef>
#include <string>

#include "plugin/answer.h"

namespace tabulon {

class TXLSWorkbook;
struct TConfiguration;

enum TRequestKind { rkCells, rkBlock };

// getCellValueRef asks for at most this many cells...
inline constexpr int32_t kMaxRequestCells = 65536;
// ...and getMultiCellValueRef for a block of at most this many.
inline constexpr uint64_t kMaxBlockCells = 1048576;

// Serves one request of the kind against the component; null texts read as
// empty. Never raises: every failure, of whatever kind, becomes the failure
// answer with its message ("Out of memory" for an allocation failure);
// the empty text only when not even that answer could be built.
std::string ServeRequest(TRequestKind kind, TXLSWorkbook& xls, const TConfiguration& config, const char* nickName,
                         const char* room, const char* domain, const char* request,
                         std::size_t answerLimit = kMaxAnswerSize) noexcept;

}  // namespace tabulon
