// The simulated card host on its own: the message format it accepts and the account rules it answers by, so
// that the end-to-end tests can trust what it says about the server's messages.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "peers/CardHost.h"

namespace {
constexpr char kFs = 0x1C;
const std::string kMid = "MERCH000001";
const std::string kAlt = "ALTMID00001";
const std::string kCard = "6006491234567890";

// A message as the server writes it: type, then account field, optional amount and tail fields.
std::string Message(const std::string& type, const std::string& amount, const std::string& time = "101112",
                    const std::string& extra = "", const std::string& accountField = "70" + kCard) {
    std::vector<CHostField> fields = {
        {"40", type},          {"12", time}, {"13", "03042025"}, {accountField.substr(0, 2), accountField.substr(2)},
        {"42", kMid + "0042"}, {"44", kAlt}, {"62", "OP      "}};
    if (!amount.empty()) {
        fields.push_back({"04", amount});
    }
    fields.push_back({"C0", "840"});
    std::string text = JoinHostFields("SV." + kMid, fields);
    return text + extra;
}

std::string Field(const std::string& answer, const std::string& code) {
    size_t start = 0;
    for (;;) {
        const size_t end = answer.find(kFs, start);
        const std::string token = answer.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (token.rfind(code, 0) == 0) {
            return token.substr(code.size());
        }
        if (end == std::string::npos) {
            return "<none>";
        }
        start = end + 1;
    }
}

struct FormatCase {
    const char* name;
    std::string text;
    bool wellFormed;
};

TEST(EndToEndCardHost, AcceptsOnlyTheServersMessageFormat) {
    const std::string fs(1, kFs);
    const std::vector<FormatCase> cases = {
        {"keyed sale", Message(kMsgSale, "1000"), true},
        {"swiped sale", Message(kMsgSale, "1000", "101112", "", "35" + kCard + "=2512101"), true},
        {"balance without amount", Message(kMsgBalance, ""), true},
        {"cash out without amount", Message(kMsgCashOut, ""), true},
        {"reversal of a sale", Message(kMsgReversal, "1000") + fs + "F60200", true},
        {"reversal of a balance", Message(kMsgReversal, "") + fs + "F6", true},
        {"sale without amount", Message(kMsgSale, ""), false},
        {"balance with amount", Message(kMsgBalance, "100"), false},
        {"trailing FS", Message(kMsgSale, "1000") + fs, false},
        {"reversal without F6", Message(kMsgReversal, "1000"), false},
        {"F6 outside a reversal", Message(kMsgSale, "1000") + fs + "F60200", false},
        {"unknown type", Message("0999", "1000"), false},
        {"bad time", Message(kMsgSale, "1000", "256000"), false},
        {"amount with a point", Message(kMsgSale, "10.00"), false},
        {"no SV. prefix", Message(kMsgSale, "1000").substr(3), false},
    };
    for (const FormatCase& c : cases) {
        CHostRequestMessage message;
        std::string problem;
        EXPECT_EQ(CHostRequestMessage::Decode(c.text, &message, &problem), c.wellFormed) << c.name << ": " << problem;
    }
}

TEST(EndToEndCardHost, OperatorFieldMustBeEightCharactersAndInvoiceDigits) {
    const std::string good = Message(kMsgSale, "1000");
    std::string shortOperator = good;
    shortOperator.replace(shortOperator.find("62OP      "), 10, "62OP");
    CHostRequestMessage message;
    std::string problem;
    EXPECT_FALSE(CHostRequestMessage::Decode(shortOperator, &message, &problem));
    std::string letterInvoice = good;
    letterInvoice.insert(letterInvoice.find(std::string(1, kFs) + "04"), std::string(1, kFs) + "1512A4");
    EXPECT_FALSE(CHostRequestMessage::Decode(letterInvoice, &message, &problem));
}

TEST(EndToEndCardHost, AccountRulesOfEachMessageType) {
    CCardHost host;
    auto answer = [&](const std::string& type, const std::string& amount, const std::string& time = "101112") {
        return host.Answer(Message(type, amount, time), 0, 0);
    };
    std::string a = answer(kMsgIssue, "5000", "090000");
    EXPECT_EQ(Field(a, "39"), "00");
    EXPECT_EQ(Field(a, "76"), "5000");
    EXPECT_EQ(Field(a, "70"), kCard);
    EXPECT_EQ(Field(answer(kMsgIssue, "100"), "39"), kHostAlreadyActive);

    a = answer(kMsgSale, "6000");
    EXPECT_EQ(Field(a, "39"), kHostInsufficientFunds);
    EXPECT_EQ(Field(a, "76"), "5000");
    a = answer(kMsgSale, "1250", "090100");
    EXPECT_EQ(Field(a, "39"), "00");
    EXPECT_EQ(Field(a, "75"), "5000");
    EXPECT_EQ(Field(a, "76"), "3750");
    EXPECT_NE(Field(a, "38"), "<none>");

    a = answer(kMsgNoNsfSale, "9999");
    EXPECT_EQ(Field(a, "39"), "00");
    EXPECT_EQ(Field(a, "76"), "0");
    EXPECT_EQ(Field(answer(kMsgNoNsfSale, "100"), "39"), kHostInsufficientFunds);

    a = answer(kMsgAdd, "2000", "090200");
    EXPECT_EQ(Field(a, "76"), "2000");
    a = answer(kMsgVoidAdd, "2000");
    EXPECT_EQ(Field(a, "39"), "00");
    EXPECT_EQ(Field(a, "76"), "0");
    EXPECT_EQ(Field(answer(kMsgVoidAdd, "2000"), "39"), kHostNoPreviousTransaction);

    EXPECT_EQ(Field(answer(kMsgAdd, "800", "090300"), "76"), "800");
    a = answer(kMsgCashOut, "");
    EXPECT_EQ(Field(a, "75"), "800");
    EXPECT_EQ(Field(a, "76"), "0");
    a = answer(kMsgBalance, "");
    EXPECT_EQ(Field(a, "39"), "00");
    EXPECT_EQ(Field(a, "76"), "0");
    EXPECT_EQ(host.Balance(kCard), 0);
    EXPECT_TRUE(host.Problems().empty());
}

TEST(EndToEndCardHost, VoidSaleAndReversalUndoTheirTransaction) {
    CCardHost host;
    host.AddCard(kCard, 10000);
    host.Answer(Message(kMsgSale, "3000", "120000"), 0, 0);
    host.Answer(Message(kMsgSale, "1000", "120001"), 0, 0);
    EXPECT_EQ(host.Balance(kCard), 6000);

    // The reversal names the second sale by its time; the void then finds the first by its amount.
    const std::string fs(1, kFs);
    std::string a = host.Answer(Message(kMsgReversal, "1000", "120001") + fs + "F60200", 0, 0);
    EXPECT_EQ(Field(a, "39"), "00");
    EXPECT_EQ(host.Balance(kCard), 7000);
    a = host.Answer(Message(kMsgReversal, "1000", "120001") + fs + "F60200", 0, 0);
    EXPECT_EQ(Field(a, "39"), kHostAlreadyReversed);
    EXPECT_EQ(host.Balance(kCard), 7000);
    a = host.Answer(Message(kMsgVoidSale, "3000"), 0, 0);
    EXPECT_EQ(Field(a, "39"), "00");
    EXPECT_EQ(host.Balance(kCard), 10000);

    // A reversal of something the host never applied changes nothing.
    a = host.Answer(Message(kMsgReversal, "500", "130000") + fs + "F60200", 0, 0);
    EXPECT_EQ(Field(a, "39"), "00");
    EXPECT_EQ(host.Balance(kCard), 10000);
}

TEST(EndToEndCardHost, ReversingAnIssueDeactivatesTheCardAndVoidIssueNeedsNoLaterActivity) {
    CCardHost host;
    const std::string fs(1, kFs);
    host.Answer(Message(kMsgIssue, "2500", "080000"), 0, 0);
    host.Answer(Message(kMsgReversal, "2500", "080000") + fs + "F60100", 0, 0);
    ASSERT_TRUE(host.Card(kCard).has_value());
    EXPECT_FALSE(host.Card(kCard)->active);
    EXPECT_EQ(Field(host.Answer(Message(kMsgSale, "100"), 0, 0), "39"), kHostInactiveAccount);

    host.Answer(Message(kMsgIssue, "2500", "080100"), 0, 0);
    host.Answer(Message(kMsgSale, "500", "080200"), 0, 0);
    EXPECT_EQ(Field(host.Answer(Message(kMsgVoidIssue, "2500"), 0, 0), "39"), kHostVoidAfterActivity);
    host.Answer(Message(kMsgVoidSale, "500"), 0, 0);
    EXPECT_EQ(Field(host.Answer(Message(kMsgVoidIssue, "2500"), 0, 0), "39"), "00");
    EXPECT_FALSE(host.Card(kCard)->active);
    EXPECT_EQ(host.Balance(kCard), 0);
}

TEST(EndToEndCardHost, MalformedMessageIsAnsweredWithBadFormatAndRecorded) {
    CCardHost host;
    const std::string a = host.Answer(Message(kMsgSale, ""), 2, 77);
    EXPECT_EQ(Field(a, "39"), kHostBadFormat);
    ASSERT_EQ(host.Problems().size(), 1u);
    const auto exchanges = host.Exchanges();
    ASSERT_EQ(exchanges.size(), 1u);
    EXPECT_FALSE(exchanges[0].wellFormed);
    EXPECT_EQ(exchanges[0].provider, 2);
    EXPECT_EQ(exchanges[0].receivedTickMs, 77u);
}

} // namespace
