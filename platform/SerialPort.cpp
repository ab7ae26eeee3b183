#include "platform/SerialPort.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "platform/OsError.h"
#include "platform/SharedModemLines.h"

namespace {
struct CBaudEntry {
    int baud;
    speed_t speed;
};
constexpr CBaudEntry kBauds[] = {{300, B300},   {1200, B1200},   {2400, B2400},
                                 {9600, B9600}, {19200, B19200}, {115200, B115200}};

bool BaudToSpeed(int baud, speed_t* speed) {
    for (const CBaudEntry& entry : kBauds) {
        if (entry.baud == baud) {
            *speed = entry.speed;
            return true;
        }
    }
    return false;
}

std::string EnvironmentText(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    return value != nullptr ? std::string(value) : std::string();
}

} // namespace

CComPortLocation ResolveComPort(int port) {
    const std::string variable = std::string(kComPortVariablePrefix) + std::to_string(port);
    CComPortLocation location;
    location.device = EnvironmentText(variable);
    if (location.device.empty()) {
        location.device = "/dev/ttyS" + std::to_string(port - 1);
    }
    location.linesFile = EnvironmentText(variable + kComPortLinesSuffix);
    return location;
}

bool ValidSerialSettings(const CSerialSettings& settings) {
    speed_t speed = 0;
    const char parity = settings.parity;
    return BaudToSpeed(settings.baud, &speed) &&
           (parity == 'E' || parity == 'e' || parity == 'O' || parity == 'o' || parity == 'N' || parity == 'n') &&
           (settings.dataBits == '7' || settings.dataBits == '8') &&
           (settings.stopBits == '1' || settings.stopBits == '2');
}

size_t CLineErrorMarks::Take(char* bytes, size_t size, size_t* errors) {
    constexpr char kMark = '\xFF';
    size_t kept = 0;
    size_t dropped = 0;
    for (size_t i = 0; i < size; ++i) {
        const char c = bytes[i];
        switch (m_State) {
        case State::Data:
            if (c == kMark) {
                m_State = State::Escape;
            } else {
                bytes[kept++] = c;
            }
            break;
        case State::Escape:
            if (c == '\0') {
                m_State = State::ErrorByte;
            } else {
                // 0xFF 0xFF: the byte 0xFF itself. (The line discipline writes no other pair after 0xFF.)
                bytes[kept++] = kMark;
                if (c != kMark) {
                    bytes[kept++] = c;
                }
                m_State = State::Data;
            }
            break;
        case State::ErrorByte:
            ++dropped;
            m_State = State::Data;
            break;
        }
    }
    if (errors != nullptr) {
        *errors = dropped;
    }
    return kept;
}

bool CSerialPort::Open(const std::string& device, const CSerialSettings& settings, const std::string& linesFile,
                       std::string* error) {
    Close();
    speed_t speed = 0;
    if (!ValidSerialSettings(settings) || !BaudToSpeed(settings.baud, &speed)) {
        *error = "unsupported line settings";
        return false;
    }
    m_Fd = CSocketFd(RetryOnEintr([&] { return ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); }));
    if (!m_Fd.Valid()) {
        FailWithErrno(error, "cannot open " + device);
        return false;
    }
    auto fail = [&](const std::string& what) {
        FailWithErrno(error, what + " " + device);
        Close();
        return false;
    };
    if (::ioctl(m_Fd.Get(), TIOCEXCL) != 0) {
        return fail("cannot claim");
    }
    termios tio{};
    if (::tcgetattr(m_Fd.Get(), &tio) != 0) {
        return fail("cannot read the line settings of");
    }
    ::cfmakeraw(&tio);
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | ISTRIP | IGNPAR | IGNBRK | BRKINT);
    // A byte that arrives with a parity or framing error (or a break) is marked in the input rather than passed
    // as data: the reads drop it (CLineErrorMarks).
    tio.c_iflag |= INPCK | PARMRK;
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB);
    tio.c_cflag |= CREAD | CLOCAL | HUPCL | CRTSCTS;
    tio.c_cflag |= settings.dataBits == '7' ? CS7 : CS8;
    if (settings.parity != 'N' && settings.parity != 'n') {
        tio.c_cflag |= PARENB;
        if (settings.parity == 'O' || settings.parity == 'o') {
            tio.c_cflag |= PARODD;
        }
    }
    if (settings.stopBits == '2') {
        tio.c_cflag |= CSTOPB;
    }
    // Reads return at once with what is queued.
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0) {
        return fail("cannot set the line settings of");
    }
    // The C library reports EINVAL when the driver kept some of the settings from taking (a pty keeps the
    // speed but always reports 8 data bits without parity): what counts is read back below.
    if (::tcsetattr(m_Fd.Get(), TCSANOW, &tio) != 0 && errno != EINVAL) {
        return fail("cannot set the line settings of");
    }
    // tcsetattr succeeds when any one of the settings took; the speed is the one that a driver refuses.
    termios check{};
    if (::tcgetattr(m_Fd.Get(), &check) != 0) {
        return fail("cannot read back the line settings of");
    }
    if (::cfgetospeed(&check) != speed || ::cfgetispeed(&check) != speed) {
        errno = EINVAL;
        return fail("line settings did not take on");
    }
    m_Marks.Reset();
    if (linesFile.empty()) {
        m_Lines = std::make_unique<CIoctlModemLines>(m_Fd.Get());
    } else {
        std::string linesError;
        m_Lines = CSharedModemLines::Open(linesFile, &linesError);
        if (m_Lines == nullptr) {
            *error = linesError;
            Close();
            return false;
        }
    }
    return true;
}

void CSerialPort::Close() {
    m_Lines.reset();
    if (m_Fd.Valid()) {
        // The claim outlives this descriptor while another one keeps the device open (a simulator holding a
        // pty), which would refuse the next open.
        ::ioctl(m_Fd.Get(), TIOCNXCL);
    }
    m_Fd.Close();
}

long CSerialPort::WriteSome(const void* data, size_t size) {
    const ssize_t n = RetryOnEintr([&] { return ::write(m_Fd.Get(), data, size); });
    if (n < 0) {
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
    return static_cast<long>(n);
}

long CSerialPort::ReadSome(void* data, size_t size, size_t* lineErrors) {
    if (lineErrors != nullptr) {
        *lineErrors = 0;
    }
    const ssize_t n = RetryOnEintr([&] { return ::read(m_Fd.Get(), data, size); });
    if (n < 0) {
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
    return static_cast<long>(m_Marks.Take(static_cast<char*>(data), static_cast<size_t>(n), lineErrors));
}

long CSerialPort::InputQueued() const {
    int count = 0;
    return ::ioctl(m_Fd.Get(), FIONREAD, &count) == 0 ? count : -1;
}

long CSerialPort::OutputQueued() const {
    int count = 0;
    return ::ioctl(m_Fd.Get(), TIOCOUTQ, &count) == 0 ? count : -1;
}

bool CSerialPort::PurgeInput() {
    // The rest of a mark that a read cut in two goes with the queue.
    m_Marks.Reset();
    return ::tcflush(m_Fd.Get(), TCIFLUSH) == 0;
}

bool CSerialPort::PurgeOutput() {
    return ::tcflush(m_Fd.Get(), TCOFLUSH) == 0;
}
