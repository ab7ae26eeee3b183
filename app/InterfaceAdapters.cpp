#include "app/InterfaceAdapters.h"

#include "app/PipeCommandHandler.h"
#include "foundation/Logger.h"
#include "foundation/TextHelpers.h"
#include "transaction/SynchroStanFile.h"

// A lane's transaction never waits for a worker while another lane's exchange with a slow host runs.
static_assert(kDefaultHostWorkers >= kPosServerMaxConnections,
              "the default host workers must cover every lane the POS server accepts");

CRuvuzUvirInterfacePart::CRuvuzUvirInterfacePart(const IDialBackupPart& dialBackup, int hostWorkers) {
    m_Interface.SetDialBackupProbe([&dialBackup] { return dialBackup.IsRunning(); });
    m_Interface.SetMaxHostWorkers(hostWorkers);
}

void CRuvuzUvirInterfacePart::Stop() {
    m_Interface.Stop();
    std::string error;
    if (!CSynchroStanFile::Instance().ReleaseReserve(error)) {
        CLogger::Instance().LogLine("%s", error.c_str());
    }
}

std::string CPosServerPart::GetLastErrorText() const {
    // The listen steps of CTcpServer::Listen; any other failure is the accept thread's.
    const char* step = nullptr;
    switch (m_LastStartResult) {
    case 0:
        return "";
    case 2:
        step = "socket";
        break;
    case 3:
        step = "bind";
        break;
    case 4:
        step = "listen";
        break;
    default:
        return "the accept thread could not be started";
    }
    const COsError error = m_Server.GetListenError();
    return std::string(step) + ": " + GetErrorTextInline(static_cast<uint64_t>(error.Number()));
}

CLauncherPipePart::CLauncherPipePart(CLauncherViewCopy& view) : m_View(view) {
    m_Thread.SetSecure(true);
    m_Thread.SetOwner(reinterpret_cast<uintptr_t>(&m_View));
    m_Thread.SetCallback(PipeCommandHandler);
}

bool CLauncherPipePart::Start(const std::string& pipeName) {
    m_View.AllowSnapshots();
    return m_Thread.Start(kxString(pipeName));
}

void CLauncherPipePart::Stop() {
    m_View.CancelSnapshots();
    m_Thread.Stop();
}
