#include "host/DialBackupServer.h"

#include "foundation/CardDataMask.h"
#include "foundation/ErrorReporter.h"
#include "foundation/Logger.h"
#include "foundation/ParamSettings.h"
#include "foundation/ParamStore.h"
#include "foundation/TextHelpers.h"
#include "foundation/WorkerStart.h"
#include "platform/Clock.h"
#include "platform/ProcessEvents.h"
#include "transaction/Replies.h"
#include "transaction/TransactionQueue.h"

namespace {
constexpr int kDialBaud = 19200;
constexpr uint32_t kSliceMs = 1;

// The answers of a dial attempt that name why it failed.
const char* const kDialFailureWords[] = {"NO CARRIER", "ERROR",       "NO DIALTONE", "BUSY",
                                         "NO ANSWER",  "LINE IN USE", "DIGITAL"};

// The one place where a dial exchange's host message or answer goes to the log.
void LogDialHostText(const char* format, const std::string& hostText, const CTransaction& transaction) {
    CLogger::Instance().LogLine(format, MaskCardData(hostText).c_str(), transaction.m_ClientAddress.c_str());
}

std::string WithoutCommandBreaks(const std::string& text, bool* stripped) {
    std::string clean;
    for (const char c : text) {
        if (c == '\r' || c == '\n' || c == ';') {
            *stripped = true;
        } else {
            clean += c;
        }
    }
    return clean;
}
} // namespace

char DialFrameLrc(const std::string& body) {
    unsigned char lrc = static_cast<unsigned char>(kCharETX);
    for (const char c : body) {
        lrc ^= static_cast<unsigned char>(c);
    }
    return static_cast<char>(lrc);
}

std::string BuildDialFrame(const std::string& message) {
    std::string frame;
    frame.reserve(message.size() + 3);
    frame += kCharSTX;
    frame += message;
    frame += kCharETX;
    frame += DialFrameLrc(message);
    return frame;
}

bool CheckLrc(const std::string& body, char received) {
    return DialFrameLrc(body) == received;
}

std::string BuildDialString(const std::string& prefix, const std::string& number, bool* stripped) {
    *stripped = false;
    return "ATDT" + WithoutCommandBreaks(prefix, stripped) + WithoutCommandBreaks(number, stripped);
}

CDialBackupServer::CDialBackupServer(const SDialTimings& timings) : m_Timings(timings), m_Port(timings) {}

CDialBackupServer::~CDialBackupServer() {
    Stop();
    m_Port.Close();
}

std::string CDialBackupServer::GetLastErrorText() const {
    CMutexLock lock(m_ErrorLock);
    return m_LastError;
}

void CDialBackupServer::SetLastError(const std::string& text) {
    CMutexLock lock(m_ErrorLock);
    m_LastError = text;
}

bool CDialBackupServer::Start(int comPort) {
    Stop();
    m_ComPortNumber = comPort;
    m_PortName = FormatText("COM %02d", comPort);
    SetLastError(std::string());
    const EWorkerStart started = StartWorkerAndWait(
        m_pThread, "DialBackupServer", [this] { return Run(); }, {m_FailedEvent, m_StartedEvent, m_StopEvent},
        [this] { Stop(); });
    if (started == EWorkerStart::NotCreated) {
        SetLastError(kDialThreadFailedText);
    }
    return started == EWorkerStart::Started;
}

void CDialBackupServer::Stop() {
    StopWorkerThread(m_StopEvent, m_pThread);
    m_StartedEvent.Reset();
}

void CDialBackupServer::Fail(const std::string& text) {
    SetLastError(text);
    m_Port.Close();
    m_FailedEvent.Set();
}

int CDialBackupServer::Run() {
    g_DialConnectedEvent.Reset();
    m_Port.SetCancelEvent(&m_StopEvent);
    const int port = m_ComPortNumber;
    if (!m_Port.Open(port, kDialBaud, 'E', '7', '1')) {
        Fail(FormatText(kDialOpenFailedFormat, port));
        return 0;
    }
    if (!m_Port.IsDsr()) {
        Fail(FormatText(kDialDsrInactiveFormat, port));
        return 0;
    }
    if (!m_Port.IsCts()) {
        Fail(FormatText(kDialCtsInactiveFormat, port));
        return 0;
    }
    std::string text;
    if (m_Port.CheckModemIdentity(&text, m_Timings.identityMs) != kComSuccess) {
        Fail(FormatText(kDialDeviceFailedFormat, port, text.c_str()));
        return 0;
    }
    m_LastFailureNotReversal = false;
    m_Serving.store(true);
    m_StartedEvent.Set();

    CTransactionList snapshot;
    // The queue wakes the worker when a record is added or replaced (the host workers hand over by a
    // replace), so it does not look at the queue on a timer while no call is up.
    m_QueueChanged.Reset();
    g_TransactionQueue.WatchAdds(&m_QueueChanged);
    g_TransactionQueue.WatchReplaces(&m_QueueChanged);
    for (;;) {
        g_TransactionQueue.GetIf(
            [](const CTransaction& record) {
                return record.m_State == kTranStateDial && record.m_CryptMode == kCryptModeEncrypted;
            },
            snapshot);
        bool left = false;
        for (const CTransaction& listed : snapshot) {
            if (m_StopEvent.IsSet()) {
                break;
            }
            if (listed.m_State != kTranStateDial || listed.m_CryptMode != kCryptModeEncrypted) {
                continue;
            }
            // The snapshot may be many seconds old by now (an exchange takes up to 35 s): the record is taken
            // again, and left alone when the host interface has given up on it meanwhile.
            CTransaction transaction;
            if (!g_TransactionQueue.GetBySeq(listed.m_QueueSeq, transaction) || transaction.m_State != kTranStateDial ||
                transaction.m_CryptMode != kCryptModeEncrypted) {
                continue;
            }
            left = !Serve(transaction) || left;
        }
        // While a call is up its carrier is watched at every pass, and a record that found no carrier is taken
        // again at the next (nothing else would wake the worker for it); otherwise only the queue wakes it.
        const uint32_t waitMs = g_DialConnectedEvent.IsSet() || left ? m_Timings.servicePassMs : kInfinite;
        if (WaitForAnyEvent({&m_StopEvent, &m_QueueChanged}, waitMs) == 0) {
            break;
        }
        if (!m_Port.IsCarrier() && g_DialConnectedEvent.IsSet()) {
            g_DialConnectedEvent.Reset();
        }
    }
    g_TransactionQueue.Unwatch(&m_QueueChanged);
    m_Serving.store(false);
    // Closing drops DTR, which ends a call still up.
    g_DialConnectedEvent.Reset();
    m_Port.Close();
    return 0;
}

void CDialBackupServer::EndFailed(CTransaction& transaction, int32_t state) {
    transaction.m_State = state;
    // The POS client is answered 4003 with this text.
    transaction.m_HostErrorText = GetLastErrorText();
    CLogger::Instance().LogLine("RESPONSE from RuvuzUvir (Dial) ERROR ->[%s] for %s",
                                transaction.m_HostErrorText.c_str(), transaction.m_ClientAddress.c_str());
}

bool CDialBackupServer::Serve(CTransaction& transaction) {
    const bool reversal = transaction.m_TranCode == kTranNumReversal;
    if (m_Port.IsCarrier() && !m_LastFailureNotReversal && reversal) {
        // A reversal goes out on a call of its own.
        if (!HangUp() && !HangUp()) {
            SetLastError(kDialHangUpFailedText);
            EndFailed(transaction, kTranStateDialSendFailed);
            g_TransactionQueue.ReplaceBySeq(transaction.m_QueueSeq, kTranStateDial, transaction);
            return true;
        }
    }
    if (!m_Port.IsCarrier()) {
        m_LastFailureNotReversal = false;
        if (!InitModem() || !Dial()) {
            EndFailed(transaction, kTranStateDialSendFailed);
            g_TransactionQueue.ReplaceBySeq(transaction.m_QueueSeq, kTranStateDial, transaction);
            return true;
        }
    }
    if (!m_Port.IsCarrier()) {
        // The call dropped as it came up: the record stays as it is for the next pass.
        return false;
    }
    g_DialConnectedEvent.Set();
    if (ExchangeFrame(transaction)) {
        LogDialHostText("RESPONSE from RuvuzUvir (Dial) ->[%s] for %s", transaction.m_HostResponse, transaction);
        transaction.ParseHostResponse();
        transaction.m_State = kTranStateDialParsed;
    } else {
        EndFailed(transaction, kTranStateDialFailed);
        m_LastFailureNotReversal = !reversal;
        HangUp();
    }
    // A record that left the queue meanwhile (its session gave up) gets nothing here: the host worker waiting for
    // it finds it gone and reverses what may have been booked, so there is one reversal, not two.
    g_TransactionQueue.ReplaceBySeq(transaction.m_QueueSeq, kTranStateDial, transaction);
    return true;
}

bool CDialBackupServer::InitModem() {
    for (int attempt = 0; attempt < 2; ++attempt) {
        m_Port.PurgeInput();
        if (m_Port.SendCommand(kModemInitCommand, true) != kComSuccess) {
            SetLastError(kDialTransmitFailedText);
            return false;
        }
        std::string line;
        if (m_Port.ReadLine(m_Timings.initAnswerMs, &line) == kComSuccess) {
            // A modem that still echoes answers its own command first; the second try finds the echo off.
            SetLastError(line);
            if (Contains(line, "OK")) {
                return true;
            }
        } else {
            SetLastError(kDialNoInitResponseText);
        }
    }
    return false;
}

bool CDialBackupServer::Dial() {
    const std::vector<std::string> params =
        CParamStore::Instance().GetValues({kParamDialPrefix, kParamAuthorizationPhoneNumber});
    bool stripped = false;
    const std::string command = BuildDialString(params[0], params[1], &stripped);
    if (stripped) {
        CLogger::Instance().LogLine("DIAL PREFIX or AUTHORIZATION PHONE NUMBER holds CR, LF or ';': removed from the "
                                    "dial command.");
    }
    if (m_Port.SendCommand(command, true) != kComSuccess) {
        SetLastError(kDialTransmitFailedText);
        return false;
    }
    std::string line;
    if (m_Port.ReadLine(m_Timings.dialAnswerMs, &line) != kComSuccess) {
        SetLastError(kDialNoDialResponseText);
        return false;
    }
    if (Contains(line, "CONNECT") && m_Port.WaitForCarrier(m_Timings.connectCarrierMs)) {
        return true;
    }
    for (const char* word : kDialFailureWords) {
        if (Contains(line, word)) {
            SetLastError(line);
            return false;
        }
    }
    SetLastError(kDialFailedToConnectText);
    return false;
}

bool CDialBackupServer::WaitForEnq() {
    IClock& clock = GetClock();
    const uint64_t start = clock.TickMs();
    while (clock.TickMs() - start < m_Timings.enqMs && !m_StopEvent.IsSet() && m_Port.IsCarrier()) {
        if (m_Port.BytesAvailable() > 0) {
            const int count = m_Port.Read(-1);
            const std::string bytes(m_Port.GetReceiveBuffer(), static_cast<size_t>(count < 0 ? 0 : count));
            const size_t enq = bytes.find(kCharENQ);
            if (enq != std::string::npos) {
                m_Port.Unread(bytes.substr(enq + 1));
                return true;
            }
        }
        m_Port.WaitCancel(kSliceMs);
    }
    return false;
}

void CDialBackupServer::RejectResponse(const char* text) {
    m_Port.WaitCancel(m_Timings.nakPauseMs);
    m_Port.PurgeInput();
    m_Port.Write(&kCharNAK, 1, m_Timings.writeMs);
    SetLastError(text);
}

bool CDialBackupServer::ExchangeFrame(CTransaction& transaction) {
    const std::string frame = BuildDialFrame(transaction.m_HostRequest);
    LogDialHostText("SENDING to RuvuzUvir (Dial) -> [%s] for %s", "{Truncated}", transaction);
    // The frame goes out after the host's ENQ, or after the wait for it all the same.
    WaitForEnq();
    if (m_Port.Write(frame.data(), frame.size(), m_Timings.writeMs) != kComSuccess) {
        SetLastError(kDialTransmitFailedText);
        return false;
    }
    SetLastError(kDialResponseTimeoutText);
    enum class Receive { Stx, Body, Lrc } receive = Receive::Stx;
    std::string response;
    IClock& clock = GetClock();
    const uint64_t start = clock.TickMs();
    while (clock.TickMs() - start < m_Timings.responseMs) {
        if (m_Port.WaitCancel(kSliceMs) == kComCancelled) {
            SetLastError(kDialShuttingDownText);
            return false;
        }
        if (!m_Port.IsCarrier()) {
            SetLastError(kDialLostCarrierText);
            return false;
        }
        if (m_Port.BytesAvailable() <= 0) {
            continue;
        }
        const int count = m_Port.Read(-1);
        // A copy: a resend reads the port's buffer again.
        const std::string bytes(m_Port.GetReceiveBuffer(), static_cast<size_t>(count < 0 ? 0 : count));
        for (size_t i = 0; i < bytes.size(); ++i) {
            const char c = bytes[i];
            if (receive == Receive::Stx) {
                if (c == kCharSTX) {
                    receive = Receive::Body;
                } else if (c == kCharNAK) {
                    // The host rejected the frame: it goes again after the host's next ENQ.
                    m_Port.Unread(bytes.substr(i + 1));
                    if (WaitForEnq()) {
                        m_Port.PurgeInput();
                        if (m_Port.Write(frame.data(), frame.size(), m_Timings.writeMs) != kComSuccess) {
                            SetLastError(kDialTransmitFailedText);
                            return false;
                        }
                    }
                    break;
                }
            } else if (receive == Receive::Body) {
                if (c == kCharETX) {
                    receive = Receive::Lrc;
                } else if (response.size() >= kDialResponseLimit) {
                    response.clear();
                    RejectResponse(kDialResponseTooLongText);
                    receive = Receive::Stx;
                    break;
                } else {
                    response += c;
                }
            } else if (CheckLrc(response, c)) {
                // What came behind the frame (the host's ENQ for the next one) stays for the next exchange.
                m_Port.Unread(bytes.substr(i + 1));
                m_Port.Write(&kCharACK, 1, m_Timings.writeMs);
                transaction.m_HostResponse = response;
                return true;
            } else {
                response.clear();
                RejectResponse(kDialBadLrcText);
                receive = Receive::Stx;
                break;
            }
        }
    }
    return false;
}

bool CDialBackupServer::HangUp() {
    if (g_DialConnectedEvent.IsSet()) {
        g_DialConnectedEvent.Reset();
    }
    return m_Port.HangUp();
}
