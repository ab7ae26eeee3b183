#include "app/PendingInterfaces.h"

#include <cerrno>

bool CNoLauncherPipe::Start(const std::string& /*pipeName*/) {
    m_LastErrorCode = ENOSYS;
    return false;
}
