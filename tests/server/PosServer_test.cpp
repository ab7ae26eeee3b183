#include "server/PosServer.h"

#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "common/LogFolder.h"
#include "common/ParamSets.h"
#include "common/TempDirTest.h"
#include "common/TestClock.h"
#include "common/Wait.h"
#include "foundation/Logger.h"
#include "foundation/ParamSettings.h"
#include "foundation/ParamStore.h"
#include "foundation/Request.h"
#include "peers/PosClient.h"
#include "peers/QueueStandInHost.h"
#include "platform/ProcessEvents.h"
#include "platform/Rc4Key.h"
#include "platform/Socket.h"
#include "server/PosSession.h"
#include "transaction/Replies.h"
#include "transaction/TransactionQueue.h"

namespace {

void SetParam(unsigned index, const std::string& value) {
    CParamSettings settings = CParamStore::Instance().GetParams();
    if (settings.GetParamMap().GetCount() == 0) {
        settings = DefaultParams();
    }
    std::string refused;
    settings = ParamsWith(settings, {{index, value}}, &refused);
    ASSERT_EQ(refused, "");
    ASSERT_TRUE(CParamStore::Instance().SetParams(settings));
}

CTransactionList QueueRecords() {
    CTransactionList records;
    g_TransactionQueue.GetAll(records);
    return records;
}

// Changes the queued record |seq| as the host interface would.
void Complete(int32_t seq, const std::function<void(CTransaction&)>& change) {
    CTransaction record;
    ASSERT_TRUE(g_TransactionQueue.GetBySeq(seq, record));
    change(record);
    ASSERT_TRUE(g_TransactionQueue.ReplaceBySeq(seq, record));
}

SPosRequest Sale(const std::string& tranCode = "Sale") {
    SPosRequest request;
    request.tranCode = tranCode;
    request.acctNo = "6011000000000012";
    request.purchase = tranCode == "Balance" ? "" : "1.00";
    return request;
}

// Real waits short enough for tests: a reply goes out after 20 ms of quiet.
SPosSessionTimings FastTimings() {
    SPosSessionTimings timings;
    timings.receiveWaitMs = 20;
    timings.outstandingStepMs = 5;
    return timings;
}

class PosServerTest : public TempDirTest {
protected:
    void SetUp() override {
        std::filesystem::create_directory(CLogger::kFolderName);
        ASSERT_TRUE(CRequest::Instance().StartCrypto());
        SetParam(kParamNumberOfLanes, "2");
        SetParam(kParamUsePassword, "N");
        g_TransactionQueue.RemoveAll();
        g_ReversalQueue.RemoveAll();
        g_ShutdownEvent.Reset();
    }
    void TearDown() override {
        if (m_Clock != nullptr) {
            // Sessions wait on the manual clock: it must move while they end.
            CClockPump pump(*m_Clock, 100);
            m_Server.reset();
        }
        m_Server.reset();
        m_ScopedClock.reset();
        m_Clock.reset();
        g_TransactionQueue.RemoveAll();
        g_ReversalQueue.RemoveAll();
    }

    // A clock that moves only when the test says, put in place until the test's end. It starts well after
    // the queue's construction, so the first request is not held on one lane.
    CTestClock& UseManualClock() {
        m_Clock = std::make_unique<CTestClock>(CSystemClock().TickMs() + 60000);
        m_ScopedClock = std::make_unique<CScopedClock>(*m_Clock);
        // The queue remembers its last addition on whatever clock was in place then.
        CTransaction dummy;
        g_TransactionQueue.Add(dummy);
        g_TransactionQueue.RemoveAll();
        m_Clock->Advance(30000);
        return *m_Clock;
    }

    void StartServer(const SPosSessionTimings& timings = FastTimings()) {
        m_Server = std::make_unique<CPosServer>();
        m_Server->SetTimings(timings);
        ASSERT_EQ(m_Server->Start(0), 0);
        m_Port = m_Server->GetPort();
        ASSERT_GT(m_Port, 0);
    }

    // Connects, reads the greeting and logs in.
    void LogIn(CPosClient& client, const SPosLogin& login = SPosLogin()) {
        SPosReply reply;
        ASSERT_TRUE(client.ConnectAndLogIn("127.0.0.1", m_Port, &reply, login)) << client.LastError();
    }

    // Sends |request| and expects its "Queued" reply; returns the record's sequence number.
    // The record is found by its number, not by the queue's size: another session may purge its own
    // record at the same moment.
    int32_t Queue(CPosClient& client, const SPosRequest& request) {
        const int32_t newestBefore = NewestQueueSeq();
        SPosReply reply;
        EXPECT_TRUE(client.SendRequest(request));
        EXPECT_TRUE(client.ReadReply(&reply)) << client.LastError();
        EXPECT_EQ(reply.returnCode, 0);
        EXPECT_EQ(reply.textResponse.rfind("Queued:045:", 0), 0u) << reply.textResponse;
        EXPECT_TRUE(WaitUntil([&] { return NewestQueueSeq() > newestBefore; }));
        const int32_t newest = NewestQueueSeq();
        return newest > newestBefore ? newest : -1;
    }

    static int32_t NewestQueueSeq() {
        int32_t newest = 0;
        for (const CTransaction& record : QueueRecords()) {
            newest = std::max(newest, record.m_QueueSeq);
        }
        return newest;
    }

    std::unique_ptr<CTestClock> m_Clock;
    std::unique_ptr<CScopedClock> m_ScopedClock;
    std::unique_ptr<CPosServer> m_Server;
    int m_Port = -1;
};

// ---- Pure helpers ----

TEST(PosChallenge, ResponseMustMatchTheBlockExactly) {
    const uint8_t block[4] = {0x00, 0x9F, 0xA0, 0x10};
    struct SCase {
        std::string hex;
        bool ok;
    };
    const std::vector<SCase> cases = {
        {"009FA010", true},
        {"009fa010", false},
        {"009FA0", false},
        {"009FA01000", false},
        {"009FA01", false},
        {"", false},
        {std::string(258, '0'), false},
    };
    for (const SCase& c : cases) {
        EXPECT_EQ(CPosSession::CheckChallengeResponse(c.hex, block, sizeof block), c.ok) << c.hex;
    }
    // No challenge (it could not be drawn or encrypted): nothing passes, not even an empty answer.
    EXPECT_FALSE(CPosSession::CheckChallengeResponse("", block, 0));
    EXPECT_FALSE(CPosSession::CheckChallengeResponse("00", nullptr, 0));
}

// ---- Greeting and login ----

TEST_F(PosServerTest, GreetingCarriesThePublicKeyAndAFreshChallenge) {
    StartServer();
    CPosClient first;
    CPosClient second;
    SPosReply reply;
    ASSERT_TRUE(first.Connect("127.0.0.1", m_Port));
    ASSERT_TRUE(first.ReadGreeting(&reply)) << first.LastError();
    EXPECT_FALSE(reply.encrypted);
    EXPECT_EQ(reply.returnCode, 0);
    EXPECT_EQ(reply.cmdStatus, "Success");
    EXPECT_EQ(reply.responseOrigin, "Server");
    const std::string expected = std::string(kPosGreetingText) + CRequest::Instance().GetPublicKeyHex() + kCharRS +
                                 BytesToHex(first.Challenge()) + kCharUS;
    EXPECT_EQ(reply.textResponse, expected);
    EXPECT_EQ(first.Challenge().size(), kPosChallengeBytes);
    ASSERT_TRUE(second.Connect("127.0.0.1", m_Port));
    ASSERT_TRUE(second.ReadGreeting(&reply));
    EXPECT_NE(first.Challenge(), second.Challenge());

    ASSERT_TRUE(first.Login(&reply)) << first.LastError();
    EXPECT_EQ(reply.returnCode, kPosReplyLoginVerified);
    EXPECT_EQ(reply.cmdStatus, "Success");
    EXPECT_EQ(reply.textResponse.rfind(kPosLoginVerifiedText, 0), 0u);
    EXPECT_TRUE(first.ServerProvedKey());
}

struct SLoginCase {
    const char* name;
    bool usePassword;
    SPosLogin login;
    int expected;
};

TEST_F(PosServerTest, EachLoginFaultHasItsReply) {
    SetParam(kParamPassword, "secret");
    StartServer();
    const auto login = [](const std::function<void(SPosLogin&)>& change) {
        SPosLogin l;
        change(l);
        return l;
    };
    const std::vector<SLoginCase> cases = {
        {"no answer", false, login([](SPosLogin& l) { l.sendChallengeAnswer = false; }), kPosReplyChallengeFailed},
        {"plain echo", false, login([](SPosLogin& l) { l.answerInPlain = true; }), kPosReplyChallengeFailed},
        {"wrong answer", false, login([](SPosLogin& l) { l.answerOverride = std::string(32, 'A'); }),
         kPosReplyChallengeFailed},
        {"odd answer", false, login([](SPosLogin& l) { l.answerOverride = "ABC"; }), kPosReplyChallengeFailed},
        {"overlong answer", false, login([](SPosLogin& l) { l.answerOverride = std::string(300, '0'); }),
         kPosReplyChallengeFailed},
        {"no client data", false, login([](SPosLogin& l) { l.sendClientData = false; }), kPosReplyUpgradeRequired},
        {"no client data, good password", true, login([](SPosLogin& l) {
             l.sendClientData = false;
             l.password = "secret";
         }),
         kPosReplyUpgradeRequired},
        {"wrong password", true, login([](SPosLogin& l) { l.password = "Secret"; }), kPosReplyPasswordFailed},
        {"no password", true, login([](SPosLogin&) {}), kPosReplyPasswordFailed},
        {"good password", true, login([](SPosLogin& l) { l.password = "secret"; }), kPosReplyLoginVerified},
        {"password not used", false, login([](SPosLogin& l) { l.password = "anything"; }), kPosReplyLoginVerified},
    };
    for (const SLoginCase& c : cases) {
        SCOPED_TRACE(c.name);
        SetParam(kParamUsePassword, c.usePassword ? "Y" : "N");
        CPosClient client;
        SPosReply reply;
        ASSERT_TRUE(client.Connect("127.0.0.1", m_Port));
        ASSERT_TRUE(client.ReadGreeting(&reply));
        ASSERT_TRUE(client.SendLogin(c.login));
        ASSERT_TRUE(client.ReadReply(&reply)) << client.LastError();
        EXPECT_EQ(reply.returnCode, c.expected) << reply.textResponse;
        if (c.expected != kPosReplyLoginVerified) {
            EXPECT_EQ(reply.cmdStatus, "Error");
            EXPECT_TRUE(client.WaitClosed());
        }
    }
}

TEST_F(PosServerTest, PasswordRightBeforeAnEtxTooEarlyInTheTextFails) {
    SetParam(kParamUsePassword, "Y");
    SetParam(kParamPassword, "secret");
    StartServer();
    for (const bool etxAtSix : {true, false}) {
        CPosClient client;
        SPosReply reply;
        ASSERT_TRUE(client.Connect("127.0.0.1", m_Port));
        ASSERT_TRUE(client.ReadGreeting(&reply));
        CRc4Key key;
        ASSERT_TRUE(DeriveSharedSessionKey(1, &key));
        std::vector<uint8_t> answer = client.Challenge();
        key.Crypt(answer.data(), answer.size());
        // The answer and the client data come after the ETX, in the same piece of input.
        const std::string tail = std::string(1, kCharRS) + BytesToHex(answer) + kCharUS + kCharDC1 + "00" + kCharDC2;
        const std::string text = (etxAtSix ? "" : "x") + std::string("secret") + kCharETX + tail;
        ASSERT_TRUE(client.SendRaw(text));
        ASSERT_TRUE(client.ReadReply(&reply)) << client.LastError();
        EXPECT_EQ(reply.returnCode, etxAtSix ? kPosReplyPasswordFailed : kPosReplyLoginVerified);
    }
}

TEST_F(PosServerTest, LoginTimesOutAfterThirtySecondsOfTheClock) {
    CTestClock& clock = UseManualClock();
    StartServer(SPosSessionTimings());
    CPosClient client;
    SPosReply reply;
    ASSERT_TRUE(client.Connect("127.0.0.1", m_Port));
    ASSERT_TRUE(client.ReadGreeting(&reply));
    // Half a login: no ETX ever comes.
    SPosLogin half;
    half.sendEtx = false;
    ASSERT_TRUE(client.SendLogin(half));
    const uint64_t start = clock.TickMs();
    CClockPump pump(clock, 50);
    ASSERT_TRUE(client.ReadReply(&reply, 10000)) << client.LastError();
    const uint64_t elapsed = clock.TickMs() - start;
    EXPECT_EQ(reply.returnCode, kPosReplyLoginFailed);
    EXPECT_EQ(reply.textResponse, kPosLoginFailedText);
    EXPECT_GE(elapsed, 29000u);
    EXPECT_TRUE(client.WaitClosed());
    // The failed login is logged as a warning.
    EXPECT_NE(LogText().find("<CmdStatus>Warning</CmdStatus>"), std::string::npos);
}

// A session whose challenge cannot be drawn or encrypted.
class CFailingChallengeSession : public CPosSession {
public:
    CFailingChallengeSession(const SPosSessionTimings& timings, bool failRandom, bool failEncrypt)
        : CPosSession(timings), m_FailRandom(failRandom), m_FailEncrypt(failEncrypt) {}

protected:
    bool DrawChallenge(uint8_t* block, uint32_t length) override {
        return m_FailRandom ? false : CPosSession::DrawChallenge(block, length);
    }
    bool EncryptChallenge(uint8_t* block, uint32_t* length, uint32_t size) override {
        return m_FailEncrypt ? false : CPosSession::EncryptChallenge(block, length, size);
    }

private:
    bool m_FailRandom;
    bool m_FailEncrypt;
};

class CFailingChallengeServer : public CPosServer {
public:
    CFailingChallengeServer(bool failRandom, bool failEncrypt) : m_FailRandom(failRandom), m_FailEncrypt(failEncrypt) {}

protected:
    std::unique_ptr<CTcpSession> CreateSession() override {
        return std::make_unique<CFailingChallengeSession>(GetTimings(), m_FailRandom, m_FailEncrypt);
    }

private:
    bool m_FailRandom;
    bool m_FailEncrypt;
};

TEST_F(PosServerTest, ChallengeThatCouldNotBeMadeLetsNoClientIn) {
    struct SCase {
        bool failRandom;
        bool failEncrypt;
        bool answerInPlain; // what such a client would guess the server compares with
    };
    for (const SCase c : {SCase{true, false, false}, SCase{false, true, true}, SCase{true, true, true}}) {
        SCOPED_TRACE(std::to_string(c.failRandom) + std::to_string(c.failEncrypt));
        CFailingChallengeServer server(c.failRandom, c.failEncrypt);
        server.SetTimings(FastTimings());
        ASSERT_EQ(server.Start(0), 0);
        CPosClient client;
        SPosReply reply;
        ASSERT_TRUE(client.Connect("127.0.0.1", server.GetPort()));
        ASSERT_TRUE(client.ReadGreeting(&reply));
        if (c.failRandom) {
            EXPECT_EQ(client.Challenge(), std::vector<uint8_t>(kPosChallengeBytes, 0));
        }
        SPosLogin login;
        login.answerInPlain = c.answerInPlain;
        ASSERT_TRUE(client.SendLogin(login));
        ASSERT_TRUE(client.ReadReply(&reply)) << client.LastError();
        EXPECT_EQ(reply.returnCode, kPosReplyChallengeFailed);
        EXPECT_TRUE(client.WaitClosed());
    }
    const std::string log = LogText();
    EXPECT_NE(log.find("Random Buffer Generator Failed!!!"), std::string::npos);
    EXPECT_NE(log.find("Encryption failed on Random Block!!!"), std::string::npos);
}

TEST_F(PosServerTest, ConnectionOverTheMaximumIsRefusedAfterLogin) {
    StartServer();
    m_Server->SetMaxConnections(1);
    m_Server->SetRefusalPauseMs(20);
    CPosClient first;
    LogIn(first);
    CPosClient second;
    SPosReply reply;
    ASSERT_TRUE(second.Connect("127.0.0.1", m_Port));
    ASSERT_TRUE(second.ReadGreeting(&reply)) << second.LastError();
    EXPECT_FALSE(second.Login(&reply));
    EXPECT_EQ(reply.returnCode, kPosReplyRefused);
    EXPECT_EQ(reply.textResponse, kPosRefusedText);
    EXPECT_TRUE(second.WaitClosed());
    // The first lane is still served.
    Queue(first, Sale());
}

TEST_F(PosServerTest, GoingOfflineAnswers2003) {
    StartServer();
    CPosClient lane;
    LogIn(lane);
    m_Server->m_bGoingOffline = true;
    SPosReply reply;
    ASSERT_TRUE(lane.ReadReply(&reply)) << lane.LastError();
    EXPECT_EQ(reply.returnCode, kPosReplyGoingOffline);
    EXPECT_EQ(reply.textResponse, kPosGoingOfflineText);
    ASSERT_TRUE(lane.ReadReply(&reply)) << lane.LastError();
    EXPECT_EQ(reply.returnCode, kPosReplyDisconnecting);
    EXPECT_TRUE(lane.WaitClosed());

    CPosClient late;
    ASSERT_TRUE(late.Connect("127.0.0.1", m_Port));
    ASSERT_TRUE(late.ReadReply(&reply)) << late.LastError();
    EXPECT_EQ(reply.returnCode, kPosReplyGoingOffline);
    EXPECT_TRUE(late.WaitClosed());
}

TEST_F(PosServerTest, BurstOfLanesConnectingAtOnceIsGreetedEveryOne) {
    // After a restart every lane reconnects at the same moment; none may be left waiting for its greeting.
    StartServer();
    constexpr int kLanes = 200;
    std::vector<CPosClient> lanes(kLanes);
    std::atomic<int> greeted{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (CPosClient& lane : lanes) {
        threads.emplace_back([&] {
            while (!go.load()) {
                std::this_thread::yield();
            }
            SPosReply reply;
            if (lane.Connect("127.0.0.1", m_Port) && lane.ReadGreeting(&reply, 5000)) {
                ++greeted;
            }
        });
    }
    go = true;
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(greeted.load(), kLanes);
    EXPECT_EQ(m_Server->GetActiveCount(), kLanes);
}

// ---- Requests ----

TEST_F(PosServerTest, ValidRequestIsAnsweredQueuedAndQueuedWithATicket) {
    StartServer();
    CPosClient lane;
    LogIn(lane);
    SPosReply reply;
    ASSERT_TRUE(lane.SendRequest(Sale(), "Lane07"));
    ASSERT_TRUE(lane.ReadReply(&reply));
    EXPECT_FALSE(reply.encrypted);
    EXPECT_EQ(reply.returnCode, 0);
    EXPECT_EQ(reply.cmdStatus, "Success");
    EXPECT_EQ(reply.textResponse, "Queued:045:000");
    EXPECT_EQ(reply.traceData, "Lane07");
    ASSERT_TRUE(WaitUntil([] { return g_TransactionQueue.GetCount() == 1; }));
    const CTransaction record = QueueRecords().front();
    EXPECT_EQ(record.m_State, kTranStateQueued);
    EXPECT_EQ(record.m_CryptMode, kCryptModeEncrypted);
    EXPECT_EQ(record.m_TranCode, kTranNumSale);
    EXPECT_EQ(record.m_Account, "6011000000000012");
    EXPECT_EQ(record.m_ClientAddress.rfind("127.0.0.1:", 0), 0u);
    // The second request counts the first one.
    ASSERT_TRUE(lane.SendRequest(Sale("Balance")));
    ASSERT_TRUE(lane.ReadReply(&reply));
    EXPECT_EQ(reply.textResponse, "Queued:045:001");
    // The log shows the request with its account masked.
    const std::string log = LogText();
    EXPECT_NE(log.find("AcctNo=XXXXXXXXXXXX0012"), std::string::npos);
    EXPECT_EQ(log.find("6011000000000012"), std::string::npos);
}

TEST_F(PosServerTest, RequestsBeyondTheOutstandingLimitsAreRefusedAtOnceAndNotQueued) {
    m_Server = std::make_unique<CPosServer>();
    m_Server->SetTimings(FastTimings());
    m_Server->SetRequestLimits(SPosRequestLimits{2, 3});
    ASSERT_EQ(m_Server->Start(0), 0);
    m_Port = m_Server->GetPort();
    CPosClient lane;
    LogIn(lane);
    const int32_t first = Queue(lane, Sale());
    Queue(lane, Sale());
    CCmdResponse expected;
    const struct {
        int code;
        const char* text;
    } refusals[] = {
        {kResultLaneBusy, "Too Many Requests Outstanding for this Lane - Retry Trans Later!"},
        {kResultServerBusy, "Kestrove is Busy - Too Many Requests Outstanding - Retry Trans Later!"},
    };
    SPosReply reply;
    ASSERT_TRUE(lane.SendRequest(Sale(), "Lane05"));
    ASSERT_TRUE(lane.ReadReply(&reply)) << lane.LastError();
    EXPECT_EQ(reply.frame,
              FrameReply(expected.BuildDocument(refusals[0].code, 'E', refusals[0].text, "Lane05"), false));
    ASSERT_TRUE(lane.SendAbort()); // no answer: dropped
    EXPECT_FALSE(lane.ReadReply(&reply, 100));
    EXPECT_EQ(g_TransactionQueue.GetCount(), 2);

    // Another lane may add one; then the server as a whole is full.
    CPosClient other;
    LogIn(other);
    Queue(other, Sale());
    ASSERT_TRUE(other.SendRequest(Sale(), "Lane06"));
    ASSERT_TRUE(other.ReadReply(&reply)) << other.LastError();
    EXPECT_EQ(reply.frame,
              FrameReply(expected.BuildDocument(refusals[1].code, 'E', refusals[1].text, "Lane06"), false));
    EXPECT_EQ(g_TransactionQueue.GetCount(), 3);
    const std::string log = LogText();
    EXPECT_NE(log.find("Request Refused - 2 request(s) outstanding from 127.0.0.1:"), std::string::npos);
    EXPECT_NE(log.find("Abort Request Dropped - 2 request(s) outstanding from 127.0.0.1:"), std::string::npos);
    EXPECT_NE(log.find("Request Refused - 3 request(s) outstanding in all, at most 3; from 127.0.0.1:"),
              std::string::npos);

    // A request answered and delivered makes room again.
    Complete(first, CQueueStandInHost::Approve);
    ASSERT_TRUE(lane.ReadReply(&reply)) << lane.LastError();
    EXPECT_EQ(reply.cmdStatus, "Approved");
    ASSERT_TRUE(WaitUntil([] { return g_TransactionQueue.GetCount() == 2; }));
    Queue(lane, Sale());
}

TEST_F(PosServerTest, InvalidRequestIsAnsweredAtOnceInPlainText) {
    StartServer();
    CPosClient lane;
    LogIn(lane);
    struct SCase {
        std::string frame;
        int code;
        std::string text;
    };
    SPosRequest noInvoice = Sale();
    noInvoice.invoiceNo.clear();
    SPosRequest badCode = Sale("sale");
    for (const auto& [request, code, text] :
         {std::tuple{noInvoice, 4022, std::string("Invoice Number Missing.")},
          std::tuple{badCode, 100219, std::string("Invalid Field - Invalid TranCode.")}}) {
        SPosReply reply;
        ASSERT_TRUE(lane.SendRequest(request, "Lane03"));
        ASSERT_TRUE(lane.ReadReply(&reply));
        EXPECT_FALSE(reply.encrypted);
        EXPECT_EQ(reply.returnCode, code);
        EXPECT_EQ(reply.cmdStatus, "Error");
        EXPECT_EQ(reply.textResponse, text);
        EXPECT_EQ(reply.traceData, "Lane03");
    }
    const std::vector<SCase> frames = {
        {"garbage", 4010, "Unrecognized Request Format."},
        {std::string("H") + kCharFS + "000" + kCharSTX + "x", 4005, "Clear Text Request NOT supported."},
        {std::string("H") + kCharFS + "200" + kCharSTX + "ABCD", 4011, "Error occured while decrypting request."},
        {std::string("H") + kCharFS + "E00" + kCharSTX, 4004, "Weak Encryption Request NOT supported."},
    };
    for (const SCase& c : frames) {
        SPosReply reply;
        ASSERT_TRUE(lane.SendRaw(c.frame + kCharETX));
        ASSERT_TRUE(lane.ReadReply(&reply));
        EXPECT_EQ(reply.returnCode, c.code);
        EXPECT_EQ(reply.textResponse, c.text);
    }
    EXPECT_EQ(g_TransactionQueue.GetCount(), 0);
}

TEST_F(PosServerTest, EncryptedRequestWithoutTranCodeIsAnsweredInvalidRequest) {
    int port = 0;
    int step = 0;
    CSocketFd listener = ListenTcp(0, 1, 0, &port, &step);
    ASSERT_TRUE(listener.Valid());
    CSocketFd client = ConnectTcp(LoopbackIpv4(), port, 2000);
    Ipv4Endpoint peer;
    CSocketFd served = AcceptTcp(listener.Get(), &peer);
    ASSERT_TRUE(served.Valid());
    CPosSession session(FastTimings());
    session.Attach(served.Get(), peer, listener.Get(), nullptr);
    CTransaction transaction;
    transaction.m_CryptMode = kCryptModeEncrypted;
    transaction.m_TranCode = kTranNumInvalid;
    transaction.m_Header = "Lane09";
    session.HandleTransaction(transaction);
    served.Close();

    std::string received;
    char block[1024];
    for (long n; (n = RecvSome(client.Get(), block, sizeof block)) > 0;) {
        received.append(block, static_cast<size_t>(n));
    }
    CCmdResponse expected;
    EXPECT_EQ(received, FrameReply(expected.BuildDocument(2007, 'E', "Invalid Request.", "Lane09"), false));
    EXPECT_TRUE(session.Tickets().empty());
    EXPECT_EQ(g_TransactionQueue.GetCount(), 0);
}

TEST_F(PosServerTest, AbortRequestCancelsTheLanesWaitingTransactions) {
    StartServer();
    CPosClient lane;
    LogIn(lane);
    const int32_t sale = Queue(lane, Sale());
    ASSERT_TRUE(lane.SendAbort());
    ASSERT_TRUE(WaitUntil([] { return g_TransactionQueue.GetCount() == 2; }));
    const CTransaction abort = QueueRecords().back();
    EXPECT_EQ(abort.m_CryptMode, kCryptModeAbort);
    EXPECT_EQ(abort.m_State, kTranStateQueued);
    EXPECT_NE(abort.m_QueueSeq, sale);

    CQueueStandInHost host;
    host.ProcessOnce();
    SPosReply reply;
    ASSERT_TRUE(lane.ReadReply(&reply)) << lane.LastError();
    EXPECT_EQ(reply.returnCode, 1010);
    EXPECT_EQ(reply.textResponse, "User Abort.");
    EXPECT_FALSE(reply.encrypted);
    EXPECT_TRUE(WaitUntil([] { return g_TransactionQueue.GetCount() == 0; }));
}

// ---- Delivery ----

TEST_F(PosServerTest, CompletedTransactionIsDeliveredAfterASecondOfQuietThenPurged) {
    CTestClock& clock = UseManualClock();
    StartServer(SPosSessionTimings());
    CPosClient lane;
    LogIn(lane);
    const int32_t seq = Queue(lane, Sale());
    Complete(seq, CQueueStandInHost::Approve);
    const uint64_t completed = clock.TickMs();
    // Time stands still: nothing is delivered.
    SPosReply reply;
    EXPECT_FALSE(lane.ReadReply(&reply, 100));

    CClockPump pump(clock, 20);
    ASSERT_TRUE(lane.ReadReply(&reply)) << lane.LastError();
    EXPECT_GE(clock.TickMs() - completed, 1000u);
    EXPECT_TRUE(reply.encrypted);
    ASSERT_TRUE(reply.decrypted);
    EXPECT_EQ(reply.returnCode, 0);
    EXPECT_EQ(reply.cmdStatus, "Approved");
    EXPECT_EQ(reply.responseOrigin, "Processor");
    EXPECT_EQ(XmlElement(reply.document, "AcctNo"), "XXXXXXXXXXXX0012");
    EXPECT_EQ(XmlElement(reply.document, "Purchase"), "1.00");
    EXPECT_TRUE(WaitUntil([] { return g_TransactionQueue.GetCount() == 0; }));
}

// The delivery rule both ways, on a clock that moves only when the test says: a result that is there goes out
// once the lane has sent nothing for a second, not before; a result that finishes after that second goes out
// the moment it is written, the clock standing still.
TEST_F(PosServerTest, AReplyGoesOutAfterASecondOfQuietAndALaterResultAtOnce) {
    CTestClock& clock = UseManualClock();
    StartServer(SPosSessionTimings());
    CPosClient lane;
    LogIn(lane);
    SPosReply reply;

    // Finished within the second of quiet: it waits for the second to be over.
    const int32_t early = Queue(lane, Sale());
    Complete(early, CQueueStandInHost::Approve);
    clock.Advance(999);
    EXPECT_FALSE(lane.ReadReply(&reply, 200)) << "delivered before a second of quiet";
    clock.Advance(1);
    ASSERT_TRUE(lane.ReadReply(&reply, 10000)) << lane.LastError();
    EXPECT_EQ(reply.cmdStatus, "Approved");
    ASSERT_TRUE(WaitUntil([] { return g_TransactionQueue.GetCount() == 0; }));

    // Finished after the second of quiet: it goes out without the clock moving on.
    const int32_t late = Queue(lane, Sale());
    clock.Advance(5000);
    EXPECT_FALSE(lane.ReadReply(&reply, 100)); // nothing finished yet
    const uint64_t finished = clock.TickMs();
    Complete(late, CQueueStandInHost::Approve);
    ASSERT_TRUE(lane.ReadReply(&reply, 10000)) << lane.LastError();
    EXPECT_EQ(reply.cmdStatus, "Approved");
    EXPECT_EQ(clock.TickMs(), finished);
    ASSERT_TRUE(WaitUntil([] { return g_TransactionQueue.GetCount() == 0; }));
}

TEST_F(PosServerTest, GoingOfflineWakesASleepingSessionAtOnce) {
    UseManualClock(); // stands still: no time-out of the session can end its sleep
    StartServer(SPosSessionTimings());
    CPosClient lane;
    LogIn(lane);
    m_Server->m_bGoingOffline = true;
    SPosReply reply;
    ASSERT_TRUE(lane.ReadReply(&reply, 10000)) << lane.LastError();
    EXPECT_EQ(reply.returnCode, kPosReplyGoingOffline);
}

TEST_F(PosServerTest, AbortedFailedAndCodedTransactionsGetTheirErrorReplies) {
    StartServer();
    CPosClient lane;
    LogIn(lane);
    struct SCase {
        int state;
        int resultCode;
        std::string hostError;
        int expectedCode;
        std::string expectedText;
    };
    const std::vector<SCase> cases = {
        {kTranStateAborted, 0, "", 1010, "User Abort."},
        {kTranStateHostError, 0, "TIMEOUT (IP) from Datawire.", 4003, "TIMEOUT (IP) from Datawire."},
        {kTranStateCodeSet, 4027, "", 4027, "Kestrove is Being Requested to ShutDown Restart Kestrove!"},
        {kTranStateCodeSet, 4024, "", 4024,
         "Internal Server Error - Auth Thread Failed to Start Retry Trans/Restart Kestrove!"},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.state);
        const int32_t seq = Queue(lane, Sale());
        Complete(seq, [&c](CTransaction& record) {
            record.m_State = c.state;
            record.m_ResultCode = c.resultCode;
            record.m_HostErrorText = c.hostError;
        });
        SPosReply reply;
        ASSERT_TRUE(lane.ReadReply(&reply)) << lane.LastError();
        EXPECT_FALSE(reply.encrypted);
        EXPECT_EQ(reply.returnCode, c.expectedCode);
        EXPECT_EQ(reply.cmdStatus, "Error");
        EXPECT_EQ(reply.textResponse, c.expectedText);
        EXPECT_EQ(reply.traceData, "Lane01");
        EXPECT_TRUE(WaitUntil([] { return g_TransactionQueue.GetCount() == 0; }));
    }
}

TEST_F(PosServerTest, TransactionsStillOnTheHostAreNotAnswered) {
    StartServer();
    CPosClient lane;
    LogIn(lane);
    const int32_t seq = Queue(lane, Sale());
    Complete(seq, [](CTransaction& record) { record.m_State = kTranStateTaken; });
    SPosReply reply;
    EXPECT_FALSE(lane.ReadReply(&reply, 200));
    EXPECT_EQ(g_TransactionQueue.GetCount(), 1);
}

struct SUndeliveredCase {
    const char* tranCode;
    bool approved;
    bool reversed;
};

TEST_F(PosServerTest, UndeliverableApprovedSaleIsReversedButNotABalance) {
    // The clock stands still while a case is set up, so no reply can leave (after its second of quiet) before
    // the lane has gone: the session first hears of the result after the close. It moves only while the
    // session settles.
    CTestClock& clock = UseManualClock();
    StartServer(SPosSessionTimings());
    const std::vector<SUndeliveredCase> cases = {
        {"Sale", true, true}, {"Balance", true, false}, {"Sale", false, false}, {"Reload", true, true}};
    for (const bool completeBeforeClose : {false, true}) {
        for (const SUndeliveredCase& c : cases) {
            SCOPED_TRACE(std::string(c.tranCode) + (completeBeforeClose ? " completed, then closed" : " closed"));
            g_ReversalQueue.RemoveAll();
            CPosClient lane;
            LogIn(lane);
            const int32_t seq = Queue(lane, Sale(c.tranCode));
            const auto complete = [&] {
                Complete(seq, c.approved ? CQueueStandInHost::Approve : CQueueStandInHost::Decline);
            };
            if (completeBeforeClose) {
                // Completed while the lane is still there, but it goes before the reply does.
                complete();
                lane.Close();
            } else {
                lane.Close();
                complete();
            }
            {
                CClockPump pump(clock, 100);
                ASSERT_TRUE(WaitUntil([] { return g_TransactionQueue.GetCount() == 0; }));
                ASSERT_TRUE(WaitUntil([&] { return m_Server->GetActiveCount() == 0; }));
            }
            CTransactionList reversals;
            g_ReversalQueue.GetAll(reversals);
            if (!c.reversed) {
                EXPECT_TRUE(reversals.empty());
                continue;
            }
            ASSERT_EQ(reversals.size(), 1u);
            EXPECT_EQ(reversals[0].m_TranCode, kTranNumReversal);
            EXPECT_EQ(reversals[0].m_OrigTranCode, c.tranCode == std::string("Sale") ? kTranNumSale : kTranNumReload);
            EXPECT_EQ(reversals[0].m_Account, "6011000000000012");
        }
    }
    const std::string log = LogText();
    EXPECT_NE(log.find(" ** FAILED ** "), std::string::npos);
    EXPECT_NE(log.find("because UndeliverableToClient"), std::string::npos);
}

TEST_F(PosServerTest, VanishedLanesUnansweredTransactionsAreDroppedAfterFiveMinutes) {
    CTestClock& clock = UseManualClock();
    StartServer(SPosSessionTimings());
    CPosClient lane;
    LogIn(lane);
    Queue(lane, Sale());
    lane.Close();
    const uint64_t closed = clock.TickMs();
    CClockPump pump(clock, 1000);
    ASSERT_TRUE(WaitUntil([] { return g_TransactionQueue.GetCount() == 0; }, 10000));
    EXPECT_GE(clock.TickMs() - closed, 300000u);
    EXPECT_TRUE(WaitUntil([&] { return m_Server->GetActiveCount() == 0; }));
}

TEST_F(PosServerTest, IdleConnectionIsClosedAfterAnHour) {
    CTestClock& clock = UseManualClock();
    // Half-way through a second, so an hour rounded to whole seconds would show as closing early.
    clock.Advance(1500 - clock.TickMs() % 1000);
    StartServer(SPosSessionTimings());
    CPosClient lane;
    LogIn(lane);
    const uint64_t start = clock.TickMs(); // the clock stood still through the login
    SPosReply reply;
    clock.Advance(3600u * 1000 - 1);
    EXPECT_FALSE(lane.ReadReply(&reply, 200)) << "closed before the hour was over";
    clock.Advance(1001);
    ASSERT_TRUE(lane.ReadReply(&reply, 10000)) << lane.LastError();
    EXPECT_EQ(reply.returnCode, kPosReplyDisconnecting);
    EXPECT_EQ(reply.textResponse, kPosDisconnectingText);
    EXPECT_GE(clock.TickMs() - start, 3600u * 1000);
    EXPECT_TRUE(lane.WaitClosed());
}

// ---- One lane ----

TEST_F(PosServerTest, OneLaneHoldsTheSecondSaleForThirtySecondsButNotABalance) {
    SetParam(kParamNumberOfLanes, "1");
    CTestClock& clock = UseManualClock();
    StartServer(SPosSessionTimings());
    CPosClient lane;
    LogIn(lane);
    Queue(lane, Sale());
    const uint64_t firstAdded = clock.TickMs();
    // A Balance moves no money and is not held.
    Queue(lane, Sale("Balance"));

    SPosReply reply;
    ASSERT_TRUE(lane.SendRequest(Sale()));
    EXPECT_FALSE(lane.ReadReply(&reply, 300));
    // The Balance was the last addition; the hold counts from it.
    clock.Advance(29000);
    EXPECT_FALSE(lane.ReadReply(&reply, 100));
    clock.Advance(1000);
    ASSERT_TRUE(lane.ReadReply(&reply)) << lane.LastError();
    EXPECT_EQ(reply.textResponse.rfind("Queued:", 0), 0u);
    EXPECT_GE(clock.TickMs() - firstAdded, 30000u);
    EXPECT_NE(LogText().find("Holding Transaction - SL Violation -"), std::string::npos);
}

TEST_F(PosServerTest, ShutdownEventReleasesAHeldRequest) {
    SetParam(kParamNumberOfLanes, "1");
    UseManualClock();
    StartServer(SPosSessionTimings());
    CPosClient lane;
    LogIn(lane);
    Queue(lane, Sale());
    SPosReply reply;
    ASSERT_TRUE(lane.SendRequest(Sale()));
    EXPECT_FALSE(lane.ReadReply(&reply, 200));
    g_ShutdownEvent.Set();
    ASSERT_TRUE(lane.ReadReply(&reply)) << lane.LastError();
    EXPECT_EQ(reply.textResponse.rfind("Queued:", 0), 0u);
    g_ShutdownEvent.Reset();
}

// ---- Bad input and disconnects ----

TEST_F(PosServerTest, BadInputAndDisconnectsInEveryPhaseLeaveNothingBehind) {
    CLogger::Instance().LogLine("baseline");
    CLogger::Instance().Flush();
    const int threadsBefore = CountEntries("/proc/self/task");
    const int fdsBefore = CountEntries("/proc/self/fd");
    StartServer();
    std::mt19937 random(7);
    const auto randomBytes = [&random](size_t count) {
        std::string bytes(count, '\0');
        for (char& c : bytes) {
            c = static_cast<char>(random() & 0xFF);
        }
        return bytes;
    };

    const std::vector<std::function<void()>> misbehaving = {
        // Gone before the greeting is read, with an orderly close and with a reset.
        [&] {
            CPosClient c;
            ASSERT_TRUE(c.Connect("127.0.0.1", m_Port));
            c.Close();
        },
        [&] {
            CPosClient c;
            ASSERT_TRUE(c.Connect("127.0.0.1", m_Port));
            c.Reset();
        },
        // Random bytes instead of a login.
        [&] {
            CPosClient c;
            SPosReply r;
            ASSERT_TRUE(c.Connect("127.0.0.1", m_Port));
            ASSERT_TRUE(c.ReadGreeting(&r));
            ASSERT_TRUE(c.SendRaw(randomBytes(5000) + kCharETX));
            EXPECT_TRUE(c.ReadReply(&r));
            EXPECT_EQ(r.returnCode, kPosReplyChallengeFailed);
        },
        // A half login, then gone.
        [&] {
            CPosClient c;
            SPosReply r;
            ASSERT_TRUE(c.Connect("127.0.0.1", m_Port));
            ASSERT_TRUE(c.ReadGreeting(&r));
            SPosLogin half;
            half.sendEtx = false;
            ASSERT_TRUE(c.SendLogin(half));
            c.Reset();
        },
        // A login text that never ends.
        [&] {
            CPosClient c;
            SPosReply r;
            ASSERT_TRUE(c.Connect("127.0.0.1", m_Port));
            ASSERT_TRUE(c.ReadGreeting(&r));
            ASSERT_TRUE(c.SendRaw(std::string(kPosMaxLoginText + 10, 'L')));
            EXPECT_TRUE(c.ReadReply(&r));
            EXPECT_EQ(r.returnCode, kPosReplyLoginFailed);
        },
        // Random bytes after the login, then gone.
        [&] {
            CPosClient c;
            LogIn(c);
            std::string junk = randomBytes(20000);
            ASSERT_TRUE(c.SendRaw(junk));
            c.Close();
        },
        // A 40000-byte request without an ETX: the first 32767 bytes are answered as one request.
        [&] {
            CPosClient c;
            SPosReply r;
            LogIn(c);
            ASSERT_TRUE(c.SendRaw(std::string(40000, 'Q')));
            ASSERT_TRUE(c.ReadReply(&r));
            EXPECT_EQ(r.returnCode, 4010);
            EXPECT_EQ(r.traceData, std::string(kPosMaxRequestText, 'Q'));
            c.Reset();
        },
        // Gone with half a request, and gone while a transaction is queued.
        [&] {
            CPosClient c;
            LogIn(c);
            ASSERT_TRUE(c.SendRaw(std::string("Lane01") + kCharFS + "200"));
            c.Reset();
        },
        [&] {
            CPosClient c;
            LogIn(c);
            const int32_t seq = Queue(c, Sale());
            c.Reset();
            Complete(seq, CQueueStandInHost::Decline);
        },
    };
    for (size_t i = 0; i < misbehaving.size(); ++i) {
        SCOPED_TRACE(i);
        misbehaving[i]();
        // Every other client is still served while the misbehaving one's session ends.
        CPosClient good;
        LogIn(good);
        const int32_t seq = Queue(good, Sale("Balance"));
        Complete(seq, CQueueStandInHost::Approve);
        SPosReply reply;
        ASSERT_TRUE(good.ReadReply(&reply)) << good.LastError();
        EXPECT_EQ(reply.cmdStatus, "Approved");
        good.Close();
        ASSERT_TRUE(WaitUntil([&] { return m_Server->GetActiveCount() == 0; })) << m_Server->GetActiveCount();
    }
    EXPECT_TRUE(WaitUntil([] { return g_TransactionQueue.GetCount() == 0; }));
    m_Server.reset();
    CLogger::Instance().Flush();
    EXPECT_EQ(CountEntries("/proc/self/task"), threadsBefore);
    EXPECT_EQ(CountEntries("/proc/self/fd"), fdsBefore);
}

TEST_F(PosServerTest, DestructorEndsEverySessionWhateverItIsDoing) {
    StartServer();
    CPosClient greeted;
    SPosReply reply;
    ASSERT_TRUE(greeted.Connect("127.0.0.1", m_Port));
    ASSERT_TRUE(greeted.ReadGreeting(&reply));
    CPosClient working;
    LogIn(working);
    Queue(working, Sale());
    ASSERT_TRUE(WaitUntil([&] { return m_Server->GetActiveCount() == 2; }));
    m_Server.reset();
    ASSERT_TRUE(greeted.ReadReply(&reply));
    EXPECT_EQ(reply.returnCode, kPosReplyGoingOffline);
    ASSERT_TRUE(working.ReadReply(&reply));
    EXPECT_EQ(reply.returnCode, kPosReplyGoingOffline);
}

} // namespace
