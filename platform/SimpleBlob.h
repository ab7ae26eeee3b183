#pragma once
// The SIMPLEBLOB of the client protocol: an RC4 session key wrapped for an RSA exchange key. Plain functions,
// safe from any thread with const keys.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/CryptStatus.h"
#include "platform/Rc4Key.h"
#include "platform/RsaKey.h"

// Imports a SIMPLEBLOB: 01 02 00 00, CALG_RC4, CALG_RSA_KEYX (all little-endian), then the PKCS#1 v1.5 type-2
// encryption of the key bytes under |exchangeKey|, byte-reversed, exactly one modulus long. Keys of 5 to 16
// bytes are accepted; a 5-byte key gets 11 zero salt bytes. Any other blob is refused.
CryptStatus ImportSimpleBlob(const CRsaKey& exchangeKey, const uint8_t* blob, size_t length, CRc4Key* key);
// Builds the SIMPLEBLOB that wraps |keyBytes| (5 to 16 bytes) for |publicKey|, as a POS client does.
CryptStatus BuildSimpleBlob(const CRsaKey& publicKey, const uint8_t* keyBytes, size_t keyLength,
                            std::vector<uint8_t>* blob);
// The same for the public-key text of the greeting (hex, optionally framed by DC1 ... DC2).
CryptStatus BuildSimpleBlobForPublicKeyText(const std::string& publicKeyText, const uint8_t* keyBytes, size_t keyLength,
                                            std::vector<uint8_t>* blob);
