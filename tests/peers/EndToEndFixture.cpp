#include "peers/EndToEndFixture.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>
#include <thread>

#include "common/LogFolder.h"
#include "common/ParamSets.h"
#include "common/TestClock.h"
#include "common/Wait.h"
#include "foundation/Logger.h"
#include "foundation/ParamSettings.h"
#include "foundation/ParamStore.h"
#include "foundation/Request.h"
#include "host/ServiceProviderList.h"
#include "host/SspiProvider.h"
#include "platform/ProcessEvents.h"
#include "transaction/ReversalJournal.h"
#include "transaction/TransactionQueue.h"

namespace {
// How often WaitForLog reads the log folder again.
constexpr uint32_t kLogPollMs = 50;
} // namespace

const CTestPki& EndToEndPki() {
    static const CTestPki pki;
    return pki;
}

CEndToEndWorld::CEndToEndWorld(CEndToEndOptions options) : m_Options(std::move(options)) {
    m_Folder = std::make_unique<CScopedTempDir>("kestrove-e2e");
    if (m_Options.clockFactor > 0) {
        // From an even tick: ticks stay even at an even speed, which decides the first discovery host.
        m_Clock = std::make_unique<CTestClock>();
        m_Clock->Run(m_Options.clockFactor);
        m_ClockScope = std::make_unique<CScopedClock>(*m_Clock);
    }
    if (!m_Options.externalDiscovery.empty()) {
        return;
    }
    CHostSimulatorOptions simulator = m_Options.simulator;
    simulator.merchantId = kE2eMerchantId;
    simulator.altMerchantId = kE2eAltMerchantId;
    simulator.terminalId = kE2eTerminalId;
    simulator.datawireId = kE2eDatawireId;
    m_Simulator = std::make_unique<CHostSimulator>(EndToEndPki().Leaf(m_Options.leaf), simulator);
}

CEndToEndWorld::~CEndToEndWorld() {
    Stop();
    m_Simulator.reset();
    // The clock goes last: every thread that read it has ended.
    m_ClockScope.reset();
    m_Clock.reset();
}

bool CEndToEndWorld::Fail(const std::string& text) {
    m_LastError = text;
    return false;
}

void CEndToEndWorld::Jump(uint64_t ms) {
    if (m_Clock) {
        m_Clock->Advance(ms);
    }
}

SPosRequest CEndToEndWorld::Request(const std::string& tranCode, const std::string& account,
                                    const std::string& purchase, const std::string& invoice) {
    SPosRequest request;
    request.tranCode = tranCode;
    request.merchantId = kE2eMerchantId;
    request.acctNo = account;
    request.purchase = purchase;
    request.invoiceNo = invoice;
    request.refNo = "R" + invoice;
    request.operatorId = "clerk7";
    request.terminalId = "01";
    return request;
}

bool CEndToEndWorld::WriteParameters() {
    auto discoveryHost = [&](int index) {
        if (!m_Options.externalDiscovery.empty()) {
            const size_t which = index == m_Options.primaryDiscovery ? 0 : 1;
            return which < m_Options.externalDiscovery.size() ? m_Options.externalDiscovery[which] : std::string("0");
        }
        return index < 0 ? std::string("0") : m_Simulator->DiscoveryHost(index);
    };
    ParamValues values = EndToEndMerchant();
    values.insert(values.end(), {
                                    {kParamMerchantCurrency, m_Options.merchantCurrency},
                                    {kParamPrimaryUrl, discoveryHost(m_Options.primaryDiscovery)},
                                    {kParamSecondaryUrl, discoveryHost(m_Options.secondaryDiscovery)},
                                    {kParamVerifySslCertificate, m_Options.verifyCertificate},
                                    {kParamTransportMethod, m_Options.transportMethod},
                                    {kParamIpConnectTimeout, m_Options.connectTimeoutSeconds},
                                    {kParamNumberOfLanes, m_Options.lanes},
                                });
    std::string refused;
    const CParamSettings settings = ParamsWith(DefaultParams(), values, &refused);
    if (!refused.empty()) {
        return Fail(refused);
    }
    if (!CParamStore::Instance().SetParams(settings)) {
        return Fail("the parameters could not be saved: " + CParamStore::Instance().GetLastErrorText());
    }
    return true;
}

bool CEndToEndWorld::Start() {
    if (m_Folder->Path().empty()) {
        return Fail("no temporary folder");
    }
    m_Started = true;
    if (!EndToEndPki().TrustRootForThisProcess(m_Folder->Path())) {
        return Fail("the test CA could not be written");
    }
    if (!g_SspiProvider.Init()) {
        return Fail("the TLS credential could not be made");
    }
    if (m_Simulator && !m_Simulator->Start()) {
        return Fail("the host simulator did not start");
    }
    if (!WriteParameters()) {
        return false;
    }
    // The application object makes the log folder before anything logs.
    std::error_code ec;
    std::filesystem::create_directory(m_Folder->Path() / CLogger::kFolderName, ec);
    CLogger::Instance();
    if (!CRequest::Instance().StartCrypto()) {
        return Fail("the crypto object did not start");
    }

    // What the interface start-up finds: empty queues, no providers, no reversals left from an earlier world.
    g_TransactionQueue.RemoveAll();
    g_ReversalQueue.RemoveAll();
    g_ServiceProviderList.RemoveAll();
    CReversalJournal::Instance().ResetForTesting();
    g_ServiceDiscoveryRequest.Reset();
    g_DialConnectedEvent.Reset();
    SetTrafficView(&m_View);

    m_ReverseWorker = std::make_unique<CReverseWorker>();
    m_ReverseWorker->SetRouteProbe([] { return HostRouteKnown(); });
    if (!m_ReverseWorker->Start()) {
        return Fail("the reverse worker did not start");
    }
    m_Interface = std::make_unique<CRuvuzUvirInterface>();
    if (!m_Interface->Start()) {
        return Fail("the host interface did not start: " + m_Interface->GetLastErrorText());
    }
    m_DiscoveryWorker = std::make_unique<CServiceDiscoveryWorker>();
    m_DiscoveryStarted = m_DiscoveryWorker->Start();
    if (!m_DiscoveryStarted && m_Options.requireDiscovery) {
        return Fail("the first service discovery found no provider");
    }
    m_Server = std::make_unique<CPosServer>();
    m_Server->SetTimings(m_Options.sessionTimings);
    const int result = m_Server->Start(0);
    if (result != 0) {
        return Fail("the POS server did not start: " + std::to_string(result));
    }
    m_PosPort = m_Server->GetPort();
    return true;
}

void CEndToEndWorld::Stop() {
    if (!m_Started) {
        if (m_Simulator) {
            m_Simulator->Stop();
        }
        return;
    }
    m_Started = false;
    if (m_Clock) {
        m_Clock->Run(); // a held clock would keep every timed wait of the shut-down waiting
    }
    // The interface shut-down's order: no new clients, then the reverse worker, the host interface and the
    // discovery thread, then the sessions are waited for.
    if (m_Server) {
        m_Server->m_bGoingOffline = true;
        m_Server->Stop();
    }
    if (m_ReverseWorker) {
        m_ReverseWorker->Stop();
    }
    if (m_Interface) {
        m_Interface->Stop();
    }
    if (m_DiscoveryWorker) {
        m_DiscoveryWorker->Stop();
    }
    m_Server.reset();
    m_ReverseWorker.reset();
    m_Interface.reset();
    m_DiscoveryWorker.reset();
    if (m_Simulator) {
        m_Simulator->Stop();
    }
    CLogger::Instance().Flush();
    SetTrafficView(nullptr);
    g_TransactionQueue.RemoveAll();
    g_ReversalQueue.RemoveAll();
    g_ServiceProviderList.RemoveAll();
    CReversalJournal::Instance().ResetForTesting();
    CRequest::Instance().StopCrypto();
    g_SspiProvider.Free();
    g_ShutdownEvent.Reset(); // the process is left as a new one finds it
}

std::unique_ptr<CPosClient> CEndToEndWorld::NewLane() {
    auto lane = std::make_unique<CPosClient>();
    SPosReply reply;
    if (!lane->ConnectAndLogIn("127.0.0.1", m_PosPort, &reply)) {
        Fail("log-in: " + lane->LastError() + " " + reply.textResponse);
        return nullptr;
    }
    return lane;
}

bool CEndToEndWorld::Transact(CPosClient& lane, const SPosRequest& request, SPosReply* final, SPosReply* queued,
                              int timeoutMs) {
    return lane.Transact(request, final, queued, timeoutMs) || Fail(lane.LastError());
}

std::string CEndToEndWorld::LogText() {
    CLogger::Instance().Flush();
    return ReadLogFolder(m_Folder->Path());
}

bool CEndToEndWorld::WaitForLog(const std::string& text, uint32_t timeoutMs) {
    return WaitUntil([&] { return LogText().find(text) != std::string::npos; }, timeoutMs, kLogPollMs);
}
