#include "platform/Files.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Clock.h"
#include "platform/FileHandle.h"
#include "platform/FileSystem.h"
#include "platform/OsError.h"
#include "platform/Socket.h"

namespace {
bool WriteAll(int fd, const std::string& bytes) {
    return WriteEvery(fd, bytes.data(), bytes.size());
}

std::string UtcStamp() {
    const std::time_t now = std::chrono::system_clock::to_time_t(GetClock().WallNow());
    std::tm parts{};
    gmtime_r(&now, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &parts);
    return text;
}

// The folder that holds |path|: "." for a bare name.
std::filesystem::path FolderOf(const std::filesystem::path& path) {
    const std::filesystem::path folder = path.parent_path();
    return folder.empty() ? std::filesystem::path(".") : folder;
}

void SyncFolderOf(const std::filesystem::path& path) {
    CSocketFd dir(::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Valid()) {
        ::fsync(dir.Get());
    }
}
} // namespace

bool WriteFileAtomically(const std::filesystem::path& path, const std::string& bytes, mode_t mode, std::string* error) {
    std::filesystem::path temp = path;
    temp += ".tmp-XXXXXX";
    std::string pattern = temp.string();
    CSocketFd fd(::mkstemp(pattern.data()));
    if (!fd.Valid()) {
        if (error != nullptr) {
            *error = OsFailureText("cannot create " + pattern, errno);
        }
        return false;
    }
    bool ok = ::fchmod(fd.Get(), mode) == 0 && WriteAll(fd.Get(), bytes) && ::fsync(fd.Get()) == 0;
    if (ok) {
        fd.Close();
        ok = ::rename(pattern.c_str(), path.c_str()) == 0;
    }
    if (!ok) {
        if (error != nullptr) {
            *error = OsFailureText("cannot write " + path.string(), errno);
        }
        ::unlink(pattern.c_str());
        return false;
    }
    SyncFolderOf(path);
    return true;
}

int RemoveStaleTemporaries(const std::filesystem::path& path) {
    const std::filesystem::path folder = FolderOf(path);
    const std::string prefix = path.filename().string() + ".tmp-";
    int removed = 0;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(folder, ec); !ec && it != std::filesystem::directory_iterator();
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        // mkstemp's six characters after the prefix, nothing else.
        if (name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0 &&
            ::unlink(it->path().c_str()) == 0) {
            ++removed;
        }
    }
    return removed;
}

bool AppendFileDurably(const std::filesystem::path& path, const std::string& bytes, mode_t mode, std::string* error) {
    CSocketFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, mode));
    if (!fd.Valid() || !WriteAll(fd.Get(), bytes) || ::fsync(fd.Get()) != 0) {
        if (error != nullptr) {
            *error = OsFailureText("cannot append to " + path.string(), errno);
        }
        return false;
    }
    return true;
}

bool ReadWholeFile(const std::filesystem::path& path, std::string* bytes, std::string* error) {
    CSocketFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) {
        if (error != nullptr) {
            *error = OsFailureText("cannot open " + path.string(), errno);
        }
        return false;
    }
    bytes->clear();
    char buffer[8192];
    for (;;) {
        const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (error != nullptr) {
                *error = OsFailureText("cannot read " + path.string(), errno);
            }
            return false;
        }
        if (n == 0) {
            return true;
        }
        bytes->append(buffer, static_cast<size_t>(n));
    }
}

bool AppendFile(const std::filesystem::path& path, const std::string& bytes, mode_t mode, std::string* error) {
    CSocketFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, mode));
    struct stat st {};
    bool ok = fd.Valid() && ::fstat(fd.Get(), &st) == 0;
    if (ok && (st.st_mode & 07777) != mode) {
        ok = ::fchmod(fd.Get(), mode) == 0;
    }
    if (!ok || !WriteAll(fd.Get(), bytes)) {
        if (error != nullptr) {
            *error = OsFailureText("cannot append to " + path.string(), errno);
        }
        return false;
    }
    return true;
}

bool MakePrivateFolder(const std::filesystem::path& folder, std::string* error) {
    if (::mkdir(folder.c_str(), 0700) == 0) {
        // The umask may have taken bits away, never added any; set the mode all the same.
        if (::chmod(folder.c_str(), 0700) == 0) {
            return true;
        }
    } else if (errno == EEXIST) {
        struct stat st {};
        if (::stat(folder.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) {
                errno = ENOTDIR;
            } else if ((st.st_mode & 07777) == 0700 || ::chmod(folder.c_str(), 0700) == 0) {
                return true;
            }
        }
    }
    if (error != nullptr) {
        *error = OsFailureText("cannot make private folder " + folder.string(), errno);
    }
    return false;
}

bool MoveFileAside(const std::filesystem::path& file, const std::string& mark, std::filesystem::path* movedTo,
                   std::string* error) {
    struct stat st {};
    if (::lstat(file.c_str(), &st) == 0) {
        const std::string base = file.string() + mark + "-" + UtcStamp();
        for (int attempt = 0; attempt < 1000; ++attempt) {
            const std::string target = attempt == 0 ? base : base + "-" + std::to_string(attempt);
            if (RenameNoReplace(file.string(), target)) {
                SyncFolderOf(file);
                if (movedTo != nullptr) {
                    *movedTo = target;
                }
                return true;
            }
            if (errno != EEXIST) {
                break;
            }
        }
    }
    return FailWithErrno(error, "cannot move aside " + file.string());
}

bool CAppendingFile::Open(const std::filesystem::path& path, mode_t mode, std::string* error) {
    Close();
    CSocketFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, mode));
    struct stat st {};
    bool ok = fd.Valid() && ::fstat(fd.Get(), &st) == 0;
    if (ok && (st.st_mode & 07777) != mode) {
        ok = ::fchmod(fd.Get(), mode) == 0;
    }
    if (!ok) {
        if (error != nullptr) {
            *error = OsFailureText("cannot open " + path.string(), errno);
        }
        return false;
    }
    m_Fd = fd.Release();
    m_Path = path;
    return true;
}

void CAppendingFile::Close() {
    if (m_Fd >= 0) {
        ::close(m_Fd);
        m_Fd = -1;
    }
    m_Path.clear();
}

bool CAppendingFile::StillAtPath() const {
    if (m_Fd < 0) {
        return false;
    }
    struct stat open {};
    struct stat named {};
    return ::fstat(m_Fd, &open) == 0 && ::stat(m_Path.c_str(), &named) == 0 && open.st_dev == named.st_dev &&
           open.st_ino == named.st_ino;
}

bool CAppendingFile::EnsureMode(mode_t mode) {
    struct stat st {};
    if (m_Fd < 0 || ::fstat(m_Fd, &st) != 0) {
        return false;
    }
    return (st.st_mode & 07777) == mode || ::fchmod(m_Fd, mode) == 0;
}

bool CAppendingFile::Append(const std::string& bytes, std::string* error) {
    if (m_Fd >= 0 && WriteAll(m_Fd, bytes)) {
        return true;
    }
    if (m_Fd < 0) {
        errno = EBADF;
    }
    if (error != nullptr) {
        *error = OsFailureText("cannot append to " + m_Path.string(), errno);
    }
    return false;
}

bool CAppendingFile::SyncData() {
    if (m_Fd < 0) {
        errno = EBADF;
        return false;
    }
    return RetryOnEintr([&] { return ::fdatasync(m_Fd); }) == 0;
}

int64_t CAppendingFile::Size() const {
    struct stat st {};
    if (m_Fd < 0 || ::fstat(m_Fd, &st) != 0) {
        return -1;
    }
    return st.st_size;
}

bool CAppendingFile::Truncate(int64_t length) {
    if (m_Fd < 0) {
        errno = EBADF;
        return false;
    }
    return RetryOnEintr([&] { return ::ftruncate(m_Fd, length); }) == 0;
}

bool GetFileId(const std::filesystem::path& path, CFileId* id) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return false;
    }
    id->device = st.st_dev;
    id->inode = st.st_ino;
    id->changedNs = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    return true;
}
