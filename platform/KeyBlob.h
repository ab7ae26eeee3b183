#pragma once
// The layout the key blobs of the client protocol share (PUBLICKEYBLOB and SIMPLEBLOB): the algorithm ids and
// blob types they carry, their common header and little-endian fields. Plain functions, safe from any thread.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/CryptStatus.h"

// Algorithm ids and blob types as the client protocol carries them.
inline constexpr uint32_t kCalgRc4 = 0x00006801;
inline constexpr uint32_t kCalgMd5 = 0x00008003;
inline constexpr uint32_t kCalgRsaKeyx = 0x0000A400;
inline constexpr uint8_t kSimpleBlob = 0x01;
inline constexpr uint8_t kPublicKeyBlob = 0x06;
inline constexpr uint8_t kCurBlobVersion = 0x02;

// The header every blob starts with (type, version, two reserved bytes, algorithm id), and the bit lengths an
// RSA key of a blob may have.
inline constexpr size_t kBlobHeaderSize = 8;
inline constexpr unsigned kMinBlobBits = 384;
inline constexpr unsigned kMaxBlobBits = 16384;

void PutLe32(std::vector<uint8_t>& out, uint32_t value);
uint32_t GetLe32(const uint8_t* p);
// The first four bytes every key blob starts with: its type, the blob version and two reserved zero bytes.
void StartBlob(std::vector<uint8_t>& blob, uint8_t type);
// Checks the length (at least |minLength|) and the first four bytes of a blob of |type|.
CryptStatus CheckBlobStart(const uint8_t* blob, size_t length, size_t minLength, uint8_t type);
