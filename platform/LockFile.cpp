#include "platform/LockFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "platform/OsError.h"

CLockFile::CLockFile(CLockFile&& other) noexcept : m_Fd(other.m_Fd) {
    other.m_Fd = -1;
}

CLockFile& CLockFile::operator=(CLockFile&& other) noexcept {
    if (this != &other) {
        Release();
        m_Fd = other.m_Fd;
        other.m_Fd = -1;
    }
    return *this;
}

ELockResult CLockFile::TryAcquire(const std::filesystem::path& path, std::string* error) {
    Release();
    // A lock file made by another user (the service runs as root) may be read-only to us; flock works on a
    // descriptor opened for reading just as well.
    int fd = RetryOnEintr([&] { return ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644); });
    if (fd < 0 && errno == EACCES) {
        fd = RetryOnEintr([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); });
    }
    if (fd < 0) {
        FailWithErrno(error, "cannot open " + path.string());
        return ELockResult::Failed;
    }
    const int rc = RetryOnEintr([&] { return ::flock(fd, LOCK_EX | LOCK_NB); });
    if (rc != 0) {
        const int code = errno;
        ::close(fd);
        if (code == EWOULDBLOCK) {
            return ELockResult::HeldElsewhere;
        }
        if (error != nullptr) {
            *error = COsError::FromNumber(code).FailureText("cannot lock " + path.string());
        }
        return ELockResult::Failed;
    }
    m_Fd = fd;
    return ELockResult::Acquired;
}

void CLockFile::Release() {
    if (m_Fd >= 0) {
        ::flock(m_Fd, LOCK_UN);
        ::close(m_Fd);
        m_Fd = -1;
    }
}
