#include "PosClient.h"

#include <sys/socket.h>

#include <algorithm>
#include <thread>

#include "common/LaneRequestKey.h"
#include "foundation/Request.h"
#include "platform/Clock.h"
#include "platform/RandomBytes.h"
#include "platform/Rc4Key.h"

namespace {

constexpr char kSTX = 0x02;
constexpr char kETX = 0x03;
constexpr char kDC1 = 0x11;
constexpr char kDC2 = 0x12;
constexpr char kFS = 0x1C;
constexpr char kRS = 0x1E;
constexpr char kUS = 0x1F;
constexpr size_t kRequestKeyBytes = 16;
constexpr size_t kClientDataBytes = 16;

// Real milliseconds, whatever clock the process's seam has in place.
uint64_t RealTickMs() {
    static CSystemClock clock;
    return clock.TickMs();
}

// The text between the first |open| and the first |close| after it; false when either is missing.
bool Between(const std::string& text, char open, char close, std::string* out) {
    const size_t from = text.find(open);
    if (from == std::string::npos) {
        return false;
    }
    const size_t to = text.find(close, from + 1);
    if (to == std::string::npos) {
        return false;
    }
    *out = text.substr(from + 1, to - from - 1);
    return true;
}

bool CryptWithLoginKey(std::vector<uint8_t>& bytes) {
    CRc4Key key;
    return DeriveSharedSessionKey(1, &key) && key.Crypt(bytes.data(), bytes.size()) == kCryptOk;
}

std::vector<uint8_t> RandomBytes(size_t count) {
    std::vector<uint8_t> bytes(count);
    GenerateRandomBytes(bytes.data(), bytes.size());
    return bytes;
}

} // namespace

std::vector<std::pair<std::string, std::string>> RequestFields(const SPosRequest& request) {
    std::vector<std::pair<std::string, std::string>> fields = {
        {"TStream", "Transaction"},
        {"MerchantID", request.merchantId},
        {"TerminalID", request.terminalId},
        {"OperatorID", request.operatorId},
        {"Memo", request.memo},
        {"TranType", "PrePaid"},
        {"TranCode", request.tranCode},
        {"AcctNo", request.acctNo},
        {"Track2", request.track2},
        {"ExpDate", request.expDate},
        {"Purchase", request.purchase},
        {"AuthCode", request.authCode},
        {"InvoiceNo", request.invoiceNo},
        {"RefNo", request.refNo},
    };
    std::erase_if(fields, [](const auto& field) { return field.second.empty(); });
    fields.insert(fields.end(), request.extra.begin(), request.extra.end());
    return fields;
}

std::string XmlElement(const std::string& document, const std::string& name) {
    const std::string open = "<" + name + ">";
    const std::string close = "</" + name + ">";
    const size_t from = document.find(open);
    if (from == std::string::npos) {
        return "";
    }
    const size_t to = document.find(close, from + open.size());
    return to == std::string::npos ? "" : document.substr(from + open.size(), to - from - open.size());
}

CPosClient::CPosClient() {
    NewRequestKey();
}

bool CPosClient::Fail(const std::string& text) {
    m_LastError = text;
    return false;
}

bool CPosClient::Connect(const std::string& host, int port, int timeoutMs) {
    uint32_t address = 0;
    if (!LookupIpv4(host, &address)) {
        return Fail("cannot resolve " + host);
    }
    m_Socket = ConnectTcp(address, port, timeoutMs);
    m_Input.clear();
    m_ServerProvedKey = false;
    if (!m_Socket.Valid()) {
        return Fail("cannot connect to " + host + ":" + std::to_string(port));
    }
    return true;
}

void CPosClient::Close() {
    m_Socket.Close();
}

void CPosClient::Reset() {
    if (m_Socket.Valid()) {
        linger hard{1, 0};
        ::setsockopt(m_Socket.Get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    m_Socket.Close();
}

bool CPosClient::SendRaw(const std::string& bytes) {
    if (!m_Socket.Valid()) {
        return Fail("not connected");
    }
    if (SendAll(m_Socket.Get(), bytes.data(), bytes.size()) != static_cast<long>(bytes.size())) {
        return Fail("send failed");
    }
    return true;
}

bool CPosClient::ReadReply(SPosReply* reply, int timeoutMs) {
    const uint64_t deadline = RealTickMs() + static_cast<uint64_t>(std::max(timeoutMs, 0));
    for (;;) {
        const size_t etx = m_Input.find(kETX);
        if (etx != std::string::npos) {
            const std::string frame = m_Input.substr(0, etx + 1);
            m_Input.erase(0, etx + 1);
            ParseReply(frame, reply);
            return true;
        }
        if (!m_Socket.Valid()) {
            return Fail("not connected");
        }
        const uint64_t now = RealTickMs();
        if (now >= deadline) {
            return Fail("no reply in time");
        }
        if (PollReadable(m_Socket.Get(), static_cast<int>(deadline - now)) != PollResult::Ready) {
            continue;
        }
        char block[4096];
        const long got = RecvSome(m_Socket.Get(), block, sizeof block);
        if (got <= 0) {
            return Fail("connection closed");
        }
        m_Input.append(block, static_cast<size_t>(got));
    }
}

bool CPosClient::WaitClosed(int timeoutMs) {
    const uint64_t deadline = RealTickMs() + static_cast<uint64_t>(std::max(timeoutMs, 0));
    while (m_Socket.Valid()) {
        const uint64_t now = RealTickMs();
        if (now >= deadline || PollReadable(m_Socket.Get(), static_cast<int>(deadline - now)) != PollResult::Ready) {
            return false;
        }
        char block[4096];
        const long got = RecvSome(m_Socket.Get(), block, sizeof block);
        if (got <= 0) {
            return true;
        }
        m_Input.append(block, static_cast<size_t>(got));
    }
    return true;
}

void CPosClient::ParseReply(const std::string& frame, SPosReply* reply) const {
    *reply = SPosReply();
    reply->frame = frame;
    const size_t fs = frame.find(kFS);
    const size_t stx = frame.find(kSTX);
    if (fs == std::string::npos || stx == std::string::npos || stx < fs || fs + 1 >= frame.size()) {
        return;
    }
    const std::string body = frame.substr(stx + 1, frame.size() - stx - 2);
    reply->encrypted = frame[fs + 1] == '2';
    if (reply->encrypted) {
        reply->decrypted = CLaneRequestKey::Decrypt(m_RequestKey, body, &reply->document);
    } else {
        reply->document = body;
    }
    const std::string code = XmlElement(reply->document, "VYRXReturnCode");
    if (!code.empty() && std::all_of(code.begin(), code.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        reply->returnCode = std::stoi(code);
    }
    reply->responseOrigin = XmlElement(reply->document, "ResponseOrigin");
    reply->cmdStatus = XmlElement(reply->document, "CmdStatus");
    reply->textResponse = XmlElement(reply->document, "TextResponse");
    reply->traceData = XmlElement(reply->document, "UserTraceData");
}

bool CPosClient::ReadGreeting(SPosReply* reply, int timeoutMs) {
    if (!ReadReply(reply, timeoutMs)) {
        return false;
    }
    std::string publicKey;
    std::string challengeHex;
    if (!Between(reply->textResponse, kDC1, kDC2, &publicKey) ||
        !Between(reply->textResponse, kRS, kUS, &challengeHex)) {
        return Fail("the greeting has no public key or no challenge");
    }
    m_PublicKeyText = kDC1 + publicKey + kDC2;
    m_Challenge.clear();
    if (!CRequest::TranslateHexStringToByteArray(challengeHex, &m_Challenge)) {
        return Fail("the challenge is not hex");
    }
    return true;
}

bool CPosClient::SendLogin(const SPosLogin& login) {
    std::string text = login.prefix;
    if (login.sendClientData) {
        m_ClientData = BytesToHex(RandomBytes(kClientDataBytes));
        text += kDC1 + m_ClientData + kDC2;
    }
    if (login.sendChallengeAnswer) {
        std::string answer = login.answerOverride;
        if (answer.empty()) {
            std::vector<uint8_t> block = m_Challenge;
            if (!login.answerInPlain && !CryptWithLoginKey(block)) {
                return Fail("no login key");
            }
            answer = BytesToHex(block);
        }
        text += kRS + answer + kUS;
    }
    text += login.password;
    if (login.sendEtx) {
        text += kETX;
    }
    return SendRaw(text);
}

bool CPosClient::ConnectAndLogIn(const std::string& host, int port, SPosReply* reply, const SPosLogin& login,
                                 int timeoutMs) {
    return Connect(host, port, timeoutMs) && ReadGreeting(reply, timeoutMs) && Login(reply, login, timeoutMs);
}

bool CPosClient::Login(SPosReply* reply, const SPosLogin& login, int timeoutMs) {
    m_ServerProvedKey = false;
    if (!SendLogin(login) || !ReadReply(reply, timeoutMs)) {
        return false;
    }
    if (reply->returnCode != 2000) {
        return Fail("login refused: " + reply->textResponse);
    }
    std::string answer;
    std::vector<uint8_t> expected;
    if (Between(reply->textResponse, kRS, kUS, &answer) && !m_ClientData.empty() &&
        CRequest::TranslateHexStringToByteArray(m_ClientData, &expected) && CryptWithLoginKey(expected)) {
        m_ServerProvedKey = answer == BytesToHex(expected);
    }
    return true;
}

void CPosClient::NewRequestKey() {
    m_RequestKey = RandomBytes(kRequestKeyBytes);
}

std::string CPosClient::RequestFrame(const std::vector<std::pair<std::string, std::string>>& fields,
                                     const std::string& header) {
    if (m_PublicKeyText.empty()) {
        Fail("no public key: read the greeting first");
        return std::string();
    }
    const CLaneRequestKey key(m_PublicKeyText, m_RequestKey);
    if (!key.Ok()) {
        Fail("cannot wrap the request key for the server's public key");
        return std::string();
    }
    return key.Frame(JoinFields(fields), header) + kETX;
}

bool CPosClient::SendRequest(const std::vector<std::pair<std::string, std::string>>& fields,
                             const std::string& header) {
    const std::string frame = RequestFrame(fields, header);
    return !frame.empty() && SendRaw(frame);
}

bool CPosClient::SendRequest(const SPosRequest& request, const std::string& header) {
    return SendRequest(RequestFields(request), header);
}

bool CPosClient::Transact(const SPosRequest& request, SPosReply* final, SPosReply* queued, int timeoutMs) {
    if (!SendRequest(request)) {
        return Fail("send: " + m_LastError);
    }
    SPosReply first;
    if (!ReadReply(&first, timeoutMs)) {
        return Fail("no reply: " + m_LastError);
    }
    if (first.returnCode == 0 && first.textResponse.rfind("Queued:", 0) == 0) {
        if (queued != nullptr) {
            *queued = first;
        }
        if (!ReadReply(final, timeoutMs)) {
            return Fail("no final reply: " + m_LastError);
        }
        return true;
    }
    *final = first;
    return true;
}

bool CPosClient::SendAbort(const std::string& header) {
    std::string frame = header;
    frame += kFS;
    frame += "A00";
    frame += kSTX;
    frame += kETX;
    return SendRaw(frame);
}

int SPosFloodReplies::Answered() const {
    int total = queued;
    for (const auto& [code, count] : refused) {
        total += count;
    }
    return total;
}

bool FloodRequests(CPosClient& lane, const std::string& frames, int count, SPosFloodReplies* replies, int timeoutMs,
                   std::atomic<int>* answered) {
    // The reading below must go on while the frames go out: the server answers each request as it reads it,
    // and a lane that only writes would stop it once both directions' buffers are full.
    const int fd = lane.Fd();
    std::thread writer([fd, &frames] { SendAll(fd, frames.data(), frames.size()); });
    SPosReply reply;
    bool complete = true;
    while (replies->Answered() < count ||
           replies->approved + static_cast<int>(replies->otherFinals.size()) < replies->queued) {
        if (!lane.ReadReply(&reply, timeoutMs)) {
            replies->error = lane.LastError() + " after " + std::to_string(replies->Answered()) + " answers";
            complete = false;
            break;
        }
        if (reply.encrypted) {
            if (reply.decrypted && reply.cmdStatus == "Approved") {
                ++replies->approved;
            } else {
                replies->otherFinals.push_back(reply.document);
            }
            continue;
        }
        if (reply.returnCode == 0 && reply.textResponse.rfind("Queued:", 0) == 0) {
            ++replies->queued;
        } else if (replies->Answered() < count && reply.returnCode > 0) {
            ++replies->refused[reply.returnCode];
            replies->refusalTexts.insert(reply.textResponse);
        } else {
            replies->otherFinals.push_back(reply.frame);
            continue;
        }
        if (answered != nullptr) {
            answered->store(replies->Answered());
        }
    }
    if (!complete) {
        ShutdownBoth(fd); // ends a writer the server no longer reads
    }
    writer.join();
    return complete;
}
