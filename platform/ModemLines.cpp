#include "platform/ModemLines.h"

#include <cerrno>
#include <sys/ioctl.h>

#include "platform/OsError.h"

namespace {
int IoctlRetryingEintr(int fd, unsigned long request, int* value) {
    return RetryOnEintr([&] { return ::ioctl(fd, request, value); });
}
} // namespace

bool CIoctlModemLines::GetLines(unsigned* lines) {
    *lines = 0;
    int status = 0;
    if (IoctlRetryingEintr(m_Fd, TIOCMGET, &status) != 0) {
        return false;
    }
    const struct {
        int driverBit;
        unsigned line;
    } map[] = {{TIOCM_CAR, kLineDcd},
               {TIOCM_DSR, kLineDsr},
               {TIOCM_CTS, kLineCts},
               {TIOCM_DTR, kLineDtr},
               {TIOCM_RTS, kLineRts}};
    for (const auto& entry : map) {
        if ((status & entry.driverBit) != 0) {
            *lines |= entry.line;
        }
    }
    return true;
}

bool CIoctlModemLines::SetBits(int bits, bool on) {
    return IoctlRetryingEintr(m_Fd, on ? TIOCMBIS : TIOCMBIC, &bits) == 0;
}

bool CIoctlModemLines::SetDtr(bool on) {
    return SetBits(TIOCM_DTR, on);
}

bool CIoctlModemLines::SetRts(bool on) {
    return SetBits(TIOCM_RTS, on);
}
