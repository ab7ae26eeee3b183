#include "platform/FileSystem.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>
#include <vector>

#include "platform/OsError.h"
#include "platform/Socket.h"

namespace {
int64_t Nanoseconds(const statx_timestamp& t) {
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

int OpenRetryingEintr(int folderFd, const char* path, int flags) {
    return RetryOnEintr([&] { return ::openat(folderFd, path, flags); });
}

// Empties the folder open as |fd| (taken over and closed).
bool EmptyOpenFolder(int fd) {
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return false;
    }
    // The names are read first, so removing never disturbs the listing.
    std::vector<std::string> names;
    errno = 0;
    for (dirent* entry = ::readdir(dir); entry != nullptr; entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    bool ok = errno == 0;
    const int folderFd = ::dirfd(dir);
    for (size_t i = 0; ok && i < names.size(); ++i) {
        struct stat info {};
        const char* name = names[i].c_str();
        if (::fstatat(folderFd, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
            ok = errno == ENOENT; // removed meanwhile
            continue;
        }
        if (S_ISDIR(info.st_mode)) {
            // O_NOFOLLOW: a folder replaced by a link since the fstatat fails here instead of being followed.
            const int child = OpenRetryingEintr(folderFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            ok = child >= 0 && EmptyOpenFolder(child) && ::unlinkat(folderFd, name, AT_REMOVEDIR) == 0;
        } else {
            ok = ::unlinkat(folderFd, name, 0) == 0;
        }
    }
    const int saved = errno;
    ::closedir(dir);
    errno = saved;
    return ok;
}
} // namespace

bool GetFileInfo(const std::string& path, bool followLinks, CFileInfo& info) {
    struct statx found {};
    if (::statx(AT_FDCWD, path.c_str(), followLinks ? 0 : AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME,
                &found) != 0) {
        return false;
    }
    info = CFileInfo();
    if (S_ISREG(found.stx_mode)) {
        info.Type = CFileInfo::EType::File;
    } else if (S_ISDIR(found.stx_mode)) {
        info.Type = CFileInfo::EType::Folder;
    } else if (S_ISLNK(found.stx_mode)) {
        info.Type = CFileInfo::EType::Link;
    }
    info.Size = found.stx_size;
    info.Mode = found.stx_mode & 07777;
    info.BirthNs = (found.stx_mask & STATX_BTIME) != 0 ? Nanoseconds(found.stx_btime) : 0;
    info.AccessNs = Nanoseconds(found.stx_atime);
    info.WriteNs = Nanoseconds(found.stx_mtime);
    info.ChangeNs = Nanoseconds(found.stx_ctime);
    return true;
}

bool RenameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return false;
    }
    // The file system cannot refuse the replacement itself (EINVAL: it does not know the flag). Look first;
    // the look and the rename are two steps, so this holds for a folder that only its one writer changes.
    struct stat st {};
    if (::lstat(to.c_str(), &st) == 0) {
        errno = EEXIST;
        return false;
    }
    if (errno != ENOENT) {
        return false;
    }
    return ::rename(from.c_str(), to.c_str()) == 0;
}

bool EmptyFolderNoFollow(const std::string& folder) {
    const int fd = OpenRetryingEintr(AT_FDCWD, folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    return fd >= 0 && EmptyOpenFolder(fd);
}

std::string CreateUniqueFile(const std::string& stem, const std::string& suffix) {
    std::string path = stem + "XXXXXX" + suffix;
    CSocketFd fd(::mkostemps(path.data(), static_cast<int>(suffix.size()), O_CLOEXEC));
    return fd.Valid() ? path : std::string();
}

bool IsOnNetworkFileSystem(const std::string& path) {
    struct statfs info {};
    if (::statfs(path.c_str(), &info) != 0) {
        return false;
    }
    switch (static_cast<uint32_t>(info.f_type)) {
    case 0x6969:     // NFS
    case 0x517B:     // SMB
    case 0xFF534D42: // CIFS
    case 0xFE534D42: // SMB2
    case 0x5346414F: // AFS
    case 0x6B414653: // kAFS
    case 0x73757245: // Coda
    case 0x01021997: // 9P
    case 0x00C36400: // Ceph
    case 0x564C:     // NCP
        return true;
    default:
        return false;
    }
}

std::string ModuleFilePath(const void* address) {
    if (address != nullptr) {
        Dl_info info{};
        Dl_info self{};
        // The program itself (which holds this function) is named as it was started, maybe relative to a
        // folder left since; /proc tells its file whole.
        if (::dladdr(address, &info) != 0 && info.dli_fname != nullptr &&
            (::dladdr(reinterpret_cast<const void*>(&ModuleFilePath), &self) == 0 ||
             info.dli_fbase != self.dli_fbase)) {
            char* full = ::realpath(info.dli_fname, nullptr);
            if (full == nullptr) {
                return std::string();
            }
            std::string path(full);
            std::free(full);
            return path;
        }
    }
    std::string path(4096, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
    if (n <= 0 || static_cast<size_t>(n) >= path.size()) {
        return std::string();
    }
    path.resize(static_cast<size_t>(n));
    return path;
}

std::string HomeFolder() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home != '\0') {
        return home;
    }
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
        found->pw_dir == nullptr) {
        return std::string();
    }
    return found->pw_dir;
}

std::string UserDataFolder() {
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data != nullptr && data[0] == '/') {
        return data;
    }
    const std::string home = HomeFolder();
    return home.empty() ? std::string() : home + "/.local/share";
}
