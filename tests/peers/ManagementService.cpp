#include "peers/ManagementService.h"

#include <chrono>
#include <cstdlib>
#include <thread>

#include "common/Wait.h"
#include "foundation/Request.h"
#include "platform/RandomBytes.h"
#include "platform/Rc4Key.h"

namespace {
constexpr char kFs = 0x1C;
constexpr uint32_t kSliceMs = 5;
// How long the service waits for the client's next message. A client's own 20 s waits run on a test clock that a
// loaded machine may move in steps far slower than real time; a client that gives up closes, and Stop ends the
// wait, so only a client still at work is waited for this long.
constexpr uint32_t kReadTimeoutMs = 120000;
constexpr size_t kChallengeBytes = 16;

std::string Hex(const std::vector<uint8_t>& bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string hex;
    for (const uint8_t b : bytes) {
        hex += kDigits[b >> 4];
        hex += kDigits[b & 0x0F];
    }
    return hex;
}

std::vector<uint8_t> Unhex(const std::string& hex) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
    }
    return bytes;
}

// Reads one whole message into |body| (and its raw text into |raw|); false when the client went away first.
bool ReadMessage(CTlsTestConnection& connection, std::string* pending, std::string* body, std::string* raw) {
    for (;;) {
        const size_t length = CManagementService::CompleteMessageLength(*pending, body);
        if (length > 0) {
            if (raw != nullptr) {
                *raw = pending->substr(0, length);
            }
            pending->erase(0, length);
            return true;
        }
        if (!connection.ReadPlain(pending, pending->size() + 1, kReadTimeoutMs)) {
            return false;
        }
    }
}
// |plain| and the close-notify behind it in one send, so that the client reads them together.
void SendWithCloseNotify(CTlsTestConnection& connection, const std::string& plain) {
    std::string bytes = connection.Encrypt(plain);
    bytes += connection.CloseNotifyBytes(); // after the message: the session is closed for writing then
    connection.SendRaw(bytes);
}
} // namespace

std::string CNqmsSession::Field(const std::string& key) const {
    for (const auto& [name, value] : fields) {
        if (name == key) {
            return value;
        }
    }
    return std::string();
}

CManagementService::CManagementService(const CTestIdentity& identity) : m_Server(identity) {
    m_Settings.BuildDefaults();
    m_Server.SetScenario([this](CTlsTestConnection& connection) { Serve(connection); });
}

CManagementService::~CManagementService() {
    Stop();
}

bool CManagementService::Start() {
    return m_Server.Start();
}

void CManagementService::Stop() {
    m_Server.Stop();
}

std::string CManagementService::HostAndPort() const {
    return "127.0.0.1:" + std::to_string(Port());
}

void CManagementService::SetParams(const CParamSettings& settings) {
    CMutexLock lock(m_Lock);
    m_Settings = settings;
}

void CManagementService::SetFault(NqmsFault fault) {
    CMutexLock lock(m_Lock);
    m_Fault = fault;
}

void CManagementService::SetServiceError(const std::string& text) {
    CMutexLock lock(m_Lock);
    m_ServiceError = text;
}

void CManagementService::SetChallenge(const std::string& hex) {
    CMutexLock lock(m_Lock);
    m_Challenge = hex;
}

std::vector<CNqmsSession> CManagementService::Sessions() const {
    CMutexLock lock(m_Lock);
    return m_Sessions;
}

bool CManagementService::WaitForSessions(size_t count, uint32_t timeoutMs) const {
    return WaitUntil(
        [&] {
            CMutexLock lock(m_Lock);
            return m_Sessions.size() >= count;
        },
        timeoutMs, kSliceMs);
}

std::string CManagementService::Frame(const std::string& body) {
    return "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

size_t CManagementService::CompleteMessageLength(const std::string& text, std::string* body) {
    const size_t headerEnd = text.find("\r\n\r\n");
    if (headerEnd == std::string::npos) {
        return 0;
    }
    const std::string field = "Content-Length: ";
    const size_t at = text.find(field);
    if (at == std::string::npos || at > headerEnd) {
        return 0;
    }
    const size_t length = std::strtoul(text.c_str() + at + field.size(), nullptr, 10);
    const size_t bodyStart = headerEnd + 4;
    if (text.size() - bodyStart < length) {
        return 0;
    }
    *body = text.substr(bodyStart, length);
    return bodyStart + length;
}

std::string CManagementService::ParameterPairs(const CParamSettings& settings) {
    std::string pairs;
    for (const auto& [index, entry] : settings.GetParamMap().GetEntries()) {
        const CParamType& type = entry.GetType();
        pairs += std::to_string(index) + "=" + entry.GetName() + "|" + type.GetTypeCode() + "|" +
                 std::to_string(type.GetMinLen()) + "|" + std::to_string(type.GetMaxLen()) + "|" + entry.GetValue() +
                 kFs;
    }
    return pairs;
}

std::string CManagementService::AnswerChallenge(const std::string& hex) {
    std::vector<uint8_t> bytes = Unhex(hex);
    CRc4Key key;
    if (!DeriveSharedSessionKey(2, &key) || key.Crypt(bytes.data(), bytes.size()) != kCryptOk) {
        return std::string();
    }
    return Hex(bytes);
}

std::string CManagementService::BuildParameterMessage(const CNqmsSession& session, NqmsFault fault,
                                                      const CParamSettings& settings,
                                                      const std::string& serviceError) const {
    CParamSettings handed = settings;
    CParamMap map = handed.GetParamMap();
    const CParamEntry* terminal = map.FindEntry(kParamTerminalId);
    if (terminal != nullptr) {
        const CParamType& type = terminal->GetType();
        if (fault == NqmsFault::WrongType) {
            map.SetAt(kParamTerminalId, CParamEntry(CParamType(kParamTypeAN1, type.GetMinLen(), type.GetMaxLen()),
                                                    terminal->GetName(), terminal->GetValue()));
        } else if (fault == NqmsFault::WrongLength) {
            map.SetAt(kParamTerminalId, CParamEntry(CParamType(type.GetTypeCode(), 5, type.GetMaxLen()),
                                                    terminal->GetName(), terminal->GetValue()));
        } else if (fault == NqmsFault::InvalidValue) {
            map.SetAt(kParamTerminalId, CParamEntry(type, terminal->GetName(), "00A2"));
        }
    }
    if (fault == NqmsFault::Pairs21) {
        CParamMap shorter;
        for (const auto& [index, entry] : map.GetEntries()) {
            if (index != static_cast<unsigned>(kParamLaneIds)) {
                shorter.SetAt(index, entry);
            }
        }
        map = shorter;
    }
    handed.SetParamMap(map);

    std::string pairs = ParameterPairs(handed);
    if (fault == NqmsFault::Pairs23) {
        pairs += "099=EXTRA|AN1|1|1|A";
        pairs += kFs;
    }
    std::string answer = AnswerChallenge(session.Field("CC"));
    if (fault == NqmsFault::WrongChallengeAnswer && !answer.empty()) {
        answer[0] = answer[0] == 'A' ? 'B' : 'A';
    }
    std::string control;
    if (fault != NqmsFault::NoChallengeAnswer) {
        control += "500=||||" + answer + kFs;
    }
    control += "510=||||" + (fault == NqmsFault::ServiceError ? serviceError : std::string()) + kFs;
    // The service chooses the order of the pairs; a message cut within its last value ends on a parameter.
    std::string message = fault == NqmsFault::BodyCutInLastValue ? control + pairs : pairs + control;
    if (fault == NqmsFault::Oversized) {
        message += "LANES=" + std::string(200000, 'x') + kFs;
    }
    return message;
}

void CManagementService::Serve(CTlsTestConnection& connection) {
    NqmsFault fault;
    CParamSettings settings;
    std::string serviceError;
    std::string fixedChallenge;
    {
        CMutexLock lock(m_Lock);
        fault = m_Fault;
        settings = m_Settings;
        serviceError = m_ServiceError;
        fixedChallenge = m_Challenge;
    }
    CNqmsSession session;
    auto record = [this, &session] {
        CMutexLock lock(m_Lock);
        m_Sessions.push_back(session);
    };
    if (!connection.Handshake()) {
        record();
        return;
    }
    std::string pending;
    if (fault == NqmsFault::Silent) {
        // Whatever the client still says (its error text) counts as a later message.
        std::string body;
        while (ReadMessage(connection, &pending, &body, nullptr)) {
            session.laterMessages.push_back(body);
        }
        record();
        return;
    }

    if (fault == NqmsFault::CloseBeforeChallenge) {
        connection.SendRaw(connection.CloseNotifyBytes());
        connection.WaitForPeerClose();
        record();
        return;
    }

    std::vector<uint8_t> challenge(kChallengeBytes);
    GenerateRandomBytes(challenge.data(), challenge.size());
    session.challenge = fixedChallenge.empty() ? Hex(challenge) : fixedChallenge;
    if (fault == NqmsFault::OddChallenge) {
        session.challenge.pop_back();
    }
    if (fault == NqmsFault::ChallengeCutShort) {
        const std::string framed = Frame(session.challenge);
        SendWithCloseNotify(connection, framed.substr(0, framed.find("\r\n") + 2));
        connection.WaitForPeerClose();
        record();
        return;
    }
    if (!connection.SendPlain(Frame(session.challenge))) {
        record();
        return;
    }
    if (fault == NqmsFault::CloseAfterChallenge) {
        connection.Close();
        record();
        return;
    }

    std::string body;
    if (!ReadMessage(connection, &pending, &body, &session.request)) {
        record();
        return;
    }
    size_t start = 0;
    while (start < body.size()) {
        size_t end = body.find(kFs, start);
        if (end == std::string::npos) {
            end = body.size();
        }
        const std::string field = body.substr(start, end - start);
        const size_t equals = field.find('=');
        session.fields.emplace_back(field.substr(0, equals),
                                    equals == std::string::npos ? std::string() : field.substr(equals + 1));
        start = end + 1;
    }
    session.challengeAnswered =
        fault != NqmsFault::OddChallenge && session.Field("CR") == AnswerChallenge(session.challenge);

    if (fault != NqmsFault::SilentAfterRequest) {
        const std::string message = BuildParameterMessage(session, fault, settings, serviceError);
        if (fault == NqmsFault::BodyCutShort || fault == NqmsFault::BodyCutInLastValue) {
            const std::string framed = Frame(message);
            const size_t cut = fault == NqmsFault::BodyCutShort ? 10 : kCutInLastValueBytes;
            SendWithCloseNotify(connection, framed.substr(0, framed.size() - cut));
            record();
            return;
        }
        if (fault == NqmsFault::CloseWithMessage) {
            SendWithCloseNotify(connection, Frame(message));
            record();
            return;
        }
        if (!connection.SendPlain(Frame(message))) {
            record();
            return;
        }
    }
    while (ReadMessage(connection, &pending, &body, nullptr)) {
        session.laterMessages.push_back(body);
    }
    record();
}
