// A1 cell reference notation: column letters ("A".."XFD", bijective base 26)
// followed by the 1-based row number, each optionally marked absolute by "$".
//
// Three parsers with different acceptance rules:
//  * ParseCellRef, the strict parser of request texts: at most two letters
//    (columns 0..255), the row kept in 16 bits.
//  * ParseCellRefExt, the extended parser of formula texts: any number of
//    letters, checked against MaxCol / MaxRow.
//  * ParsePlainCellRef, for the cell addresses of Open XML worksheets: as the
//    extended parser but without "$" marks, letters in either case.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tabulon {

// Module-wide limits of the extended and plain parsers and of ClipArea; the
// workbook component sets them by the version of the workbook in memory
// (255 / 65535 for legacy workbooks, 16383 / 1048575 for Open XML ones).
extern int32_t MaxCol;
extern int32_t MaxRow;

// "B3", "$B$3", ...
std::u16string CellRefText(int32_t Col, int32_t Row, bool AbsCol = false, bool AbsRow = false);
// CellRefText of the first corner + ":" + CellRefText of the second.
std::u16string AreaRefText(int32_t Col1, int32_t Row1, bool AbsCol1, bool AbsRow1,
                           int32_t Col2, int32_t Row2, bool AbsCol2, bool AbsRow2);

// Strict parser. Col, Row, AbsCol and AbsRow are reset to 0 / false first and
// keep whatever was set before a failure.
bool ParseCellRef(std::u16string_view Text, uint16_t& Col, uint16_t& Row, bool& AbsCol,
                  bool& AbsRow);
bool ParseCellRef(std::u16string_view Text, uint16_t& Col, uint16_t& Row);

// Extended parser. A text without row digits raises
// "'%s' is not a valid integer value".
bool ParseCellRefExt(std::u16string_view Text, int32_t& Col, int32_t& Row, bool& AbsCol,
                     bool& AbsRow);

// Plain parser (no "$" marks); the 8-bit overload takes ASCII text as it
// comes out of a package part. A text without row digits raises
// "'%s' is not a valid integer value".
bool ParsePlainCellRef(std::u16string_view Text, int32_t& Col, int32_t& Row);
bool ParsePlainCellRef(std::string_view Text, int32_t& Col, int32_t& Row);

// "A1:C4"; ParseAreaRef drops a sheet prefix up to and including the first "!".
bool ParseAreaRef(std::u16string_view Text, uint16_t& Col1, uint16_t& Row1, bool& AbsCol1,
                  bool& AbsRow1, uint16_t& Col2, uint16_t& Row2, bool& AbsCol2, bool& AbsRow2);
bool ParseAreaRefExt(std::u16string_view Text, int32_t& Col1, int32_t& Row1, bool& AbsCol1,
                     bool& AbsRow1, int32_t& Col2, int32_t& Row2, bool& AbsCol2, bool& AbsRow2);
bool ParsePlainAreaRef(std::u16string_view Text, int32_t& Col1, int32_t& Row1, int32_t& Col2,
                       int32_t& Row2);
bool ParsePlainAreaRef(std::string_view Text, int32_t& Col1, int32_t& Row1, int32_t& Col2,
                       int32_t& Row2);

// Swaps the corners so that Col1 <= Col2 and Row1 <= Row2.
void OrderArea(int32_t& Col1, int32_t& Row1, int32_t& Col2, int32_t& Row2);
// False when the area lies wholly outside 0..MaxCol / 0..MaxRow; otherwise
// clips it to those limits and returns true.
bool ClipArea(int32_t& Col1, int32_t& Row1, int32_t& Col2, int32_t& Row2);

}  // namespace tabulon
