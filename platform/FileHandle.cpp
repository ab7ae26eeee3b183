#include "platform/FileHandle.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

CFileHandle& CFileHandle::operator=(CFileHandle&& other) noexcept {
    if (this != &other) {
        Close();
        m_Fd = other.m_Fd;
        other.m_Fd = -1;
    }
    return *this;
}

bool CFileHandle::Open(const std::string& path, EOpen mode) {
    Close();
    int flags = O_CLOEXEC;
    switch (mode) {
    case EOpen::ReadOnly:
        flags |= O_RDONLY;
        break;
    case EOpen::ReadWriteCreate:
        flags |= O_RDWR | O_CREAT;
        break;
    case EOpen::WriteTruncate:
        flags |= O_WRONLY | O_TRUNC;
        break;
    }
    do {
        m_Fd = ::open(path.c_str(), flags, 0666);
    } while (m_Fd < 0 && errno == EINTR);
    return m_Fd >= 0;
}

void CFileHandle::Close() {
    if (m_Fd >= 0) {
        ::close(m_Fd);
        m_Fd = -1;
    }
}

int64_t CFileHandle::Read(void* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(m_Fd, static_cast<char*>(data) + done, size - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (n == 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
}

int64_t CFileHandle::ReadAt(int64_t offset, void* data, size_t size) const {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(m_Fd, static_cast<char*>(data) + done, size - done,
                                  static_cast<off_t>(offset + static_cast<int64_t>(done)));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (n == 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
}

bool CFileHandle::Write(const void* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(m_Fd, static_cast<const char*>(data) + done, size - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

int64_t CFileHandle::Seek(int64_t offset, EFrom from) {
    const int whence = from == EFrom::Begin ? SEEK_SET : from == EFrom::Current ? SEEK_CUR : SEEK_END;
    return ::lseek(m_Fd, offset, whence);
}

int64_t CFileHandle::Size() const {
    struct stat info {};
    if (::fstat(m_Fd, &info) != 0) {
        return -1;
    }
    return info.st_size;
}

bool CFileHandle::Truncate(int64_t length) {
    for (;;) {
        if (::ftruncate(m_Fd, length) == 0) {
            return true;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}
