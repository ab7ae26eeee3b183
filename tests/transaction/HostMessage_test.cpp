#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/SampleTransaction.h"
#include "common/ScopedTimeZone.h"
#include "common/TempDirTest.h"
#include "common/TestClock.h"
#include "platform/ProcessEvents.h"
#include "transaction/HostMessage.h"
#include "transaction/Transaction.h"
#include "transaction/TransactionTestSupport.h"

using testsupport::kFS;

namespace {

const std::string kETX(1, kCharETX);

// 5 March 2024, 23:59:50 UTC: ten seconds before midnight, so a reversal 36 seconds later lives on the next day.
std::chrono::system_clock::time_point StartWall() {
    return std::chrono::system_clock::time_point(std::chrono::seconds(1709683190));
}

std::string Join(const std::vector<std::string>& fields) {
    std::string text;
    for (size_t i = 0; i < fields.size(); ++i) {
        text += (i > 0 ? kFS : "") + fields[i];
    }
    return text;
}

class HostMessageTest : public TempDirTest {
protected:
    void SetUp() override {
        testsupport::SetMerchantParams("12345678901", "10987654321", "0001", "9");
        g_ShutdownEvent.Reset();
    }
    void TearDown() override { g_ShutdownEvent.Reset(); }

    // A validated keyed Sale as the request parser leaves it.
    static CTransaction KeyedSale() {
        CTransaction transaction = SampleTransaction(kTranNumSale, "6001234567890123", "1234");
        transaction.m_OperatorID = "CLERK7";
        transaction.m_InvoiceNo = "100234";
        transaction.m_RefNo = "REF-55 A";
        return transaction;
    }

    // What the reversal worker makes of |original|.
    static CTransaction ReversalOf(const CTransaction& original) {
        CTransaction reversal = original;
        reversal.m_OrigTranCode = original.m_TranCode;
        reversal.m_TranCode = kTranNumReversal;
        return reversal;
    }

    // Host times are local times; the tests read them in UTC.
    CScopedTimeZone m_Utc{"UTC"};
    CTestClock m_Clock{1000000, StartWall()};
    CScopedClock m_Scoped{m_Clock};
};

TEST_F(HostMessageTest, KeyedSaleCarriesEveryFieldInOrder) {
    CTransaction sale = KeyedSale();
    ASSERT_TRUE(sale.BuildHostRequest());
    EXPECT_EQ(sale.m_HostRequest,
              Join({"SV.12345678901", "400200", "12235950", "1303052024", "706001234567890123", "42123456789010001",
                    "4410987654321", "62CLERK7  ", "15100234", "041234", "C0840"}));
    EXPECT_EQ(sale.m_HostTime, "235950");
    EXPECT_EQ(sale.m_HostDate, "03052024");
}

TEST_F(HostMessageTest, OptionalFieldsFollowTheirRules) {
    struct SCase {
        const char* Name;
        int TranCode;
        const char* Type; // field "40"
        bool Swiped;
        std::string Operator;
        std::string Invoice;
        std::string RefNo;
        std::vector<std::string> Expected; // fields from "62" on
    };
    const SCase cases[] = {
        {"invoice with a letter is left out",
         kTranNumSale,
         "0200",
         false,
         "CLERK7",
         "1002A4",
         "1",
         {"62CLERK7  ", "041234"}},
        {"empty invoice is left out", kTranNumSale, "0200", false, "CLERK7", "", "1", {"62CLERK7  ", "041234"}},
        {"empty operator is eight blanks", kTranNumSale, "0200", false, "", "7", "1", {"62        ", "157", "041234"}},
        {"long operator keeps its last eight",
         kTranNumSale,
         "0200",
         false,
         "ABCDEFGHIJ",
         "7",
         "1",
         {"62CDEFGHIJ", "157", "041234"}},
        {"Issue carries the RefNo letters and digits",
         kTranNumIssue,
         "0100",
         false,
         "OP",
         "7",
         "R-1 b/2",
         {"62OP      ", "157", "08R1b2", "041234"}},
        {"Issue without RefNo letters has no 08",
         kTranNumIssue,
         "0100",
         false,
         "OP",
         "7",
         "-- /",
         {"62OP      ", "157", "041234"}},
        {"Sale never carries 08", kTranNumSale, "0200", false, "OP", "7", "R1", {"62OP      ", "157", "041234"}},
        {"Balance carries no amount", kTranNumBalance, "0400", false, "OP", "7", "R1", {"62OP      ", "157"}},
        {"CashOut carries no amount", kTranNumCashOut, "0600", false, "OP", "7", "R1", {"62OP      ", "157"}},
        {"NoNSFSale carries the amount",
         kTranNumNoNSFSale,
         "0202",
         false,
         "OP",
         "7",
         "R1",
         {"62OP      ", "157", "041234"}},
        {"VoidIssue carries the amount but no 08",
         kTranNumVoidIssue,
         "0802",
         false,
         "OP",
         "7",
         "R1",
         {"62OP      ", "157", "041234"}},
        {"Return", kTranNumReturn, "0300", false, "OP", "7", "R1", {"62OP      ", "157", "041234"}},
        {"Reload", kTranNumReload, "0300", false, "OP", "7", "R1", {"62OP      ", "157", "041234"}},
        {"VoidSale", kTranNumVoidSale, "0800", false, "OP", "7", "R1", {"62OP      ", "157", "041234"}},
        {"VoidReturn", kTranNumVoidReturn, "0801", false, "OP", "7", "R1", {"62OP      ", "157", "041234"}},
        {"VoidReload", kTranNumVoidReload, "0801", false, "OP", "7", "R1", {"62OP      ", "157", "041234"}},
        {"swiped Issue sends the track",
         kTranNumIssue,
         "0100",
         true,
         "OP",
         "7",
         "R1",
         {"62OP      ", "157", "08R1", "041234"}},
        {"swiped Balance", kTranNumBalance, "0400", true, "OP", "", "R1", {"62OP      "}},
    };
    for (const SCase& c : cases) {
        CTransaction transaction = KeyedSale();
        transaction.m_TranCode = c.TranCode;
        transaction.m_OperatorID = c.Operator;
        transaction.m_InvoiceNo = c.Invoice;
        transaction.m_RefNo = c.RefNo;
        if (c.Swiped) {
            transaction.m_Swiped = true;
            transaction.m_Track2 = "6001234567890123=2512101";
        }
        ASSERT_TRUE(transaction.BuildHostRequest());
        std::vector<std::string> expected = {"SV.12345678901",
                                             std::string("40") + c.Type,
                                             "12235950",
                                             "1303052024",
                                             c.Swiped ? "356001234567890123=2512101" : "706001234567890123",
                                             "42123456789010001",
                                             "4410987654321"};
        expected.insert(expected.end(), c.Expected.begin(), c.Expected.end());
        expected.push_back("C0840");
        EXPECT_EQ(transaction.m_HostRequest, Join(expected)) << c.Name;
    }
}

TEST_F(HostMessageTest, SwipedCardSendsTheWholeTrack) {
    CTransaction transaction = KeyedSale();
    transaction.m_Swiped = true;
    transaction.m_Track2 = "6001234567890123=2512101";
    ASSERT_TRUE(transaction.BuildHostRequest());
    EXPECT_NE(transaction.m_HostRequest.find(kFS + "356001234567890123=2512101" + kFS), std::string::npos);
    EXPECT_EQ(transaction.m_HostRequest.find(kFS + "70"), std::string::npos);
}

TEST_F(HostMessageTest, MessageTypesAndCurrencyFieldsFollowTheirTables) {
    const std::pair<int, const char*> types[] = {{50, "0704"}, {60, "0100"}, {61, "0802"}, {62, "0200"}, {63, "0300"},
                                                 {64, "0300"}, {65, "0800"}, {66, "0801"}, {67, "0801"}, {68, "0400"},
                                                 {69, "0202"}, {70, "0600"}, {0, "0400"},  {71, "0400"}};
    for (const auto& [code, type] : types) {
        EXPECT_EQ(HostMessageType(code), type) << code;
    }
    const std::pair<const char*, const char*> currencies[] = {
        {"0", "C0840"},  {"1", "C0124"},  {"2", "C00"},    {"3", "C0036"},  {"4", "C0826"},
        {"5", "C0978"},  {"9", "C0840"},  {"", "C0840"},   {"x", "C0840"},  {"05", "C0978"},
        {"3x", "C0036"}, {" 4", "C0826"}, {"-1", "C0840"}, {"+1", "C0124"}, {"10", "C0840"}};
    for (const auto& [parameter, field] : currencies) {
        testsupport::SetMerchantParams("12345678901", "10987654321", "0001", parameter);
        CTransaction transaction = KeyedSale();
        ASSERT_TRUE(transaction.BuildHostRequest());
        const std::string& message = transaction.m_HostRequest;
        EXPECT_EQ(message.substr(message.rfind(kCharFS) + 1), field) << "'" << parameter << "'";
    }
}

TEST_F(HostMessageTest, ReversalWaitsOutTheHoldAndSendsTheOriginalTime) {
    struct SCase {
        int TranCode;
        const char* F6;
        bool HasAmount;
        bool HasRefNo;
    };
    const SCase cases[] = {{kTranNumSale, "F60200", true, false},
                           {kTranNumIssue, "F60100", true, true},
                           {kTranNumBalance, "F6", false, false},
                           {kTranNumCashOut, "F60600", false, false},
                           {kTranNumVoidSale, "F60800", true, false},
                           {kTranNumNoNSFSale, "F60202", true, false},
                           // Outside 60..70 the F6 field carries no type, though "40" reads 0400 for such a number.
                           {71, "F6", true, false}};
    m_Clock.SetHeldSleep(CTestClock::HeldSleep::Advances);
    for (const SCase& c : cases) {
        CTransaction original = KeyedSale();
        original.m_TranCode = c.TranCode;
        ASSERT_TRUE(original.BuildHostRequest());
        if (c.TranCode == kTranNumSale) {
            ASSERT_EQ(original.m_HostDate, "03052024"); // ten seconds before midnight; the reversal runs after it
        }
        const std::string time = original.m_HostTime;
        const std::string date = original.m_HostDate;

        CTransaction reversal = ReversalOf(original);
        const uint64_t before = m_Clock.TickMs();
        ASSERT_TRUE(reversal.BuildHostRequest());
        const uint64_t waited = m_Clock.TickMs() - before;
        // The original was created when the hold started: more than 35 whole seconds means 36.
        EXPECT_GE(waited, 36000u) << c.TranCode;
        EXPECT_LE(waited, 36100u) << c.TranCode;
        EXPECT_GE(reversal.SecondsSinceCreated(), 36) << c.TranCode;

        const std::string& message = reversal.m_HostRequest;
        EXPECT_EQ(message.substr(0, 22), "SV.12345678901" + kFS + "400704" + kFS) << c.TranCode;
        EXPECT_NE(message.find(kFS + "12" + time + kFS + "13" + date + kFS), std::string::npos) << c.TranCode;
        EXPECT_EQ(message.substr(message.rfind(kCharFS) + 1), c.F6) << c.TranCode;
        EXPECT_EQ(message.find(kFS + "041234") != std::string::npos, c.HasAmount) << c.TranCode;
        EXPECT_EQ(message.find(kFS + "08REF55A") != std::string::npos, c.HasRefNo) << c.TranCode;
        // The reversal keeps the time it sends; the next day's clock changes nothing.
        EXPECT_EQ(reversal.m_HostTime, time);
        EXPECT_EQ(reversal.m_HostDate, date);
        m_Clock.Advance(3600 * 1000);
    }
}

TEST_F(HostMessageTest, HoldCountsFromTheReversedTransactionsCreation) {
    // Created 36 s ago: out at once. Created 20 s ago: only the remaining 16 s are waited.
    CTransaction old = ReversalOf(KeyedSale());
    m_Clock.Advance(36000);
    uint64_t before = m_Clock.TickMs();
    ASSERT_TRUE(old.BuildHostRequest());
    EXPECT_EQ(m_Clock.TickMs(), before);

    CTransaction recent = ReversalOf(KeyedSale());
    m_Clock.Advance(20000);
    m_Clock.SetHeldSleep(CTestClock::HeldSleep::Advances);
    before = m_Clock.TickMs();
    ASSERT_TRUE(recent.BuildHostRequest());
    EXPECT_GE(m_Clock.TickMs() - before, 16000u);
    EXPECT_LE(m_Clock.TickMs() - before, 16100u);
}

TEST_F(HostMessageTest, ShutdownEndsTheReversalHold) {
    CTransaction reversal = ReversalOf(KeyedSale());
    reversal.m_HostRequest = "kept";
    g_ShutdownEvent.Set();
    m_Clock.SetHeldSleep(CTestClock::HeldSleep::Advances);
    EXPECT_FALSE(reversal.BuildHostRequest());
    EXPECT_EQ(reversal.m_HostRequest, "kept");
}

TEST_F(HostMessageTest, ShutdownDuringTheHoldFromAnotherThreadEndsIt) {
    CTransaction reversal = ReversalOf(KeyedSale());
    std::atomic<bool> done{false};
    bool built = true;
    std::thread worker([&] {
        built = reversal.BuildHostRequest();
        done = true;
    });
    m_Clock.Advance(10000);
    g_ShutdownEvent.Set();
    // Keep moving the manual time until the worker wakes from its step and sees the event; well before the
    // hold would have ended by itself.
    for (int step = 0; step < 200 && !done; ++step) {
        m_Clock.Advance(100);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    worker.join();
    EXPECT_FALSE(built);
}

TEST_F(HostMessageTest, WallClockSetBackDoesNotHoldAReversalForever) {
    CTransaction reversal = ReversalOf(KeyedSale());
    reversal.m_Created += 3600 * 1000; // created "an hour from now": the wall clock went back
    m_Clock.SetHeldSleep(CTestClock::HeldSleep::Advances);
    const uint64_t before = m_Clock.TickMs();
    ASSERT_TRUE(reversal.BuildHostRequest());
    EXPECT_LE(m_Clock.TickMs() - before, 36100u);
}

// ---- the host's answer ----

CTransaction Answered(int tranCode, const std::string& response) {
    CTransaction transaction;
    transaction.m_TranCode = tranCode;
    transaction.m_Authorize = "1234";
    transaction.m_HostResponse = response;
    transaction.ParseHostResponse();
    return transaction;
}

TEST_F(HostMessageTest, ApprovedAnswerFillsTheHostBlock) {
    const CTransaction sale =
        Answered(kTranNumSale, Join({"SV.12345678901", "3900", "38A1B2C3", "706001234567890123", "761250"}) + kETX);
    EXPECT_TRUE(sale.m_Approved);
    EXPECT_TRUE(sale.m_Captured);
    EXPECT_EQ(sale.m_HostAuthCode, "A1B2C3");
    EXPECT_EQ(sale.m_HostVLinkRefNo, "************0123");
    EXPECT_EQ(sale.m_HostRefNo, "600123456789****");
    EXPECT_EQ(sale.m_ResponseText, "");
    EXPECT_EQ(sale.m_Balance, "12.50");
    EXPECT_EQ(sale.m_Authorize, "1234");
    EXPECT_EQ(sale.m_IssueCurrency, "");
    // Plain crypt mode: the reply is the framed empty text.
    EXPECT_EQ(sale.m_Reply, kFS + "000" + std::string(1, kCharSTX) + kETX);
}

TEST_F(HostMessageTest, DeclinesCarryTheResponseCodeText) {
    struct SCase {
        std::string Response;
        std::string Text;
    };
    const SCase cases[] = {
        {Join({"SV.1", "3905", "761250"}), "05:EXPIRED CARD"},
        {Join({"SV.1", "3913"}), "13:UNKNOWN RESPONSE CODE"},
        {Join({"SV.1", "761250"}), "00:UNKNOWN RESPONSE CODE"},
        {Join({"SV.1", "39"}), "00:UNKNOWN RESPONSE CODE"},
        {Join({"SV.1", "3901", "3900"}), "01:INSUFFICIENT FUNDS"}, // the first "39" counts
        {Join({"SV.1", "39x7"}), "00:UNKNOWN RESPONSE CODE"},
        {Join({"SV.1", "3999999999999999999999"}), "2147483647:UNKNOWN RESPONSE CODE"},
        // Only the two characters "00" approve: a zero written otherwise is a decline with code 0.
        {Join({"SV.1", "390"}), "00:UNKNOWN RESPONSE CODE"},
        {Join({"SV.1", "39 00"}), "00:UNKNOWN RESPONSE CODE"},
        {Join({"SV.1", "39000"}), "00:UNKNOWN RESPONSE CODE"},
        // The code is read as the C library reads a number: leading white space, then digits.
        {Join({"SV.1", "39\n05x"}), "05:EXPIRED CARD"},
        {Join({"SV.1", "3971"}), "71:FRAUD COUNT EXCEEDED"},
        // ETX separates tokens as FS does.
        {"SV.1" + kETX + "3910", "10:LOST/STOLEN CARD"},
    };
    for (const SCase& c : cases) {
        const CTransaction transaction = Answered(kTranNumSale, c.Response);
        EXPECT_FALSE(transaction.m_Approved) << c.Response;
        EXPECT_FALSE(transaction.m_Captured) << c.Response;
        EXPECT_EQ(transaction.m_ResponseText, c.Text) << c.Response;
        EXPECT_EQ(transaction.m_HostAuthCode, "") << c.Response;
    }
    EXPECT_TRUE(Answered(kTranNumSale, Join({"3900", "3905"})).m_Approved);
}

TEST_F(HostMessageTest, AmountsFollowTheTranCode) {
    const std::string balances = Join({"3900", "755000", "761250"});
    EXPECT_EQ(Answered(kTranNumCashOut, balances).m_Authorize, "3750");
    EXPECT_EQ(Answered(kTranNumCashOut, balances).m_Balance, "12.50");
    EXPECT_EQ(Answered(kTranNumNoNSFSale, balances).m_Authorize, "3750");
    EXPECT_EQ(Answered(kTranNumBalance, balances).m_Authorize, "0");
    EXPECT_EQ(Answered(kTranNumSale, balances).m_Authorize, "1234");
    EXPECT_EQ(Answered(kTranNumCashOut, "3900").m_Authorize, "0");
    EXPECT_EQ(Answered(kTranNumCashOut, "3900").m_Balance, "0.00");
    // Balances no 64-bit number holds end in a bounded result, not an overflow.
    EXPECT_EQ(Answered(kTranNumCashOut, Join({"75-99999999999999999999", "7699999999999999999999"})).m_Authorize,
              std::to_string(LLONG_MIN));
}

TEST_F(HostMessageTest, IssueCurrencyFieldsNeedABcCode) {
    const CTransaction issued = Answered(kTranNumSale, Join({"3900", "BC124", "802000", "81750", "E91.3456"}));
    EXPECT_EQ(issued.m_IssueCurrency, "CAD");
    EXPECT_EQ(issued.m_PrevBalance, "20.00");
    EXPECT_EQ(issued.m_EndBalance, "7.50");
    EXPECT_EQ(issued.m_ExchangeRate, "1.3456");
    const std::pair<const char*, const char*> names[] = {{"124", "CAD"}, {"840", "USD"}, {"036", "AUSD"},
                                                         {"826", "GBP"}, {"978", "EUR"}, {"392", "392"}};
    for (const auto& [code, name] : names) {
        EXPECT_EQ(IssueCurrencyName(code), name);
    }

    CTransaction kept;
    kept.m_IssueCurrency = "USD";
    kept.m_ExchangeRate = "1";
    kept.m_HostResponse = Join({"3900", "BC", "80100"});
    kept.ParseHostResponse();
    EXPECT_EQ(kept.m_IssueCurrency, "USD");
    EXPECT_EQ(kept.m_ExchangeRate, "1");
    EXPECT_EQ(kept.m_PrevBalance, "");
}

TEST_F(HostMessageTest, AngleBracketsOfTheAnswerBecomeBlanks) {
    const CTransaction sale = Answered(kTranNumSale, Join({"3900", "38<b>", "70<script>1234"}));
    EXPECT_EQ(sale.m_HostAuthCode, " b ");
    EXPECT_EQ(sale.m_HostResponse, Join({"3900", "38 b ", "70 script 1234"}));
    EXPECT_EQ(sale.m_HostVLinkRefNo, "********1234");
}

TEST_F(HostMessageTest, ShortOrMissingAccountInAnApprovalIsSafe) {
    EXPECT_EQ(Answered(kTranNumSale, Join({"3900", "7012"})).m_HostVLinkRefNo, "12");
    EXPECT_EQ(Answered(kTranNumSale, Join({"3900", "7012"})).m_HostRefNo, "12****");
    EXPECT_EQ(Answered(kTranNumSale, "3900").m_HostVLinkRefNo, "");
    EXPECT_EQ(Answered(kTranNumSale, "3900").m_HostRefNo, "****");
}

TEST(HostField, SearchStopsAtAMissingTokenNumber) {
    const CItemMap tokens = {{1, "SV.1"}, {2, ""}, {3, "3900"}, {5, "38AB"}};
    std::string value = "stale";
    EXPECT_TRUE(CTransaction::FindHostField(tokens, 1, 5, "39", value));
    EXPECT_EQ(value, "00");
    EXPECT_FALSE(CTransaction::FindHostField(tokens, 1, 5, "38", value));
    EXPECT_EQ(value, "");
    EXPECT_TRUE(CTransaction::FindHostField(tokens, 5, 5, "38", value));
    EXPECT_EQ(value, "AB");
    EXPECT_FALSE(CTransaction::FindHostField(tokens, 1, 0, "SV", value));
}

TEST_F(HostMessageTest, EmptyAndSeparatorOnlyAnswersAreDeclines) {
    for (const std::string& response : {std::string(), kFS, kETX + kETX, std::string(5000, kCharFS)}) {
        const CTransaction transaction = Answered(kTranNumSale, response);
        EXPECT_FALSE(transaction.m_Approved);
        EXPECT_EQ(transaction.m_ResponseText, "00:UNKNOWN RESPONSE CODE");
        EXPECT_EQ(transaction.m_Balance, "0.00");
    }
}

TEST(HostResponseTexts, CodesMapToTheirTexts) {
    const std::pair<int, const char*> cases[] = {
        {1, "01:INSUFFICIENT FUNDS"},
        {2, "02:ACCOUNT CLOSED"},
        {3, "03:UNKNOWN ACCOUNT"},
        {4, "04:INACTIVE ACCOUNT"},
        {5, "05:EXPIRED CARD"},
        {6, "06:INVALID TRAN CODE"},
        {7, "07:INVALID MERCHANT"},
        {8, "08:ALREADY ACTIVE"},
        {9, "09:SYSTEM ERROR"},
        {10, "10:LOST/STOLEN CARD"},
        {11, "11:NOT LOST/STOLEN"},
        {12, "12:INVALID TRANSACTION FORMAT"},
        {15, "15:BAD MAG STRIPE"},
        {16, "16:INCORRECT LOCATION"},
        {17, "17:MAX BAL EXCEEDED"},
        {18, "18:INVALID AMOUNT"},
        {19, "19:INVALID CLERK"},
        {20, "20:INVALID PASSWORD"},
        {21, "21:INVALID NEW PASSWORD"},
        {22, "22:EXCEEDED ACCOUNT RELOAD"},
        {23, "23:PASSWORD RETRY EXCEEDED"},
        {26, "26:INCORRECT TRANSACTION VERSION"},
        {27, "27:REQUEST NOT PERMITTED BY THIS ACCOUNT"},
        {28, "28:REQUEST NOT PERMITTED BY THIS MERCHANT"},
        {29, "29:BAD REPLAY DATE"},
        {30, "30:BAD CHECKSUM"},
        {31, "31:BAL NOT AVAIL"},
        {32, "32:ACCOUNT LOCKED"},
        {33, "33:NO PREVIOUS TRANSACTION"},
        {34, "34:ALREADY REVERSED"},
        {35, "35:GENERIC DENIAL"},
        {36, "36:BAD AUTH CODE"},
        {37, "37:TOO MANY TRANSACTIONS REQUESTED"},
        {38, "38:NO TRANSACTIONS AVAIL"},
        {39, "39:NO TRANSACTION HISTORY"},
        {40, "40:NEW PASSWORD REQUIRED"},
        {41, "41:INVALID STATUS CHANGE"},
        {42, "42:VOID AFTER ACCOUNT ACTIVITY"},
        {43, "43:NO PHONE SERVICE"},
        {44, "44:INTERNET ACCESS DISABLED"},
        {45, "45:BAD EAN"},
        {46, "46:BAD MERCHANT KEY"},
        {47, "47:PROMO NO MATCH"},
        {48, "48:INVALID TRAN SOURCE"},
        {49, "49:ACCOUNT ALREADY LINKED"},
        {50, "50:ACCOUNT NOT IN INACTIVE STATE"},
        {54, "54:CURRENCY CONVERSION FLAG SET BUT INTERNATIONAL FLAG NOT SET"},
        {55, "55:INVALID CURRENCY"},
        {56, "56:REQUEST NOT INTERNATIONAL"},
        {57, "57:CURRENCY CONVERSION ERROR"},
        {71, "71:FRAUD COUNT EXCEEDED"},
    };
    for (const auto& [code, text] : cases) {
        EXPECT_EQ(HostResponseText(code), text);
    }
    for (const int code : {0, 13, 14, 24, 25, 51, 52, 53, 58, 64, 70, 72, 100}) {
        char expected[64];
        std::snprintf(expected, sizeof(expected), "%02d:UNKNOWN RESPONSE CODE", code);
        EXPECT_EQ(HostResponseText(code), expected);
    }
    EXPECT_EQ(HostResponseText(-5), "-5:UNKNOWN RESPONSE CODE");
}

} // namespace
