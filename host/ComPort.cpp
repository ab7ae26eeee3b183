#include "host/ComPort.h"

#include <algorithm>
#include <vector>

#include "foundation/ErrorReporter.h"
#include "foundation/Logger.h"
#include "foundation/TextHelpers.h"
#include "foundation/WorkerStart.h"
#include "platform/Clock.h"

namespace {
constexpr int kLowestPort = 1;
constexpr int kHighestPort = 255;
// The most one Read hands out.
constexpr int kReadLimit = static_cast<int>(kComReceiveBufferSize) - 1;
// How often the reading loops give way to the cancel event, and WaitForCarrier.
constexpr uint32_t kCancelSliceMs = 1;
constexpr uint32_t kCarrierSliceMs = 5;
} // namespace

CComPort::CComPort(const SDialTimings& timings) : m_Timings(timings), m_Resolver(ResolveComPort) {}

CComPort::~CComPort() {
    Close();
}

bool CComPort::Open(int port, int baud, char parity, char dataBits, char stopBits) {
    if (IsOpen() && !Close()) {
        return false;
    }
    m_ThreadFailed.Reset();
    m_ThreadStarted.Reset();
    m_ThreadStop.Reset();
    m_WatchWanted.Reset();
    if (port < kLowestPort || port > kHighestPort) {
        return false;
    }
    CSerialSettings settings;
    settings.baud = baud;
    settings.parity = parity;
    settings.dataBits = dataBits;
    settings.stopBits = stopBits;
    if (!ValidSerialSettings(settings)) {
        CLogger::Instance().LogLine("Com Port %d: line settings %d,%c,%c,%c are not supported.", port, baud, parity,
                                    dataBits, stopBits);
        return false;
    }
    const CComPortLocation location = m_Resolver(port);
    std::string error;
    if (!m_Serial.Open(location.device, settings, location.linesFile, &error)) {
        CLogger::Instance().LogLine("Com Port %d: %s", port, error.c_str());
        return false;
    }
    m_Pending.clear();
    SetDtr(true);
    SetRts(true);
    const EWorkerStart started = StartWorkerAndWait(
        m_pEventThread, "ComPortEvents", [this] { return CommEventThread(); },
        {m_ThreadFailed, m_ThreadStarted, m_ThreadStop}, [this] { Close(); });
    if (started == EWorkerStart::NotCreated) {
        CLogger::Instance().LogLine("Com Port %d: the comm-event thread could not be started.", port);
        Close();
        return false;
    }
    if (started == EWorkerStart::Stopped) {
        CLogger::Instance().LogLine("Com Port %d: the modem lines of %s cannot be read.", port,
                                    location.device.c_str());
        return false;
    }
    m_PortNumber = port;
    return true;
}

bool CComPort::Close() {
    if (!IsOpen()) {
        return true;
    }
    StopWorkerThread(m_ThreadStop, m_pEventThread);
    m_ThreadStarted.Reset();
    // What HUPCL does for a real device, done for a line-state file too: the modem hangs up.
    SetDtr(false);
    m_Serial.Close();
    m_Pending.clear();
    return true;
}

CComPort::CWatchHold::CWatchHold(CComPort& port) : m_Port(port) {
    if (m_Port.m_WatchHolds.fetch_add(1) == 0) {
        m_Port.m_WatchWanted.Set();
    }
}

CComPort::CWatchHold::~CWatchHold() {
    m_Port.m_WatchHolds.fetch_sub(1);
}

int CComPort::CommEventThread() {
    unsigned lines = 0;
    if (!m_Serial.Lines().GetLines(&lines)) {
        m_ThreadFailed.Set();
        return 1;
    }
    long queued = m_Serial.InputQueued();
    m_ThreadStarted.Set();
    constexpr int kWatchWanted = 1;
    std::vector<CEvent*> events{&m_ThreadStop, &m_WatchWanted};
    if (m_pCancel != nullptr) {
        events.push_back(m_pCancel);
    }
    for (;;) {
        // The lines are watched while a call is up or an operation waits for an answer; otherwise nobody needs
        // them, and the thread sleeps until an operation begins.
        const bool watching = (lines & kLineDcd) != 0 || m_WatchHolds.load() > 0;
        const int woke = WaitForAnyEvent(events, watching ? m_Timings.lineWatchMs : kInfinite);
        if (woke != kWaitTimeout && woke != kWatchWanted) {
            return 0;
        }
        m_WatchWakeUps.fetch_add(1);
        unsigned now = 0;
        if (m_Serial.Lines().GetLines(&now)) {
            const unsigned changed = now ^ lines;
            if ((changed & kLineDcd) != 0) {
                m_CarrierChanged.Set();
            }
            if ((changed & kLineCts) != 0) {
                m_CtsChanged.Set();
            }
            if ((changed & kLineDsr) != 0) {
                m_DsrChanged.Set();
            }
            lines = now;
        }
        const long count = m_Serial.InputQueued();
        if (count > queued) {
            m_DataReceived.Set();
        }
        queued = count;
    }
}

int CComPort::WaitCancel(uint32_t ms) {
    if (m_pCancel == nullptr) {
        GetClock().SleepMs(ms);
        return kComTimeout;
    }
    return m_pCancel->Wait(ms) ? kComCancelled : kComTimeout;
}

void CComPort::LogTransmitTimeout() {
    const long in = m_Serial.InputQueued();
    const long out = m_Serial.OutputQueued();
    // Output waits for CTS only (DSR flow control is off).
    const std::string status =
        FormatText("COMSTAT [cbInQue = %d,cbOutQue = %d, ctsHold = %d,DsrHold = %d", static_cast<int>(in < 0 ? 0 : in),
                   static_cast<int>(out < 0 ? 0 : out), IsCts() ? 0 : 1, 0);
    CLogger::Instance().LogLine("TIMED OUT! on TRANSMIT!! [%s]\n", status.c_str());
}

int CComPort::Write(const char* bytes, size_t length, uint32_t timeoutMs) {
    if (length == 0) {
        return kComSuccess;
    }
    if (!IsOpen()) {
        return kComFailure;
    }
    const CWatchHold hold(*this);
    IClock& clock = GetClock();
    const uint64_t start = clock.TickMs();
    auto giveUp = [&](int code) {
        if (code == kComTimeout) {
            LogTransmitTimeout();
        }
        m_Serial.PurgeOutput();
        return code;
    };
    size_t done = 0;
    while (done < length) {
        const long n = m_Serial.WriteSome(bytes + done, length - done);
        if (n < 0) {
            return giveUp(kComFailure);
        }
        done += static_cast<size_t>(n);
        if (done == length) {
            break;
        }
        if (Cancelled()) {
            return giveUp(kComCancelled);
        }
        if (clock.TickMs() - start > timeoutMs) {
            return giveUp(kComTimeout);
        }
        m_Serial.WaitWritable(kCancelSliceMs);
    }
    // Done when the bytes have left the output queue, as the caller may hang up or wait for an answer next.
    while (m_Serial.OutputQueued() > 0) {
        if (WaitCancel(kCancelSliceMs) == kComCancelled) {
            return giveUp(kComCancelled);
        }
        if (clock.TickMs() - start > timeoutMs) {
            return giveUp(kComTimeout);
        }
    }
    return kComSuccess;
}

int CComPort::BytesAvailable() {
    if (!IsOpen()) {
        return 0;
    }
    const long queued = m_Serial.InputQueued();
    return static_cast<int>(m_Pending.size()) + static_cast<int>(queued < 0 ? 0 : queued);
}

int CComPort::Read(int max) {
    if (!IsOpen()) {
        return 0;
    }
    int limit = kReadLimit;
    if (max >= 0) {
        limit = std::min(limit, max);
    }
    int count = std::min(limit, static_cast<int>(m_Pending.size()));
    std::copy_n(m_Pending.data(), count, m_ReceiveBuffer.data());
    m_Pending.erase(0, static_cast<size_t>(count));
    if (count < limit) {
        size_t lineErrors = 0;
        const long n =
            m_Serial.ReadSome(m_ReceiveBuffer.data() + count, static_cast<size_t>(limit - count), &lineErrors);
        if (n > 0) {
            count += static_cast<int>(n);
        }
        if (lineErrors > 0) {
            // A byte with a parity or framing error is no data, and the read that meets it fails (as a read fails
            // on a line error flag); what came with it waits, in order, for the next read.
            Unread(std::string(m_ReceiveBuffer.data(), static_cast<size_t>(count)));
            return 0;
        }
    }
    return count;
}

void CComPort::PurgeInput() {
    if (IsOpen()) {
        m_Serial.PurgeInput();
    }
    m_Pending.clear();
}

bool CComPort::HasLine(unsigned line) {
    unsigned lines = 0;
    if (!IsOpen() || !m_Serial.Lines().GetLines(&lines)) {
        return false;
    }
    if (m_LineFilter) {
        lines = m_LineFilter(lines);
    }
    return (lines & line) != 0;
}

bool CComPort::IsCarrier() {
    return HasLine(kLineDcd);
}

bool CComPort::IsDsr() {
    return HasLine(kLineDsr);
}

bool CComPort::IsCts() {
    return HasLine(kLineCts);
}

bool CComPort::SetDtr(bool on) {
    if (!IsOpen() || !m_Serial.Lines().SetDtr(on)) {
        return false;
    }
    m_DtrOn = on;
    return true;
}

bool CComPort::SetRts(bool on) {
    if (!IsOpen() || !m_Serial.Lines().SetRts(on)) {
        return false;
    }
    m_RtsOn = on;
    return true;
}

int CComPort::SendCommand(const std::string& text, bool addCr) {
    if (!addCr) {
        PurgeInput();
        return WriteString(text, m_Timings.writeMs);
    }
    const int written = WriteString(text, m_Timings.writeMs);
    if (written != kComSuccess) {
        return written;
    }
    if (WaitCancel(m_Timings.commandSettleMs) == kComCancelled) {
        return kComCancelled;
    }
    // The modem has echoed the text by now (when its echo is on); the answer comes after the CR.
    PurgeInput();
    return Write("\r", 1, m_Timings.writeMs);
}

int CComPort::ReadUntil(uint32_t timeoutMs, const std::function<int(const std::string& bytes)>& take) {
    const CWatchHold hold(*this);
    IClock& clock = GetClock();
    const uint64_t start = clock.TickMs();
    for (;;) {
        if (WaitCancel(kCancelSliceMs) == kComCancelled) {
            return kComCancelled;
        }
        if (BytesAvailable() > 0) {
            const int count = Read(-1);
            if (count > 0) {
                const int result = take(std::string(m_ReceiveBuffer.data(), static_cast<size_t>(count)));
                if (result >= 0) {
                    return result;
                }
            }
        }
        if (clock.TickMs() - start >= timeoutMs) {
            return kComTimeout;
        }
    }
}

int CComPort::Accumulate(uint32_t timeoutMs, const std::function<int(const std::string& answer)>& done) {
    std::string answer;
    return ReadUntil(timeoutMs, [&](const std::string& bytes) {
        answer += bytes;
        return done(answer);
    });
}

int CComPort::ReadLine(uint32_t timeoutMs, std::string* line) {
    line->clear();
    return ReadUntil(timeoutMs, [&](const std::string& bytes) {
        for (size_t i = 0; i < bytes.size(); ++i) {
            const char c = bytes[i];
            if (c == '\n' && !line->empty()) {
                Unread(bytes.substr(i + 1));
                return static_cast<int>(kComSuccess);
            }
            if (c != '\r' && c != '\n') {
                *line += c;
            }
        }
        return -1;
    });
}

int CComPort::WaitForOk(uint32_t timeoutMs) {
    return Accumulate(timeoutMs, [](const std::string& answer) {
        return Contains(answer, "OK") || Contains(answer, "0\r") ? static_cast<int>(kComSuccess) : -1;
    });
}

bool CComPort::WaitForCarrier(uint32_t timeoutMs) {
    const CWatchHold hold(*this);
    IClock& clock = GetClock();
    const uint64_t start = clock.TickMs();
    for (;;) {
        if (IsCarrier()) {
            return true;
        }
        if (WaitCancel(kCarrierSliceMs) == kComCancelled || clock.TickMs() - start >= timeoutMs) {
            return false;
        }
    }
}

int CComPort::CheckModemIdentity(std::string* text, uint32_t timeoutMs) {
    *text = kModemNoResponseText;
    if (WaitCancel(m_Timings.commandPauseMs) == kComCancelled) {
        return kComCancelled;
    }
    int result = SendCommand(kModemIdentityCommand, true);
    if (result != kComSuccess) {
        return result;
    }
    result = Accumulate(timeoutMs, [](const std::string& answer) {
        const bool identity = Contains(answer, "\r\nCX84") || Contains(answer, "\r\nCX90");
        return identity && Contains(answer, "\r\nOK\r\n") ? static_cast<int>(kComSuccess) : -1;
    });
    if (result == kComCancelled) {
        return result;
    }
    if (result != kComSuccess) {
        *text = kModemNotGenuineText;
        return kComFailure;
    }
    if (WaitCancel(m_Timings.commandPauseMs) == kComCancelled) {
        return kComCancelled;
    }
    PurgeInput();
    // The identity answer came: a model check that goes unanswered is no time-out of the identity's.
    text->clear();
    result = SendCommand(kModemModelCheckCommand, true);
    if (result != kComSuccess) {
        return result;
    }
    // The maker's model refuses this command; the other model takes it.
    result = Accumulate(m_Timings.modelCheckMs, [](const std::string& answer) {
        if (Contains(answer, "\r\nERROR\r\n")) {
            return static_cast<int>(kComSuccess);
        }
        return Contains(answer, "\r\nOK\r\n") ? static_cast<int>(kComFailure) : -1;
    });
    if (result == kComFailure) {
        *text = kModemNotGenuineText;
    }
    return result;
}

bool CComPort::HangUp() {
    const CWatchHold hold(*this);
    IClock& clock = GetClock();
    SetDtr(false);
    bool cancelled = false;
    bool done = false;
    const uint64_t start = clock.TickMs();
    while (clock.TickMs() - start < m_Timings.hangUpCarrierMs) {
        if (!IsCarrier()) {
            done = WaitForOk(m_Timings.okMs) == kComSuccess;
            break;
        }
        if (WaitCancel(kCancelSliceMs) == kComCancelled) {
            cancelled = true;
            break;
        }
    }
    // Raised again on every path: a modem left with DTR low (with &D2) would refuse every later call.
    SetDtr(true);
    if (done) {
        return true;
    }
    if (cancelled || WaitCancel(m_Timings.escapeGuardMs) == kComCancelled) {
        return false;
    }
    SendCommand(kModemEscape, false);
    if (WaitCancel(m_Timings.escapeGuardMs) == kComCancelled) {
        return false;
    }
    SendCommand(kModemHangUpCommand, true);
    return WaitForOk(m_Timings.okMs) == kComSuccess;
}
