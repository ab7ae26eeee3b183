#pragma once
// Numeric error codes of the crypto and certificate layers, kept in the values the rest of the system logs and
// compares, so that a code read in a log line means the same thing everywhere. GetErrorText (TextHelpers.h)
// gives their texts; the crypto codes are the platform's (platform/CryptStatus.h), and errno values need no
// constants here.

#include <cstdint>

#include "platform/CryptStatus.h"

inline constexpr uint32_t kCertExpired = 0x800B0101;
inline constexpr uint32_t kCertUntrustedRoot = 0x800B0109;
inline constexpr uint32_t kCertChaining = 0x800B010A;
inline constexpr uint32_t kTrustFail = 0x800B010B;
inline constexpr uint32_t kCertCnNoMatch = 0x800B010F;
inline constexpr uint32_t kCertWrongUsage = 0x800B0110;
