#include "platform/Trash.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/AsciiChars.h"
#include "platform/FileHandle.h"
#include "platform/FileSystem.h"
#include "platform/Hex.h"
#include "platform/LocalTime.h"
#include "platform/OsError.h"
#include "platform/TextFormat.h"

namespace {
// How many names ("x", "x.2", ... ) are tried before the trash counts as full for a name.
constexpr unsigned kMaxNameTries = 10000;

// Makes |folder| and every missing folder above it (|folder| is absolute), each with mode 0700.
bool MakeFolders(const std::string& folder) {
    for (size_t at = folder.find('/', 1);; at = folder.find('/', at + 1)) {
        const std::string prefix = folder.substr(0, at);
        if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
            return false;
        }
        if (at == std::string::npos) {
            break;
        }
    }
    struct stat made {};
    if (::stat(folder.c_str(), &made) != 0) {
        return false;
    }
    if (!S_ISDIR(made.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    return true;
}

// The absolute path of |path|'s entry: its folder with every link resolved, and its own name as it is (a link
// is trashed itself). False with errno set for a path that names no entry of its own ("", ".", "..", "/").
bool AbsolutePath(const std::string& path, std::string& absolute, std::string& name) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') {
        trimmed.pop_back();
    }
    const size_t slash = trimmed.rfind('/');
    name = slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") {
        errno = EINVAL;
        return false;
    }
    const std::string parent = slash == std::string::npos ? "." : (slash == 0 ? "/" : trimmed.substr(0, slash));
    char* real = ::realpath(parent.c_str(), nullptr);
    if (real == nullptr) {
        return false;
    }
    const std::string folder = real;
    std::free(real);
    absolute = (folder == "/" ? "" : folder) + "/" + name;
    return true;
}

// |path| escaped as a URL path: every byte but the unreserved characters and "/" as "%" and two upper-case
// hexadecimal digits.
std::string EscapedPath(const std::string& path) {
    static const std::string kKept = "/-_.!~*'()";
    std::string escaped;
    for (const char c : path) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (IsAsciiLetterOrDigit(c) || kKept.find(c) != std::string::npos) {
            escaped += c;
        } else {
            escaped += '%';
            AppendHexByte(escaped, byte, HexCase::kUpper);
        }
    }
    return escaped;
}

// Now in local time as "YYYY-MM-DDThh:mm:ss"; "" when it cannot be told.
std::string LocalDeletionDate() {
    std::tm local{};
    if (!LocalCalendarNow(local, ZoneRead::kAgain)) {
        return std::string();
    }
    return FormatText("%04d-%02d-%02dT%02d:%02d:%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                      local.tm_hour, local.tm_min, local.tm_sec);
}

// Creates |path| holding |text|, mode 0600, only when the name is free: the info file that reserves a name in
// the trash. False with errno set (EEXIST: taken); nothing is left behind on a failed write.
bool CreateNewFile(const std::string& path, const std::string& text) {
    const int fd =
        RetryOnEintr([&] { return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600); });
    if (fd < 0) {
        return false;
    }
    const bool written = WriteEvery(fd, text.data(), text.size());
    // A close can report a write that failed late (a full disk, a network file system).
    const bool closed = ::close(fd) == 0;
    if (written && closed) {
        return true;
    }
    const int saved = errno;
    ::unlink(path.c_str());
    errno = saved;
    return false;
}
} // namespace

bool MoveToTrash(const std::string& path, std::string* trashedAs, std::string* error) {
    std::string source;
    std::string name;
    if (!AbsolutePath(path, source, name)) {
        return FailWithErrno(error, "Cannot trash \"" + path + "\"");
    }
    struct stat entry {};
    if (::lstat(source.c_str(), &entry) != 0) {
        return FailWithErrno(error, "Cannot trash \"" + path + "\"");
    }
    const std::string data = UserDataFolder();
    if (data.empty()) {
        errno = ENOENT;
        return FailWithErrno(error, "No home folder for the trash");
    }
    const std::string trash = data + "/Trash";
    const std::string files = trash + "/files";
    const std::string info = trash + "/info";
    if (!MakeFolders(files) || !MakeFolders(info)) {
        return FailWithErrno(error, "Cannot make the trash " + trash);
    }
    struct stat filesFolder {};
    if (::stat(files.c_str(), &filesFolder) != 0) {
        return FailWithErrno(error, "Cannot make the trash " + trash);
    }
    // A rename cannot cross file systems, and a copy that fails half-way would leave the entry in two halves.
    if (filesFolder.st_dev != entry.st_dev) {
        errno = EXDEV;
        return FailWithErrno(error, "\"" + path + "\" is on another file system than the trash " + trash);
    }
    const std::string date = LocalDeletionDate();
    if (date.empty()) {
        errno = EOVERFLOW;
        return FailWithErrno(error, "No local time for the trash");
    }
    const std::string record = "[Trash Info]\nPath=" + EscapedPath(source) + "\nDeletionDate=" + date + "\n";
    for (unsigned n = 1; n <= kMaxNameTries; ++n) {
        const std::string candidate = n == 1 ? name : name + "." + std::to_string(n);
        const std::string infoPath = info + "/" + candidate + ".trashinfo";
        if (!CreateNewFile(infoPath, record)) {
            if (errno == EEXIST) {
                continue;
            }
            return FailWithErrno(error, "Cannot write " + infoPath);
        }
        const std::string target = files + "/" + candidate;
        if (RenameNoReplace(source, target)) {
            if (trashedAs != nullptr) {
                *trashedAs = target;
            }
            return true;
        }
        const int saved = errno;
        ::unlink(infoPath.c_str());
        errno = saved;
        if (saved != EEXIST) { // a name in files/ without its info file is skipped as taken
            return FailWithErrno(error, "Cannot move \"" + path + "\" to " + target);
        }
    }
    errno = EEXIST;
    return FailWithErrno(error, "No free name in the trash for \"" + name + "\"");
}
