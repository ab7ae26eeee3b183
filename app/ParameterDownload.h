#pragma once
// The parameter download from the management service as the start-up and the Setup dialog run it: one
// retrieval on a worker thread of its own while the user-interface thread keeps pumping, and the Setup dialog's
// "Load New Parameters" around it (the shutdown event, the lanes file, the texts the dialog shows).

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/InterfaceParts.h"
#include "app/NQMSClient.h"
#include "platform/Mutex.h"

// What the Setup dialog shows around a load.
inline constexpr char kRetrievingParametersText[] = "Attempting to Retrieve Parameters from NQMS...";
inline constexpr char kParametersLoadedText[] =
    "Parameters Successfully Loaded\r\nSome Changes may not take effect until you 'OK' the Setup Screen.";
inline constexpr char kWorkerNotStartedText[] = "The Thread could NOT be started.\r\nThis error is FATAL!";
// "Parameter Load Failed - " + |errorText| + "\r\n\r\n  Try Again?": the dialog's Yes/No question after a failure.
std::string ParameterLoadFailedText(const std::string& errorText);

// One retrieval with a fresh CNQMSClient each Run, for the device id that |deviceId| names at that moment
// (CVYRRuvuzUvirIP_Voda50App::GetDeviceId). Thread-safe: Run on the download's worker thread, the results read
// by the thread that waited for it.
class CParameterDownload final : public IParameterDownloadPart {
public:
    explicit CParameterDownload(std::function<std::string()> deviceId);

    // Replaces the stored set when the service hands out a good one; logs the outcome, since a start-up shows
    // nobody what went wrong.
    void Run() override;
    bool Succeeded() const override;
    // The client's error text of the last Run that failed.
    std::string GetLastErrorText() const override;

    // For tests: the hosts (ManagementServiceHosts() otherwise) and the machine-id file.
    void SetHosts(std::vector<CServiceHost> hosts);
    void SetMachineIdFile(std::filesystem::path file);

private:
    const std::function<std::string()> m_DeviceId;
    mutable CMutex m_Lock;
    bool m_Succeeded GUARDED_BY(m_Lock) = false;
    std::string m_LastErrorText GUARDED_BY(m_Lock);
    std::optional<std::vector<CServiceHost>> m_Hosts GUARDED_BY(m_Lock);
    std::optional<std::filesystem::path> m_MachineIdFile GUARDED_BY(m_Lock);
};

// Runs |body| on a new worker thread named |name| and waits for it with WaitAndPumpMessages, so the window keeps
// painting meanwhile. False (nothing run) when the thread could not be started.
bool RunWorkerAndPump(const char* name, const std::function<void()>& body);

// The outcome of one "Load New Parameters" attempt.
struct CParameterLoadResult {
    bool loaded = false;
    std::string errorText; // the client's text after a failure
};

// One attempt of the Setup dialog's "Load New Parameters", on the user-interface thread: when the interfaces are
// stopped (g_ShutdownEvent set) the event is reset for the load, so that the client's reads work, and set again
// after it; the download runs through RunWorkerAndPump. A good load has replaced the stored set and empties the
// lanes file (new parameters may bring other lanes). A worker that cannot start is told to the operator with
// kWorkerNotStartedText and counts as a failed load.
CParameterLoadResult LoadNewParameters(IParameterDownloadPart& download);
