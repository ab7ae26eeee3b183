#include "server/TcpSession.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "platform/Clock.h"

namespace {

// Copies |text| and its terminating zero into |buffer|: 0, or 1 when it does not fit (|buffer| left empty).
int CopyText(std::string_view text, char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) {
        return 1;
    }
    if (text.size() + 1 > size) {
        buffer[0] = '\0';
        return 1;
    }
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    return 0;
}

uint64_t SecondsToMs(int seconds, int microseconds) {
    const uint64_t s = seconds > 0 ? static_cast<uint64_t>(seconds) : 0;
    const uint64_t us = microseconds > 0 ? static_cast<uint64_t>(microseconds) : 0;
    return s * 1000 + (us + 999) / 1000;
}

bool IsLineEnd(char c) {
    return c == '\r' || c == '\n';
}

} // namespace

void CTcpSession::Attach(int socket, const Ipv4Endpoint& peer, int listenSocket, CTcpServer* server) {
    m_Socket = socket;
    m_Peer = peer;
    m_HasPeer = true;
    m_ListenSocket = listenSocket;
    m_Server = server;
}

void CTcpSession::Run() {
    char line[100];
    if (ReadLine(line, sizeof line, 0) > 0) {
        DrainInput();
        SendText(kConnectSuccessfulText);
    }
}

void CTcpSession::RunRefused() {
    char buffer[256];
    if (Receive(buffer, 255) > 0) {
        SendText(kTooManyConnectionsText);
    }
}

bool CTcpSession::OnReceiveProgress(uint64_t /*total*/) {
    return true;
}

bool CTcpSession::OnSendProgress(uint64_t /*total*/) {
    return true;
}

int CTcpSession::Send(const char* data, int length, int flags) {
    if (data == nullptr) {
        return -1;
    }
    const size_t size = length < 0 ? std::strlen(data) : static_cast<size_t>(length);
    if (size == 0) {
        return 0;
    }
    const long sent = SendAll(m_Socket, data, size, flags);
    return sent < 0 ? -1 : static_cast<int>(sent);
}

int CTcpSession::SendText(std::string_view text) {
    if (text.empty()) {
        return 0;
    }
    const long sent = SendAll(m_Socket, text.data(), text.size(), 0);
    return sent < 0 ? -1 : static_cast<int>(sent);
}

int CTcpSession::SendLines(std::string_view text, int length, int chunk) {
    if (chunk < 1) {
        return -1; // pieces of no characters would never reach the end of the text
    }
    if (length > 0 && static_cast<size_t>(length) < text.size()) {
        text = text.substr(0, static_cast<size_t>(length));
    }
    int total = 0;
    for (size_t at = 0; at < text.size(); at += static_cast<size_t>(chunk)) {
        std::string piece(text.substr(at, static_cast<size_t>(chunk)));
        piece += "\r\n";
        const int sent = SendText(piece);
        if (sent <= 0) {
            return sent;
        }
        total += sent;
    }
    return total;
}

int CTcpSession::SendFile(const std::string& path, uint64_t& total) {
    total = 0;
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return 1;
    }
    char block[255];
    for (;;) {
        file.read(block, sizeof block);
        const std::streamsize got = file.gcount();
        if (got <= 0) {
            return 0;
        }
        if (Send(block, static_cast<int>(got), 0) < 0) {
            return 2;
        }
        total += static_cast<uint64_t>(got);
        if (!OnSendProgress(total)) {
            return 0;
        }
    }
}

int CTcpSession::Receive(char* buffer, int size, COsError* error) {
    if (buffer == nullptr || size <= 0) {
        return buffer == nullptr ? -1 : 0;
    }
    return static_cast<int>(RecvSome(m_Socket, buffer, static_cast<size_t>(size), error));
}

int CTcpSession::ReceiveTimed(char* buffer, int size, int seconds) {
    if (seconds > 0) {
        const PollResult ready = WaitReadableOnClock(m_Socket, SecondsToMs(seconds, 0));
        if (ready == PollResult::Timeout) {
            return 0;
        }
        if (ready == PollResult::Error) {
            return -1;
        }
    }
    return Receive(buffer, size);
}

int CTcpSession::ReadLine(char* buffer, int size, int seconds) {
    if (buffer == nullptr || size <= 0) {
        return 0;
    }
    int total = 0;
    buffer[0] = '\0';
    while (total < size - 1) {
        if (seconds > 0 && WaitReadableOnClock(m_Socket, SecondsToMs(seconds, 0)) != PollResult::Ready) {
            break;
        }
        char* at = buffer + total;
        const long peeked = PeekSome(m_Socket, at, static_cast<size_t>(size - 1 - total), false);
        if (peeked <= 0) {
            break;
        }
        // The line ends at the first LF after a CR, also when the CR came in the read before.
        long take = peeked;
        bool lineEnd = false;
        for (long i = 0; i < peeked; ++i) {
            const char before = i > 0 ? at[i - 1] : (total > 0 ? buffer[total - 1] : '\0');
            if (at[i] == '\n' && before == '\r') {
                take = i + 1;
                lineEnd = true;
                break;
            }
        }
        const long got = RecvSome(m_Socket, at, static_cast<size_t>(take));
        if (got <= 0) {
            break;
        }
        total += static_cast<int>(got);
        if (lineEnd && got == take) {
            break;
        }
    }
    buffer[total] = '\0';
    return total;
}

int CTcpSession::ReceiveFile(const std::string& path, int mode, uint64_t& total, int seconds) {
    total = 0;
    if (mode != 1 && mode != 2) {
        return 1;
    }
    std::ofstream file(path, std::ios::binary | (mode == 1 ? std::ios::trunc : std::ios::app));
    if (!file) {
        return 2;
    }
    char block[256];
    for (;;) {
        if (seconds > 0 && WaitReadableOnClock(m_Socket, SecondsToMs(seconds, 0)) != PollResult::Ready) {
            return 3;
        }
        const long got = RecvSome(m_Socket, block, sizeof block);
        if (got == 0) {
            return 0;
        }
        if (got < 0) {
            return 4;
        }
        file.write(block, got);
        file.flush();
        if (!file) {
            return 5;
        }
        total += static_cast<uint64_t>(got);
        if (!OnReceiveProgress(total)) {
            return 6;
        }
    }
}

int CTcpSession::SetReceiveTimeout(int ms) {
    return SetSocketTimeoutMs(m_Socket, true, ms);
}

int CTcpSession::SetSendTimeout(int ms) {
    return SetSocketTimeoutMs(m_Socket, false, ms);
}

int CTcpSession::GetSendBufferSize() const {
    return GetSocketBufferSize(m_Socket, true);
}

int CTcpSession::GetReceiveBufferSize() const {
    return GetSocketBufferSize(m_Socket, false);
}

int CTcpSession::SetSendBufferSize(int bytes) {
    return SetSocketBufferSize(m_Socket, true, bytes);
}

int CTcpSession::SetReceiveBufferSize(int bytes) {
    return SetSocketBufferSize(m_Socket, false, bytes);
}

int CTcpSession::SetNonBlocking(bool flag) {
    if (!::SetNonBlocking(m_Socket, flag)) {
        return -1;
    }
    m_NonBlocking = flag;
    return 0;
}

bool CTcpSession::BytesAvailable() const {
    return BytesReadable(m_Socket) > 0;
}

int CTcpSession::DrainInput() {
    char block[256];
    while (BytesAvailable()) {
        if (RecvSome(m_Socket, block, sizeof block) <= 0) {
            break;
        }
    }
    return 0;
}

bool CTcpSession::WaitReadable(int seconds, int microseconds) const {
    return WaitReadableOnClock(m_Socket, SecondsToMs(seconds, microseconds)) != PollResult::Ready;
}

bool CTcpSession::WaitWritable(int seconds, int microseconds) const {
    return WaitWritableOnClock(m_Socket, SecondsToMs(seconds, microseconds)) != PollResult::Ready;
}

int CTcpSession::GetPeerHostName(char* buffer, size_t size) const {
    std::string name;
    if (!m_HasPeer || !ReverseLookupIpv4(m_Peer.address, &name)) {
        return 2;
    }
    return CopyText(name, buffer, size);
}

int CTcpSession::GetPeerAddressText(char* buffer, size_t size) const {
    if (!m_HasPeer) {
        return 2;
    }
    return CopyText(Ipv4ToText(m_Peer.address), buffer, size);
}

std::string CTcpSession::PeerAddress() const {
    return m_HasPeer ? Ipv4ToText(m_Peer.address) : std::string();
}

bool CTcpSession::IsConnected() const {
    if (m_Socket < 0) {
        return false;
    }
    COsError pollError;
    const PollResult readable = PollReadable(m_Socket, 0, &pollError);
    if (readable == PollResult::Error &&
        (pollError.Is(EOsErrorClass::Invalid) || pollError.Is(EOsErrorClass::PeerGone))) {
        return false; // no socket any more, or no network under it
    }
    // MSG_DONTWAIT peeks without switching the socket's own mode, which the session may have chosen.
    char byte = 0;
    COsError peekError;
    long peeked = PeekSome(m_Socket, &byte, 1, true, &peekError);
    if (peeked < 0) {
        switch (peekError.Class()) {
        case EOsErrorClass::InProgress:
            return true;
        case EOsErrorClass::WouldBlock:
            peeked = 0;
            break;
        case EOsErrorClass::Interrupted:
        case EOsErrorClass::Invalid:
        case EOsErrorClass::PeerGone:
            return false;
        default:
            break;
        }
    }
    return !(readable == PollResult::Ready && peeked == 0);
}

// Only a text that ends in CR or LF is cut: testing the next-to-last character alone would also cut "A\rB"
// to "A" and lose a character that is no line end.
size_t CTcpSession::TrimLineEnd(std::string& text) {
    const size_t n = text.size();
    if (n > 0 && IsLineEnd(text[n - 1])) {
        text.resize(n > 1 && IsLineEnd(text[n - 2]) ? n - 2 : n - 1);
    }
    return text.size();
}

size_t CTcpSession::TrimLineEnd(char* text) {
    if (text == nullptr) {
        return 0;
    }
    size_t n = std::strlen(text);
    if (n > 0 && IsLineEnd(text[n - 1])) {
        n = n > 1 && IsLineEnd(text[n - 2]) ? n - 2 : n - 1;
        text[n] = '\0';
    }
    return n;
}

int CTcpSession::HostNameOfAddress(const std::string& dotted, char* buffer, size_t size) {
    uint32_t address = 0;
    std::string name;
    if (!TextToIpv4(dotted, &address) || !ReverseLookupIpv4(address, &name)) {
        return 2;
    }
    return CopyText(name, buffer, size);
}

int CTcpSession::AddressOfHost(const std::string& name, char* buffer, size_t size) {
    const size_t at = name.rfind('@');
    const std::string host = at == std::string::npos ? name : name.substr(at + 1);
    uint32_t address = 0;
    if (!LookupIpv4(host, &address)) {
        return 2;
    }
    return CopyText(Ipv4ToText(address), buffer, size);
}

int CTcpSession::GetToken(std::string_view text, std::string_view delimiters, int index, char* buffer, size_t size) {
    if (buffer != nullptr && size > 0) {
        buffer[0] = '\0';
    }
    if (index < 0) {
        return 1;
    }
    int number = 0;
    size_t at = text.find_first_not_of(delimiters);
    while (at != std::string_view::npos) {
        const size_t end = std::min(text.find_first_of(delimiters, at), text.size());
        if (number == index) {
            return CopyText(text.substr(at, end - at), buffer, size);
        }
        ++number;
        at = text.find_first_not_of(delimiters, end);
    }
    return 1;
}

long CTcpSession::GetTokenLong(std::string_view text, std::string_view delimiters, int index) {
    char token[60];
    if (GetToken(text, delimiters, index, token, sizeof token) != 0) {
        return 0;
    }
    // strtol, unlike atol, stays defined for a number out of range (it gives the nearest limit).
    return std::strtol(token, nullptr, 10);
}

int CTcpSession::CountTokens(std::string_view text, std::string_view delimiters) {
    int count = 0;
    size_t at = text.find_first_not_of(delimiters);
    while (at != std::string_view::npos) {
        ++count;
        at = text.find_first_not_of(delimiters, std::min(text.find_first_of(delimiters, at), text.size()));
    }
    return count;
}
