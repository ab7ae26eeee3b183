#include "app/InterfaceAdapters.h"

#include "foundation/TextHelpers.h"

CRuvuzUvirInterfacePart::CRuvuzUvirInterfacePart(const IDialBackupPart& dialBackup) {
    m_Interface.SetDialBackupProbe([&dialBackup] { return dialBackup.IsRunning(); });
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
    const int error = m_Server.GetListenError();
    return std::string(step) + ": " + GetErrorTextInline(static_cast<uint64_t>(error));
}
