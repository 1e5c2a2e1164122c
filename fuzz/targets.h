// The fuzz targets as plain functions: each reads one input as its reader
// would and checks what it can about the result. A refused input ends in a
// tabulon::Exception, caught here; anything else (a crash, a sanitizer
// report, a failed check) is a finding. The fuzzers call them through
// entry.cpp, the regression test with the inputs kept in tests/fixtures/fuzz/.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tabulon::fuzz {

// The XML document module on text (configuration files, request texts).
void XmldocText(const uint8_t* data, std::size_t size);
// The module's binary form: the input follows the signature.
void XmldocBinary(const uint8_t* data, std::size_t size);
// A request text through both request functions: the first byte chooses
// (even getCellValueRef, odd getMultiCellValueRef).
void Request(const uint8_t* data, std::size_t size);
// The compound-file reader and the record stream over it.
void Compound(const uint8_t* data, std::size_t size);
// The ZIP reader: list, extract every member.
void Zip(const uint8_t* data, std::size_t size);
// The tag reader with a handler that uses every accessor.
void Tags(const uint8_t* data, std::size_t size);
// Decryption headers with the default password: FILEPASS bodies, or an
// EncryptionInfo stream and its package (the first byte chooses).
void Decrypt(const uint8_t* data, std::size_t size);
// A whole read of a legacy workbook file (compound document or bare BIFF),
// then every cell's value text.
void LegacyWorkbook(const uint8_t* data, std::size_t size);
// A whole read of an Open XML package, then every cell's value text.
void OpenXmlWorkbook(const uint8_t* data, std::size_t size);

}  // namespace tabulon::fuzz
