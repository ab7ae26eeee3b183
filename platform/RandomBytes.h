#pragma once
// Random bytes from OpenSSL's generator; safe from any thread.

#include <cstddef>
#include <cstdint>

#include "platform/CryptStatus.h"

// Cryptographically strong random bytes.
CryptStatus GenerateRandomBytes(uint8_t* buffer, size_t length);
