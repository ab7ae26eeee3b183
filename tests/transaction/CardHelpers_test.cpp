#include "transaction/CardHelpers.h"

#include <string>

#include <gtest/gtest.h>

#include "foundation/SharedConstants.h"

TEST(CardHelpers, NormalizeAmountKeepsOnlyTheDigits) {
    struct SCase {
        std::string Text;
        bool ThreeDecimals;
        std::string Expected;
    };
    const SCase cases[] = {
        {"12.34", false, "1234"}, {"-12.34", false, "1234"}, {"+0.05", false, "005"}, {"", false, "00"},
        {"", true, "000"},        {"1.234", true, "1234"},   {"100", false, "100"},   {"1-2.3+4", false, "1234"},
    };
    for (const SCase& c : cases) {
        EXPECT_EQ(NormalizeAmount(c.Text, c.ThreeDecimals), c.Expected) << "'" << c.Text << "'";
    }
    EXPECT_EQ(NormalizeAmount(""), "00");
    EXPECT_EQ(NormalizeAmount("0.00"), "000");
}

TEST(CardHelpers, TranCodeNameMapsTheSupportedNumbers) {
    struct SCase {
        int Number;
        const std::string& Expected;
    };
    const SCase cases[] = {
        {60, kTranCodeIssue},   {61, kTranCodeVoidIssue}, {62, kTranCodeSale},       {63, kTranCodeReturn},
        {64, kTranCodeReload},  {65, kTranCodeVoidSale},  {66, kTranCodeVoidReturn}, {67, kTranCodeVoidReload},
        {68, kTranCodeBalance}, {69, kTranCodeNoNSFSale}, {70, kTranCodeCashOut},
    };
    for (const SCase& c : cases) {
        EXPECT_EQ(TranCodeName(c.Number), c.Expected) << c.Number;
    }
    EXPECT_EQ(TranCodeName(62), "Sale");
    for (int number : {50, 59, 71, 0, -62}) {
        EXPECT_EQ(TranCodeName(number), "INVALID") << number;
    }
}

TEST(CardHelpers, PadRightGivesExactlyTheWidth) {
    struct SCase {
        std::string Text;
        int Width;
        std::string Expected;
    };
    const SCase cases[] = {
        {"", 8, "        "},    {"0123456789", 8, "01234567"},
        {"OP1", 8, "OP1     "}, {"12345678", 8, "12345678"},
        {"abc", 0, ""},         {"abc", -3, ""},
    };
    for (const SCase& c : cases) {
        EXPECT_EQ(PadRight(c.Text, c.Width), c.Expected) << "'" << c.Text << "' " << c.Width;
    }
}

TEST(CardHelpers, TailFromAndIntToText) {
    EXPECT_EQ(TailFrom("abcdef", 0), "abcdef");
    EXPECT_EQ(TailFrom("abcdef", 4), "ef");
    EXPECT_EQ(TailFrom("abcdef", 6), "");
    EXPECT_EQ(TailFrom("abcdef", 60), "");
    EXPECT_EQ(TailFrom("", 0), "");
    EXPECT_EQ(IntToText(-7), "-7");
    EXPECT_EQ(IntToText(123456), "123456");
    EXPECT_TRUE(IsAllDigits("0123"));
    EXPECT_FALSE(IsAllDigits("01a3"));
    EXPECT_TRUE(IsAllDigits(""));
}

TEST(CardHelpers, LuhnCheckFailsWhenTheLastDigitIsRaised) {
    for (const std::string number :
         {"4111111111111111", "79927398713", "378282246310005", "6011111111111117", "0", "18", "5555555555554444"}) {
        EXPECT_TRUE(LuhnCheck(number)) << number;
        std::string raised = number;
        raised.back() = raised.back() == '9' ? '0' : static_cast<char>(raised.back() + 1);
        EXPECT_FALSE(LuhnCheck(raised)) << raised;
    }
    EXPECT_FALSE(LuhnCheck(""));
    EXPECT_FALSE(LuhnCheck("4111111111111112"));
}

TEST(CardHelpers, GetCardTypeClassifiesByPrefixAndLength) {
    struct SCase {
        std::string Number;
        const std::string& Name;
        char Letter;
        int Flag;
    };
    const SCase cases[] = {
        {"", kCardTypeOTHER, 'O', 1},
        {"180012345678901", kCardTypeJCB, 'J', 1},
        {"18001234567890", kCardTypeOTHER, 'O', 1},
        {"213112345678901", kCardTypeJCB, 'J', 1},
        {"213212345678901", kCardTypeOTHER, 'O', 1},
        {"341234567890123", kCardTypeAMEX, 'O', 1},
        {"371234567890123", kCardTypeAMEX, 'O', 1},
        {"351234567890123", kCardTypeOTHER, 'O', 1},
        {"30123456789012", kCardTypeDCLB, 'O', 1},
        {"38123456789012", kCardTypeDCLB, 'O', 1},
        {"36123456789012", kCardTypeMC, 'O', 1},
        {"3530123456789012", kCardTypeJCB, 'O', 1},
        {"3528123456789012", kCardTypeJCB, 'O', 1},
        {"3589123456789012", kCardTypeJCB, 'O', 1},
        {"3590123456789012", kCardTypeOTHER, 'O', 1},
        {"3527123456789012", kCardTypeOTHER, 'O', 1},
        {"4123456789012", kCardTypeVISA, 'V', 0},
        {"4111111111111111", kCardTypeVISA, 'V', 0},
        {"4123456789012345678", kCardTypeVISA, 'V', 0},
        {"411111111111111", kCardTypeOTHER, 'O', 1},
        {"5555555555554444", kCardTypeMC, 'M', 0},
        {"555555555555444", kCardTypeOTHER, 'O', 1},
        {"6011111111111117", kCardTypeDCVR, 'D', 1},
        {"6512345678901234", kCardTypeDCVR, 'D', 1},
        {"6612345678901234", kCardTypeOTHER, 'O', 1},
        {"6900461234567890123", kCardTypeWEX, 'W', 1},
        {"6900471234567890123", kCardTypeOTHER, 'O', 1},
        {"7088123456789012345", kCardTypeVOYAGER, 'V', 1},
        {"7089123456789012345", kCardTypeOTHER, 'O', 1},
        {"8112345678901", kCardTypeDCLB, 'C', 1},
        {"8212345678901", kCardTypeOTHER, 'O', 1},
        {"9123456789012345", kCardTypeOTHER, 'O', 1},
        {"X123456789012345", kCardTypeOTHER, 'O', 1},
    };
    for (const SCase& c : cases) {
        const SCardType card = GetCardType(c.Number);
        EXPECT_EQ(card.Name, c.Name) << c.Number;
        EXPECT_EQ(card.Letter, c.Letter) << c.Number;
        EXPECT_EQ(card.Flag, c.Flag) << c.Number;
    }
}
