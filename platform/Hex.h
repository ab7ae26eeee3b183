#pragma once
// Hexadecimal text of bytes, the one writer and reader of it in the system: the key texts and login blocks of
// the crypto layer, the escapes of the host envelopes, the journal and the URLs, the GUID texts and the TLS
// dump. Each writer keeps the letter case its readers have always seen, so every caller names it. Free
// functions without state: any thread may call them.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The letters a writer uses for the digits 10 to 15.
enum class HexCase {
    kUpper, // "A".."F"
    kLower, // "a".."f"
};

// The letters a reader takes for the digits 10 to 15.
enum class HexAccept {
    kEitherCase, // "A".."F" and "a".."f"
    kUpperOnly,  // "A".."F"; a lower-case letter is no digit
};

// Appends the two digits of |byte| to |out|, high nibble first.
void AppendHexByte(std::string& out, uint8_t byte, HexCase letters);
// Two digits a byte, high nibble first; "" for a null |bytes|.
std::string HexEncode(const uint8_t* bytes, size_t count, HexCase letters);
std::string HexEncode(std::string_view bytes, HexCase letters);

// The value 0..15 of |c| as a hex digit; -1 for any other character.
int HexDigitValue(char c, HexAccept accept = HexAccept::kEitherCase);
// Decodes the whole of |hex|, two digits a byte, into |bytes|. False for an odd length or a character that is
// no digit; |bytes| then holds no decoded text that a caller may use.
bool HexDecode(std::string_view hex, std::vector<uint8_t>& bytes, HexAccept accept = HexAccept::kEitherCase);
bool HexDecode(std::string_view hex, std::string& bytes, HexAccept accept = HexAccept::kEitherCase);
