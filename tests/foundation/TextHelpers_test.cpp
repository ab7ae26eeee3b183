#include "foundation/TextHelpers.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/AsciiChars.h"

namespace {

struct SSplitCase {
    char Separator;
    std::string Text;
    bool Result;
    std::vector<std::string> Items;
};

} // namespace

TEST(TextHelpers, SplitToItemsKeepsEmptyItemsAndDropsAnEmptyTail) {
    const SSplitCase cases[] = {
        {';', "4;a;;b;", true, {"4", "a", "", "b"}},
        {';', "a;b", true, {"a", "b"}},
        {';', ";", true, {""}},
        {';', ";;x", true, {"", "", "x"}},
        {';', "abc", true, {"abc"}},
        {':', "2026:3:7", true, {"2026", "3", "7"}},
        {';', "", false, {}},
    };
    for (const SSplitCase& c : cases) {
        CItemMap items{{99, "stale"}};
        EXPECT_EQ(SplitToItems(c.Separator, c.Text, items), c.Result) << c.Text;
        ASSERT_EQ(items.size(), c.Items.size()) << c.Text;
        for (size_t i = 0; i < c.Items.size(); ++i) {
            EXPECT_EQ(GetItem(items, static_cast<int>(i) + 1), c.Items[i]) << c.Text << " item " << i + 1;
        }
        EXPECT_EQ(GetItem(items, static_cast<int>(c.Items.size()) + 1), "") << c.Text;
        EXPECT_EQ(GetItem(items, 0), "");
    }
}

TEST(TextHelpers, SafeMidNeverReachesOutsideTheText) {
    struct SCase {
        int Start;
        int Count;
        std::string Expected;
    };
    const std::string text = "abcdef";
    const SCase cases[] = {
        {0, 3, "abc"}, {2, 2, "cd"}, {4, 10, "ef"},  {5, 1, "f"},           {6, 1, ""},       {7, 1, ""},
        {0, 0, ""},    {2, -1, ""},  {-2, 3, "abc"}, {1, INT_MAX, "bcdef"}, {INT_MAX, 1, ""}, {INT_MIN, 2, "ab"},
    };
    for (const SCase& c : cases) {
        EXPECT_EQ(SafeMid(text, c.Start, c.Count), c.Expected) << c.Start << "," << c.Count;
    }
    EXPECT_EQ(SafeMid(text, 2), "cdef");
    EXPECT_EQ(SafeMid(text, 6), "");
    EXPECT_EQ(SafeMid(text, 100), "");
    EXPECT_EQ(SafeMid(text, -1), "abcdef");
    EXPECT_EQ(SafeMid("", 0, 5), "");
}

TEST(TextHelpers, DigitsIntegersAndLookups) {
    EXPECT_TRUE(IsAllDigits(""));
    EXPECT_TRUE(IsAllDigits("0123456789"));
    EXPECT_FALSE(IsAllDigits("12a4"));
    EXPECT_FALSE(IsAllDigits(" 12"));
    EXPECT_FALSE(IsAllDigits("-12"));
    EXPECT_EQ(IntToString(0), "0");
    EXPECT_EQ(IntToString(-42), "-42");
    EXPECT_EQ(IntToString(INT_MIN), "-2147483648");
    const CStringMap map{{"TranCode", "Sale"}, {"Empty", ""}};
    EXPECT_EQ(LookupText(map, "TranCode"), "Sale");
    EXPECT_EQ(LookupText(map, "trancode"), "");
    EXPECT_EQ(LookupText(map, "Missing"), "");
}

TEST(TextHelpers, TrimCharsCutsOnlyTheCallersBlanksAtBothEnds) {
    struct Case {
        const char* text;
        std::string_view blanks;
        const char* trimmed;
    };
    const Case cases[] = {
        {" \t a b \t ", " \t", "a b"},
        {"\r\n a \n", " \t", "\r\n a \n"},
        {"\v\f a\r\n", kAsciiWhiteSpace, "a"},
        {"\v a \f", " \t\r\n", "\v a \f"},
        {" \t ", " \t", ""},
        {"", kAsciiWhiteSpace, ""},
        {"x", "", "x"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TrimChars(c.text, c.blanks), c.trimmed) << c.text;
    }
}

TEST(TextHelpers, IsValidAmountFollowsTheLengthAndDecimalRules) {
    struct SCase {
        std::string Text;
        bool Short;
        bool Expected;
    };
    const SCase cases[] = {
        {"1.00", false, true},
        {"100", false, false},
        {"1.0", false, false},
        {"-1234.00", false, true},
        {"-12345.00", false, false},
        {"12345.00", false, true},
        {"12345.00", true, false},
        {"1234.00", true, true},
        {"1.2.00", false, false},
        {".00", false, true},
        {"123456.00", false, true},
        {"1234567.00", false, false},
        {"1,00", false, false},
        {"1.0a", false, false},
        {" 1.00", false, false},
        {"", false, false},
        {"12", false, false},
        {"+1.00", false, false},
        // A sign anywhere but in front is refused: the later steps would drop it and change the amount.
        {"12-34.00", false, false},
        {"--1.00", false, false},
        {"1.-0", false, false},
        {"1.00-", false, false},
    };
    for (const SCase& c : cases) {
        EXPECT_EQ(IsValidAmount(c.Text, c.Short), c.Expected) << "'" << c.Text << "' short=" << c.Short;
    }
}

TEST(TextHelpers, IsValidThreeDecimalsWantsThreeDigitsAfterThePoint) {
    struct SCase {
        std::string Text;
        bool Expected;
    };
    const SCase cases[] = {
        {"1.000", true},   {".000", true},   {"123.456", true}, {"1234.567", false}, {"1.00", false},
        {"1.0000", false}, {"-1.000", true}, {"1-.000", false}, {"1.2.000", false},  {"1.00a", false},
    };
    for (const SCase& c : cases) {
        EXPECT_EQ(IsValidThreeDecimals(c.Text), c.Expected) << c.Text;
    }
}

TEST(TextHelpers, FormatAmountWritesTwoDecimals) {
    struct SCase {
        std::string Text;
        std::string Expected;
    };
    const SCase cases[] = {
        {"1234", "12.34"},    {"5", "0.05"},      {"-5", "-0.05"},
        {"1.5", "1.50"},      {"", "0.00"},       {"12.345", "12.34"},
        {"C5.00", "-5.00"},   {"+7.00", "7.00"},  {" 1 2.00 ", "12.00"},
        {"000123", "1.23"},   {"0.00", "0.00"},   {"00", "0.00"},
        {"100.00", "100.00"}, {"12.", "12.00"},   {".5", "0.50"},
        {"1.2.3", "0.12"},    {"-0.05", "-0.05"}, {"000000010000", "100.00"},
    };
    for (const SCase& c : cases) {
        EXPECT_EQ(FormatAmount(c.Text), c.Expected) << "'" << c.Text << "'";
    }
}

TEST(TextHelpers, AmountToCentsCutsDecimalsAndCountsBareNumbersAsCents) {
    struct SCase {
        std::string Text;
        long Expected;
    };
    const SCase cases[] = {
        {"12.34", 1234}, {"12.3", 1230}, {"12.345", 1234}, {"C5.00", -500}, {"12", 12},
        {"", 0},         {"-0.05", -5},  {" +1.00", 100},  {"C", 0},        {"99999999999999999999.00", LONG_MAX},
    };
    for (const SCase& c : cases) {
        EXPECT_EQ(AmountToCents(c.Text), c.Expected) << "'" << c.Text << "'";
    }
}

TEST(TextHelpers, CentsToAmountFormatsWholeCents) {
    EXPECT_EQ(CentsToAmount(12345), "123.45");
    EXPECT_EQ(CentsToAmount(-5), "-0.05");
    EXPECT_EQ(CentsToAmount(0), "0.00");
    EXPECT_EQ(CentsToAmount(100), "1.00");
    EXPECT_EQ(CentsToAmount(AmountToCents("-12.34")), "-12.34");
}

TEST(TextHelpers, GetErrorTextGivesSystemTextsWithTheirLineBreak) {
    EXPECT_EQ(GetErrorText(ENOENT), "No such file or directory\r\n");
    EXPECT_EQ(GetErrorText(ECONNREFUSED), "Connection refused\r\n");
    struct SCase {
        uint64_t Code;
        std::string Expected;
    };
    const SCase cases[] = {
        {kCryptBadData, "Bad Data.\r\n"},
        {kCryptBadKey, "Bad Key.\r\n"},
        {kCryptBadLen, "Bad Length.\r\n"},
        {kCryptBadAlgId, "Invalid algorithm specified.\r\n"},
        {kCryptBadType, "Invalid type specified.\r\n"},
        {kCryptBadKeyState, "Key not valid for use in specified state.\r\n"},
        {kCryptNoKey, "Key does not exist.\r\n"},
        {kCryptBadKeyset, "Keyset does not exist\r\n"},
        {kCryptExists, "Object already exists.\r\n"},
        {kCryptFail, "An internal error occurred.\r\n"},
        {0x80090005u, "Bad Data.\r\n"},
    };
    for (const SCase& c : cases) {
        EXPECT_EQ(GetErrorText(c.Code), c.Expected) << std::hex << c.Code;
    }
    for (uint64_t code :
         {kCertExpired, kCertUntrustedRoot, kCertChaining, kTrustFail, kCertCnNoMatch, kCertWrongUsage}) {
        const std::string text = GetErrorText(code);
        ASSERT_GT(text.size(), 2u) << std::hex << code;
        EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
    }
    EXPECT_NE(GetErrorText(kCertExpired), GetErrorText(kCertCnNoMatch));
}

TEST(TextHelpers, GetErrorTextIsEmptyForUnknownCodes) {
    for (uint64_t code :
         {uint64_t{99999}, uint64_t{0x80090001}, uint64_t{0x800B0100}, uint64_t{0xFFFFFFFF}, uint64_t{0x1FFFFFFFF}}) {
        EXPECT_EQ(GetErrorText(code), "") << std::hex << code;
    }
}

namespace {
// The argument-list form, called the way the logger and the host transport call it.
std::string FormatThroughArgumentList(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatThroughArgumentList(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = FormatV(format, args);
    va_end(args);
    return text;
}
} // namespace

TEST(TextHelpers, FormatTextAndFormatVWriteTextsOfAnyLength) {
    const std::string big(70000, 'z');
    struct Case {
        std::string viaText;
        std::string viaArguments;
        std::string expected;
    };
    const Case cases[] = {
        {FormatText("Failed to initialize Pipe Server. Interface return code: %d.", 5),
         FormatThroughArgumentList("Failed to initialize Pipe Server. Interface return code: %d.", 5),
         "Failed to initialize Pipe Server. Interface return code: 5."},
        {FormatText("<%s>", big.c_str()), FormatThroughArgumentList("<%s>", big.c_str()), "<" + big + ">"},
        {FormatText("%s", ""), FormatThroughArgumentList("%s", ""), ""},
        {FormatText("%s|%d|%s", "a", -7, "b"), FormatThroughArgumentList("%s|%d|%s", "a", -7, "b"), "a|-7|b"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.viaText, c.expected);
        EXPECT_EQ(c.viaArguments, c.expected);
    }
}

TEST(TextHelpers, LeadingIntReadsAsTheCLibraryAndHoldsAtTheRange) {
    struct Case {
        std::string text;
        int64_t wide;
        int narrow;
    };
    const Case cases[] = {
        {"", 0, 0},
        {"abc", 0, 0},
        {"42", 42, 42},
        {"  \t\n-17xyz", -17, -17},
        {"+8", 8, 8},
        {"- 5", 0, 0},
        {"007", 7, 7},
        {"12.50", 12, 12},
        {"2147483648", 2147483648LL, INT_MAX},
        {"-2147483649", -2147483649LL, INT_MIN},
        {"9223372036854775807", INT64_MAX, INT_MAX},
        {"99999999999999999999999", INT64_MAX, INT_MAX},
        {"-99999999999999999999999", INT64_MIN, INT_MIN},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(LeadingInt64(c.text), c.wide) << c.text;
        EXPECT_EQ(LeadingInt(c.text), c.narrow) << c.text;
    }
}
