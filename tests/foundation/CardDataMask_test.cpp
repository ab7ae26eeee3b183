#include "foundation/CardDataMask.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {
const std::string fs(1, 0x1C);
const std::string etx(1, 0x03);
const std::string stx(1, 0x02);

struct SCase {
    std::string in;
    std::string out;
};

void ExpectMasked(const std::vector<SCase>& cases) {
    for (const SCase& c : cases) {
        EXPECT_EQ(MaskCardData(c.in), c.out) << c.in;
    }
}
} // namespace

TEST(CardDataMask, RequestFieldsKeepOnlyTheLastFourOfTheAccount) {
    ExpectMasked({
        {"TranCode=Sale" + fs + "AcctNo=6011000000000012" + fs + "Purchase=1.00",
         "TranCode=Sale" + fs + "AcctNo=XXXXXXXXXXXX0012" + fs + "Purchase=1.00"},
        {"AcctNo=6011000000000012" + fs + "ExpDate=1225" + fs + "CVVData=123",
         "AcctNo=XXXXXXXXXXXX0012" + fs + "ExpDate=XXXX" + fs + "CVVData=XXX"},
        {"Track2=6011000000000012=25121010" + fs + "X=1", "Track2=XXXXXXXXXXXX0012=XXXXXXXX" + fs + "X=1"},
        {"Track2=60110000" + fs + "ExpDate=1225", "Track2=XXXX0000" + fs + "ExpDate=1225"},
        // A card field at the end of the text is masked all the same.
        {"TranCode=Sale" + fs + "AcctNo=6011000000000012", "TranCode=Sale" + fs + "AcctNo=XXXXXXXXXXXX0012"},
        {"Track2=6011000000000012=2512", "Track2=XXXXXXXXXXXX0012=XXXX"},
        // Beside a track the account is masked all the same; the expiry date is left to the track rule.
        {"Track2=6011000000000012=2512" + fs + "AcctNo=6011000000000012" + fs + "ExpDate=1225",
         "Track2=XXXXXXXXXXXX0012=XXXX" + fs + "AcctNo=XXXXXXXXXXXX0012" + fs + "ExpDate=1225"},
        {"AcctNo=123" + fs + "CVVData=", "AcctNo=123" + fs + "CVVData="},
        {"TranCode=Balance", "TranCode=Balance"},
    });
}

TEST(CardDataMask, EveryOccurrenceOfAKeyIsMasked) {
    // The parser keeps the last of two keys: the log must not show either.
    ExpectMasked({
        {"AcctNo=1111" + fs + "AcctNo=6011000000000012" + fs + "CVVData=123" + fs + "CVVData=456",
         "AcctNo=1111" + fs + "AcctNo=XXXXXXXXXXXX0012" + fs + "CVVData=XXX" + fs + "CVVData=XXX"},
        {"Track2=4000=1" + fs + "Track2=6011000000000012=2512999",
         "Track2=4000=X" + fs + "Track2=XXXXXXXXXXXX0012=XXXXXXX"},
        {"ExpDate=1225" + fs + "ExpDate=0130", "ExpDate=XXXX" + fs + "ExpDate=XXXX"},
    });
}

TEST(CardDataMask, HostMessageAndAnswerFieldsAreMasked) {
    ExpectMasked({
        // A keyed host message: field "70" is the account.
        {"SV.MERCH" + fs + "400200" + fs + "12101500" + fs + "1303142024" + fs + "706011000000000012" + fs + "04" +
             "1000",
         "SV.MERCH" + fs + "400200" + fs + "12101500" + fs + "1303142024" + fs + "70XXXXXXXXXXXX0012" + fs + "04" +
             "1000"},
        // A swiped one: field "35" is the track.
        {"SV.M" + fs + "356011000000000012=2512101" + fs + "C0840",
         "SV.M" + fs + "35XXXXXXXXXXXX0012=XXXXXXX" + fs + "C0840"},
        // An answer, its first field at the start of the text and fields ended by ETX; a dial frame after STX.
        {"706011000000000012" + fs + "3900" + etx, "70XXXXXXXXXXXX0012" + fs + "3900" + etx},
        {stx + "706011000000000012" + etx, stx + "70XXXXXXXXXXXX0012" + etx},
        // Other fields that start with the same digits elsewhere stay.
        {"3900" + fs + "751234" + fs + "76700", "3900" + fs + "751234" + fs + "76700"},
    });
}

TEST(CardDataMask, ReplyElementsDerivedFromTheAccountAreMasked) {
    // RefNo carries the first twelve digits, VLinkRefNo the last four: together the whole number.
    ExpectMasked({
        {"<AcctNo>XXXXXXXXXXXX0012</AcctNo>\r\n<RefNo>601100000000****</RefNo>\r\n<VLinkRefNo>************0012</"
         "VLinkRefNo>",
         "<AcctNo>XXXXXXXXXXXX0012</AcctNo>\r\n<RefNo>XXXXXXXXXXXX****</RefNo>\r\n<VLinkRefNo>************0012</"
         "VLinkRefNo>"},
        // A request echoed as the trace data of a plain reply.
        {"<UserTraceData>AcctNo=6011000000000012</UserTraceData>",
         "<UserTraceData>AcctNo=XXXXXXXXXXXX0012</UserTraceData>"},
    });
}

TEST(CardDataMask, AnyLongRunOfDigitsIsMaskedWhereNoRuleNamesIt) {
    ExpectMasked({
        {"Refused [6011000000000012]", "Refused [XXXXXXXXXXXX0012]"},
        {"Memo=6011000000000012 paid", "Memo=XXXXXXXXXXXX0012 paid"},
        // Twelve digits are no card number.
        {"Invoice 123456789012", "Invoice 123456789012"},
        {"", ""},
    });
}
