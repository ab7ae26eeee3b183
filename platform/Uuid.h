#pragma once
// New random UUIDs from the kernel's random source. A free function without state: any thread may call it.

#include <array>
#include <cstdint>

using CUuidBytes = std::array<uint8_t, 16>;

// A new version-4 UUID (122 random bits, the RFC 4122 variant) in its byte order of text: bytes 0..3 are the
// first group of eight hexadecimal digits, and so on. False when the kernel's random source fails.
bool NewRandomUuid(CUuidBytes& bytes);
