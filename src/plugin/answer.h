// The answer texts of the request functions: the success frame with one piece
// per cell, the failure answer, the cell references a request may name, and
// the block that carries an answer to the host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tabulon {

// Answers stop growing here ("Answer too large").
inline constexpr std::size_t kMaxAnswerSize = std::size_t{256} << 20;

// Appends UTF-16 text as UTF-8 that XML 1.0 carries: a surrogate pair as one
// four-byte sequence; a character XML cannot hold (U+0000 to U+001F but tab,
// line feed and carriage return; U+FFFE, U+FFFF; an unpaired surrogate) as
// the escape "_xHHHH_" (four upper-case hex digits) that workbooks use.
void AppendUtf8(std::string& out, std::u16string_view text);

// The host text with "&", "<", ">" and the double quote written as
// entities, a character XML cannot hold as "_xHHHH_", and a byte that is no
// part of a valid character of the host text as "_x00HH_".
std::string EscapeMarkup(std::string_view text);

// "<result state="error"><error>" + escaped message + "</error></result>".
std::string FailureAnswer(std::string_view message);

// A success answer under construction.
class TAnswer {
 public:
  explicit TAnswer(std::size_t limit = kMaxAnswerSize);
  // Appends "<xls sheet="N" cell="REF"><![CDATA[value]]></xls>" with the
  // reference escaped and the value in UTF-8; a "]]>" inside the value
  // closes the section and opens the next one, so the value reads back
  // unchanged. Raises "Answer too large" past the limit.
  void AppendPiece(int32_t sheet, std::string_view cellRef, std::u16string_view value);
  // Closes the frame and hands the text over.
  std::string Finish();

 private:
  void CheckSize();

  std::string text_;
  std::size_t limit_;
};

// Reads a cell reference of a request: an optional "$", one to three
// letters (either case) naming a column up to "XFD", an optional "$" and
// decimal digits naming a row from 1 to 1048576. Gives 0-based positions;
// false for anything else, the empty text included.
bool ParseRequestCellRef(std::string_view text, uint32_t& col, uint32_t& row);
// The same; a text that is no such reference raises
// "Invalid cell reference: %s".
void ReadRequestCellRef(std::string_view text, uint32_t& col, uint32_t& row);

// Copies the answer with its terminating zero into a new host block; null
// when the block cannot be had.
char* AnswerToHostBlock(std::string_view answer) noexcept;

}  // namespace tabulon
