// The FILEPASS record: how an encrypted legacy workbook is opened.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tabulon {

class TXLSStream;
class TXLSWorkbook;

// Handles the body of a FILEPASS record (0x002F) met in the globals
// substream: checks the encryption type, takes the password from the
// workbook (Password, OnPassword), verifies it against the file and switches
// the stream to decryption for the rest of the read. Raises the failure
// messages. Returns false when the workbook's abort flag is set after
// OnPassword: the record loop then ends without an error.
bool ReadFilePass(TXLSStream& stream, const uint8_t* body, std::size_t length, TXLSWorkbook& workbook);

}  // namespace tabulon
