#include "platform/Files.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/FileHandle.h"
#include "platform/Socket.h"

namespace {
std::string ErrnoText(const char* what, const std::filesystem::path& path) {
    return std::string(what) + " " + path.string() + ": " + std::strerror(errno);
}

void SyncFolderOf(const std::filesystem::path& path) {
    std::filesystem::path folder = path.parent_path();
    if (folder.empty()) {
        folder = ".";
    }
    CSocketFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
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
            *error = ErrnoText("cannot create", pattern);
        }
        return false;
    }
    bool ok =
        ::fchmod(fd.Get(), mode) == 0 && WriteEvery(fd.Get(), bytes.data(), bytes.size()) && ::fsync(fd.Get()) == 0;
    if (ok) {
        fd.Close();
        ok = ::rename(pattern.c_str(), path.c_str()) == 0;
    }
    if (!ok) {
        if (error != nullptr) {
            *error = ErrnoText("cannot write", path);
        }
        ::unlink(pattern.c_str());
        return false;
    }
    SyncFolderOf(path);
    return true;
}

bool AppendFileDurably(const std::filesystem::path& path, const std::string& bytes, mode_t mode, std::string* error) {
    CSocketFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, mode));
    if (!fd.Valid() || !WriteEvery(fd.Get(), bytes.data(), bytes.size()) || ::fsync(fd.Get()) != 0) {
        if (error != nullptr) {
            *error = ErrnoText("cannot append to", path);
        }
        return false;
    }
    return true;
}

bool ReadWholeFile(const std::filesystem::path& path, std::string* bytes, std::string* error) {
    CSocketFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) {
        if (error != nullptr) {
            *error = ErrnoText("cannot open", path);
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
                *error = ErrnoText("cannot read", path);
            }
            return false;
        }
        if (n == 0) {
            return true;
        }
        bytes->append(buffer, static_cast<size_t>(n));
    }
}
