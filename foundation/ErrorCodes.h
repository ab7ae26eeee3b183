#pragma once
// Numeric error codes of the crypto and certificate layers, kept in the values the rest of the system logs and
// compares, so that a code read in a log line means the same thing everywhere. GetErrorText (TextHelpers.h)
// gives their texts; errno values need no constants here.

#include <cstdint>

inline constexpr uint32_t kNteBadKey = 0x80090003;
inline constexpr uint32_t kNteBadLen = 0x80090004;
inline constexpr uint32_t kNteBadData = 0x80090005;
inline constexpr uint32_t kNteBadAlgid = 0x80090008;
inline constexpr uint32_t kNteBadType = 0x8009000A;
inline constexpr uint32_t kNteBadKeyState = 0x8009000B;
inline constexpr uint32_t kNteNoKey = 0x8009000D;
inline constexpr uint32_t kNteExists = 0x8009000F;
inline constexpr uint32_t kNteBadKeyset = 0x80090016;
inline constexpr uint32_t kNteFail = 0x80090020;

inline constexpr uint32_t kCertExpired = 0x800B0101;
inline constexpr uint32_t kCertUntrustedRoot = 0x800B0109;
inline constexpr uint32_t kCertChaining = 0x800B010A;
inline constexpr uint32_t kTrustFail = 0x800B010B;
inline constexpr uint32_t kCertCnNoMatch = 0x800B010F;
inline constexpr uint32_t kCertWrongUsage = 0x800B0110;
