// The dial backup server against the modem-and-host simulator on a real pty: its start-up checks and their texts,
// the exchange byte for byte, every failure text of a dial or an exchange, NAK and resend both ways, LRC values
// that look like control bytes, a response too long for the buffer, the carrier lost, a reversal on a call of its
// own, a stop in the middle of a dial or an exchange, and the host interface handing over to it.

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/LogFolder.h"
#include "common/ParamSets.h"
#include "common/SampleTransaction.h"
#include "common/TempDirTest.h"
#include "common/Wait.h"
#include "foundation/Logger.h"
#include "foundation/ParamSettings.h"
#include "foundation/ParamStore.h"
#include "foundation/TextHelpers.h"
#include "host/DialBackupServer.h"
#include "host/RuvuzUvirInterface.h"
#include "host/ServiceProviderList.h"
#include "peers/ModemSimulator.h"
#include "platform/Clock.h"
#include "platform/ProcessEvents.h"
#include "tests/host/HostTestSupport.h"
#include "transaction/CardHelpers.h"
#include "transaction/Replies.h"
#include "transaction/TransactionQueue.h"

using namespace hosttest;

namespace {
constexpr char kFs = 0x1C;
const std::string kAccount = "6006491234567890";
const std::string kClient = "127.0.0.1 #1";
constexpr int kComPort = 3;

SDialTimings FastTimings() {
    SDialTimings timings = ScaleDialTimings(SDialTimings(), 20);
    // Waits that end as soon as their answer is there keep most of their length, so a loaded machine does not
    // fail them; those that a test waits out are short.
    timings.writeMs = 5000;
    timings.identityMs = 1000;
    timings.modelCheckMs = 1000;
    timings.hangUpCarrierMs = 300;
    timings.okMs = 1000;
    timings.initAnswerMs = 300;
    timings.dialAnswerMs = 500;
    timings.connectCarrierMs = 100;
    timings.responseMs = 1000;
    timings.lineWatchMs = 5;
    return timings;
}

CTransaction MakeTransaction(int tranCode, const std::string& amount = "250") {
    CTransaction transaction = SampleTransaction(tranCode, kAccount, amount);
    transaction.m_State = kTranStateDial;
    transaction.m_ClientAddress = kClient;
    return transaction;
}

bool Answered(int32_t state) {
    return state == kTranStateDialSendFailed || state == kTranStateDialParsed || state == kTranStateDialFailed;
}

// A response body (an approval) whose LRC is |lrc|, with printable characters only.
std::string BodyWithLrc(char lrc) {
    for (char filler = 'A'; filler <= 'Z'; ++filler) {
        const std::string head =
            std::string("SV.MERCH000001") + kFs + "3900" + kFs + "38AUTH01" + kFs + "761234" + kFs + "ZZ" + filler;
        const char last = static_cast<char>(DialFrameLrc(head) ^ lrc);
        if (last >= 0x21 && last <= 0x7E) {
            return head + last;
        }
    }
    return std::string();
}

class DialBackupServerTest : public TempDirTest {
protected:
    void SetUp() override {
        PrepareLogFolder();
        ResetShared();
        SetDialParams("9", "18005550100");
        m_Host.AddCard(kAccount, 5000);
    }
    void TearDown() override {
        m_Interface.reset();
        m_Server.reset();
        m_Modem.reset();
        ResetShared();
        CLogger::Instance().Flush();
    }
    static void ResetShared() {
        g_ShutdownEvent.Reset();
        g_DialConnectedEvent.Reset();
        g_TransactionQueue.RemoveAll();
        g_ReversalQueue.RemoveAll();
    }
    // The dial parameters as stored, whatever the parameter types would accept (a damaged file may hold more).
    static void SetDialParams(const std::string& prefix, const std::string& number) {
        SetMerchantParams({{kParamTransportMethod, "2"}, {kParamModemComPort, std::to_string(kComPort)}});
        const CParamSettings settings =
            ParamsWithUnchecked(CParamStore::Instance().GetParams(),
                                {{kParamDialPrefix, prefix}, {kParamAuthorizationPhoneNumber, number}});
        ASSERT_TRUE(CParamStore::Instance().SetParams(settings));
    }

    void StartModem(const CModemScript& script = CModemScript()) {
        m_Modem = std::make_unique<CModemSimulator>(m_Host, script);
        ASSERT_TRUE(m_Modem->Start((m_TempDir.Path() / "com.lines").string())) << m_Modem->LastError();
    }
    bool StartServer(const SDialTimings& timings = FastTimings()) {
        m_Server = std::make_unique<CDialBackupServer>(timings);
        m_Server->Port().SetResolver([this](int port) {
            EXPECT_EQ(port, kComPort);
            return m_Modem->Location();
        });
        return m_Server->Start(kComPort);
    }
    void StartBoth(const CModemScript& script = CModemScript(), const SDialTimings& timings = FastTimings()) {
        StartModem(script);
        ASSERT_TRUE(StartServer(timings)) << m_Server->GetLastErrorText();
    }

    // Queues a transaction handed over to the dial path, its host message written.
    static int32_t QueueForDial(CTransaction transaction) {
        if (transaction.m_HostRequest.empty()) {
            EXPECT_TRUE(transaction.BuildHostRequest());
        }
        g_TransactionQueue.Add(transaction);
        return transaction.m_QueueSeq;
    }
    // The record once the dial backup has answered it (state 9, 10 or 11).
    static CTransaction WaitForAnswer(int32_t seq, uint32_t timeoutMs = 10000) {
        EXPECT_TRUE(WaitUntil([&] { return Answered(QueuedRecord(seq).m_State); }, timeoutMs))
            << QueuedRecord(seq).m_State;
        return QueuedRecord(seq);
    }

    CCardHost m_Host;
    std::unique_ptr<CModemSimulator> m_Modem;
    std::unique_ptr<CDialBackupServer> m_Server;
    std::unique_ptr<CRuvuzUvirInterface> m_Interface;
};

TEST(DialFrameTest, TheFrameCarriesTheMessageBetweenStxAndEtxWithTheXorOfBodyAndEtx) {
    const std::string message = "SV.M1" + std::string(1, kFs) + "400200";
    const std::string frame = BuildDialFrame(message);
    ASSERT_EQ(frame.size(), message.size() + 3);
    EXPECT_EQ(frame.front(), kCharSTX);
    EXPECT_EQ(frame.substr(1, message.size()), message);
    EXPECT_EQ(frame[frame.size() - 2], kCharETX);
    unsigned char lrc = 0;
    for (size_t i = 1; i + 1 < frame.size(); ++i) {
        lrc ^= static_cast<unsigned char>(frame[i]);
    }
    EXPECT_EQ(static_cast<unsigned char>(frame.back()), lrc);
    EXPECT_TRUE(CheckLrc(message, frame.back()));
    EXPECT_FALSE(CheckLrc(message, static_cast<char>(frame.back() ^ 0x40)));
    EXPECT_EQ(DialFrameLrc(""), kCharETX);
}

TEST(DialStringTest, TheDialStringIsPrefixAndNumberWithoutCommandBreaks) {
    const struct {
        std::string prefix, number, dial;
        bool stripped;
    } cases[] = {
        {"", "18005550100", "ATDT18005550100", false},
        {"9,", "18005550100", "ATDT9,18005550100", false},
        {"9;ATH", "1800", "ATDT9ATH1800", true},
        {"9\r\nATZ", "1800\r", "ATDT9ATZ1800", true},
    };
    for (const auto& c : cases) {
        bool stripped = false;
        EXPECT_EQ(BuildDialString(c.prefix, c.number, &stripped), c.dial);
        EXPECT_EQ(stripped, c.stripped) << c.dial;
    }
}

TEST_F(DialBackupServerTest, ARouteToTheHostIsAProviderOrADialPathThatRuns) {
    // Reversals wait while there is none: before the first discovery with IP alone, or with IP down and no dial
    // backup to fall back on.
    const struct {
        const char* method;
        bool provider;
        bool dialRunning;
        bool route;
    } cases[] = {
        {"0", false, false, false}, {"0", false, true, false}, {"0", true, false, true},
        {"1", false, false, false}, {"1", false, true, true},  {"1", true, false, true},
        {"2", false, false, true},  {"2", false, true, true},  {"2", true, false, true},
    };
    for (const auto& c : cases) {
        SetMerchantParams({{kParamTransportMethod, c.method}});
        g_ServiceProviderList.RemoveAll();
        if (c.provider) {
            g_ServiceProviderList.SetProviders({"https://127.0.0.1:1/sd"});
        }
        const bool running = c.dialRunning;
        EXPECT_EQ(HostRouteKnown([running] { return running; }), c.route)
            << "method " << c.method << (c.provider ? ", a provider" : ", no provider")
            << (c.dialRunning ? ", dial backup running" : "");
        if (!c.dialRunning) {
            EXPECT_EQ(HostRouteKnown(), c.route) << "method " << c.method << " without a probe";
        }
    }
    g_ServiceProviderList.RemoveAll();
}

TEST_F(DialBackupServerTest, ASaleGoesOverTheDialLineByteForByte) {
    StartBoth();
    EXPECT_TRUE(m_Server->IsRunning());
    EXPECT_EQ(m_Server->GetPortName(), "COM 03");
    const int32_t seq = QueueForDial(MakeTransaction(kTranNumSale));
    const std::string request = QueuedRecord(seq).m_HostRequest;
    const CTransaction done = WaitForAnswer(seq);

    ASSERT_EQ(done.m_State, kTranStateDialParsed) << done.m_HostErrorText;
    EXPECT_EQ(m_Modem->Commands(), (std::vector<std::string>{kModemIdentityCommand, kModemModelCheckCommand,
                                                             kModemInitCommand, "ATDT918005550100"}));
    ASSERT_EQ(m_Modem->Frames().size(), 1u);
    EXPECT_EQ(m_Modem->Frames()[0], BuildDialFrame(request));
    // The server sent its frame, then one ACK for the host's answer, and nothing else.
    ASSERT_TRUE(WaitUntil([&] { return m_Modem->DataBytes().size() == request.size() + 4; }));
    EXPECT_EQ(m_Modem->DataBytes(), BuildDialFrame(request) + kCharACK);
    ASSERT_EQ(m_Modem->Answers().size(), 1u);
    const std::string answer = m_Modem->Answers()[0];
    EXPECT_EQ(done.m_HostResponse, answer.substr(1, answer.size() - 3));
    EXPECT_TRUE(done.m_Approved);
    EXPECT_EQ(done.m_Balance, "47.50");
    EXPECT_FALSE(done.m_HostAuthCode.empty());
    EXPECT_EQ(m_Host.Balance(kAccount), 4750);
    EXPECT_TRUE(g_DialConnectedEvent.IsSet());
    EXPECT_TRUE(m_Modem->Connected());
    EXPECT_EQ(CountLogLines("RESPONSE from RuvuzUvir (Dial) ->["), 1);
    // The account shows only its last four digits in the log.
    EXPECT_EQ(CountLogLines(kAccount), 0);
    EXPECT_EQ(CountLogLines("70XXXXXXXXXXXX7890"), 1);

    // The next one goes on the same call.
    const CTransaction second = WaitForAnswer(QueueForDial(MakeTransaction(kTranNumSale, "1000")));
    EXPECT_EQ(second.m_State, kTranStateDialParsed) << second.m_HostErrorText;
    EXPECT_EQ(second.m_Balance, "37.50");
    EXPECT_EQ(m_Modem->Calls(), 1);
    EXPECT_EQ(m_Modem->Frames().size(), 2u);
}

TEST_F(DialBackupServerTest, EachStartUpFailureEndsTheStartWithItsText) {
    struct Case {
        const char* name;
        CModemScript script;
        bool noDevice;
        std::string text;
    };
    CModemScript noDsr;
    noDsr.dsr = false;
    CModemScript noCts;
    noCts.cts = false;
    CModemScript otherModel;
    otherModel.genuine = false;
    CModemScript silent;
    silent.answers = false;
    CModemScript silentToTheModelCheck;
    silentToTheModelCheck.answersModelCheck = false;
    const std::string notGenuine = FormatText(kDialDeviceFailedFormat, kComPort, kModemNotGenuineText);
    const Case cases[] = {
        {"no device", CModemScript(), true, "Could not Open Com Port 3."},
        {"DSR off", noDsr, false,
         "DSR found Inactive on Com Port 3.\r\nMake Sure Corvane Device is Connected and Powered."},
        {"CTS off", noCts, false,
         "CTS found Inactive on Com Port 3.\r\nYou may have a defective COM Port.\r\nIf you are emulating a COM "
         "Port,(USB to Serial Converter or equivalent)\r\nthe emulation may not fully support Flow "
         "Control.\r\nFlow Control is required.\r\n"},
        {"other model", otherModel, false, notGenuine},
        {"silent modem", silent, false, notGenuine},
        {"silent to the model check", silentToTheModelCheck, false, FormatText(kDialDeviceFailedFormat, kComPort, "")},
    };
    const int threads = CountEntries("/proc/self/task");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartModem(c.script);
        m_Server = std::make_unique<CDialBackupServer>(FastTimings());
        m_Server->Port().SetResolver([&](int) {
            return c.noDevice ? CComPortLocation{"/dev/no-such-tty", ""} : m_Modem->Location();
        });
        EXPECT_FALSE(m_Server->Start(kComPort));
        EXPECT_EQ(m_Server->GetLastErrorText(), c.text);
        EXPECT_FALSE(m_Server->IsRunning());
        // The port was closed again and no thread was left behind.
        EXPECT_FALSE(m_Modem->Line(kLineDtr));
        EXPECT_TRUE(WaitForThreadCount(threads + 1)) << CountEntries("/proc/self/task"); // the modem's own thread
        m_Server.reset();
        m_Modem.reset();
    }
}

TEST_F(DialBackupServerTest, EveryDialAndExchangeFailureEndsTheTransactionWithItsText) {
    struct Case {
        const char* name;
        void (*script)(CModemScript&);
        int32_t state;
        std::string text;
    };
    const Case cases[] = {
        {"init unanswered", [](CModemScript& s) { s.initAnswer = ""; }, kTranStateDialSendFailed,
         kDialNoInitResponseText},
        {"init refused", [](CModemScript& s) { s.initAnswer = "ERROR"; }, kTranStateDialSendFailed, "ERROR"},
        {"busy", [](CModemScript& s) { s.dial = ModemDialAnswer::Busy; }, kTranStateDialSendFailed, "BUSY"},
        {"no dial tone", [](CModemScript& s) { s.dial = ModemDialAnswer::NoDialtone; }, kTranStateDialSendFailed,
         "NO DIALTONE"},
        {"no carrier", [](CModemScript& s) { s.dial = ModemDialAnswer::NoCarrier; }, kTranStateDialSendFailed,
         "NO CARRIER"},
        {"dial refused", [](CModemScript& s) { s.dial = ModemDialAnswer::Error; }, kTranStateDialSendFailed, "ERROR"},
        {"dial unanswered", [](CModemScript& s) { s.dial = ModemDialAnswer::Silence; }, kTranStateDialSendFailed,
         kDialNoDialResponseText},
        {"unknown answer", [](CModemScript& s) { s.dial = ModemDialAnswer::Other; }, kTranStateDialSendFailed,
         kDialFailedToConnectText},
        {"connect without carrier", [](CModemScript& s) { s.dial = ModemDialAnswer::ConnectWithoutCarrier; },
         kTranStateDialSendFailed, kDialFailedToConnectText},
        {"no answer from the host", [](CModemScript& s) { s.host = ModemHostAnswer::None; }, kTranStateDialFailed,
         kDialResponseTimeoutText},
        {"carrier lost midway", [](CModemScript& s) { s.host = ModemHostAnswer::CarrierLostMidway; },
         kTranStateDialFailed, kDialLostCarrierText},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CModemScript script;
        c.script(script);
        StartBoth(script);
        const CTransaction done = WaitForAnswer(QueueForDial(MakeTransaction(kTranNumSale)));
        EXPECT_EQ(done.m_State, c.state);
        EXPECT_EQ(done.m_HostErrorText, c.text);
        EXPECT_EQ(CountLogLines("RESPONSE from RuvuzUvir (Dial) ERROR ->[" + c.text + "] for " + kClient), 1);
        if (c.state == kTranStateDialFailed) {
            // The failed exchange hung up: the next transaction gets a call of its own.
            EXPECT_TRUE(WaitUntil([&] { return m_Modem->DtrDrops() == 1; }));
            EXPECT_FALSE(g_DialConnectedEvent.IsSet());
        }
        if (c.text == kDialNoInitResponseText) {
            const std::vector<std::string> commands = m_Modem->Commands();
            EXPECT_EQ(std::count(commands.begin(), commands.end(), kModemInitCommand), 2);
        }
        m_Server.reset();
        m_Modem.reset();
        g_TransactionQueue.RemoveAll();
        ASSERT_TRUE(std::filesystem::remove_all(CLogger::kFolderName) > 0);
        PrepareLogFolder();
    }
}

TEST_F(DialBackupServerTest, AResponseWithABadLrcOrAByteInErrorIsNakedAndTheResendTaken) {
    for (const ModemHostAnswer first : {ModemHostAnswer::BadLrcFirst, ModemHostAnswer::LineErrorFirst}) {
        SCOPED_TRACE(first == ModemHostAnswer::BadLrcFirst ? "bad LRC" : "a byte with a parity error");
        CModemScript script;
        script.host = first;
        StartBoth(script);
        const CTransaction done = WaitForAnswer(QueueForDial(MakeTransaction(kTranNumSale)));
        ASSERT_EQ(done.m_State, kTranStateDialParsed) << done.m_HostErrorText;
        ASSERT_EQ(m_Modem->Answers().size(), 2u);
        const std::string good = m_Modem->Answers()[1];
        EXPECT_EQ(done.m_HostResponse, good.substr(1, good.size() - 3));
        ASSERT_TRUE(
            WaitUntil([&] { return !m_Modem->DataBytes().empty() && m_Modem->DataBytes().back() == kCharACK; }));
        const std::string data = m_Modem->DataBytes();
        const size_t nak = data.find(kCharNAK);
        ASSERT_NE(nak, std::string::npos);
        EXPECT_EQ(data.substr(nak), std::string(1, kCharNAK) + kCharACK);
        EXPECT_TRUE(done.m_Approved);
        m_Server.reset();
        m_Modem.reset();
        g_TransactionQueue.RemoveAll();
    }
    EXPECT_EQ(m_Host.Balance(kAccount), 5000 - 2 * 250);
}

TEST_F(DialBackupServerTest, AFrameTheHostRejectsGoesAgainAfterItsEnq) {
    CModemScript script;
    script.nakFrames = 1;
    StartBoth(script);
    const CTransaction done = WaitForAnswer(QueueForDial(MakeTransaction(kTranNumSale)));
    ASSERT_EQ(done.m_State, kTranStateDialParsed) << done.m_HostErrorText;
    ASSERT_EQ(m_Modem->Frames().size(), 2u);
    EXPECT_EQ(m_Modem->Frames()[0], m_Modem->Frames()[1]);
    EXPECT_EQ(m_Host.Balance(kAccount), 4750);
}

TEST_F(DialBackupServerTest, AHostThatSendsNoEnqGetsTheFrameAfterTheWait) {
    CModemScript script;
    script.enq = false;
    StartBoth(script);
    const CTransaction done = WaitForAnswer(QueueForDial(MakeTransaction(kTranNumSale)));
    EXPECT_EQ(done.m_State, kTranStateDialParsed) << done.m_HostErrorText;
    EXPECT_EQ(m_Modem->Frames().size(), 1u);
}

TEST_F(DialBackupServerTest, ARejectionWithoutEnqIsNotAnsweredAndTheExchangeTimesOut) {
    CModemScript script;
    script.nakFrames = 1;
    script.enqAfterNak = false;
    StartBoth(script);
    const CTransaction done = WaitForAnswer(QueueForDial(MakeTransaction(kTranNumSale)));
    EXPECT_EQ(done.m_State, kTranStateDialFailed);
    EXPECT_EQ(done.m_HostErrorText, kDialResponseTimeoutText);
    EXPECT_EQ(m_Modem->Frames().size(), 1u);
}

TEST_F(DialBackupServerTest, AnEnqRightBehindTheConnectLineIsNotLost) {
    // Were the ENQ that arrives in the same read as "CONNECT" dropped, the frame would wait the whole ENQ wait.
    SDialTimings timings = FastTimings();
    timings.enqMs = 600000;
    StartBoth(CModemScript(), timings);
    const CTransaction done = WaitForAnswer(QueueForDial(MakeTransaction(kTranNumSale)));
    EXPECT_EQ(done.m_State, kTranStateDialParsed) << done.m_HostErrorText;
}

TEST_F(DialBackupServerTest, LrcValuesThatLookLikeControlBytesAreTakenAsTheLrc) {
    for (const char lrc : {kCharNAK, kCharETX, kCharSTX}) {
        SCOPED_TRACE(static_cast<int>(lrc));
        const std::string body = BodyWithLrc(lrc);
        ASSERT_FALSE(body.empty());
        ASSERT_EQ(DialFrameLrc(body), lrc);
        CModemScript script;
        script.answerer = [body](const std::string&) { return body; };
        StartBoth(script);
        const CTransaction done = WaitForAnswer(QueueForDial(MakeTransaction(kTranNumSale)));
        EXPECT_EQ(done.m_State, kTranStateDialParsed) << done.m_HostErrorText;
        EXPECT_EQ(done.m_HostResponse, body);
        EXPECT_EQ(done.m_Balance, "12.34");
        EXPECT_EQ(m_Modem->Answers().size(), 1u);
        m_Server.reset();
        m_Modem.reset();
        g_TransactionQueue.RemoveAll();
    }
}

TEST_F(DialBackupServerTest, AResponseLongerThanTheBufferIsRejected) {
    CModemScript script;
    script.answerer = [](const std::string&) { return std::string(kDialResponseLimit + 100, 'A'); };
    StartBoth(script);
    const CTransaction done = WaitForAnswer(QueueForDial(MakeTransaction(kTranNumSale)));
    EXPECT_EQ(done.m_State, kTranStateDialFailed);
    EXPECT_EQ(done.m_HostErrorText, kDialResponseTooLongText);
    EXPECT_NE(m_Modem->DataBytes().find(kCharNAK), std::string::npos);
    EXPECT_TRUE(done.m_HostResponse.empty());
}

TEST_F(DialBackupServerTest, AReversalIsSentOnACallOfItsOwn) {
    StartBoth();
    const CTransaction sale = WaitForAnswer(QueueForDial(MakeTransaction(kTranNumSale)));
    ASSERT_EQ(sale.m_State, kTranStateDialParsed) << sale.m_HostErrorText;
    ASSERT_TRUE(m_Modem->Connected());

    CTransaction reversal = MakeTransaction(kTranNumReversal);
    reversal.m_OrigTranCode = kTranNumSale;
    reversal.m_HostTime = sale.m_HostTime;
    reversal.m_HostDate = sale.m_HostDate;
    reversal.m_Created = CTransaction::CreatedTimeNow() - 40000; // past the reversal's hold
    const CTransaction done = WaitForAnswer(QueueForDial(reversal));
    EXPECT_EQ(done.m_State, kTranStateDialParsed) << done.m_HostErrorText;
    EXPECT_EQ(m_Modem->DtrDrops(), 1);
    EXPECT_EQ(m_Modem->Dialled(), (std::vector<std::string>{"918005550100", "918005550100"}));
    ASSERT_EQ(m_Host.Exchanges().size(), 2u);
    EXPECT_EQ(m_Host.Exchanges()[1].type, "0704");
    EXPECT_EQ(m_Host.Balance(kAccount), 5000);
}

TEST_F(DialBackupServerTest, ARecordThatFoundNoCarrierIsTakenAgainAtTheNextPass) {
    // The carrier that the dial saw come up is gone at the look before the frame: the call dropped as it came up.
    // Nothing else happens afterwards that would wake the worker.
    StartModem();
    std::atomic<int> carrierSeen{0};
    m_Server = std::make_unique<CDialBackupServer>(FastTimings());
    m_Server->Port().SetResolver([this](int) { return m_Modem->Location(); });
    m_Server->Port().SetLineFilter([&carrierSeen](unsigned lines) {
        return (lines & kLineDcd) != 0 && ++carrierSeen == 2 ? lines & ~static_cast<unsigned>(kLineDcd) : lines;
    });
    ASSERT_TRUE(m_Server->Start(kComPort)) << m_Server->GetLastErrorText();
    const CTransaction done = WaitForAnswer(QueueForDial(MakeTransaction(kTranNumSale)), 3000);
    EXPECT_EQ(done.m_State, kTranStateDialParsed) << done.m_HostErrorText;
    EXPECT_GE(carrierSeen.load(), 3);
    // The next pass found the call up and sent the frame on it.
    EXPECT_EQ(m_Modem->Calls(), 1);
    EXPECT_EQ(m_Modem->Frames().size(), 1u);
}

TEST_F(DialBackupServerTest, AnIdleDialBackupDoesNotPoll) {
    // The production pace: the comm-event thread would look at the lines every 10 ms.
    StartBoth(CModemScript(), SDialTimings());
    const uint64_t before = m_Server->Port().LineWatchWakeUps();
    CSystemClock().SleepMs(300);
    // (At most the one look that was due when the start-up's last answer came.)
    EXPECT_LE(m_Server->Port().LineWatchWakeUps() - before, 1u);
    EXPECT_TRUE(m_Server->IsRunning());
}

TEST_F(DialBackupServerTest, AStopDuringAnExchangeEndsItAtOnce) {
    CModemScript script;
    script.host = ModemHostAnswer::None;
    SDialTimings timings = FastTimings();
    timings.responseMs = 35000;
    const int threads = CountEntries("/proc/self/task");
    StartBoth(script, timings);
    const int32_t seq = QueueForDial(MakeTransaction(kTranNumSale));
    ASSERT_TRUE(WaitUntil([&] { return m_Modem->Frames().size() == 1; }));
    CSystemClock real;
    const uint64_t start = real.TickMs();
    m_Server->Stop();
    EXPECT_LT(real.TickMs() - start, 5000u);
    EXPECT_FALSE(m_Server->IsRunning());
    const CTransaction done = QueuedRecord(seq);
    EXPECT_EQ(done.m_State, kTranStateDialFailed);
    EXPECT_EQ(done.m_HostErrorText, kDialShuttingDownText);
    // DTR was raised again after the hang-up that the stop cut short, then dropped by the close.
    EXPECT_FALSE(m_Modem->Line(kLineDtr));
    EXPECT_FALSE(g_DialConnectedEvent.IsSet());
    EXPECT_EQ(CountEntries("/proc/self/task"), threads + 1); // the modem's own thread
}

TEST_F(DialBackupServerTest, AStopDuringADialEndsItAtOnce) {
    CModemScript script;
    script.dial = ModemDialAnswer::Silence;
    SDialTimings timings = FastTimings();
    timings.dialAnswerMs = 30000;
    StartBoth(script, timings);
    const int32_t seq = QueueForDial(MakeTransaction(kTranNumSale));
    ASSERT_TRUE(WaitUntil([&] { return m_Modem->Dialled().size() == 1; }));
    CSystemClock real;
    const uint64_t start = real.TickMs();
    m_Server->Stop();
    EXPECT_LT(real.TickMs() - start, 5000u);
    EXPECT_EQ(QueuedRecord(seq).m_State, kTranStateDialSendFailed);
    EXPECT_EQ(QueuedRecord(seq).m_HostErrorText, kDialNoDialResponseText);
}

TEST_F(DialBackupServerTest, ARecordThatLeftTheDialPathMeanwhileIsNotSent) {
    CModemScript script;
    script.answerDelayMs = 300;
    StartBoth(script);
    const int32_t first = QueueForDial(MakeTransaction(kTranNumSale));
    const int32_t second = QueueForDial(MakeTransaction(kTranNumSale, "100"));
    ASSERT_TRUE(WaitUntil([&] { return m_Modem->Frames().size() == 1; }));
    // The host interface gives up on the second while the first is on the line.
    CTransaction gaveUp = QueuedRecord(second);
    gaveUp.m_State = kTranStateHostError;
    g_TransactionQueue.ReplaceBySeq(second, gaveUp);
    EXPECT_EQ(WaitForAnswer(first).m_State, kTranStateDialParsed);
    CSystemClock().SleepMs(100);
    EXPECT_EQ(m_Modem->Frames().size(), 1u);
    EXPECT_EQ(QueuedRecord(second).m_State, kTranStateHostError);
}

TEST_F(DialBackupServerTest, CommandBreaksInTheDialParametersAreRemovedAndLogged) {
    // (A ";" cannot be stored at all: it separates the saved values.)
    SetDialParams("9\r", "1800555\n0100");
    StartBoth();
    const CTransaction done = WaitForAnswer(QueueForDial(MakeTransaction(kTranNumSale)));
    EXPECT_EQ(done.m_State, kTranStateDialParsed) << done.m_HostErrorText;
    EXPECT_EQ(m_Modem->Dialled(), (std::vector<std::string>{"918005550100"}));
    EXPECT_EQ(m_Modem->Commands().back(), "ATDT918005550100");
    EXPECT_EQ(CountLogLines("holds CR, LF or ';': removed from the dial command."), 1);
}

TEST_F(DialBackupServerTest, AFrameThatCannotBeWrittenFailsTheExchangeAtOnce) {
    CModemScript script;
    script.vanishOnConnect = true;
    SDialTimings timings = FastTimings();
    timings.enqMs = 2000; // the modem is gone before the frame goes out
    timings.responseMs = 600000;
    timings.okMs = 100; // the hang-up after the failure waits for an OK that cannot come
    StartBoth(script, timings);
    const CTransaction done = WaitForAnswer(QueueForDial(MakeTransaction(kTranNumSale)));
    EXPECT_EQ(done.m_State, kTranStateDialFailed);
    EXPECT_EQ(done.m_HostErrorText, kDialTransmitFailedText);
}

TEST_F(DialBackupServerTest, TheHostInterfaceHandsOverAndTheLaneGetsTheOutcome) {
    CModemScript script;
    StartBoth(script);
    m_Interface = std::make_unique<CRuvuzUvirInterface>();
    m_Interface->SetDialBackupProbe([this] { return m_Server->IsRunning(); });
    ASSERT_TRUE(m_Interface->Start());

    CTransaction sale = MakeTransaction(kTranNumSale);
    sale.m_State = kTranStateQueued;
    g_TransactionQueue.Add(sale);
    ASSERT_TRUE(WaitUntil([&] { return QueuedRecord(sale.m_QueueSeq).m_State == kTranStateCompleted; }));
    EXPECT_TRUE(QueuedRecord(sale.m_QueueSeq).m_Approved);
    EXPECT_EQ(m_Host.Balance(kAccount), 4750);

    // A failed dial reaches the lane as 4003 with the modem's reason.
    m_Modem->LoseCarrier();
    ASSERT_TRUE(WaitUntil([&] { return !g_DialConnectedEvent.IsSet(); }));
    script.dial = ModemDialAnswer::Busy;
    m_Modem->SetScript(script);
    CTransaction balance = MakeTransaction(kTranNumBalance);
    balance.m_State = kTranStateQueued;
    g_TransactionQueue.Add(balance);
    ASSERT_TRUE(WaitUntil([&] { return QueuedRecord(balance.m_QueueSeq).m_State == kTranStateHostError; }));
    CTransaction failed = QueuedRecord(balance.m_QueueSeq);
    EXPECT_EQ(failed.m_HostErrorText, "BUSY");
    failed.m_ResultCode = kResultHostError;
    const std::string reply = failed.BuildErrorReply();
    EXPECT_NE(reply.find("4003"), std::string::npos) << reply;
    EXPECT_NE(reply.find("BUSY"), std::string::npos) << reply;
    m_Interface->Stop();
}

} // namespace
