#include "platform/FileHandle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/OsError.h"

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
    m_Fd = RetryOnEintr([&] { return ::open(path.c_str(), flags, 0666); });
    return m_Fd >= 0;
}

void CFileHandle::Close() {
    if (m_Fd >= 0) {
        ::close(m_Fd);
        m_Fd = -1;
    }
}

namespace {
// Reads until |size| bytes or the end of the file, from |offset| (negative: the file position).
int64_t ReadUntilEnd(int fd, void* data, size_t size, int64_t offset) {
    size_t done = 0;
    while (done < size) {
        char* into = static_cast<char*>(data) + done;
        const ssize_t n = RetryOnEintr([&] {
            return offset < 0 ? ::read(fd, into, size - done)
                              : ::pread(fd, into, size - done, static_cast<off_t>(offset) + done);
        });
        if (n < 0) {
            return -1;
        }
        if (n == 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
}
} // namespace

bool WriteEvery(int fd, const void* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = RetryOnEintr([&] { return ::write(fd, static_cast<const char*>(data) + done, size - done); });
        if (n < 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

int64_t CFileHandle::Read(void* data, size_t size) {
    return ReadUntilEnd(m_Fd, data, size, -1);
}

int64_t CFileHandle::ReadAt(int64_t offset, void* data, size_t size) const {
    return offset < 0 ? -1 : ReadUntilEnd(m_Fd, data, size, offset);
}

bool CFileHandle::Write(const void* data, size_t size) {
    return WriteEvery(m_Fd, data, size);
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
    return RetryOnEintr([&] { return ::ftruncate(m_Fd, length); }) == 0;
}
