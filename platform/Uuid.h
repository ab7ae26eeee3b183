#pragma once
// New random UUIDs from the kernel's random source, and their text. Free functions without state: any thread
// may call them.

#include <array>
#include <cstdint>
#include <string>

#include "platform/Hex.h"

using CUuidBytes = std::array<uint8_t, 16>;

// A new version-4 UUID (122 random bits, the RFC 4122 variant) in its byte order of text: bytes 0..3 are the
// first group of eight hexadecimal digits, and so on. False when the kernel's random source fails.
bool NewRandomUuid(CUuidBytes& bytes);
// The five groups of hexadecimal digits of |bytes| (8, 4, 4, 4 and 12) with |separator| between them; a
// separator of 0 is left out.
std::string UuidText(const CUuidBytes& bytes, char separator, HexCase letters);
