#include "app/ParameterDownload.h"

#include <utility>

#include "app/LanesFile.h"
#include "foundation/AppMode.h"
#include "foundation/ErrorReporter.h"
#include "foundation/Logger.h"
#include "platform/Event.h"
#include "platform/ProcessEvents.h"
#include "platform/WorkerThread.h"

std::string ParameterLoadFailedText(const std::string& errorText) {
    return "Parameter Load Failed - " + errorText + "\r\n\r\n  Try Again?";
}

CParameterDownload::CParameterDownload(std::function<std::string()> deviceId) : m_DeviceId(std::move(deviceId)) {}

void CParameterDownload::Run() {
    std::optional<std::vector<CServiceHost>> hosts;
    std::optional<std::filesystem::path> machineIdFile;
    {
        CMutexLock hold(m_Lock);
        hosts = m_Hosts;
        machineIdFile = m_MachineIdFile;
    }
    CNQMSClient client(m_DeviceId ? m_DeviceId() : std::string());
    if (hosts) {
        client.SetHosts(*hosts);
    }
    if (machineIdFile) {
        client.SetMachineIdFile(*machineIdFile);
    }
    const bool succeeded = client.RetrieveParameters();
    const std::string error = client.GetLastErrorText();
    if (succeeded) {
        CLogger::Instance().LogLine("Parameters Successfully Loaded from NQMS (%s).", client.GetServerName().c_str());
    } else {
        CLogger::Instance().LogLine("Parameter Load Failed - %s", error.c_str());
    }
    CMutexLock hold(m_Lock);
    m_Succeeded = succeeded;
    m_LastErrorText = succeeded ? std::string() : error;
}

bool CParameterDownload::Succeeded() const {
    CMutexLock hold(m_Lock);
    return m_Succeeded;
}

std::string CParameterDownload::GetLastErrorText() const {
    CMutexLock hold(m_Lock);
    return m_LastErrorText;
}

void CParameterDownload::SetHosts(std::vector<CServiceHost> hosts) {
    CMutexLock hold(m_Lock);
    m_Hosts = std::move(hosts);
}

void CParameterDownload::SetMachineIdFile(std::filesystem::path file) {
    CMutexLock hold(m_Lock);
    m_MachineIdFile = std::move(file);
}

bool RunWorkerAndPump(const char* name, const std::function<void()>& body) {
    CEvent done(true, false);
    CWorkerThread thread(name, [&body, &done] {
        body();
        done.Set();
        return 0;
    });
    if (!thread.Start()) {
        return false;
    }
    std::vector<CEvent*> events{&done};
    WaitAndPumpMessages(events);
    return true; // the thread's destructor waits for it to end
}

CParameterLoadResult LoadNewParameters(IParameterDownloadPart& download) {
    // The client's reads end when the shutdown event is set, and a stopped host interface leaves it set.
    const bool interfacesStopped = g_ShutdownEvent.IsSet();
    if (interfacesStopped) {
        g_ShutdownEvent.Reset();
    }
    CParameterLoadResult result;
    const bool ran = RunWorkerAndPump("ParameterRetrieval", [&download] { download.Run(); });
    if (interfacesStopped) {
        g_ShutdownEvent.Set();
    }
    if (!ran) {
        ReportError(kWorkerNotStartedText, false, AppModeFlags().StartedAsService(), 0);
        result.errorText = kWorkerNotStartedText;
        return result;
    }
    result.loaded = download.Succeeded();
    result.errorText = download.GetLastErrorText();
    if (result.loaded) {
        CLanesFile::ClearLanesFile();
    }
    return result;
}
