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

bool SyncFolderOf(const std::filesystem::path& path) {
    CSocketFd dir(::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return dir.Valid() && ::fsync(dir.Get()) == 0;
}

// Flushes |fd| with |sync| (fsync or fdatasync), EINTR retried; false with errno set (EBADF for no file) and the
// cause in |error| (when given).
bool SyncOpenFile(int fd, int (*sync)(int), COsError* error) {
    if (fd < 0) {
        errno = EBADF;
        StoreErrno(error);
        return false;
    }
    return RetryOnEintr([&] { return sync(fd); }, error) == 0;
}

// Opens |path| for appending (close-on-exec) into |fd|, made with |mode| when missing and set to |mode| when its
// permissions differ; false with errno set.
bool OpenForAppending(const std::filesystem::path& path, mode_t mode, CSocketFd* fd) {
    *fd = CSocketFd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, mode));
    struct stat st {};
    if (!fd->Valid() || ::fstat(fd->Get(), &st) != 0) {
        return false;
    }
    return (st.st_mode & 07777) == mode || ::fchmod(fd->Get(), mode) == 0;
}

// What a temporary for |path| is named: the path, ".tmp-" and mkstemp's six characters.
constexpr char kTemporaryMark[] = ".tmp-";
constexpr size_t kTemporaryRandomChars = 6;
} // namespace

bool WriteFileAtomically(const std::filesystem::path& path, const std::string& bytes, mode_t mode, std::string* error,
                         COsError* cause) {
    CAppendingFile file;
    if (!file.OpenTemporaryFor(path, mode, error)) {
        StoreErrno(cause);
        return false;
    }
    if (!file.Append(bytes) || !file.Sync() || !file.MoveOverTarget()) {
        FailWithErrno(error, "cannot write " + path.string(), cause);
        const int failure = errno;
        file.Close();    // the temporary goes
        errno = failure; // the write's reason, not the clean-up's
        return false;
    }
    file.SyncFolder();
    return true;
}

int RemoveStaleTemporaries(const std::filesystem::path& path) {
    const std::filesystem::path folder = FolderOf(path);
    const std::string prefix = path.filename().string() + kTemporaryMark;
    int removed = 0;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(folder, ec); !ec && it != std::filesystem::directory_iterator();
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        // mkstemp's six characters after the prefix, nothing else.
        if (name.size() == prefix.size() + kTemporaryRandomChars && name.compare(0, prefix.size(), prefix) == 0 &&
            ::unlink(it->path().c_str()) == 0) {
            ++removed;
        }
    }
    return removed;
}

bool AppendFileDurably(const std::filesystem::path& path, const std::string& bytes, mode_t mode, std::string* error) {
    CSocketFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, mode));
    if (!fd.Valid() || !WriteAll(fd.Get(), bytes) || ::fsync(fd.Get()) != 0) {
        return FailWithErrno(error, "cannot append to " + path.string());
    }
    return true;
}

bool ReadWholeFile(const std::filesystem::path& path, std::string* bytes, std::string* error, COsError* cause) {
    CSocketFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) {
        return FailWithErrno(error, "cannot open " + path.string(), cause);
    }
    bytes->clear();
    char buffer[8192];
    for (;;) {
        const ssize_t n = RetryOnEintr([&] { return ::read(fd.Get(), buffer, sizeof buffer); });
        if (n < 0) {
            FailWithErrno(error, "cannot read " + path.string(), cause);
            const int failure = errno;
            fd.Close();
            errno = failure;
            return false;
        }
        if (n == 0) {
            return true;
        }
        bytes->append(buffer, static_cast<size_t>(n));
    }
}

int FileErrorCause(const COsError& error) {
    constexpr int kCauseGeneric = 1;
    constexpr int kCauseFileNotFound = 2;
    constexpr int kCauseBadPath = 3;
    constexpr int kCauseTooManyOpenFiles = 4;
    constexpr int kCauseAccessDenied = 5;
    constexpr int kCauseHardIO = 10;
    constexpr int kCauseDiskFull = 13;
    switch (error.Number()) {
    case ENOENT:
        return kCauseFileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
        return kCauseBadPath;
    case EMFILE:
    case ENFILE:
        return kCauseTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
        return kCauseAccessDenied;
    case EIO:
        return kCauseHardIO;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return kCauseDiskFull;
    default:
        return kCauseGeneric;
    }
}

bool AppendFile(const std::filesystem::path& path, const std::string& bytes, mode_t mode, std::string* error) {
    CSocketFd fd;
    if (!OpenForAppending(path, mode, &fd) || !WriteAll(fd.Get(), bytes)) {
        return FailWithErrno(error, "cannot append to " + path.string());
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
    return FailWithErrno(error, "cannot make private folder " + folder.string());
}

bool MoveFileAside(const std::filesystem::path& file, const std::string& mark, std::filesystem::path* movedTo,
                   std::string* error, COsError* cause) {
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
    return FailWithErrno(error, "cannot move aside " + file.string(), cause);
}

bool CAppendingFile::Open(const std::filesystem::path& path, mode_t mode, std::string* error) {
    Close();
    CSocketFd fd;
    if (!OpenForAppending(path, mode, &fd)) {
        return FailWithErrno(error, "cannot open " + path.string());
    }
    m_Fd = fd.Release();
    m_Path = path;
    return true;
}

CAppendingFile::CAppendingFile(CAppendingFile&& other) noexcept
    : m_Fd(other.m_Fd), m_Path(std::move(other.m_Path)), m_Target(std::move(other.m_Target)) {
    other.m_Fd = -1;
    other.m_Path.clear();
    other.m_Target.clear();
}

CAppendingFile& CAppendingFile::operator=(CAppendingFile&& other) noexcept {
    if (this != &other) {
        Close();
        m_Fd = other.m_Fd;
        m_Path = std::move(other.m_Path);
        m_Target = std::move(other.m_Target);
        other.m_Fd = -1;
        other.m_Path.clear();
        other.m_Target.clear();
    }
    return *this;
}

bool CAppendingFile::OpenTemporaryFor(const std::filesystem::path& path, mode_t mode, std::string* error) {
    Close();
    std::string pattern = path.string() + kTemporaryMark + std::string(kTemporaryRandomChars, 'X');
    CSocketFd fd(::mkostemp(pattern.data(), O_APPEND | O_CLOEXEC));
    // mkostemp made it 0600; the mode asked for is set whatever the umask.
    if (!fd.Valid() || ::fchmod(fd.Get(), mode) != 0) {
        const int saved = errno;
        if (fd.Valid()) {
            ::unlink(pattern.c_str());
        }
        errno = saved;
        return FailWithErrno(error, "cannot create " + pattern);
    }
    m_Fd = fd.Release();
    m_Path = pattern;
    m_Target = path;
    return true;
}

bool CAppendingFile::MoveOverTarget(std::string* error) {
    if (m_Fd < 0 || m_Target.empty()) {
        errno = EBADF;
    } else if (::rename(m_Path.c_str(), m_Target.c_str()) == 0) {
        m_Path = m_Target;
        m_Target.clear();
        return true;
    }
    return FailWithErrno(error, "cannot write " + (m_Target.empty() ? m_Path : m_Target).string());
}

void CAppendingFile::Close() {
    if (m_Fd >= 0) {
        ::close(m_Fd);
        m_Fd = -1;
    }
    if (!m_Target.empty()) {
        // A new version that never took its file's place is nobody's.
        ::unlink(m_Path.c_str());
        m_Target.clear();
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
    return FailWithErrno(error, "cannot append to " + m_Path.string());
}

bool CAppendingFile::SyncData(COsError* error) {
    return SyncOpenFile(m_Fd, ::fdatasync, error);
}

bool CAppendingFile::Sync(COsError* error) {
    return SyncOpenFile(m_Fd, ::fsync, error);
}

bool CAppendingFile::SyncFolder(COsError* error) const {
    if (SyncFolderOf(m_Path)) {
        return true;
    }
    StoreErrno(error);
    return false;
}

int64_t CAppendingFile::Size() const {
    struct stat st {};
    if (m_Fd < 0 || ::fstat(m_Fd, &st) != 0) {
        return -1;
    }
    return st.st_size;
}

bool CAppendingFile::Truncate(int64_t length, COsError* error) {
    if (m_Fd < 0) {
        errno = EBADF;
        StoreErrno(error);
        return false;
    }
    return RetryOnEintr([&] { return ::ftruncate(m_Fd, length); }, error) == 0;
}

bool GetFileId(const std::filesystem::path& path, CFileId* id, COsError* cause) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        StoreErrno(cause);
        return false;
    }
    id->device = st.st_dev;
    id->inode = st.st_ino;
    id->changedNs = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    return true;
}
