#include "host/DatawireClient.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "HostTestSupport.h"
#include "common/LogFolder.h"
#include "common/TempDirTest.h"
#include "common/TestClock.h"
#include "foundation/ParamSettings.h"
#include "foundation/ParamStore.h"
#include "host/SspiProvider.h"
#include "peers/DatawireEndpoint.h"
#include "peers/TestPki.h"
#include "peers/TlsTestServer.h"
#include "platform/ProcessEvents.h"
#include "transaction/Transaction.h"

namespace {
constexpr char kMerchantId[] = "123456789AB";
constexpr char kAlternateMerchantId[] = "BA987654321";
constexpr char kDid[] = "00011122233344455566DW";
constexpr char kHostAnswer[] = "HOST ANSWER 00.APPROVED";
// The status words the service answers with besides "OK".
constexpr const char* kServiceStatusWords[] = {"AuthenticationError",
                                               "UnknownServiceID",
                                               "PackageWasStopped",
                                               "WrongSessionContext",
                                               "Timeout",
                                               "XMLError",
                                               "OtherError",
                                               "Retry",
                                               "Duplicated",
                                               "Failed",
                                               "AccessDenied",
                                               "InvalidMerchant",
                                               "NotFound"};

// The process trusts the test root and holds the credential for the whole suite; each test runs in its own
// folder with its own merchant parameters and a Datawire endpoint on loopback.
class DatawireClientTest : public hosttest::TrustedPkiTest<> {
protected:
    void SetUp() override {
        ASSERT_TRUE(s_Pki->Ok());
        g_ShutdownEvent.Reset();
        SetParams("Y");
    }

    static void SetParams(const std::string& verify, const std::string& connectSeconds = "3") {
        hosttest::SetMerchantParams({{kParamMerchantId, kMerchantId},
                                     {kParamAlternateMerchantId, kAlternateMerchantId},
                                     {kParamDatawireId, kDid},
                                     {kParamVerifySslCertificate, verify},
                                     {kParamIpConnectTimeout, connectSeconds}});
    }

    std::unique_ptr<CDatawireEndpoint> StartEndpoint(TestLeaf leaf = TestLeaf::LoopbackIp) {
        auto endpoint = std::make_unique<CDatawireEndpoint>(s_Pki->Leaf(leaf));
        EXPECT_TRUE(endpoint->Start());
        return endpoint;
    }

    // A client with ServiceID "104" connected to |host|.
    static std::unique_ptr<CDatawireClient> Connected(const std::string& host, const std::string& path = "") {
        auto client = std::make_unique<CDatawireClient>();
        client->SetServiceID("104");
        client->SetEndpoint(hosttest::EndpointOf(host + path));
        EXPECT_TRUE(client->Connect()) << client->GetLastErrorText();
        return client;
    }

    static CTransaction Transaction(const std::string& hostMessage) {
        CTransaction transaction;
        transaction.m_HostRequest = hostMessage;
        return transaction;
    }

    static std::string PostHeader(const std::string& path, const std::string& host, size_t length) {
        return "POST " + path +
               " HTTP/1.1\r\n"
               "User-Agent: vxnapi_xml_3_2_0_21\r\n"
               "Host: " +
               host +
               "\r\n"
               "Accept: */*\r\n"
               "Connection: Keep-Alive\r\n"
               "Cache-Control: no-cache\r\n"
               "Content-Type: text/xml\r\n"
               "Content-Length: " +
               std::to_string(length) + "\r\n\r\n";
    }

    static std::string ClientIdBlock(const std::string& did, const std::string& clientRef) {
        return "\t<ReqClientID>\r\n"
               "\t\t<DID>" +
               did +
               "</DID>\r\n"
               "\t\t<App>CORVANEGIFTPPXML</App>\r\n"
               "\t\t<Auth>123456789AB|BA987654321</Auth>\r\n"
               "\t\t<ClientRef>" +
               clientRef +
               "</ClientRef>\r\n"
               "\t</ReqClientID>\r\n";
    }
};
} // namespace

// --- Texts and searches ---

TEST(DatawireTextTest, PipeHexEscapesEverythingButLettersAndDigits) {
    struct Case {
        std::string plain;
        std::string escaped;
    };
    const Case cases[] = {
        {"Abc019xyZ", "Abc019xyZ"},
        {"62.50", "62|2e50"},
        {std::string("A\x1c"
                     "B"),
         "A|1cB"},
        {"a b", "a|20b"},
        {"|", "|7c"},
        {std::string("\xe9\xff", 2), "|e9|ff"},
        {std::string("\0", 1), "|00"},
        {"", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CDatawireClient::PipeHexEncode(c.plain), c.escaped);
        EXPECT_EQ(CDatawireClient::PipeHexDecode(c.escaped), c.plain);
    }
    std::string every;
    for (int b = 0; b < 256; ++b) {
        every += static_cast<char>(b);
    }
    EXPECT_EQ(CDatawireClient::PipeHexDecode(CDatawireClient::PipeHexEncode(every)), every);
}

TEST(DatawireTextTest, PipeHexDecodeReadsUpperCaseAndKeepsBarsWithoutTwoHexDigits) {
    struct Case {
        std::string escaped;
        std::string plain;
    };
    const Case cases[] = {
        {"62|2E50", "62.50"}, {"|1C|1c", "\x1c\x1c"}, {"end|", "end|"}, {"end|4", "end|4"},
        {"|", "|"},           {"|x", "|x"},           {"|zz1", "|zz1"}, {"|4g", "|4g"},
        {"||41", "|A"},       {"a|7c|7C", "a||"},     {"|2e|", ".|"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CDatawireClient::PipeHexDecode(c.escaped), c.plain) << c.escaped;
    }
}

TEST(DatawireTextTest, ClientRefIsSevenDigitsAndTheVersionTag) {
    EXPECT_EQ(FormatClientRef(42), "0000042V005006");
    EXPECT_EQ(FormatClientRef(0), "0000000V005006");
    EXPECT_EQ(FormatClientRef(999999), "0999999V005006");
    EXPECT_EQ(FormatClientRef(12345678), "12345678V005006");
}

TEST(DatawireTextTest, StatusTextNamesEachKnownCodeApartAndTheRestAsUnknown) {
    const std::string unknown = "Unknown Datawire Error";
    // The message part of the text, after "DW:<code> ".
    const auto message = [](int code) {
        const std::string text = DatawireStatusText(code);
        const std::string head = "DW:" + std::to_string(code) + " ";
        EXPECT_EQ(text.compare(0, head.size(), head), 0) << text;
        return text.substr(std::min(head.size(), text.size()));
    };
    std::map<std::string, int> codeOfMessage;
    for (int code = 50000; code <= 51000; ++code) {
        const std::string text = message(code);
        if (text == unknown) {
            continue;
        }
        // Each code reads apart from every other, and says where it came from (but the one that names the
        // merchant's ids instead).
        EXPECT_TRUE(codeOfMessage.emplace(text, code).second)
            << code << " and " << codeOfMessage[text] << " share \"" << text << "\"";
        if (code != 50013) {
            std::string lower = text;
            std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
            EXPECT_NE(lower.find("datawire"), std::string::npos) << code << " " << text;
        }
    }
    EXPECT_EQ(codeOfMessage.size(), 54u);
    // Every status word the service answers with, and the client's own codes, has a text of its own.
    for (const char* word : kServiceStatusWords) {
        EXPECT_NE(message(DatawireStatusWordCode(word)), unknown) << word;
    }
    for (const int code : {CDatawireClient::kCodeBadResponse, CDatawireClient::kCodeOtherError,
                           CDatawireClient::kCodeResponseOverflow}) {
        EXPECT_NE(message(code), unknown) << code;
    }
    // The texts keep the wording of the system they came from, its spacing and capitals included.
    EXPECT_EQ(DatawireStatusText(50011), "DW:50011 Response Timed Out (DataWire)");
    EXPECT_EQ(DatawireStatusText(50013), "DW:50013 Authentication Error Check MID TID");
    EXPECT_EQ(DatawireStatusText(50042), "DW:50042 HTTP Error\t(Datawire)");
    EXPECT_EQ(DatawireStatusText(50050), "DW:50050 Other Error  (Datawire)");
    // Codes off the table, below it and of other origins are unknown.
    for (const int code : {50017, 50000, 49999, 3006, 51000}) {
        EXPECT_EQ(message(code), unknown) << code;
    }
    // A short code is looked up 50000 higher but shown as it came.
    EXPECT_EQ(DatawireStatusText(11), "DW:11 Response Timed Out (DataWire)");
    EXPECT_EQ(DatawireStatusText(205), "DW:205 No Response (Datawire)");
    EXPECT_EQ(DatawireStatusText(0), "DW:0 Unknown Datawire Error");
    EXPECT_EQ(DatawireStatusText(-5), "DW:-5 Unknown Datawire Error");
}

TEST(DatawireTextTest, ElementTextFindsTheNthOccurrence) {
    const std::string xml = "<A><B>one</B><B> two </B><C>open";
    EXPECT_EQ(GetElementText(xml, "B", 1), "one");
    EXPECT_EQ(GetElementText(xml, "B", 0), "one");
    EXPECT_EQ(GetElementText(xml, "B", 2), " two ");
    EXPECT_EQ(GetElementText(xml, "B", 3), "");
    EXPECT_EQ(GetElementText(xml, "C", 1), ""); // no close tag
    EXPECT_EQ(GetElementText(xml, "D", 1), "");
    EXPECT_EQ(GetElementText("<B>", "B", 2), "");
    EXPECT_EQ(GetElementText("<B></B>", "B", 1), "");
}

TEST(DatawireTextTest, AttributeReadsEitherQuoteAndTrims) {
    struct Case {
        const char* xml;
        const char* value;
    };
    const Case cases[] = {
        {"<Status StatusCode=\"OK\"></Status>", "OK"},
        {"<Status StatusCode='OK'/>", "OK"},
        {"<Status StatusCode=\" Retry \"/>", "Retry"},
        {"<Status StatusCode=\"OK/>", "OK"},              // runs to the end of the element
        {"<Status StatusCode=OK></Status>", ""},          // no quote at all
        {"<Status Other=\"OK\"></Status>", ""},           // no such attribute
        {"<Status StatusCode=\"OK\">", ""},               // the element never ends
        {"<Response>no status</Response>", ""},           // no such element
        {"<Status>x</Status><Y StatusCode=\"OK\"/>", ""}, // the attribute lies outside the element
    };
    for (const Case& c : cases) {
        EXPECT_EQ(GetAttribute(c.xml, "Status", "StatusCode"), c.value) << c.xml;
    }
}

TEST(DatawireTextTest, StatusWordsMapExactlyAndAnyOtherIsOtherError) {
    struct Case {
        const char* word;
        int code;
    };
    const Case cases[] = {
        {"AuthenticationError", 50013},
        {"UnknownServiceID", 50040},
        {"PackageWasStopped", 50049},
        {"WrongSessionContext", 50006},
        {"Timeout", 50011},
        {"XMLError", 50041},
        {"OtherError", 50050},
        {"Retry", 50055},
        {"Duplicated", 50056},
        {"Failed", 50057},
        {"AccessDenied", 50058},
        {"InvalidMerchant", 50059},
        {"NotFound", 50060},
        {"ok", 50050},
        {"", 50050},
        {"retry", 50050},
        {"Whatever", 50050},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DatawireStatusWordCode(c.word), c.code) << c.word;
    }
}

TEST(DatawireTextTest, ResponseIsCompleteOnceTheDeclaredBodyIsThere) {
    const std::string header = "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n";
    struct Case {
        const char* name;
        std::string text;
        bool ended;
        size_t length; // 0: not complete
    };
    const std::string h5 = header + "Content-Length: 5\r\n\r\n";
    const Case cases[] = {
        {"length 0 ends at the empty line", header + "Content-Length: 0\r\n\r\n", false, header.size() + 21},
        {"short body", h5 + "abc", false, 0},
        {"exact body", h5 + "abcde", false, h5.size() + 5},
        {"longer body is cut", h5 + "abcdefgh", false, h5.size() + 5},
        {"short body at the end of the session", h5 + "abc", true, 0},
        {"no blank after the colon", header + "Content-Length:5\r\n\r\nabcde", false, header.size() + 25},
        {"blanks and lower case", header + "content-length: \t 5\r\n\r\nabcde", false, header.size() + 28},
        {"LF-only lines", "HTTP/1.1 200 OK\nContent-Length: 2\n\nab", false, 37},
        {"header not ended", header + "Content-Length: 0\r\n", false, 0},
        {"no length, session open", header + "\r\nbody", false, 0},
        {"no length, session ended", header + "\r\nbody", true, header.size() + 6},
        {"body lines are not header lines", header + "Content-Length: 4\r\n\r\nab\r\nContent-Length: 0\r\n\r\n", false,
         header.size() + 25},
        {"huge length never completes", header + "Content-Length: 99999999999999999999999\r\n\r\nab", false, 0},
        {"empty", "", true, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CDatawireClient::CompleteResponseLength(c.text, c.ended), c.length) << c.name;
    }
}

// --- Requests on the wire ---

TEST_F(DatawireClientTest, TransactionEnvelopeIsSentByteForByte) {
    auto endpoint = StartEndpoint();
    const std::string host = endpoint->HostAndPort();
    for (const std::string path : {"", "/vxn/104"}) {
        auto client = Connected(host, path);
        ASSERT_TRUE(client->BuildTransactionRequest(Transaction(std::string("0100\x1c"
                                                                            "62.5 X|")),
                                                    42));
        ASSERT_TRUE(client->SendAndReceive()) << client->GetLastErrorText();
        const std::string envelope = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
                                     "<Request>\r\n" +
                                     ClientIdBlock(kDid, "0000042V005006") +
                                     "\t<Transaction>\r\n"
                                     "\t\t<ServiceID>104</ServiceID>\r\n"
                                     "\t\t<Payload>0100|1c62|2e5|20X|7c</Payload>\r\n"
                                     "\t</Transaction>\r\n"
                                     "</Request>\r\n";
        const std::string expected = PostHeader(path.empty() ? "/sd" : path, host, envelope.size()) + envelope;
        EXPECT_EQ(client->GetRequestBuffer(), expected);
        ASSERT_FALSE(endpoint->RawRequests().empty());
        EXPECT_EQ(endpoint->RawRequests().back(), expected);
        EXPECT_EQ(endpoint->Requests().back().hostMessage, std::string("0100\x1c"
                                                                       "62.5 X|"));
        EXPECT_EQ(client->GetPayloadText(), kHostAnswer);
    }
}

TEST_F(DatawireClientTest, ServiceDiscoveryRequestIsAGetWithoutBody) {
    auto endpoint = StartEndpoint();
    endpoint->SetProviderUrls({" https://prov-a.example:9443/sd ", "HTTP://prov-b.example/vxn/104", "  ",
                               "Https://prov-c.example", "prov-d.example/sd"});
    auto client = Connected(endpoint->HostAndPort());
    ASSERT_TRUE(client->BuildServiceDiscoveryRequest());
    std::vector<std::string> urls{"left over"};
    const CDatawireResult result = client->ReadServiceDiscoveryResponse(&urls);
    ASSERT_TRUE(result.ok) << client->GetLastErrorText();
    EXPECT_EQ(result.code, 0);
    EXPECT_EQ(urls, (std::vector<std::string>{"prov-a.example:9443/sd", "prov-b.example/vxn/104", "prov-c.example",
                                              "prov-d.example/sd"}));
    const std::string expected = "GET /sd/104 HTTP/1.1\r\n"
                                 "User-Agent: vxnapi_xml_3_2_0_21\r\n"
                                 "Host: " +
                                 endpoint->HostAndPort() +
                                 "\r\n"
                                 "Accept: */*\r\n"
                                 "Connection: Keep-Alive\r\n"
                                 "Cache-Control: no-cache\r\n"
                                 "Content-Type: text/xml\r\n"
                                 "\r\n";
    ASSERT_EQ(endpoint->RawRequests().size(), 1u);
    EXPECT_EQ(endpoint->RawRequests()[0], expected);

    // An answer without a URL is a bad response.
    CDatawireAnswer none;
    none.omitResult = true;
    endpoint->SetAnswer(DatawireRequestKind::ServiceDiscovery, none);
    const CDatawireResult empty = client->ReadServiceDiscoveryResponse(&urls);
    EXPECT_FALSE(empty.ok);
    EXPECT_EQ(empty.code, 50048);
    EXPECT_TRUE(urls.empty());
    EXPECT_TRUE(client->IsDatawireStatus());
}

TEST_F(DatawireClientTest, DiscoveredUrlsAreTrimmedAsProviderUrlsAreSplit) {
    auto endpoint = StartEndpoint();
    endpoint->SetProviderUrls({"\f https://prov-e.example/sd\v", "\thttp://prov-f.example:8443\r\n"});
    auto client = Connected(endpoint->HostAndPort());
    ASSERT_TRUE(client->BuildServiceDiscoveryRequest());
    std::vector<std::string> urls;
    ASSERT_TRUE(client->ReadServiceDiscoveryResponse(&urls).ok) << client->GetLastErrorText();
    EXPECT_EQ(urls, (std::vector<std::string>{"prov-e.example/sd", "prov-f.example:8443"}));
}

TEST_F(DatawireClientTest, PingEnvelopeIsSentByteForByteAndReadsTheTime) {
    auto endpoint = StartEndpoint();
    const std::string host = endpoint->HostAndPort();
    auto client = Connected(host, "/vxn/104");
    ASSERT_TRUE(client->BuildPingRequest(7));
    int ms = 0;
    const CDatawireResult result = client->ReadPingResponse(&ms);
    ASSERT_TRUE(result.ok) << client->GetLastErrorText();
    EXPECT_EQ(ms, 25);
    const std::string envelope = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
                                 "<Request>\r\n" +
                                 ClientIdBlock(kDid, "0000007V005006") +
                                 "\t<Ping>\r\n"
                                 "\t\t<ServiceID>104</ServiceID>\r\n"
                                 "\t</Ping>\r\n"
                                 "</Request>\r\n";
    ASSERT_EQ(endpoint->RawRequests().size(), 1u);
    EXPECT_EQ(endpoint->RawRequests()[0], PostHeader("/vxn/104", host, envelope.size()) + envelope);

    struct Case {
        const char* name;
        bool omit;
        int time;
    };
    for (const Case& c : {Case{"zero time", false, 0}, Case{"negative time", false, -3}, Case{"no time", true, 0}}) {
        CDatawireAnswer answer;
        answer.omitResult = c.omit;
        answer.transactionTimeMs = c.time;
        endpoint->SetAnswer(DatawireRequestKind::Ping, answer);
        const CDatawireResult bad = client->ReadPingResponse(&ms);
        EXPECT_FALSE(bad.ok) << c.name;
        EXPECT_EQ(bad.code, 50048) << c.name;
        EXPECT_EQ(client->GetLastErrorText(), "DW:50048 Bad Response (Datawire)") << c.name;
    }
}

TEST_F(DatawireClientTest, RegistrationAndActivationEnvelopesAndAnswers) {
    PrepareLogFolder();
    auto endpoint = StartEndpoint();
    const std::string host = endpoint->HostAndPort();
    endpoint->SetRegistrationAnswer("NEWDID0001", "https://prov.example:8443/sd");
    auto client = Connected(host);
    client->SetRegistrationDtd("https://dtd.example/srs.dtd");
    ASSERT_TRUE(client->BuildRegistrationRequest(5));
    std::string did;
    std::string providerHost;
    std::string providerPath;
    const CDatawireResult registered = client->ReadRegistrationResponse(&did, &providerHost, &providerPath);
    ASSERT_TRUE(registered.ok) << client->GetLastErrorText();
    EXPECT_EQ(did, "NEWDID0001");
    EXPECT_EQ(providerHost, "prov.example:8443");
    EXPECT_EQ(providerPath, "/sd");

    ASSERT_TRUE(client->BuildActivationRequest(6));
    EXPECT_TRUE(client->ReadActivationResponse().ok) << client->GetLastErrorText();

    const auto envelope = [&](const std::string& element, const std::string& didText, const std::string& ref) {
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
               "<!DOCTYPE Request PUBLIC \"-//Datawire Communication Networks INC//DTD VXN API Self-Registration "
               "3.0//EN\" \"https://dtd.example/srs.dtd\">\r\n"
               "<Request Version = \"3\">\r\n" +
               ClientIdBlock(didText, ref) + "\t<" + element + ">\r\n\t\t<ServiceID>104</ServiceID>\r\n\t</" + element +
               ">\r\n</Request>\r\n";
    };
    const auto header = [&](size_t length) {
        return "POST /nocportal/SRS.do HTTP/1.1\r\n"
               "User-Agent: vxnapi_xml_3_2_0_21\r\n"
               "Host: " +
               host +
               "\r\n"
               "Connection: Keep-Alive\r\n"
               "Cache-Control: no-cache\r\n"
               "Content-Length: " +
               std::to_string(length) +
               "\r\n"
               "Content-Type: text/xml\r\n\r\n";
    };
    const std::string registration = envelope("Registration", "", "0000005V005006");
    const std::string activation = envelope("Activation", kDid, "0000006V005006");
    const std::vector<std::string> raw = endpoint->RawRequests();
    ASSERT_EQ(raw.size(), 2u);
    EXPECT_EQ(raw[0], header(registration.size()) + registration);
    EXPECT_EQ(raw[1], header(activation.size()) + activation);
    // Each step logs its request and its answer.
    for (const char* line : {"Sending Merchant Registration:", "Merchant Registration Response:",
                             "Sending Merchant Activation:", "Merchant Activation Response:"}) {
        EXPECT_EQ(CountLogLines(std::string("]") + line), 1) << line;
    }

    // A registration answer with neither a DID nor a URL is a bad response.
    CDatawireAnswer none;
    none.omitResult = true;
    endpoint->SetAnswer(DatawireRequestKind::Registration, none);
    ASSERT_TRUE(client->BuildRegistrationRequest(7));
    const CDatawireResult empty = client->ReadRegistrationResponse(&did, &providerHost, &providerPath);
    EXPECT_FALSE(empty.ok);
    EXPECT_EQ(empty.code, 50048);
}

TEST_F(DatawireClientTest, RequestLongerThanOneRecordGoesOutWhole) {
    auto endpoint = StartEndpoint();
    auto client = Connected(endpoint->HostAndPort());
    const std::string hostMessage(9000, '.'); // escapes to 27000 bytes
    ASSERT_TRUE(client->BuildTransactionRequest(Transaction(hostMessage), 1));
    ASSERT_GT(client->GetRequestBuffer().size(), CTlsChannel::kMaxMessage);
    ASSERT_TRUE(client->SendAndReceive()) << client->GetLastErrorText();
    ASSERT_EQ(endpoint->Requests().size(), 1u);
    EXPECT_EQ(endpoint->Requests()[0].hostMessage, hostMessage);
}

// --- Answers ---

struct DecodeCase {
    const char* name;
    CDatawireAnswer answer;
    bool ok;
    int code;
    bool datawireStatus;
    bool awaiting;            // still waiting for an answer afterwards (the host interface reverses then)
    const char* errorText;    // nullptr: not checked
    uint32_t budgetMs = 2000; // every answer here comes at once; the no-answer cases wait out a short one
};

CDatawireAnswer Answer(void (*change)(CDatawireAnswer&)) {
    CDatawireAnswer answer;
    change(answer);
    return answer;
}

TEST_F(DatawireClientTest, TransactionAnswersDecodeByTheTable) {
    std::vector<DecodeCase> cases = {
        {"success", CDatawireAnswer{}, true, 0, false, false, nullptr},
        {"single quotes", Answer([](CDatawireAnswer& a) { a.quote = '\''; }), true, 0, false, false, nullptr},
        {"ok in lower case", Answer([](CDatawireAnswer& a) { a.statusWord = "ok"; }), false, 50050, true, false,
         "DW:50050 Other Error  (Datawire)"},
        {"retry in single quotes", Answer([](CDatawireAnswer& a) {
             a.quote = '\'';
             a.statusWord = "Retry";
         }),
         false, 50055, true, false, "DW:50055 Retry error From Datawire"},
        {"empty status word", Answer([](CDatawireAnswer& a) { a.statusWord = ""; }), false, 50050, true, false,
         nullptr},
        {"return code", Answer([](CDatawireAnswer& a) { a.returnCode = "011"; }), false, 11, true, false,
         "DW:11 Response Timed Out (DataWire)"},
        {"long return code", Answer([](CDatawireAnswer& a) { a.returnCode = "50205"; }), false, 50205, true, false,
         "DW:50205 No Response (Datawire)"},
        // Read as the C library reads a number: white space of any kind before the digits.
        {"return code on a line of its own", Answer([](CDatawireAnswer& a) { a.returnCode = "\r\n\t\t\t011\r\n\t\t"; }),
         false, 11, true, false, "DW:11 Response Timed Out (DataWire)"},
        {"return code zero", Answer([](CDatawireAnswer& a) { a.returnCode = "0"; }), true, 0, false, false, nullptr},
        {"no return code", Answer([](CDatawireAnswer& a) { a.returnCode = ""; }), true, 0, false, false, nullptr},
        {"missing payload", Answer([](CDatawireAnswer& a) { a.omitResult = true; }), false, 50048, true, false,
         "DW:50048 Bad Response (Datawire)"},
        {"http status", Answer([](CDatawireAnswer& a) { a.httpStatus = 500; }), false, 0, false, false, " HTTP:500"},
        {"not http", Answer([](CDatawireAnswer& a) { a.raw = "SERVER BUSY\r\nContent-Length: 0\r\n\r\n"; }), false, 0,
         false, false, " HTTP:-1"},
        {"bad body", Answer([](CDatawireAnswer& a) { a.body = "<html>Not a Datawire answer</html>"; }), false, 50050,
         true, false, nullptr},
        {"content length without blank", Answer([](CDatawireAnswer& a) { a.contentLengthWithoutBlank = true; }), true,
         0, false, false, nullptr},
        // Complete without waiting: the bytes behind the declared length are not part of the answer.
        {"body longer than the length",
         Answer([](CDatawireAnswer& a) { a.trailingBytes = "<Payload>4a554e4b</Payload>"; }), true, 0, false, false,
         nullptr, 1000},
        {"content length zero", Answer([](CDatawireAnswer& a) { a.declaredLength = 0; }), false, 50050, true, false,
         nullptr},
        {"body shorter than the length, connection open", Answer([](CDatawireAnswer& a) { a.declaredLength = 100000; }),
         false, 0, false, true, nullptr, 150},
        {"body shorter than the length, then close-notify", Answer([](CDatawireAnswer& a) {
             a.declaredLength = 100000;
             a.ending = DatawireEnding::CloseNotifySeparately;
         }),
         false, 0, false, true, nullptr},
        {"no length, close-notify in the same read", Answer([](CDatawireAnswer& a) {
             a.omitContentLength = true;
             a.ending = DatawireEnding::CloseNotify;
         }),
         true, 0, false, false, nullptr},
        {"no length, close-notify in a read of its own", Answer([](CDatawireAnswer& a) {
             a.omitContentLength = true;
             a.ending = DatawireEnding::CloseNotifySeparately;
         }),
         true, 0, false, false, nullptr},
        {"no length, connection closed", Answer([](CDatawireAnswer& a) {
             a.omitContentLength = true;
             a.ending = DatawireEnding::CloseTcp;
         }),
         true, 0, false, false, nullptr},
        {"no length, connection open", Answer([](CDatawireAnswer& a) { a.omitContentLength = true; }), false, 0, false,
         true, nullptr, 150},
        {"silent", Answer([](CDatawireAnswer& a) { a.ending = DatawireEnding::Silent; }), false, 0, false, true,
         nullptr, 150},
        {"many small records", Answer([](CDatawireAnswer& a) {
             a.recordSize = 40;
             a.recordPauseMs = 1;
         }),
         true, 0, false, false, nullptr},
        {"late answer", Answer([](CDatawireAnswer& a) { a.delayMs = 100; }), true, 0, false, false, nullptr},
    };
    for (const char* word : kServiceStatusWords) {
        CDatawireAnswer answer;
        answer.statusWord = word;
        const int code = DatawireStatusWordCode(word);
        cases.push_back({word, answer, false, code, true, false, nullptr});
    }

    auto endpoint = StartEndpoint();
    for (const DecodeCase& c : cases) {
        SCOPED_TRACE(c.name);
        endpoint->SetAnswer(DatawireRequestKind::Transaction, c.answer);
        auto client = Connected(endpoint->HostAndPort());
        client->SetResponseBudgetMs(c.budgetMs);
        ASSERT_TRUE(client->BuildTransactionRequest(Transaction("0200 SALE"), 3));
        EXPECT_EQ(client->SendAndReceive(), c.ok) << client->GetLastErrorText();
        EXPECT_EQ(client->IsAwaitingResponse(), c.awaiting);
        EXPECT_EQ(client->IsDatawireStatus(), c.datawireStatus);
        if (c.ok) {
            EXPECT_EQ(client->GetPayloadText(), kHostAnswer);
            EXPECT_EQ(client->GetResponseText().find("4a554e4b"), std::string::npos);
        } else {
            EXPECT_EQ(client->GetPayloadText(), "");
        }
        if (c.code != 0) {
            EXPECT_EQ(client->GetLastError(), c.code);
            EXPECT_EQ(client->GetLastErrorText(), DatawireStatusText(c.code));
        }
        if (c.errorText != nullptr) {
            EXPECT_EQ(client->GetLastErrorText(), c.errorText);
        }
        if (c.awaiting) {
            continue;
        }
        // The reader itself reports the code.
        client->Close();
        auto again = Connected(endpoint->HostAndPort());
        again->SetResponseBudgetMs(c.budgetMs);
        ASSERT_TRUE(again->BuildTransactionRequest(Transaction("0200 SALE"), 4));
        const CDatawireResult result = again->ReadTransactionResponse();
        EXPECT_EQ(result.ok, c.ok);
        EXPECT_EQ(result.code, c.code);
    }
}

TEST_F(DatawireClientTest, SilentHostWaitsOutThirtyFiveSecondsOnTheClock) {
    auto endpoint = StartEndpoint();
    CDatawireAnswer silent;
    silent.ending = DatawireEnding::Silent;
    endpoint->SetAnswer(DatawireRequestKind::Transaction, silent);
    auto client = Connected(endpoint->HostAndPort());
    EXPECT_EQ(client->GetResponseBudgetMs(), 35000u);
    ASSERT_TRUE(client->BuildTransactionRequest(Transaction("0200 SALE"), 9));

    const uint64_t waited = ClockTimeOf([&] { EXPECT_FALSE(client->SendAndReceive()); });
    EXPECT_GE(waited, 35000u);
    EXPECT_LT(waited, 36000u);
    EXPECT_TRUE(client->IsAwaitingResponse());
    EXPECT_FALSE(client->IsDatawireStatus());
    EXPECT_TRUE(endpoint->WaitForRequests(1)); // the endpoint's thread may record it after the client gave up
    EXPECT_EQ(endpoint->Requests().size(), 1u);
}

TEST_F(DatawireClientTest, RecordsWithoutDataDoNotStretchTheBudget) {
    // A server that never answers but keeps the connection busy with key updates until the client goes away
    // (bounded at about a minute of real time, however slow the client's manual-clock wait runs).
    CTlsTestServer server(s_Pki->Leaf(TestLeaf::LoopbackIp), 0x0304, 0x0304);
    server.SetScenario([](CTlsTestConnection& conn) {
        std::string request;
        if (!conn.Handshake() || !conn.ReadPlain(&request, 1)) {
            return;
        }
        for (int i = 0; i < 12000 && !conn.WaitForPeerClose(1); ++i) {
            if (!conn.KeyUpdate(false) || !conn.SendRaw(conn.Session().TakeOutput())) {
                return;
            }
        }
    });
    ASSERT_TRUE(server.Start());
    auto client = Connected("127.0.0.1:" + std::to_string(server.Port()));
    ASSERT_TRUE(client->BuildTransactionRequest(Transaction("0200 SALE"), 9));

    const uint64_t waited = ClockTimeOf([&] { EXPECT_FALSE(client->SendAndReceive()); });
    EXPECT_GE(waited, 35000u);
    EXPECT_LT(waited, 36000u);
    EXPECT_TRUE(client->IsAwaitingResponse());
    client->Close();
}

TEST_F(DatawireClientTest, OversizedAnswerIsRefused) {
    auto endpoint = StartEndpoint();
    CDatawireAnswer huge;
    huge.body = std::string(CDatawireClient::kMaxResponseBytes + 70000, 'x');
    huge.declaredLength = 4LL << 20;
    endpoint->SetAnswer(DatawireRequestKind::Transaction, huge);
    auto client = Connected(endpoint->HostAndPort());
    ASSERT_TRUE(client->BuildTransactionRequest(Transaction("0200 SALE"), 9));
    const CDatawireResult result = client->ReadTransactionResponse();
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(client->GetLastError(), 50051);
    EXPECT_EQ(client->GetLastErrorText(), "DW:50051 Overflow on Response (Datawire)");
    EXPECT_TRUE(client->IsAwaitingResponse());
}

TEST_F(DatawireClientTest, HttpErrorTextReplacesAnEarlierConnectError) {
    auto endpoint = StartEndpoint();
    CDatawireAnswer unavailable;
    unavailable.httpStatus = 503;
    endpoint->SetAnswer(DatawireRequestKind::ServiceDiscovery, unavailable);

    CDatawireClient client;
    client.SetServiceID("104");
    client.SetEndpoint(hosttest::EndpointOf(hosttest::RefusingHostAndPort(*s_Pki)));
    ASSERT_FALSE(client.Connect());
    ASSERT_FALSE(client.GetLastErrorText().empty());
    client.SetEndpoint(hosttest::EndpointOf(endpoint->HostAndPort()));
    ASSERT_TRUE(client.Connect()) << client.GetLastErrorText();
    ASSERT_TRUE(client.BuildServiceDiscoveryRequest());
    std::vector<std::string> urls;
    const CDatawireResult result = client.ReadServiceDiscoveryResponse(&urls);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.code, 0);
    EXPECT_EQ(client.GetLastErrorText(), " HTTP:503");
    EXPECT_FALSE(client.IsDatawireStatus());
}

// --- Connect ---

TEST_F(DatawireClientTest, CertificateCheckFollowsTheVerifyParameter) {
    struct Case {
        const char* name;
        TestLeaf leaf;
        const char* hostName;
        const char* verify;
        bool connects;
        uint32_t code;
    };
    const Case cases[] = {
        {"ip certificate checked", TestLeaf::LoopbackIp, "127.0.0.1", "Y", true, 0},
        {"name certificate checked, port in the host", TestLeaf::Localhost, "localhost", "Y", true, 0},
        {"wrong name refused", TestLeaf::WrongName, "127.0.0.1", "Y", false, kCertCnNoMatch},
        {"expired refused", TestLeaf::Expired, "localhost", "Y", false, kCertExpired},
        {"unknown issuer refused", TestLeaf::UnknownIssuer, "localhost", "Y", false, kCertChaining},
        {"self-signed refused", TestLeaf::SelfSigned, "localhost", "Y", false, kCertUntrustedRoot},
        {"wrong name accepted unchecked", TestLeaf::WrongName, "127.0.0.1", "N", true, 0},
        {"expired accepted unchecked", TestLeaf::Expired, "localhost", "N", true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetParams(c.verify);
        auto endpoint = StartEndpoint(c.leaf);
        CDatawireClient client;
        client.SetServiceID("104");
        client.SetEndpoint(hosttest::EndpointOf(std::string(c.hostName) + ":" + std::to_string(endpoint->Port())));
        EXPECT_EQ(client.Connect(), c.connects) << client.GetLastErrorText();
        if (!c.connects) {
            EXPECT_EQ(static_cast<uint32_t>(client.GetLastError()), c.code);
            EXPECT_FALSE(client.IsOpen());
            continue;
        }
        EXPECT_EQ(client.GetServerName(), c.hostName);
        ASSERT_TRUE(client.BuildTransactionRequest(Transaction("0200"), 1));
        EXPECT_TRUE(client.SendAndReceive()) << client.GetLastErrorText();
    }
}
