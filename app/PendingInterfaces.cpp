#include "app/PendingInterfaces.h"

#include <cerrno>

#include "foundation/Logger.h"

bool CNoLauncherPipe::Start(const std::string& /*pipeName*/) {
    m_LastErrorCode = ENOSYS;
    return false;
}

void CNoParameterDownload::Run() {
    CLogger::Instance().LogLine("Parameter download is not available in this version; the stored parameters are used.");
}
