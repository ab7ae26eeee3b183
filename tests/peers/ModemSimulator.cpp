#include "peers/ModemSimulator.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include "host/ComPort.h"
#include "host/DialBackupServer.h"

namespace {
constexpr uint32_t kPollMs = 1;
constexpr uint32_t kVanishDelayMs = 200;

std::string Upper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}
} // namespace

SDialTimings ScaleDialTimings(const SDialTimings& timings, uint32_t divisor) {
    SDialTimings scaled = timings;
    for (uint32_t* limit : {&scaled.writeMs, &scaled.commandSettleMs, &scaled.commandPauseMs, &scaled.identityMs,
                            &scaled.modelCheckMs, &scaled.hangUpCarrierMs, &scaled.okMs, &scaled.escapeGuardMs,
                            &scaled.initAnswerMs, &scaled.dialAnswerMs, &scaled.connectCarrierMs, &scaled.enqMs,
                            &scaled.responseMs, &scaled.nakPauseMs, &scaled.servicePassMs, &scaled.lineWatchMs}) {
        *limit = std::max<uint32_t>(1, *limit / divisor);
    }
    return scaled;
}

CModemSimulator::CModemSimulator(CCardHost& host, CModemScript script) : m_Host(host), m_Script(std::move(script)) {
    m_Echo = m_Script.echo;
}

CModemSimulator::~CModemSimulator() {
    Stop();
}

bool CModemSimulator::Start(const std::string& linesFile) {
    termios raw{};
    ::cfmakeraw(&raw);
    char name[128] = {};
    if (::openpty(&m_Master, &m_Slave, name, &raw, nullptr) != 0) {
        m_LastError = std::string("openpty: ") + std::strerror(errno);
        return false;
    }
    ::fcntl(m_Master, F_SETFL, ::fcntl(m_Master, F_GETFL) | O_NONBLOCK);
    ::fcntl(m_Master, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_Slave, F_SETFD, FD_CLOEXEC);
    m_DevicePath = name;
    unsigned lines = 0;
    {
        CMutexLock lock(m_Lock);
        lines = (m_Script.dsr ? kLineDsr : 0u) | (m_Script.cts ? kLineCts : 0u);
        m_NaksLeft = m_Script.nakFrames;
    }
    m_Lines = CSharedModemLines::Create(linesFile, lines, &m_LastError);
    if (m_Lines == nullptr) {
        return false;
    }
    m_LinesPath = linesFile;
    m_Stop.store(false);
    m_Thread = std::thread([this] { Serve(); });
    return true;
}

void CModemSimulator::Stop() {
    m_Stop.store(true);
    if (m_Thread.joinable()) {
        m_Thread.join();
    }
    for (int* fd : {&m_Master, &m_Slave}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
}

void CModemSimulator::SetScript(const CModemScript& script) {
    CMutexLock lock(m_Lock);
    m_Script = script;
    m_NaksLeft = script.nakFrames;
}

CModemScript CModemSimulator::Script() const {
    CMutexLock lock(m_Lock);
    return m_Script;
}

void CModemSimulator::LoseCarrier() {
    CMutexLock lock(m_Lock);
    HangUp();
    Answer("NO CARRIER");
}

void CModemSimulator::SetLine(unsigned line, bool on) {
    m_Lines->SetLine(line, on);
}

void CModemSimulator::SendWithLineError(const std::string& before, char bad, const std::string& after) {
    CMutexLock lock(m_Lock);
    Send(before + LineError(bad) + after);
}

std::string CModemSimulator::LineError(char bad) {
    // A pty carries no parity and reports no line errors; its line discipline marks nothing but doubles a 0xFF
    // that the port must see as data. The port checks and marks its input (INPCK, PARMRK), so the mark it would
    // read is written as it stands, with that doubling turned off on the pty (this simulator sends no 0xFF data).
    termios tio{};
    if (::tcgetattr(m_Slave, &tio) == 0 && (tio.c_iflag & PARMRK) != 0) {
        tio.c_iflag &= ~static_cast<tcflag_t>(PARMRK);
        ::tcsetattr(m_Slave, TCSANOW, &tio);
    }
    return std::string("\xFF\0", 2) + bad;
}

bool CModemSimulator::Line(unsigned line) const {
    return m_Lines->IsLine(line);
}

std::vector<std::string> CModemSimulator::Commands() const {
    CMutexLock lock(m_Lock);
    return m_Commands;
}

std::vector<std::string> CModemSimulator::Dialled() const {
    CMutexLock lock(m_Lock);
    return m_Dialled;
}

std::vector<std::string> CModemSimulator::Frames() const {
    CMutexLock lock(m_Lock);
    return m_Frames;
}

std::vector<std::string> CModemSimulator::Answers() const {
    CMutexLock lock(m_Lock);
    return m_Answers;
}

std::string CModemSimulator::DataBytes() const {
    CMutexLock lock(m_Lock);
    return m_DataBytes;
}

int CModemSimulator::DtrDrops() const {
    CMutexLock lock(m_Lock);
    return m_DtrDrops;
}

int CModemSimulator::Calls() const {
    CMutexLock lock(m_Lock);
    return m_Calls;
}

bool CModemSimulator::Connected() const {
    CMutexLock lock(m_Lock);
    return m_Mode == Mode::Data;
}

void CModemSimulator::Serve() {
    char buffer[512];
    while (!m_Stop.load()) {
        pollfd fd{m_Master, POLLIN, 0};
        const int ready = ::poll(&fd, 1, kPollMs);
        CMutexLock lock(m_Lock);
        if (ready > 0 && (fd.revents & POLLIN) != 0) {
            const ssize_t got = ::read(m_Master, buffer, sizeof buffer);
            for (ssize_t i = 0; i < got; ++i) {
                Take(buffer[i]);
            }
        }
        // The port's drops are counted, so one shorter than this loop's pass is not missed.
        const unsigned drops = m_Lines->DtrDrops();
        if (drops != m_SeenDtrDrops) {
            m_SeenDtrDrops = drops;
            ++m_DtrDrops;
            if (m_Script.hangUpOnDtrDrop) {
                // With &D2 the modem hangs up and returns to command mode.
                HangUp();
                Answer("OK");
            }
        }
        RunDueOutput();
    }
}

void CModemSimulator::Send(const std::string& bytes, uint32_t delayMs, std::function<void()> after) {
    m_Outbox.push_back(COutput{m_RealClock.TickMs() + delayMs, bytes, std::move(after)});
    if (delayMs == 0 && m_Outbox.size() == 1) {
        RunDueOutput();
    }
}

void CModemSimulator::RunDueOutput() {
    while (!m_Outbox.empty() && m_Outbox.front().dueMs <= m_RealClock.TickMs()) {
        COutput output = std::move(m_Outbox.front());
        m_Outbox.pop_front();
        WriteMaster(output.bytes);
        if (output.after) {
            output.after();
        }
    }
}

void CModemSimulator::WriteMaster(const std::string& bytes) {
    size_t done = 0;
    // A port that does not read for a whole second has lost the rest.
    const uint64_t giveUp = m_RealClock.TickMs() + 1000;
    while (done < bytes.size() && m_RealClock.TickMs() < giveUp && !m_Stop.load()) {
        const ssize_t n = ::write(m_Master, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return;
        } else {
            pollfd fd{m_Master, POLLOUT, 0};
            ::poll(&fd, 1, kPollMs);
        }
    }
}

void CModemSimulator::Answer(const std::string& text) {
    Send("\r\n" + text + "\r\n");
}

void CModemSimulator::HangUp() {
    m_Lines->SetLine(kLineDcd, false);
    m_Mode = Mode::Command;
    m_Frame = Frame::Idle;
    m_Body.clear();
    m_Pluses = 0;
    m_PendingAnswer.clear();
}

void CModemSimulator::Take(char c) {
    if (m_Mode == Mode::Data) {
        m_DataBytes += c;
        TakeData(c);
        return;
    }
    if (m_Echo) {
        Send(std::string(1, c));
    }
    if (c == '\r') {
        const std::string line = m_Line;
        m_Line.clear();
        Execute(line);
    } else if (c != '\n') {
        m_Line += c;
    }
}

void CModemSimulator::Execute(const std::string& line) {
    // Whatever came before "AT" (a "+++" sent in command mode, noise) is not part of the command.
    const size_t at = Upper(line).find("AT");
    if (at == std::string::npos) {
        return;
    }
    const std::string command = line.substr(at);
    const std::string upper = Upper(command);
    m_Commands.push_back(command);
    if (!m_Script.answers) {
        return;
    }
    if (StartsWith(upper, "ATD")) {
        DialNumber(command.substr(StartsWith(upper, "ATDT") || StartsWith(upper, "ATDP") ? 4 : 3));
        return;
    }
    if (upper.find("&F") != std::string::npos) {
        m_Echo = true;
    }
    if (upper.find("E0") != std::string::npos && m_Script.honoursEchoOff) {
        m_Echo = false;
    } else if (upper.find("E1") != std::string::npos) {
        m_Echo = true;
    }
    if (command == kModemIdentityCommand) {
        Send("\r\n" + m_Script.identity + "\r\n\r\nOK\r\n");
    } else if (command == kModemModelCheckCommand) {
        if (m_Script.answersModelCheck) {
            Answer(m_Script.genuine ? "ERROR" : "OK");
        }
    } else if (command == kModemInitCommand) {
        if (!m_Script.initAnswer.empty()) {
            Answer(m_Script.initAnswer);
        }
    } else if (upper == "ATH0" || upper == "ATH") {
        HangUp();
        Answer("OK");
    } else {
        Answer("OK");
    }
}

void CModemSimulator::DialNumber(const std::string& number) {
    m_Dialled.push_back(number);
    ++m_Calls;
    switch (m_Script.dial) {
    case ModemDialAnswer::Connect: {
        m_Lines->SetLine(kLineDcd, true);
        m_Mode = Mode::Data;
        m_Frame = Frame::Idle;
        m_NaksLeft = m_Script.nakFrames;
        std::string connect = "\r\n" + m_Script.connectText + "\r\n";
        if (m_Script.vanishOnConnect) {
            // Gone a moment later, once the port has read the CONNECT line (a hang-up of the pty flushes what
            // the port has not read yet).
            Send(connect);
            Send(std::string(), kVanishDelayMs, [this] {
                ::close(m_Master);
                m_Master = -1;
            });
        } else if (m_Script.enq && m_Script.enqBehindConnect) {
            Send(connect + kCharENQ);
        } else {
            Send(connect);
            if (m_Script.enq) {
                Send(std::string(1, kCharENQ), 20);
            }
        }
        break;
    }
    case ModemDialAnswer::ConnectWithoutCarrier:
        Answer(m_Script.connectText);
        break;
    case ModemDialAnswer::Busy:
        Answer("BUSY");
        break;
    case ModemDialAnswer::NoDialtone:
        Answer("NO DIALTONE");
        break;
    case ModemDialAnswer::NoCarrier:
        Answer("NO CARRIER");
        break;
    case ModemDialAnswer::Error:
        Answer("ERROR");
        break;
    case ModemDialAnswer::Other:
        Answer(m_Script.otherText);
        break;
    case ModemDialAnswer::Silence:
        break;
    }
}

void CModemSimulator::TakeData(char c) {
    switch (m_Frame) {
    case Frame::Idle:
        if (c == '+') {
            if (++m_Pluses == 3) {
                // The escape: back to command mode with the call still up.
                m_Pluses = 0;
                m_Mode = Mode::Command;
                Answer("OK");
            }
            return;
        }
        m_Pluses = 0;
        if (c == kCharSTX) {
            m_Frame = Frame::Body;
            m_Body.clear();
        } else if (c == kCharNAK && !m_PendingAnswer.empty()) {
            m_Answers.push_back(m_PendingAnswer);
            Send(m_PendingAnswer);
        } else if (c == kCharACK && !m_PendingAnswer.empty()) {
            m_PendingAnswer.clear();
            if (m_Script.enq) {
                // Ready for the next transaction on the same call.
                Send(std::string(1, kCharENQ));
            }
        }
        return;
    case Frame::Body:
        if (c == kCharETX) {
            m_Frame = Frame::Lrc;
        } else {
            m_Body += c;
        }
        return;
    case Frame::Lrc:
        m_Frame = Frame::Idle;
        m_Frames.push_back(std::string(1, kCharSTX) + m_Body + kCharETX + c);
        OnFrame(m_Body, DialFrameLrc(m_Body) == c);
        return;
    }
}

void CModemSimulator::OnFrame(const std::string& body, bool lrcOk) {
    if (!lrcOk || m_NaksLeft > 0) {
        if (lrcOk) {
            --m_NaksLeft;
        }
        std::string nak(1, kCharNAK);
        if (m_Script.enqAfterNak && m_Script.enq) {
            nak += kCharENQ;
        }
        Send(nak);
        return;
    }
    Send(std::string(1, kCharACK));
    std::string answer;
    if (m_Script.answerer) {
        answer = m_Script.answerer(body);
    } else {
        answer = m_Host.Answer(body, -1, m_RealClock.TickMs(),
                               m_Script.host != ModemHostAnswer::None || m_Script.hostApplies);
    }
    const std::string good = BuildDialFrame(answer);
    const uint32_t delay = m_Script.answerDelayMs;
    switch (m_Script.host) {
    case ModemHostAnswer::Good:
        m_PendingAnswer = good;
        m_Answers.push_back(good);
        Send(good, delay);
        break;
    case ModemHostAnswer::BadLrcFirst: {
        std::string bad = good;
        bad.back() = static_cast<char>(bad.back() ^ 0x01);
        m_PendingAnswer = good;
        m_Answers.push_back(bad);
        Send(bad, delay);
        break;
    }
    case ModemHostAnswer::LineErrorFirst: {
        const size_t middle = good.size() / 2;
        const std::string marked = good.substr(0, middle) + LineError(good[middle]) + good.substr(middle + 1);
        m_PendingAnswer = good;
        m_Answers.push_back(marked);
        Send(marked, delay);
        break;
    }
    case ModemHostAnswer::CarrierLostMidway:
        m_Answers.push_back(good.substr(0, good.size() / 2));
        Send(good.substr(0, good.size() / 2), delay, [this] {
            // RunDueOutput calls it with m_Lock held; the analysis does not follow the lock into a lambda.
            m_Lock.AssertHeld();
            HangUp();
            Answer("NO CARRIER");
        });
        break;
    case ModemHostAnswer::None:
        break;
    }
}
