#pragma once
// The status codes every crypto call of the platform reports: 0 success; a 0x8009xxxx crypto code, or an errno
// value when the operating system refused a file operation. Nothing in the crypto classes throws.

#include <cstdint>

using CryptStatus = uint32_t;

inline constexpr CryptStatus kCryptOk = 0;
inline constexpr CryptStatus kCryptBadUid = 0x80090001;
inline constexpr CryptStatus kCryptBadHash = 0x80090002;
inline constexpr CryptStatus kCryptBadKey = 0x80090003;
inline constexpr CryptStatus kCryptBadLen = 0x80090004;
inline constexpr CryptStatus kCryptBadData = 0x80090005;
inline constexpr CryptStatus kCryptBadVersion = 0x80090007;
inline constexpr CryptStatus kCryptBadAlgId = 0x80090008;
inline constexpr CryptStatus kCryptBadFlags = 0x80090009;
inline constexpr CryptStatus kCryptBadType = 0x8009000A;
inline constexpr CryptStatus kCryptBadKeyState = 0x8009000B;
inline constexpr CryptStatus kCryptBadHashState = 0x8009000C;
inline constexpr CryptStatus kCryptNoKey = 0x8009000D;
inline constexpr CryptStatus kCryptExists = 0x8009000F;
inline constexpr CryptStatus kCryptBadKeyset = 0x80090016;
inline constexpr CryptStatus kCryptBadKeysetParam = 0x8009001F;
inline constexpr CryptStatus kCryptFail = 0x80090020;

// Empties this thread's OpenSSL error queue and returns |status|; every failure path after an OpenSSL call
// goes through it.
CryptStatus ClearedFailure(CryptStatus status);
