#include "app/NQMSClient.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "app/NQMSResponse.h"
#include "foundation/AppMode.h"
#include "foundation/Logger.h"
#include "foundation/ParamMessage.h"
#include "foundation/TextHelpers.h"
#include "foundation/TimeStamp.h"
#include "host/ContentLengthHeader.h"
#include "host/ServiceProviderList.h"
#include "platform/AsciiChars.h"
#include "platform/Clock.h"
#include "platform/ControlChars.h"
#include "platform/Hex.h"

namespace {
constexpr size_t kMaxServiceHosts = 2;

// Our own fixed id, the key of this application's machine id: the value is ours alone and never changes, so the
// service sees one stable id per machine that no other application can match with its own.
constexpr std::array<uint8_t, 16> kMachineIdAppKey = {0x4b, 0x65, 0x73, 0x74, 0x72, 0x6f, 0x76, 0x65,
                                                      0x9e, 0x21, 0x5c, 0xd3, 0x07, 0xa8, 0x3f, 0x61};

// The last four characters of |text| (all of it when shorter).
std::string LastFour(const std::string& text) {
    return text.size() <= 4 ? text : text.substr(text.size() - 4);
}
} // namespace

std::vector<CServiceHost> ParseServiceHosts(const std::string& text) {
    std::vector<CServiceHost> hosts;
    CItemMap items;
    SplitToItems(',', text, items);
    for (const auto& [number, item] : items) {
        const std::string host = TrimChars(item, " \t");
        if (host.empty() || hosts.size() == kMaxServiceHosts) {
            continue;
        }
        CServiceHost parsed;
        SplitHostPort(host, parsed.name, parsed.port);
        hosts.push_back(parsed);
    }
    return hosts;
}

std::vector<CServiceHost> ManagementServiceHosts() {
    const char* text = std::getenv(kNqmsHostsVariable);
    std::vector<CServiceHost> hosts = ParseServiceHosts(text == nullptr ? "" : text);
    if (hosts.empty()) {
        hosts = {{CNQMSClient::kPrimaryHost, CNQMSClient::kServicePort},
                 {CNQMSClient::kSecondaryHost, CNQMSClient::kServicePort}};
    }
    return hosts;
}

std::string UrlEncode(const std::string& text) {
    std::string encoded;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (IsAsciiLetterOrDigit(c)) {
            encoded += c;
        } else if (c == ' ') {
            encoded += '+';
        } else {
            encoded += '%';
            AppendHexByte(encoded, byte, HexCase::kLower);
        }
    }
    return encoded;
}

std::string RunAsServiceFlag() {
    return AppModeFlags().StartedAsService() ? "Y" : "N";
}

CNQMSClient::CNQMSClient(std::string deviceId, const CTlsContext* credential, CRequest& crypto, CParamStore& store)
    : CTlsChannel(credential), m_Crypto(crypto), m_Store(store), m_DeviceId(std::move(deviceId)),
      m_Hosts(ManagementServiceHosts()) {
    // The service hands out the merchant's identity and the discovery URLs that card data follows: only the real
    // service may answer, and the challenge alone cannot tell (a recorded session answers it).
    SetVerifyServerCertificate(true);
}

CNQMSClient::~CNQMSClient() {
    Close();
}

bool CNQMSClient::Fail(const std::string& text) {
    SetLastError(m_LastErrorCode, text);
    return false;
}

std::string CNQMSClient::ErrorWithCode() const {
    return m_LastErrorText + IntToString(m_LastErrorCode);
}

bool CNQMSClient::RetrieveParameters() {
    m_bRetrievalResult = false;
    bool connected = false;
    for (const CServiceHost& host : m_Hosts) {
        if (CTlsChannel::Connect(host.name, host.port, kConnectTimeoutMs, kHandshakeTimeoutMs)) {
            connected = true;
            break;
        }
    }
    if (!connected) {
        return false; // the channel holds the last host's connect error; nothing was sent
    }
    const bool exchanged = ExchangeParameters();
    // The last message tells the service how it went; when it cannot be sent, what went wrong before is still
    // what the operator must see.
    const int code = m_LastErrorCode;
    const std::string text = m_LastErrorText;
    SendFramed(exchanged ? "OK" : text);
    SetLastError(code, text);
    Close();
    m_bRetrievalResult = exchanged;
    return exchanged;
}

bool CNQMSClient::ExchangeParameters() {
    if (ReceiveMessage() <= 0) {
        Fail("Wait Message 1 Failed - " + ErrorWithCode());
        const int code = m_LastErrorCode;
        const std::string text = m_LastErrorText;
        SendFramed(text);
        SetLastError(code, text);
        return false;
    }
    CNQMSResponse challenge;
    if (!challenge.Parse(m_ReceiveBuffer)) {
        return Fail("Unable to Parse 1 - " + UrlEncode(m_ReceiveBuffer));
    }

    std::string challengeAnswer;
    if (!AnswerServiceChallenge(m_Crypto, challenge.GetBody(), &challengeAnswer)) {
        return Fail("Unable to Answer the Challenge.");
    }

    // Our own challenge must be unpredictable: without random bytes, or without the key to check the answer,
    // there is no exchange at all.
    std::vector<uint8_t> random(kChallengeBytes);
    uint32_t randomLength = static_cast<uint32_t>(random.size());
    if (!m_Crypto.GenerateRandom(randomLength, random.data())) {
        return Fail("Unable to Create the Challenge.");
    }
    const std::string clientChallenge = BytesToHex(random);
    if (!m_Crypto.EncryptParamChallenge(random.data(), &randomLength, randomLength)) {
        return Fail("Unable to Create the Challenge.");
    }
    const std::string expectedAnswer = BytesToHex(random);

    if (!BuildParametersRequest(clientChallenge, challengeAnswer)) {
        return Fail("Unable to Determine who I am.");
    }
    if (!SendMessage()) {
        return Fail("Send Message 1 Failed - " + ErrorWithCode());
    }
    if (ReceiveMessage() <= 0) {
        return Fail("Wait Message 2 Failed - " + ErrorWithCode());
    }
    // A message cut short (the service ended the session within it, or the time ran out) cannot be parsed: its
    // last parameter value may be cut and still pass every check, and the set would be stored with it.
    CNQMSResponse parameters;
    if (!IsMessageComplete() || !parameters.Parse(m_ReceiveBuffer)) {
        return Fail("Unable to Parse 2 - " + UrlEncode(m_ReceiveBuffer));
    }

    CParamMessage message;
    CParamMap map;
    const bool parsed = message.Parse(parameters.GetBody(), map, m_Store);
    if (message.m_ChallengeAnswer != expectedAnswer) {
        return Fail("Parms: Challenge Verification Failed!");
    }
    if (!message.m_ServiceError.empty()) {
        return Fail("Error(NQMS): " + message.m_ServiceError);
    }
    if (!parsed) {
        return Fail("Parameter Parsing Error: " + message.m_ParseError);
    }
    CParamSettings settings;
    settings.SetParamMap(map);
    if (!m_Store.SetParams(settings)) {
        return Fail("Unable to Store Param Settings!");
    }
    return true;
}

bool AnswerServiceChallenge(CRequest& crypto, const std::string& serviceChallenge, std::string* answer) {
    answer->clear();
    // An odd number of digits gets an empty answer, and the service decides.
    if (serviceChallenge.size() % 2 != 0) {
        return true;
    }
    std::vector<uint8_t> bytes;
    CRequest::TranslateHexStringToByteArray(serviceChallenge, &bytes);
    uint32_t length = static_cast<uint32_t>(bytes.size());
    if (!crypto.EncryptParamChallenge(bytes.data(), &length, length)) {
        return false;
    }
    *answer = BytesToHex(bytes);
    return true;
}

std::string CNQMSClient::MachineIdText(std::string* error) const {
    CAppSpecificId id{};
    if (!MachineAppSpecificId(kMachineIdAppKey, &id, error, m_MachineIdFile)) {
        return "";
    }
    return BytesToHex(id.size(), id.data());
}

bool CNQMSClient::BuildParametersRequest(const std::string& clientChallenge, const std::string& challengeAnswer) {
    // The operator is shown only that the request cannot name this device; the log says why. A missing device id
    // was logged where it was to come from.
    std::string error;
    const std::string machineId = MachineIdText(&error);
    if (machineId.empty()) {
        CLogger::Instance().LogLine("The machine id cannot be read: %s", error.c_str());
    }
    if (m_DeviceId.empty() || machineId.empty()) {
        return false;
    }
    const std::string fields[] = {
        "REQ=OVEX_PARAMETERS",
        "AVER=" + LastFour(kApplicationVersion),
        std::string("ABUILD=") + kApplicationBuild,
        "RUN_AS_SERVICE=" + RunAsServiceFlag(),
        "CC=" + clientChallenge,
        "CR=" + challengeAnswer,
        "DEVID=" + m_DeviceId,
        std::string("PART_NO=") + kPartNumber,
        "MACHINE_ID=" + machineId,
        std::string("PVER=") + kParamSetVersion,
        std::string("PHVER=") + kProtocolVersion,
        "SDT=" + CTimeStamp().FormatCompact(),
    };
    std::string body;
    for (const std::string& field : fields) {
        body += field + kCharFS;
    }
    return FrameMessage(body);
}

bool CNQMSClient::FrameMessage(const std::string& body) {
    if (body.size() < 2) {
        return false;
    }
    m_OutgoingMessage = FormatText("Content-Length: %zu\r\n", body.size()) + "\r\n" + body;
    return true;
}

bool CNQMSClient::SendMessage() {
    // One record carries at most the channel's maximum message; a longer message goes out in several.
    const size_t record = std::max<size_t>(1, MaxMessageSize());
    for (size_t at = 0; at < m_OutgoingMessage.size(); at += record) {
        if (!EncryptSend(m_OutgoingMessage.data() + at, std::min(record, m_OutgoingMessage.size() - at))) {
            return false;
        }
    }
    return true;
}

bool CNQMSClient::SendFramed(const std::string& text) {
    return FrameMessage(text) && SendMessage();
}

bool CNQMSClient::IsMessageComplete(const std::string& text) {
    const CFramedHeader header = ScanFramedHeader(text);
    if (!header.ended) {
        return false;
    }
    if (!header.haveLength || header.contentLength == 0) {
        return true;
    }
    return text.size() - header.bodyStart == header.contentLength;
}

int CNQMSClient::ReceiveMessage() {
    m_ReceiveBuffer.clear();
    IClock& clock = GetClock();
    const uint64_t start = clock.TickMs();
    for (;;) {
        const uint64_t elapsed = clock.TickMs() - start;
        if (elapsed >= m_ReceiveBudgetMs) {
            // What came within the time is handed on as it is, whole or not: its reader finds out whether it can
            // be used.
            SetLastError(kCodeMessageIncomplete, "Message from server incomplete when the time ran out.");
            return static_cast<int>(m_ReceiveBuffer.size());
        }
        int count = 0;
        const int result =
            ReceiveAndDecrypt(&count, &m_ReceiveBuffer, static_cast<uint32_t>(m_ReceiveBudgetMs - elapsed));
        if (result == kReceiveOk || result == kReceiveEndOfSession) {
            const CFramedHeader header = ScanFramedHeader(m_ReceiveBuffer);
            if (m_ReceiveBuffer.size() > kMaxMessageBytes ||
                (header.ended && header.haveLength && header.contentLength > kMaxMessageBytes)) {
                SetLastError(kCodeMessageTooLarge, "Message too large to Receive!.");
                return -1;
            }
        }
        if (result == kReceiveOk) {
            if (IsMessageComplete()) {
                return static_cast<int>(m_ReceiveBuffer.size());
            }
            continue;
        }
        if (result == kReceiveEndOfSession) {
            // The service ended the session (close-notify): what came with the end is handed on, whole or not;
            // an end that came alone brings nothing.
            return count > 0 ? static_cast<int>(m_ReceiveBuffer.size()) : 0;
        }
        if (result == kReceiveTimeout && !IsConnected()) {
            // The connection closed without a close-notify: nothing more will come.
            SetLastError(m_LastErrorCode, "Server unexpectedly disconnected.(ReceiveAndDecrypt)");
        }
        return result == kReceiveTimeout ? 0 : -1;
    }
}
