#pragma once
// The whole road of a POS request, set up once for the end-to-end tests (and the benchmarks): a temporary folder
// holding the merchant parameters, a test CA trusted through SSL_CERT_FILE, the host simulator on free loopback
// ports, and the server side as the interface start-up builds it (reverse worker, host interface, service
// discovery, POS server on a free port), with POS client peers that log in and send requests.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/ParamSets.h"
#include "common/TempDir.h"
#include "common/TestClock.h"
#include "host/RuvuzUvirInterface.h"
#include "host/ServiceDiscoveryWorker.h"
#include "host/ViewSink.h"
#include "peers/HostSimulator.h"
#include "peers/PosClient.h"
#include "peers/TestPki.h"
#include "server/PosServer.h"
#include "server/PosSession.h"
#include "transaction/ReverseWorker.h"

// The merchant the world is configured for.
inline constexpr char kE2eMerchantId[] = "RVZMERCH001";
inline constexpr char kE2eAltMerchantId[] = "RVZALTID002";
inline constexpr char kE2eTerminalId[] = "0042";
inline constexpr char kE2eDatawireId[] = "DW0011223344";
// Its ids as parameter values.
inline ParamValues EndToEndMerchant() {
    return {{kParamMerchantId, kE2eMerchantId},
            {kParamAlternateMerchantId, kE2eAltMerchantId},
            {kParamTerminalId, kE2eTerminalId},
            {kParamDatawireId, kE2eDatawireId}};
}

struct CEndToEndOptions {
    CHostSimulatorOptions simulator; // merchant fields are filled in by the world
    // How many times faster than real time the clock seam runs; 0 keeps the system clock.
    uint32_t clockFactor = 10;
    // Parameters that tests vary.
    std::string transportMethod = "0";
    std::string lanes = "8";
    std::string merchantCurrency = "0";
    std::string verifyCertificate = "Y";
    std::string connectTimeoutSeconds = "30";
    // Which discovery hosts the parameters name (indexes into the simulator's; -1 names none, "0").
    int primaryDiscovery = 0;
    int secondaryDiscovery = 1;
    // When not empty: the two discovery hosts ("host:port", or "0") of a simulator that runs elsewhere (another
    // process); the world then runs no simulator of its own and Simulator() must not be used.
    std::vector<std::string> externalDiscovery;
    // The certificate the simulator shows.
    TestLeaf leaf = TestLeaf::LoopbackIp;
    // Whether Start fails when the first discovery finds no provider.
    bool requireDiscovery = true;
    SPosSessionTimings sessionTimings;
};

// One end-to-end world. The process-wide objects of the server (queues, provider list, parameter store, crypto
// object, TLS credential, view sink, clock) are set up by Start and put back by Stop, so one world may live at a
// time. Start, Stop and the destructor are for the test thread; the accessors may be used from any thread.
class CEndToEndWorld {
public:
    explicit CEndToEndWorld(CEndToEndOptions options = CEndToEndOptions());
    ~CEndToEndWorld();
    CEndToEndWorld(const CEndToEndWorld&) = delete;
    CEndToEndWorld& operator=(const CEndToEndWorld&) = delete;

    // The simulator is there from construction, so a test can script it before Start.
    CHostSimulator& Simulator() { return *m_Simulator; }
    bool HasSimulator() const { return m_Simulator != nullptr; }
    CCardHost& Host() { return m_Simulator->Host(); }

    // Writes the parameters, starts the simulator and then the server side. False with LastError.
    bool Start();
    // Stops the server side in the interface shut-down's order, then the simulator. Safe to call twice.
    void Stop();
    const std::string& LastError() const { return m_LastError; }

    // The sped-up clock, or null when the system clock runs.
    CTestClock* Clock() { return m_Clock.get(); }
    // Moves the clock seam forward (nothing with the system clock).
    void Jump(uint64_t ms);
    const std::filesystem::path& Folder() const { return m_Folder->Path(); }
    int PosPort() const { return m_PosPort; }
    bool DiscoverySucceeded() const { return m_DiscoveryStarted; }

    CPosServer& Server() { return *m_Server; }
    CRuvuzUvirInterface& Interface() { return *m_Interface; }
    CServiceDiscoveryWorker& DiscoveryWorker() { return *m_DiscoveryWorker; }
    CQueuedViewSink& View() { return m_View; }

    // A POS client connected to the server and logged in; null (with LastError) when that failed.
    std::unique_ptr<CPosClient> NewLane();
    // Sends |request| and reads its replies: the "Queued" reply of an accepted request, then the final one (an
    // error reply comes alone). False when a reply did not come within |timeoutMs| of real time.
    bool Transact(CPosClient& lane, const SPosRequest& request, SPosReply* final, SPosReply* queued = nullptr,
                  int timeoutMs = 10000);

    // Every line the server logged so far (the logger is flushed first).
    std::string LogText();
    // Waits in real time until |text| appears in the log.
    bool WaitForLog(const std::string& text, uint32_t timeoutMs = 5000);

    // A request of the world's merchant for |tranCode| on |account|.
    static SPosRequest Request(const std::string& tranCode, const std::string& account, const std::string& purchase,
                               const std::string& invoice = "1001");

private:
    bool Fail(const std::string& text);
    bool WriteParameters();

    CEndToEndOptions m_Options;
    std::string m_LastError;
    std::unique_ptr<CScopedTempDir> m_Folder;
    std::unique_ptr<CTestClock> m_Clock;
    std::unique_ptr<CScopedClock> m_ClockScope;
    std::unique_ptr<CHostSimulator> m_Simulator;
    CQueuedViewSink m_View;
    std::unique_ptr<CReverseWorker> m_ReverseWorker;
    std::unique_ptr<CRuvuzUvirInterface> m_Interface;
    std::unique_ptr<CServiceDiscoveryWorker> m_DiscoveryWorker;
    std::unique_ptr<CPosServer> m_Server;
    int m_PosPort = -1;
    bool m_Started = false;
    bool m_DiscoveryStarted = false;
};

// The test CA and certificates, made once for the whole process (making RSA keys is slow).
const CTestPki& EndToEndPki();
