// Open XML packages saved with a password: ECMA-376 encryption, where a
// compound file holds the stream "EncryptionInfo" (how the package was
// encrypted) and "EncryptedPackage" (its size as u64, then the encrypted
// bytes). Standard encryption (versions 2.2 to 4.2: AES-128/192/256 in ECB,
// SHA-1, 50,000 spins) and agile encryption (4.4: an XML descriptor, AES in
// CBC with 4096-byte segments, SHA-1 or SHA-2, its own spin count and a
// data-integrity HMAC) are read.
#pragma once

#include <cstdint>
#include <vector>

namespace tabulon {

class TXLSWorkbook;

// Decrypts the package with the workbook's password: Password (changed by
// OnPassword when that is set) or, with neither, the default workbook
// password. The key derived from the password is kept in the workbook's
// DerivedKeys() and found there on the next read. Raises
//  "File is encrypted. Password required." (no password given, and the
//      default one does not fit),
//  "Password is missing." (OnPassword left none),
//  "Invalid password",
//  "The encrypted package is damaged" (integrity check failed, stream cut
//      short),
//  "Can not read file, unknown type of encryption." (any other version,
//      cipher, hash or key encryptor).
// Returns an empty package when OnPassword set the workbook's Abort flag
// (the read then ends without an error).
// `maxHashRounds` cuts the hashing rounds of the password's key derivation
// (the count the descriptor names, or standard encryption's 50,000) to at
// most that many, after the descriptor's count has passed its own limit.
// The readers leave it unlimited; the decryption fuzz target sets a small
// count so that each input costs little, with seeds encrypted for it.
std::vector<uint8_t> DecryptPackage(TXLSWorkbook& workbook, const std::vector<uint8_t>& encryptionInfo,
                                    const std::vector<uint8_t>& encryptedPackage,
                                    uint32_t maxHashRounds = UINT32_MAX);

}  // namespace tabulon
