// The FILEPASS record: how an encrypted legacy workbook is opened.
#pragma once

#include <cstddef>
#include <cstdint>

#include "workbook/encryption.h"

namespace tabulon {

class TXLSStream;
class TXLSWorkbook;

// Handles the body of a FILEPASS record (0x002F) met in the globals
// substream: checks the encryption type (XOR obfuscation, RC4 or its
// CryptoAPI variant; anything else raises "Can not read file, unknown type
// of encryption."), takes the password from the
// workbook (Password, OnPassword), verifies it against the file and switches
// the stream to decryption for the rest of the read. Raises the failure
// messages. With neither Password nor OnPassword, the default workbook
// password is tried before "File is encrypted. Password required." is
// raised. Returns false when the workbook's abort flag is set after
// OnPassword: the record loop then ends without an error.
bool ReadFilePass(TXLSStream& stream, const uint8_t* body, std::size_t length, TXLSWorkbook& workbook);

// For a BOF body just read with ReadUnencrypted (`length`: the bytes that
// call delivered) while decryption is on. Some writers encrypt BOF bodies
// after all (LibreOffice, those of charts embedded in worksheets): when the
// clear body is not a BIFF8 BOF of a known substream type and its decrypted
// form is, the body is decrypted in place and true is returned; otherwise
// it is left as read.
bool TakeEncryptedBof(TXLSStream& stream, uint8_t* body, std::size_t length);

}  // namespace tabulon
