#include "app/InterfaceController.h"

#include <climits>
#include <cstdlib>
#include <new>
#include <vector>

#include "app/ParameterDownload.h"
#include "foundation/ErrorReporter.h"
#include "foundation/Logger.h"
#include "platform/Clock.h"
#include "platform/LocalTime.h"
#include "platform/ProcessSignals.h"
#include "transaction/TransactionQueue.h"

std::atomic<bool> g_bParametersRetrievedOnce{false};

namespace {
constexpr int kTransportDialOnly = 2;
constexpr int kTransportIpWithDial = 1;
constexpr int kOneLaneMaxConnections = 1;
constexpr int kManyLanesMaxConnections = 200;
// The client wait of the shut-down: the poll step.
constexpr uint64_t kClientPollMs = 500;
constexpr size_t kPipeNameBufferChars = 128;

const char kPipeNameSuffix[] = "_CorvaneAppDirectory";
} // namespace

// Past its range strtol gives the limit of a long, which lies beyond an int's.
static_assert(sizeof(long) > sizeof(int), "a long must hold every int and more");

int ParamTextToInt(const std::string& text) {
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (end == text.c_str() || value > INT_MAX || value < INT_MIN) {
        return 0;
    }
    return static_cast<int>(value);
}

std::string EncodeIdLetters(unsigned number) {
    std::string letters;
    do {
        const unsigned digit = number % 10;
        letters += digit == 0 ? 'J' : static_cast<char>('A' + digit - 1);
        number /= 10;
    } while (number != 0);
    return letters;
}

CInterfaceController::CInterfaceController(const CInterfaceParts& parts, IInterfaceView& view,
                                           const CAppModeFlags& mode, CParamStore& store)
    : m_Parts(parts), m_View(view), m_Mode(mode), m_Store(store) {}

CInterfaceController::~CInterfaceController() = default;

int CInterfaceController::ServerPort() const {
    return m_pServer != nullptr ? m_pServer->GetPort() : -1;
}

void CInterfaceController::Report(const std::string& text, bool log) const {
    ReportError(text, log, m_Mode.StartedAsService(), 0);
}

bool CInterfaceController::AskRetry(const std::string& text) const {
    // A service has nobody to answer, so its start-up gives up at once instead of retrying forever.
    const bool service = m_Mode.StartedAsService();
    const int answer = TimedMessageBox(text, service, service ? kIdNo : kIdYes, 0);
    return answer != kIdNo;
}

int CInterfaceController::ReadIntParam(unsigned index) const {
    return ParamTextToInt(m_Store.GetParams().GetParamMap().GetValue(index));
}

void CInterfaceController::StartPipeLink() {
    std::string name = EncodeIdLetters(static_cast<unsigned>(CurrentProcessId())) + kPipeNameSuffix;
    if (name.size() >= kPipeNameBufferChars) {
        name.resize(kPipeNameBufferChars - 1);
    }
    if (!m_Parts.pipeServerThread.Start(name)) {
        std::string line = FormatText("Failed to initialize Pipe Server. Interface return code: %d.",
                                      m_Parts.pipeServerThread.GetLastErrorCode());
        const std::string reason = m_Parts.pipeServerThread.GetLastErrorText();
        if (!reason.empty()) {
            line += " " + reason;
        }
        CLogger::Instance().LogLine("%s", line.c_str());
    }
}

int CInterfaceController::StartInterfaces() {
    m_View.PostOfflineTitle();
    if (m_Mode.StartedByLauncher()) {
        StartPipeLink();
    }
    m_View.BeginProgress();
    GetClock().SleepMs(50);
    m_StartFailure.clear();
    m_StartFailureKind = EStartFailure::Passing;
    StartSequence();
    m_View.EndProgress();
    return 0;
}

void CInterfaceController::StartSequence() {
    if (!g_bParametersRetrievedOnce.load()) {
        m_View.SetProgress("Retrieving Parameters ...");
        g_bParametersRetrievedOnce.store(true);
        RetrieveParametersAtStartup();
    }

    // It tells the operator itself what is wrong; nothing but the pipe link has started yet.
    if (!CheckConfiguration(m_Store, &m_StartFailure)) {
        m_StartFailureKind = ConfigurationFailureKind();
        return;
    }

    g_TransactionQueue.RemoveAll();

    m_View.SetProgress("Starting the Server Transaction Reversal Thread ...");
    if (!m_Parts.reverseWorker.Start()) {
        m_StartFailure = "Failed to Server Transaction Reversal Thread!";
        Report(m_StartFailure, true);
        return;
    }

    const int transport = ReadIntParam(kParamTransportMethod);
    m_View.SetProgress(transport == kTransportDialOnly ? "Attempting to Start Main Worker..."
                                                       : "Attempting to Connect to RuvuzUvir ...");
    while (!m_Parts.ruvuzUvirInterface.Start()) {
        const std::string error = m_Parts.ruvuzUvirInterface.GetLastErrorText();
        if (!AskRetry(error + "\r\n   Retry?")) {
            m_StartFailure = error.empty() ? "The RuvuzUvir interface could not be started." : error;
            StopInterfaces();
            return;
        }
    }

    if (transport == kTransportIpWithDial || transport == kTransportDialOnly) {
        m_View.SetProgress("Starting Dial Backup Support...");
        const int comPort = ReadIntParam(kParamModemComPort);
        if (!m_Parts.dialBackup.Start(comPort)) {
            const std::string error = m_Parts.dialBackup.GetLastErrorText();
            if (m_Mode.StartedByLauncher()) {
                // The launcher's merchants keep their IP path when the modem is missing.
                CLogger::Instance().LogLine("%s", error.c_str());
            } else {
                m_StartFailure = error;
                m_StartFailureKind = DialBackupFailure(error);
                Report(error, true);
                StopInterfaces();
                return;
            }
        }
    }

    if (transport != kTransportDialOnly) {
        m_View.SetProgress("Performing Service Discovery ...");
        while (!m_Parts.serviceDiscovery.Start()) {
            if (!AskRetry("Service Discovery failed.\r\n   Retry?")) {
                m_StartFailure = "Service Discovery failed.";
                StopInterfaces();
                return;
            }
        }
    }

    m_View.SetProgress("Initializing Client TCP/IP Interface....");
    if (m_pServer == nullptr) {
        try {
            m_pServer = m_Parts.serverFactory.Create();
        } catch (const std::bad_alloc&) {
            m_pServer.reset();
        }
        if (m_pServer == nullptr) {
            m_StartFailure = "Failed to Allocate memory for TCP/IP Server!";
            StopInterfaces();
            Report(m_StartFailure, true);
            return;
        }
    }

    const int lanes = ReadIntParam(kParamNumberOfLanes);
    m_pServer->SetMaxConnections(lanes == 1 ? kOneLaneMaxConnections : kManyLanesMaxConnections);

    // The texts name the port asked for: 9100, unless an operator or a test moved it.
    const int port = m_pServer->GetRequestedPort();
    const int code = m_pServer->Start();
    if (code != 0) {
        const std::string reason = m_pServer->GetLastErrorText();
        const std::string failed = FormatText("Failed to start TCP/IP Server(%d)!", port);
        m_StartFailure = reason.empty() ? failed : failed + " " + reason;
        Report(failed, false);
        m_pServer.reset();
        StopInterfaces();
        CLogger::Instance().LogLine("Failed to initialize TCP/IP Server (%d) interface return code: %d.", port, code);
        if (!reason.empty()) {
            CLogger::Instance().LogLine("TCP/IP Server (%d): %s", port, reason.c_str());
        }
        return;
    }

    CLogger::Instance().LogLine("TCP/IP Server (%d) initialized successfully.", m_pServer->GetPort());
    if (m_pServer->GetPort() != 9100) {
        // Only a test or an operator's override moves the port; say where the lanes must connect.
        CLogger::Instance().LogLine("POS clients are served on port %d.", m_pServer->GetPort());
    }
    m_View.StartTitleTimer();
    CLogger::Instance().LogLine("Interfaces initialized successfully.");
}

EStartFailure CInterfaceController::ConfigurationFailureKind() const {
    // A stored set that is not usable, or a set the service handed out that is not, waits for an operator. No
    // set at all comes with the next download, unless the service refused it.
    if (m_StartFailure != kConfigurationNotSetText || m_Parts.parameterDownload.Succeeded()) {
        return EStartFailure::NotConfigured;
    }
    return ParameterDownloadFailure(m_Parts.parameterDownload.GetLastErrorText());
}

void CInterfaceController::RetrieveParametersAtStartup() {
    // The outcome is not looked at: a good download has replaced the stored set, a failed one left it, and the
    // configuration check that follows decides either way.
    RunWorkerAndPump("ParameterRetrieval", [this] { m_Parts.parameterDownload.Run(); });
}

void CInterfaceController::StopInterfaces() {
    m_View.KillTitleTimer();
    m_View.BeginProgress();

    m_View.SetProgress("Stopping New Client Connections ...");
    if (m_pServer != nullptr && m_pServer->Stop() == 1) {
        Report("Error Stopping TCP/IP Accept thread!", true);
    }

    m_View.SetProgress("Shutting down the Server Transaction Reversal Thread ...");
    m_Parts.reverseWorker.Stop();

    m_View.SetProgress("Shutting down RUVUZUVIR Interface ...");
    m_Parts.ruvuzUvirInterface.Stop();

    m_View.SetProgress("Shutting down Service Discovery ...");
    m_Parts.serviceDiscovery.Stop();

    m_View.SetProgress("Shutting down Dial Backup...");
    m_Parts.dialBackup.Stop();

    m_View.SetProgress("Shutting down Clients...");
    if (m_pServer != nullptr) {
        WaitForClientsToEnd();
        m_pServer.reset();
    }

    CLogger::Instance().LogLine("Interfaces Stopped.");
    m_View.EndProgress();
}

void CInterfaceController::WaitForClientsToEnd() {
    IClock& clock = GetClock();
    m_pServer->SetGoingOffline();
    while (m_pServer->GetActiveCount() != 0) {
        clock.SleepMs(kClientPollMs);
    }
    // A client that connected just before the accept thread ended starts its session late: wait for it too,
    // within one settle period that a late session does not restart.
    const uint64_t settleStart = clock.TickMs();
    while (clock.TickMs() - settleStart < m_ClientSettleMs) {
        while (m_pServer->GetActiveCount() >= 1) {
            clock.SleepMs(kClientPollMs);
        }
        clock.SleepMs(kClientPollMs);
    }
}

bool CInterfaceController::OnStopInterfaces(bool canAskOperator) {
    if (m_pServer != nullptr && m_pServer->GetActiveCount() >= 1) {
        const int answer =
            TimedMessageBox("There are Client connections in Process.\rAre you SURE you want to do this?",
                            m_Mode.StartedAsService() || !canAskOperator, kIdYes, 0);
        if (answer == kIdNo) {
            return false;
        }
    }
    StopInterfaces();
    if (m_Mode.StartedByLauncher()) {
        m_Parts.pipeServerThread.Stop();
    }
    return true;
}

void CInterfaceController::RestartInterfaces() {
    StopInterfaces();
    StartInterfaces();
}

std::optional<std::string> CInterfaceController::RefreshTitle() const {
    if (m_pServer == nullptr) {
        return std::nullopt;
    }
    const std::string clock = LocalNowText("%H:%M:%S", ZoneRead::kAsLoaded);
    return FormatText("  Kestrove XML 5.0 (RuvuzUvir) #Requests-> %d    #Sockets-> %d     %s%s",
                      static_cast<int>(g_TransactionQueue.GetCount()), m_pServer->GetActiveCount(), clock.c_str(), "");
}
