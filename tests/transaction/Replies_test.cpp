#include "transaction/Replies.h"

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/LogFolder.h"
#include "common/TempDirTest.h"
#include "foundation/Logger.h"
#include "transaction/Transaction.h"
#include "transaction/TransactionTestSupport.h"

using testsupport::kFS;

namespace {

const std::string kSTX(1, kCharSTX);
const std::string kETX(1, kCharETX);

std::string CmdResponse(const std::string& origin, const std::string& code, const std::string& status,
                        const std::string& text, const std::string& trace) {
    return "\t<CmdResponse>\r\n\t\t<ResponseOrigin>" + origin + "</ResponseOrigin>\r\n\t\t<VYRXReturnCode>" + code +
           "</VYRXReturnCode>\r\n\t\t<CmdStatus>" + status + "</CmdStatus>\r\n\t\t<TextResponse>" + text +
           "</TextResponse>\r\n\t\t<UserTraceData>" + trace + "</UserTraceData>\r\n\t</CmdResponse>\r\n";
}

const std::string kHead = "<?xml version=\"1.0\"?>\r\n<RStream>\r\n";
const std::string kTail = "</RStream>\r\n";

// The TranResponse of the keyed Sale of the test client, approved or declined.
std::string SaleTranResponse(bool approved) {
    std::string out = "\t<TranResponse>\r\n"
                      "\t\t<MerchantID>12345678901</MerchantID>\r\n"
                      "\t\t<TerminalID>07</TerminalID>\r\n"
                      "\t\t<AcctNo>XXXXXXXXXXXX0123</AcctNo>\r\n"
                      "\t\t<ExpDate>XXXX</ExpDate>\r\n"
                      "\t\t<CardType>PrePaid</CardType>\r\n"
                      "\t\t<TranCode>Sale</TranCode>\r\n";
    if (approved) {
        out += "\t\t<AuthCode>A1B2C3</AuthCode>\r\n"
               "\t\t<CaptureStatus>Captured</CaptureStatus>\r\n"
               "\t\t<RefNo>600123456789****</RefNo>\r\n"
               "\t\t<VLinkRefNo>************0123</VLinkRefNo>\r\n";
    } else {
        out += "\t\t<CaptureStatus>NotCaptured</CaptureStatus>\r\n";
    }
    out += "\t\t<InvoiceNo>100234</InvoiceNo>\r\n"
           "\t\t<OperatorID>CLERK7</OperatorID>\r\n"
           "\t\t<Memo>gift</Memo>\r\n"
           "\t\t<Amount>\r\n"
           "\t\t\t<Purchase>12.34</Purchase>\r\n"
           "\t\t\t<Authorize>12.34</Authorize>\r\n"
           "\t\t\t<Balance>12.50</Balance>\r\n"
           "\t\t</Amount>\r\n"
           "\t</TranResponse>\r\n";
    return out;
}

class RepliesTest : public TempDirTest {
protected:
    void SetUp() override { testsupport::SetMerchantParams("12345678901", "10987654321", "0001", "0"); }

    // The test client's keyed Sale, parsed and answered by the host with |response|.
    CTransaction AnsweredSale(const std::string& response) {
        CTransaction transaction;
        transaction.SetRequest(m_Client.Frame(JoinFields(KeyedSaleFields())));
        EXPECT_EQ(transaction.m_TranCode, kTranNumSale);
        transaction.m_ClientAddress = "127.0.0.1:1";
        transaction.m_HostResponse = response;
        transaction.ParseHostResponse();
        return transaction;
    }

    CLaneRequestKey m_Client = testsupport::ProcessLaneKey();
};

TEST_F(RepliesTest, ApprovedSaleRoundTripsToTheExactDocument) {
    const CTransaction sale = AnsweredSale("SV.12345678901" + kFS + "3900" + kFS + "38A1B2C3" + kFS +
                                           "706001234567890123" + kFS + "761250" + kETX);
    const std::string expected =
        kHead + CmdResponse("Processor", "000000", "Approved", "", "POS01") + SaleTranResponse(true) + kTail;
    EXPECT_EQ(sale.FormatRStream(), expected);
    EXPECT_EQ(sale.GetReply().substr(0, 5), kFS + "200" + kSTX);
    EXPECT_EQ(sale.m_CryptMode, kCryptModeEncrypted);
    // The client decrypts the reply with the key it sent.
    EXPECT_EQ(m_Client.DecryptReply(sale.GetReply()), expected);
}

TEST_F(RepliesTest, DeclinedSaleCarriesTheResponseText) {
    const CTransaction sale = AnsweredSale("3905" + kFS + "761250");
    const std::string expected = kHead + CmdResponse("Processor", "000000", "Declined", "05:EXPIRED CARD", "POS01") +
                                 SaleTranResponse(false) + kTail;
    EXPECT_EQ(m_Client.DecryptReply(sale.GetReply()), expected);
}

TEST_F(RepliesTest, IssueCurrencyLinesFollowABcCode) {
    const CTransaction sale = AnsweredSale("3900" + kFS + "BC978" + kFS + "802000" + kFS + "81750" + kFS + "E90.91");
    const std::string document = m_Client.DecryptReply(sale.GetReply());
    EXPECT_NE(document.find("\t\t</Amount>\r\n"
                            "\t\t<IssueCurrency>EUR</IssueCurrency>\r\n"
                            "\t\t<IssueCurrencyPreviousBalance>20.00</IssueCurrencyPreviousBalance>\r\n"
                            "\t\t<IssueCurrencyEndingBalance>7.50</IssueCurrencyEndingBalance>\r\n"
                            "\t\t<ExchangeRate>0.91</ExchangeRate>\r\n"
                            "\t</TranResponse>\r\n"),
              std::string::npos)
        << document;
}

TEST_F(RepliesTest, TranResponseWritesOnlyTheLinesThatHoldAValue) {
    testsupport::SetMerchantParams("", "10987654321", "0001", "0");
    const std::string amountEmpty = "\t\t<Amount>\r\n"
                                    "\t\t\t<Purchase>0.00</Purchase>\r\n"
                                    "\t\t\t<Authorize>0.00</Authorize>\r\n"
                                    "\t\t</Amount>\r\n";
    struct SCase {
        const char* Name;
        void (*Fill)(CTransaction&);
        std::string Expected;
    };
    const SCase cases[] = {
        {"bare record: no merchant id, only the fixed lines",
         [](CTransaction& t) {
             // Without an issue currency its three companions stay out, whatever they hold.
             t.m_PrevBalance = "2.00";
             t.m_EndBalance = "1.00";
             t.m_ExchangeRate = "1.5";
         },
         "\t<TranResponse>\r\n\t\t<TranCode>INVALID</TranCode>\r\n\t\t<CaptureStatus>NotCaptured</CaptureStatus>\r\n" +
             amountEmpty + "\t</TranResponse>\r\n"},
        {"issue currency alone", [](CTransaction& t) { t.m_IssueCurrency = "GBP"; },
         "\t<TranResponse>\r\n\t\t<TranCode>INVALID</TranCode>\r\n\t\t<CaptureStatus>NotCaptured</CaptureStatus>\r\n" +
             amountEmpty + "\t\t<IssueCurrency>GBP</IssueCurrency>\r\n\t</TranResponse>\r\n"},
        {"short account and expiry, captured",
         [](CTransaction& t) {
             t.m_Account = "123";
             t.m_ExpDate = "12";
             t.m_Captured = true;
             t.m_Purchase = "5";
             t.m_Authorize = "-250";
             t.m_Balance = "x";
         },
         "\t<TranResponse>\r\n\t\t<AcctNo>123</AcctNo>\r\n\t\t<ExpDate>XX</ExpDate>\r\n"
         "\t\t<TranCode>INVALID</TranCode>\r\n"
         "\t\t<CaptureStatus>Captured</CaptureStatus>\r\n\t\t<Amount>\r\n"
         "\t\t\t<Purchase>0.05</Purchase>\r\n\t\t\t<Authorize>-2.50</Authorize>\r\n"
         "\t\t\t<Balance>x</Balance>\r\n\t\t</Amount>\r\n\t</TranResponse>\r\n"},
    };
    for (const SCase& c : cases) {
        CTransaction transaction;
        c.Fill(transaction);
        EXPECT_EQ(transaction.FormatTranResponse(), c.Expected) << c.Name;
    }
}

TEST_F(RepliesTest, EncryptedReplyIsLoggedWithTheClient) {
    std::filesystem::create_directory(CLogger::kFolderName);
    const CTransaction sale = AnsweredSale("3905");
    ASSERT_TRUE(CLogger::Instance().Flush());
    const std::string logged = LogText();
    // The log file is a text file: each "\n" of the line is stored as "\r\n".
    std::string expected;
    for (const char c : "Response Built [" + sale.FormatRStream() + "] for 127.0.0.1:1") {
        expected += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    EXPECT_NE(logged.find(expected), std::string::npos) << ::testing::PrintToString(logged);
}

TEST_F(RepliesTest, MissingInvoiceGetsAPlainErrorReply) {
    std::vector<std::pair<std::string, std::string>> fields;
    for (const auto& field : KeyedSaleFields()) {
        if (field.first != "InvoiceNo") {
            fields.push_back(field);
        }
    }
    CTransaction transaction;
    transaction.SetRequest(m_Client.Frame(JoinFields(fields), "LANE3"));
    ASSERT_EQ(transaction.m_ResultCode, kResultInvoiceMissing);
    const std::string reply = transaction.BuildErrorReply();
    EXPECT_EQ(reply, kFS + "000" + kSTX + kHead +
                         CmdResponse("Server", "004022", "Error", "Invoice Number Missing.", "LANE3") + kTail + kETX);
    EXPECT_EQ(transaction.GetReply(), reply);
    EXPECT_EQ(transaction.m_ResultText, "Invoice Number Missing.");
    EXPECT_EQ(transaction.m_CryptMode, kCryptModePlain);
}

TEST(ResultCodes, EveryCodeHasItsReplyText) {
    struct SCase {
        int Code;
        int ReplyCode;
        std::string Text;
    };
    const SCase cases[] = {
        {1003, 1003, "Invalid Command Format."},
        {1010, 1010, "User Abort."},
        {4003, 4003, "host said no"},
        {4004, 4004, "Weak Encryption Request NOT supported."},
        {4005, 4005, "Clear Text Request NOT supported."},
        {4006, 4006, "Old Client NOT Supported"},
        {4010, 4010, "Unrecognized Request Format."},
        {4011, 4011, "Error occured while decrypting request."},
        {4018, 4018, "Merchant ID Missing."},
        {4019, 4019, "TStream Type Missing."},
        {4020, 4020, "Internal Server Error! Could Not Encrypt Response CALL PROVIDER."},
        {4022, 4022, "Invoice Number Missing."},
        {4023, 4023, "Reference Number Missing."},
        {4024, 4024, "Internal Server Error - Auth Thread Failed to Start Retry Trans/Restart Kestrove!"},
        {4027, 4027, "Kestrove is Being Requested to ShutDown Restart Kestrove!"},
        {9001, 9001, "Too Many Requests Outstanding for this Lane - Retry Trans Later!"},
        {9002, 9002, "Kestrove is Busy - Too Many Requests Outstanding - Retry Trans Later!"},
        {4028, 8888, "Error to be defined."},
        {4029, 8888, "Error to be defined."},
        {100201, 100201, "Invalid Field - Transaction Type"},
        {100204, 100204, "Invalid Field - Account Number"},
        {100205, 100205, "Invalid Field - Expiration Date"},
        {100206, 100206, "Invalid Field - Auth Code"},
        {100208, 100208, "Invalid Field - Auth Amount"},
        {100211, 100211, "Invalid Field - Purchase Amount"},
        {100219, 100219, "Invalid Field - Invalid TranCode."},
        {100221, 100221, "Invalid Field - TStream Type."},
        {1000, 8888, "Error to be defined."},
        {100244, 8888, "Error to be defined."},
        {0, 8888, "Error to be defined."},
        {8888, 8888, "Error to be defined."},
    };
    for (const SCase& c : cases) {
        const SReplyCode reply = ResultCodeText(c.Code, "host said no");
        EXPECT_EQ(reply.Code, c.ReplyCode) << c.Code;
        EXPECT_EQ(reply.Text, c.Text) << c.Code;
    }
}

TEST(ResultCodes, ThisServersOwnCodesLieOutsideEveryRangeALaneMayKnow) {
    // The ranges of the codes of the system this server was built after: request codes, socket and TLS, Datawire,
    // client session.
    const struct {
        int low;
        int high;
    } ranges[] = {{1001, 4030}, {100201, 100244}, {3003, 3124}, {50006, 50060}, {2000, 2020}};
    for (const int code : {kResultLaneBusy, kResultServerBusy}) {
        for (const auto& range : ranges) {
            EXPECT_FALSE(code >= range.low && code <= range.high) << code << " in " << range.low << "-" << range.high;
        }
        EXPECT_NE(code, kResultUndefined);
    }
}

TEST(ErrorReply, FieldErrorAndHostErrorDocuments) {
    CTransaction field;
    field.m_Header = "H";
    field.m_ResultCode = kResultFieldAccount;
    EXPECT_EQ(field.BuildErrorReply(),
              kFS + "000" + kSTX + kHead +
                  CmdResponse("Server", "100204", "Error", "Invalid Field - Account Number", "H") + kTail + kETX);

    // An encrypted transaction that failed at the host is answered in plain text too.
    CTransaction host;
    host.m_CryptMode = kCryptModeEncrypted;
    host.m_ResultCode = kResultHostError;
    host.m_HostErrorText = "No provider <answered> & gave up";
    const std::string reply = host.BuildErrorReply();
    EXPECT_EQ(reply, kFS + "000" + kSTX + kHead +
                         CmdResponse("Server", "004003", "Error", "No provider <answered> & gave up", "") + kTail +
                         kETX);
    EXPECT_EQ(host.m_CryptMode, kCryptModePlain);
}

TEST_F(RepliesTest, TheReplyIsEncryptedWithTheKeyTheRequestWasDecryptedWith) {
    const CTransaction answered = AnsweredSale("SV.12345678901" + kFS + "3900" + kFS + "38A1B2C3" + kFS +
                                               "706001234567890123" + kFS + "761250" + kETX);
    // The request's key blob is not imported a second time: with the blob gone, the reply is the same.
    CTransaction withoutBlob = answered;
    withoutBlob.m_RequestKey = "ABC";
    const std::string reply = withoutBlob.FinishReply("unused");
    EXPECT_EQ(reply, answered.GetReply());
    EXPECT_EQ(withoutBlob.m_CryptMode, kCryptModeEncrypted);
    EXPECT_EQ(m_Client.DecryptReply(reply).rfind(kHead, 0), 0u);
    // A record that never decrypted a request (one made by hand) still imports the blob.
    CTransaction fresh = answered;
    fresh.m_SessionKey.reset();
    EXPECT_EQ(fresh.FinishReply("unused"), answered.GetReply());
}

TEST_F(RepliesTest, ReplyThatCannotBeEncryptedIsSentPlainWith4020) {
    CTransaction transaction;
    transaction.m_Header = "POS09";
    transaction.m_CryptMode = kCryptModeEncrypted;
    transaction.m_RequestKey = "ABC"; // odd: no key to encrypt with
    const std::string reply = transaction.FinishReply("unused");
    EXPECT_EQ(reply, kFS + "000" + kSTX + kHead +
                         CmdResponse("Server", "004020", "Error",
                                     "Internal Server Error! Could Not Encrypt Response CALL PROVIDER.", "POS09") +
                         kTail + kETX);
    EXPECT_EQ(transaction.m_CryptMode, kCryptModePlain);
}

TEST(FinishReply, AbortRequestKeepsItsReply) {
    CTransaction abort;
    abort.m_CryptMode = kCryptModeAbort;
    abort.m_Reply = "before";
    EXPECT_EQ(abort.FinishReply("text"), "before");
    CTransaction plain;
    EXPECT_EQ(plain.FinishReply("a<b&c"), kFS + "000" + kSTX + "a<b&c" + kETX);
}

TEST(CmdResponse, StatusLettersDefaultsAndFragment) {
    const CCmdResponse fresh;
    EXPECT_EQ(fresh.m_ResponseOrigin, "Server");
    EXPECT_EQ(fresh.m_ReturnCode, "999999");
    EXPECT_EQ(fresh.m_CmdStatus, "Error");
    EXPECT_EQ(fresh.m_TextResponse, "Unknown Error");
    EXPECT_EQ(fresh.m_UserTraceData, "");
    const std::pair<char, const char*> statuses[] = {
        {'A', "Approved"}, {'D', "Declined"}, {'S', "Success"}, {'E', "Error"}, {'x', "Error"}};
    for (const auto& [letter, word] : statuses) {
        EXPECT_EQ(CCmdResponse::StatusWord(letter), word);
    }
    CCmdResponse response;
    response.m_ResponseOrigin = "Client";
    EXPECT_EQ(response.BuildFragment(2003, 'S', "", ""), CmdResponse("Client", "002003", "Success", "", ""));
    EXPECT_EQ(response.BuildDocument(7, 'D', "t&<x>", "u"),
              kHead + CmdResponse("Client", "000007", "Declined", "t&<x>", "u") + kTail);
}

TEST(ReplyHelpers, FrameAndMasks) {
    EXPECT_EQ(FrameReply("AB", true), kFS + "200" + kSTX + "AB" + kETX);
    EXPECT_EQ(FrameReply("", false), kFS + "000" + kSTX + kETX);
    EXPECT_EQ(MaskAccount("6001234567890123"), "XXXXXXXXXXXX0123");
    EXPECT_EQ(MaskAccount("123"), "123");
    EXPECT_EQ(MaskAccount("1234"), "1234");
    EXPECT_EQ(MaskAccount(""), "");
    EXPECT_EQ(MaskExpDate("1226"), "XXXX");
    EXPECT_EQ(MaskExpDate(""), "");
}

TEST_F(RepliesTest, BalanceReplyShowsZeroAuthorize) {
    CTransaction balance;
    balance.m_TranCode = kTranNumBalance;
    balance.m_TranCodeName = "Balance";
    balance.m_Purchase = "000";
    balance.m_Authorize = "000";
    balance.m_HostResponse = "3900" + kFS + "764321";
    balance.ParseHostResponse();
    const std::string element = balance.FormatTranResponse();
    EXPECT_NE(element.find("\t\t\t<Purchase>0.00</Purchase>\r\n\t\t\t<Authorize>0.00</Authorize>\r\n"
                           "\t\t\t<Balance>43.21</Balance>\r\n"),
              std::string::npos)
        << element;
    EXPECT_EQ(element.find("<AcctNo>"), std::string::npos); // empty values write no line
}

} // namespace
