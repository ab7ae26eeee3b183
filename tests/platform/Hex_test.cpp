#include "platform/Hex.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Uuid.h"

TEST(HexTest, WritesTwoDigitsAByteInTheCallersCase) {
    const uint8_t bytes[] = {0x00, 0x09, 0x0A, 0x7F, 0x80, 0xAB, 0xFF};
    EXPECT_EQ(HexEncode(bytes, sizeof bytes, HexCase::kUpper), "00090A7F80ABFF");
    EXPECT_EQ(HexEncode(bytes, sizeof bytes, HexCase::kLower), "00090a7f80abff");
    EXPECT_EQ(HexEncode(std::string("\x01\xfe", 2), HexCase::kUpper), "01FE");
    EXPECT_EQ(HexEncode(nullptr, 5, HexCase::kUpper), "");
    EXPECT_EQ(HexEncode(bytes, 0, HexCase::kLower), "");

    std::string text = "%";
    AppendHexByte(text, 0xC3, HexCase::kLower);
    AppendHexByte(text, 0x3C, HexCase::kUpper);
    EXPECT_EQ(text, "%c33C");
}

TEST(HexTest, ReadsWholeEvenTextsOfDigitsTheCallerAccepts) {
    struct Case {
        const char* name;
        const char* hex;
        HexAccept accept;
        bool ok;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        {"empty", "", HexAccept::kEitherCase, true, {}},
        {"upper", "00A0FF", HexAccept::kEitherCase, true, {0x00, 0xA0, 0xFF}},
        {"lower", "0a0b", HexAccept::kEitherCase, true, {0x0A, 0x0B}},
        {"mixed", "aB", HexAccept::kEitherCase, true, {0xAB}},
        {"upper only takes upper", "9AFF", HexAccept::kUpperOnly, true, {0x9A, 0xFF}},
        {"upper only refuses lower", "9a", HexAccept::kUpperOnly, false, {}},
        {"odd length", "ABC", HexAccept::kEitherCase, false, {}},
        {"letter past F", "0G", HexAccept::kEitherCase, false, {}},
        {"blank", "0 ", HexAccept::kEitherCase, false, {}},
        {"sign", "-1", HexAccept::kEitherCase, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> bytes = {0xEE};
        ASSERT_EQ(HexDecode(c.hex, bytes, c.accept), c.ok);
        std::string text;
        ASSERT_EQ(HexDecode(c.hex, text, c.accept), c.ok);
        if (c.ok) {
            EXPECT_EQ(bytes, c.bytes);
            EXPECT_EQ(text, std::string(c.bytes.begin(), c.bytes.end()));
        }
    }
    EXPECT_EQ(HexDigitValue('f'), 15);
    EXPECT_EQ(HexDigitValue('f', HexAccept::kUpperOnly), -1);
    EXPECT_EQ(HexDigitValue('F', HexAccept::kUpperOnly), 15);
    EXPECT_EQ(HexDigitValue('/'), -1);
    EXPECT_EQ(HexDigitValue(':'), -1);
}

TEST(HexTest, UuidTextGroupsEightFourFourFourTwelve) {
    CUuidBytes bytes{};
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(0xA0 + i);
    }
    EXPECT_EQ(UuidText(bytes, '-', HexCase::kUpper), "A0A1A2A3-A4A5-A6A7-A8A9-AAABACADAEAF");
    EXPECT_EQ(UuidText(bytes, ':', HexCase::kLower), "a0a1a2a3:a4a5:a6a7:a8a9:aaabacadaeaf");
    EXPECT_EQ(UuidText(bytes, '\0', HexCase::kUpper), "A0A1A2A3A4A5A6A7A8A9AAABACADAEAF");
}
