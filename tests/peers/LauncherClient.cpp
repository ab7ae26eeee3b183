#include "peers/LauncherClient.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "kxlib/kxNamedPipeServer.h"
#include "platform/LocalSocket.h"

namespace {
constexpr char kRequestPrefix[] = "COMMAND\x1E";
constexpr char kPipeSuffix[] = "_CorvaneAppDirectory";
// The largest reply the program sends, its NUL included; a longer message would be the program's fault.
constexpr size_t kReplyLimit = 4096;
constexpr char kClosedText[] = "the program closed the pipe";

// A program that ends with a request of ours unread resets the connection instead of closing it; one that has
// ended refuses the next send.
bool ClosedByProgram(int error) {
    return error == ECONNRESET || error == EPIPE;
}
} // namespace

std::string CLauncherClient::PipeName(long processId) {
    // The digits from the last to the first, 1..9 written as A..I and 0 as J.
    std::string digits = std::to_string(processId);
    std::reverse(digits.begin(), digits.end());
    std::string letters;
    for (const char digit : digits) {
        letters += digit == '0' ? 'J' : static_cast<char>('A' + (digit - '1'));
    }
    return letters + kPipeSuffix;
}

std::string CLauncherClient::SocketPath(long processId) {
    return kxNamedPipeServer::SocketPath(kxString(PipeName(processId))).Str();
}

bool CLauncherClient::Connect(long processId) {
    return ConnectPath(SocketPath(processId));
}

bool CLauncherClient::ConnectPath(const std::string& socketPath) {
    m_Socket = ConnectLocalSeqPacket(socketPath);
    if (!m_Socket.Valid()) {
        m_LastError = "cannot connect to " + socketPath + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool CLauncherClient::SendRaw(const std::string& request) {
    if (!m_Socket.Valid()) {
        m_LastError = "not connected";
        return false;
    }
    if (SendMessage(m_Socket.Get(), request.data(), request.size(), false) != static_cast<long>(request.size())) {
        m_LastError = ClosedByProgram(errno) ? kClosedText : std::string("send failed: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool CLauncherClient::ReceiveRaw(std::string* message, int timeoutMs) {
    if (!m_Socket.Valid()) {
        m_LastError = "not connected";
        return false;
    }
    if (PollReadable(m_Socket.Get(), timeoutMs) != PollResult::Ready) {
        m_LastError = "no reply in time";
        return false;
    }
    std::vector<char> buffer(kReplyLimit + 1);
    bool truncated = false;
    const long n = ReceiveMessage(m_Socket.Get(), buffer.data(), buffer.size(), &truncated, false);
    if (n <= 0) {
        const bool closed = n == 0 || ClosedByProgram(errno);
        m_LastError = closed ? kClosedText : std::string("receive failed: ") + std::strerror(errno);
        return false;
    }
    if (truncated || static_cast<size_t>(n) > kReplyLimit) {
        m_LastError = "a reply longer than 4096 bytes";
        return false;
    }
    message->assign(buffer.data(), static_cast<size_t>(n));
    return true;
}

bool CLauncherClient::Ask(const std::string& command, std::string* reply, int timeoutMs) {
    std::string message;
    if (!SendRaw(kRequestPrefix + command + '\0') || !ReceiveRaw(&message, timeoutMs)) {
        return false;
    }
    if (message.empty() || message.back() != '\0' || message.find('\0') != message.size() - 1) {
        m_LastError = "a reply that does not end at its only NUL";
        return false;
    }
    message.pop_back();
    *reply = message;
    return true;
}

bool CLauncherClient::WaitForClose(int timeoutMs) {
    if (!m_Socket.Valid()) {
        return true;
    }
    if (PollReadable(m_Socket.Get(), timeoutMs) != PollResult::Ready) {
        return false;
    }
    char byte = 0;
    bool truncated = false;
    const long n = ReceiveMessage(m_Socket.Get(), &byte, 1, &truncated, true);
    return n == 0 || (n < 0 && ClosedByProgram(errno));
}
