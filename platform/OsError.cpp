#include "platform/OsError.h"

#include <cerrno>
#include <climits>
#include <cstring>

namespace {
EOsErrorClass ClassOf(int number) {
    switch (number) {
    case 0:
        return EOsErrorClass::None;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
        return EOsErrorClass::WouldBlock;
    case EINPROGRESS:
        return EOsErrorClass::InProgress;
    case EINTR:
        return EOsErrorClass::Interrupted;
    case ECONNRESET:
    case ECONNABORTED:
    case ENETRESET:
    case ENETDOWN:
    case ESHUTDOWN:
    case ETIMEDOUT:
    case ENOTCONN:
    case EPIPE:
        return EOsErrorClass::PeerGone;
    case EBADF:
    case ENOTSOCK:
    case EFAULT:
    case EINVAL:
    case EMSGSIZE:
    case EOPNOTSUPP:
    case EISCONN:
        return EOsErrorClass::Invalid;
    // No local port left (EADDRNOTAVAIL on a connect) is a shortage of this machine like the others.
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
    case EADDRNOTAVAIL:
        return EOsErrorClass::NoResources;
    case ENOENT:
        return EOsErrorClass::NotFound;
    default:
        return EOsErrorClass::Other;
    }
}
} // namespace

COsError COsError::FromNumber(int number) {
    return COsError(ClassOf(number), number);
}

COsError COsError::FromErrno() {
    return FromNumber(errno);
}

COsError COsError::TimedOut() {
    return FromNumber(ETIMEDOUT);
}

COsError COsError::Cancelled() {
    return FromNumber(ECANCELED);
}

COsError COsError::ShutDown() {
    return FromNumber(ESHUTDOWN);
}

COsError COsError::PeerClosed() {
    return FromNumber(EPIPE);
}

COsError COsError::NotOpen() {
    return FromNumber(EBADF);
}

COsError COsError::TooLong() {
    return FromNumber(EMSGSIZE);
}

COsError COsError::NameTooLong() {
    return FromNumber(ENAMETOOLONG);
}

COsError COsError::BadArgument() {
    return FromNumber(EINVAL);
}

std::string COsError::Text() const {
    char buffer[256] = {};
    return std::string(strerror_r(m_Number, buffer, sizeof(buffer)));
}

std::string COsError::FailureText(const std::string& what) const {
    return what + ": " + Text();
}

void StoreErrno(COsError* error) {
    if (error != nullptr) {
        *error = COsError::FromErrno();
    }
}

std::string OsErrorText(uint64_t code) {
    if (code > INT_MAX) {
        return std::string();
    }
    // glibc knows a text for every errno value it defines and answers "Unknown error N" for the rest.
    char buffer[256] = {};
    const char* text = strerror_r(static_cast<int>(code), buffer, sizeof(buffer));
    if (text == nullptr || std::strncmp(text, "Unknown error", 13) == 0) {
        return std::string();
    }
    return std::string(text);
}

bool FailWithErrno(std::string* error, const std::string& what, COsError* cause) {
    const int saved = errno;
    const COsError failure = COsError::FromNumber(saved);
    if (error != nullptr) {
        *error = failure.FailureText(what);
    }
    if (cause != nullptr) {
        *cause = failure;
    }
    errno = saved;
    return false;
}
