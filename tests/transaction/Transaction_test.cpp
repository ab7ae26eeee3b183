#include "transaction/Transaction.h"

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "common/TempDirTest.h"
#include "common/TestClock.h"
#include "transaction/TransactionTestSupport.h"

using testsupport::kFS;
using Fields = std::vector<std::pair<std::string, std::string>>;

namespace {

const std::string kSTX(1, kCharSTX);
const std::string kDC1(1, kCharDC1);
const std::string kDC2(1, kCharDC2);

// |fields| without the pieces named |keys|.
Fields Without(Fields fields, std::initializer_list<const char*> keys) {
    for (const char* key : keys) {
        std::erase_if(fields, [key](const auto& field) { return field.first == key; });
    }
    return fields;
}

// |fields| with each of |changes| replacing its key's piece (moved to the end) or added.
Fields With(Fields fields, std::initializer_list<std::pair<std::string, std::string>> changes) {
    for (const auto& change : changes) {
        std::erase_if(fields, [&change](const auto& field) { return field.first == change.first; });
        fields.push_back(change);
    }
    return fields;
}

class TransactionTest : public TempDirTest {
protected:
    void SetUp() override { testsupport::EnsureCryptoStarted(); }

    CTransaction Parse(const Fields& fields) {
        CTransaction transaction;
        transaction.SetRequest(m_Client.Frame(JoinFields(fields)));
        return transaction;
    }

    CLaneRequestKey m_Client = testsupport::ProcessLaneKey();
};

TEST(TransactionDefaults, NewTransactionStartsInvalidAndPlain) {
    CTestClock clock;
    CScopedClock scoped(clock);
    const CTransaction transaction;
    EXPECT_EQ(transaction.m_ResultCode, 1000);
    EXPECT_EQ(transaction.m_CryptMode, 2);
    EXPECT_EQ(transaction.m_State, 0);
    EXPECT_EQ(transaction.m_TranCode, 0);
    EXPECT_EQ(transaction.m_TranCodeName, "INVALID");
    EXPECT_EQ(transaction.m_QueueSeq, -1);
    EXPECT_EQ(transaction.m_QueueSubSeq, 0);
    EXPECT_EQ(transaction.m_ReversalAttempts, 0u);
    EXPECT_EQ(transaction.m_Created, CTransaction::CreatedTimeNow());
    clock.Advance(36999);
    EXPECT_EQ(transaction.SecondsSinceCreated(), 36);
}

TEST(TransactionDefaults, CopiesAreIndependentValues) {
    CTransaction original;
    original.m_Account = "6001234567890123";
    original.m_State = 7;
    CTransaction copy = original;
    copy.m_Account[0] = 'X';
    copy.m_State = 6;
    EXPECT_EQ(original.m_Account, "6001234567890123");
    EXPECT_EQ(original.m_State, 7);
    const CTransaction& self = copy;
    copy = self; // self-assignment keeps the record
    EXPECT_EQ(copy.m_Account, "X001234567890123");
    CTransaction again;
    again.CopyFrom(original);
    EXPECT_EQ(again.m_Account, "6001234567890123");
    EXPECT_EQ(again.m_State, 7);
    EXPECT_EQ(again.m_Created, original.m_Created);
}

TEST_F(TransactionTest, FrameLettersAndShapesGiveTheirCodes) {
    struct SCase {
        const char* Name;
        std::string Text;
        int Code;
        int CryptMode;
        std::string Header;
    };
    const std::string whole = "HDR" + kFS + "200";
    const SCase cases[] = {
        {"no FS", "HDR" + kSTX + "abc", 4010, 2, "HDR" + kSTX + "abc"},
        {"FS without STX", whole, 4010, 2, whole},
        {"one character after FS", "HDR" + kFS + kSTX, 4010, 2, "HDR"},
        {"empty text", "", 4010, 2, ""},
        {"clear text", "HDR" + kFS + "000" + kSTX + "x", 4005, 2, "HDR"},
        {"old client", "HDR" + kFS + "100" + kSTX + "x", 4006, 2, "HDR"},
        {"weak encryption", "HDR" + kFS + "E00" + kSTX + "x", 4004, 2, "HDR"},
        {"unknown letter", "HDR" + kFS + "Z00" + kSTX + "x", 4010, 2, "HDR"},
        {"abort", "HDR" + kFS + "A00" + kSTX, 4010, 1, "HDR"},
        {"no key block", "HDR" + kFS + "200" + kSTX + "ABCD", 4011, 2, "HDR"},
        {"DC1 without DC2", "HDR" + kFS + "200" + kSTX + kDC1 + "ABCD", 4011, 2, "HDR"},
        {"DC2 before DC1", "HDR" + kFS + "200" + kSTX + kDC2 + "AB" + kDC1 + "CD", 4011, 2, "HDR"},
        {"empty key", "HDR" + kFS + "200" + kSTX + kDC1 + kDC2 + "ABCD", 4011, 2, "HDR"},
        {"odd key", "HDR" + kFS + "200" + kSTX + kDC1 + "ABC" + kDC2 + "ABCD", 4011, 2, "HDR"},
        {"key that is no blob", "HDR" + kFS + "200" + kSTX + kDC1 + "ABCD" + kDC2 + "ABCD", 4011, 2, "HDR"},
        {"key block before the STX", "HDR" + kFS + "2" + kDC1 + "AB" + kDC2 + "0" + kSTX, 4011, 2, "HDR"},
    };
    for (const SCase& c : cases) {
        CTransaction transaction;
        transaction.SetRequest(c.Text);
        EXPECT_EQ(transaction.m_ResultCode, c.Code) << c.Name;
        EXPECT_EQ(transaction.m_CryptMode, c.CryptMode) << c.Name;
        EXPECT_EQ(transaction.m_Header, c.Header) << c.Name;
        EXPECT_EQ(transaction.m_TranCode, 0) << c.Name;
    }
}

TEST_F(TransactionTest, EncryptedRequestIsDecryptedAndParsed) {
    const CTransaction transaction = Parse(KeyedSaleFields());
    EXPECT_EQ(transaction.m_ResultCode, 1003);
    EXPECT_EQ(transaction.m_CryptMode, 0);
    EXPECT_EQ(transaction.m_TranCode, 62);
    EXPECT_EQ(transaction.m_TranCodeName, "Sale");
    EXPECT_EQ(transaction.m_CardType, "PrePaid");
    EXPECT_EQ(transaction.m_Header, "POS01");
    EXPECT_EQ(transaction.m_RequestKey, BytesToHex(m_Client.Blob()));
    EXPECT_EQ(transaction.GetRequestText(), JoinFields(KeyedSaleFields()));
    EXPECT_EQ(transaction.m_Account, "6001234567890123");
    EXPECT_EQ(transaction.m_Track2, "6001234567890123");
    EXPECT_EQ(transaction.m_ExpDate, "1226");
    EXPECT_FALSE(transaction.m_Swiped);
    EXPECT_EQ(transaction.m_Purchase, "1234");
    EXPECT_EQ(transaction.m_Authorize, "1234");
    EXPECT_EQ(transaction.m_InvoiceNo, "100234");
    EXPECT_EQ(transaction.m_RefNo, "55");
    EXPECT_EQ(transaction.m_OperatorID, "CLERK7");
    EXPECT_EQ(transaction.m_TerminalID, "07");
    EXPECT_EQ(transaction.m_Memo, "gift");
    EXPECT_EQ(transaction.m_TStream, "Transaction");
}

TEST_F(TransactionTest, FirstFailingCheckSetsTheCode) {
    struct SCase {
        const char* Name;
        Fields Request;
        int Code;
        int TranCode;
    };
    const Fields sale = KeyedSaleFields();
    const SCase cases[] = {
        {"valid Sale", sale, 1003, 62},
        {"TStream missing", Without(sale, {"TStream"}), 4019, 0},
        {"TStream missing before MerchantID", Without(sale, {"TStream", "MerchantID"}), 4019, 0},
        {"TStream not Transaction", With(sale, {{"TStream", "Admin"}}), 100221, 0},
        {"TStream empty", With(sale, {{"TStream", ""}}), 100221, 0},
        {"TStream in other case", With(sale, {{"TStream", "transaction"}}), 100221, 0},
        {"TStream wrong before MerchantID missing", With(Without(sale, {"MerchantID"}), {{"TStream", "Admin"}}), 100221,
         0},
        {"empty MerchantID counts as present", With(sale, {{"MerchantID", ""}}), 1003, 62},
        {"key in other case counts as missing", With(Without(sale, {"MerchantID"}), {{"merchantid", "1234"}}), 4018, 0},
        {"MerchantID missing", Without(sale, {"MerchantID"}), 4018, 0},
        {"MerchantID missing before TranType", Without(sale, {"MerchantID", "TranType"}), 4018, 0},
        {"TranType missing", Without(sale, {"TranType"}), 100201, 0},
        {"TranType missing before InvoiceNo", Without(sale, {"TranType", "InvoiceNo"}), 100201, 0},
        {"InvoiceNo missing", Without(sale, {"InvoiceNo"}), 4022, 0},
        {"InvoiceNo missing before a wrong TranType", With(Without(sale, {"InvoiceNo"}), {{"TranType", "Credit"}}),
         4022, 0},
        {"empty InvoiceNo counts as present", With(sale, {{"InvoiceNo", ""}}), 1003, 62},
        {"RefNo missing", Without(sale, {"RefNo"}), 4023, 0},
        {"RefNo missing before a wrong TranCode", With(Without(sale, {"RefNo"}), {{"TranCode", "X"}}), 4023, 0},
        {"RefNo missing before a wrong TranType", With(Without(sale, {"RefNo"}), {{"TranType", "Credit"}}), 4023, 0},
        {"TranType not PrePaid", With(sale, {{"TranType", "Credit"}}), 100201, 0},
        {"TranCode missing", Without(sale, {"TranCode"}), 100219, 0},
        {"TranCode in other case", With(sale, {{"TranCode", "sale"}}), 100219, 0},
        {"TranCode not supported", With(sale, {{"TranCode", "PreAuth"}}), 100219, 0},
        {"TranCode wrong before account missing", With(Without(sale, {"AcctNo"}), {{"TranCode", "X"}}), 100219, 0},
        {"account missing", Without(sale, {"AcctNo"}), 100204, 0},
        {"keyed ExpDate of 3", With(sale, {{"ExpDate", "122"}}), 100205, 0},
        {"keyed ExpDate of 5", With(sale, {{"ExpDate", "12266"}}), 100205, 0},
        {"keyed ExpDate absent", Without(sale, {"ExpDate"}), 1003, 62},
        {"keyed ExpDate bad before short account", With(sale, {{"ExpDate", "1"}, {"AcctNo", "123"}}), 100205, 0},
        {"account of 3", With(sale, {{"AcctNo", "123"}}), 100204, 0},
        {"account of 4", With(sale, {{"AcctNo", "1234"}}), 1003, 62},
        {"account of 38", With(sale, {{"AcctNo", std::string(38, '6')}}), 1003, 62},
        {"account of 39", With(sale, {{"AcctNo", std::string(39, '6')}}), 100204, 0},
        {"account length checked before Purchase", With(sale, {{"AcctNo", "123"}, {"Purchase", "x"}}), 100204, 0},
        {"Track2 beside AcctNo makes it swiped", With(sale, {{"Track2", "6001234567890123"}, {"ExpDate", "1"}}), 1003,
         62},
        {"swiped track of 39 counts the whole track",
         With(Without(sale, {"AcctNo"}), {{"Track2", std::string(34, '6') + "=2512"}}), 100204, 0},
        {"swiped track of 3", With(Without(sale, {"AcctNo"}), {{"Track2", "6=2"}}), 100204, 0},
        {"swiped with any ExpDate", With(Without(sale, {"AcctNo"}), {{"Track2", "6001234567890123"}, {"ExpDate", "1"}}),
         1003, 62},
        {"Purchase without decimals", With(sale, {{"Purchase", "12"}}), 100211, 0},
        {"Purchase of one decimal", With(sale, {{"Purchase", "12.3"}}), 100211, 0},
        {"Purchase of ten characters", With(sale, {{"Purchase", "1234567.89"}}), 100211, 0},
        {"Purchase of nine characters", With(sale, {{"Purchase", "123456.78"}}), 1003, 62},
        {"Purchase of three characters", With(sale, {{"Purchase", ".01"}}), 1003, 62},
        {"Purchase with a plus sign", With(sale, {{"Purchase", "+1.00"}}), 100211, 0},
        {"Purchase with a letter", With(sale, {{"Purchase", "1a.00"}}), 100211, 0},
        {"Purchase missing on a Sale", Without(sale, {"Purchase"}), 100211, 0},
        {"Sale of zero", With(sale, {{"Purchase", "0.00"}}), 100208, 0},
        {"Sale of a negative amount", With(sale, {{"Purchase", "-5.00"}}), 100208, 0},
        {"Balance of zero", With(sale, {{"TranCode", "Balance"}, {"Purchase", "0.00"}}), 1003, 68},
        {"Balance without Purchase", With(Without(sale, {"Purchase"}), {{"TranCode", "Balance"}}), 1003, 68},
        {"Balance with a malformed Purchase", With(sale, {{"TranCode", "Balance"}, {"Purchase", "0"}}), 100211, 0},
        {"Return of zero", With(sale, {{"TranCode", "Return"}, {"Purchase", "0.00"}}), 100208, 0},
        {"NoNSFSale of zero", With(sale, {{"TranCode", "NoNSFSale"}, {"Purchase", "0.00"}}), 100208, 0},
        {"Sale of one cent", With(sale, {{"Purchase", "0.01"}}), 1003, 62},
        {"CashOut of zero", With(sale, {{"TranCode", "CashOut"}, {"Purchase", "0.00"}}), 1003, 70},
        {"CashOut without Purchase", With(Without(sale, {"Purchase"}), {{"TranCode", "CashOut"}}), 100211, 0},
        {"VoidSale without AuthCode", With(sale, {{"TranCode", "VoidSale"}}), 100206, 0},
        {"VoidIssue without AuthCode", With(sale, {{"TranCode", "VoidIssue"}}), 100206, 0},
        {"VoidReturn without AuthCode", With(sale, {{"TranCode", "VoidReturn"}}), 100206, 0},
        {"VoidReload without AuthCode", With(sale, {{"TranCode", "VoidReload"}}), 100206, 0},
        {"VoidSale with AuthCode", With(sale, {{"TranCode", "VoidSale"}, {"AuthCode", "A1"}}), 1003, 65},
        {"Issue", With(sale, {{"TranCode", "Issue"}}), 1003, 60},
        {"Return", With(sale, {{"TranCode", "Return"}}), 1003, 63},
        {"Reload", With(sale, {{"TranCode", "Reload"}}), 1003, 64},
        {"NoNSFSale", With(sale, {{"TranCode", "NoNSFSale"}}), 1003, 69},
        {"Purchase check before AuthCode", With(sale, {{"TranCode", "VoidSale"}, {"Purchase", "x"}}), 100211, 0},
    };
    for (const SCase& c : cases) {
        const CTransaction transaction = Parse(c.Request);
        EXPECT_EQ(transaction.m_ResultCode, c.Code) << c.Name;
        EXPECT_EQ(transaction.m_TranCode, c.TranCode) << c.Name;
        // A request that did not validate is answered in plain text.
        EXPECT_EQ(transaction.m_CryptMode, c.TranCode == 0 ? 2 : 0) << c.Name;
    }
}

TEST_F(TransactionTest, BalanceWithoutPurchaseGetsZeroAmount) {
    const Fields fields = With(Without(KeyedSaleFields(), {"Purchase"}), {{"TranCode", "Balance"}});
    const CTransaction transaction = Parse(fields);
    EXPECT_EQ(transaction.m_TranCode, 68);
    EXPECT_EQ(transaction.m_Purchase, "000");
    EXPECT_EQ(transaction.m_Authorize, "000");
}

TEST_F(TransactionTest, Track2GivesExpiryAndAccount) {
    struct SCase {
        std::string Track;
        const char* ExpDate; // the request's ExpDate, or null
        std::string Account;
        std::string Expiry;
    };
    const SCase cases[] = {
        {"6001234567890123=2512101", nullptr, "6001234567890123", "1225"},
        {"6001234567890123=2512", nullptr, "6001234567890123", "1225"},
        {"6001234567890123=251", "0199", "6001234567890123", "0199"},
        {"6001234567890123=251", nullptr, "6001234567890123", ""},
        {"6001234567890123", "0730", "6001234567890123", "0730"},
        {"6001234567890123", nullptr, "6001234567890123", ""},
        {"=2512", nullptr, "", "1225"},
        // The length rule reads the whole track, so a short account before '=' still passes.
        {"123=2512", nullptr, "123", "1225"},
        // Only the first '=' cuts the account.
        {"6001=2512=9999", nullptr, "6001", "1225"},
    };
    for (const SCase& c : cases) {
        Fields fields = Without(KeyedSaleFields(), {"AcctNo", "ExpDate"});
        fields.emplace_back("Track2", c.Track);
        if (c.ExpDate != nullptr) {
            fields.emplace_back("ExpDate", c.ExpDate);
        }
        const CTransaction transaction = Parse(fields);
        ASSERT_EQ(transaction.m_TranCode, 62) << c.Track;
        EXPECT_TRUE(transaction.m_Swiped) << c.Track;
        EXPECT_EQ(transaction.m_Account, c.Account) << c.Track;
        EXPECT_EQ(transaction.m_ExpDate, c.Expiry) << c.Track;
        EXPECT_EQ(transaction.m_Track2, c.Track) << c.Track;
    }
}

TEST_F(TransactionTest, FieldsAreCutToTheirWidths) {
    Fields fields = KeyedSaleFields();
    for (auto& field : fields) {
        if (field.first == "InvoiceNo") {
            field.second = "ABC123456789012"; // 15
        } else if (field.first == "OperatorID") {
            field.second = "abcdeFGHIJKLMNOPQRSTUVWXY"; // 25
        } else if (field.first == "Memo") {
            field.second = "ABCDEFGHIJKLMNOPQRSTuvwxy"; // 25
        } else if (field.first == "TerminalID") {
            field.second = "1234";
        } else if (field.first == "TranCode") {
            field.second = "VoidSale";
        }
    }
    fields.emplace_back("AuthCode", "123456789012345");
    fields.emplace_back("RefNo", "ab12345678901234567"); // a later duplicate wins
    fields.emplace_back("Note", "a=b=c");
    const CTransaction transaction = Parse(fields);
    ASSERT_EQ(transaction.m_TranCode, 65);
    EXPECT_EQ(transaction.m_InvoiceNo, "123456789012");
    EXPECT_EQ(transaction.m_OperatorID, "FGHIJKLMNOPQRSTUVWXY");
    EXPECT_EQ(transaction.m_Memo, "ABCDEFGHIJKLMNOPQRST");
    EXPECT_EQ(transaction.m_TerminalID, "34");
    EXPECT_EQ(transaction.m_AuthCode, "123456789012");
    EXPECT_EQ(transaction.m_RefNo, "2345678901234567");
}

TEST_F(TransactionTest, PiecesSplitAtTheFirstEqualsAndOthersAreSkipped) {
    // A piece without '=' is skipped; "Memo" keeps the second '='; an empty value counts as present.
    const std::string payload =
        JoinFields(KeyedSaleFields()) + kFS + "garbage" + kFS + "Memo=a=b" + kFS + "OperatorID=" + kFS;
    CTransaction transaction;
    transaction.SetRequest(m_Client.Frame(payload));
    ASSERT_EQ(transaction.m_TranCode, 62);
    EXPECT_EQ(transaction.m_Memo, "a=b");
    EXPECT_EQ(transaction.m_OperatorID, "");
}

TEST_F(TransactionTest, AbortRequestIsNeitherDecryptedNorParsed) {
    CTransaction transaction;
    transaction.SetRequest("POS01" + kFS + "A00" + kSTX + JoinFields(KeyedSaleFields()));
    EXPECT_EQ(transaction.m_CryptMode, 1);
    EXPECT_EQ(transaction.m_ResultCode, 4010);
    EXPECT_EQ(transaction.m_TranCode, 0);
    EXPECT_EQ(transaction.m_Account, "");
}

TEST_F(TransactionTest, PayloadThatDoesNotDecryptToFieldsFailsValidation) {
    // Right key, payload of random bytes: decrypts to noise, which has no TStream.
    CTransaction transaction;
    const std::string frame = m_Client.Frame("x");
    transaction.SetRequest(frame.substr(0, frame.size() - 2) + "A7B3C9");
    EXPECT_EQ(transaction.m_ResultCode, 4019);
    EXPECT_EQ(transaction.m_CryptMode, 2);
}

TEST_F(TransactionTest, HostileFramesYieldACodeWithoutReadingOutOfRange) {
    const std::string valid = m_Client.Frame(JoinFields(KeyedSaleFields()));
    std::vector<std::string> frames;
    for (size_t length = 0; length <= valid.size(); length += 7) {
        frames.push_back(valid.substr(0, length)); // every truncation
    }
    frames.push_back(std::string(32767, kCharFS));
    frames.push_back(std::string(32767, kCharSTX));
    frames.push_back(kFS + "2" + std::string(32765, kCharDC1));
    frames.push_back(kFS + "2" + kDC1 + std::string(32762, 'F') + kDC2 + kSTX);
    frames.push_back(std::string(1, '\0') + kFS + "2\0" + kSTX + kDC1 + "00" + kDC2);
    for (const std::string& frame : frames) {
        CTransaction transaction;
        transaction.SetRequest(frame);
        EXPECT_NE(transaction.m_ResultCode, 1000) << frame.size();
        if (transaction.m_TranCode == 0) {
            EXPECT_NE(transaction.m_CryptMode, 0) << frame.size();
        }
    }
}

} // namespace
