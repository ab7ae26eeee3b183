#include "platform/SharedModemLines.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/OsError.h"
#include "platform/Socket.h"

namespace {
// "KSML", a version byte, padding, one byte a line in the order of the kLine* bits, then the DTR drop count.
constexpr char kMagic[4] = {'K', 'S', 'M', 'L'};
constexpr unsigned char kVersion = 1;
constexpr size_t kFirstLineOffset = 8;
constexpr size_t kLineCount = 5;
constexpr size_t kDtrDropsOffset = kFirstLineOffset + kLineCount;
constexpr size_t kFileSize = 16;

unsigned char* MapShared(int fd) {
    void* map = ::mmap(nullptr, kFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return map == MAP_FAILED ? nullptr : static_cast<unsigned char*>(map);
}
} // namespace

std::unique_ptr<CSharedModemLines> CSharedModemLines::Create(const std::string& path, unsigned lines,
                                                             std::string* error) {
    ::unlink(path.c_str());
    CSocketFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!fd.Valid()) {
        FailWithErrno(error, "cannot create " + path);
        return nullptr;
    }
    if (::ftruncate(fd.Get(), kFileSize) != 0) {
        FailWithErrno(error, "cannot size " + path);
        return nullptr;
    }
    unsigned char* map = MapShared(fd.Get());
    if (map == nullptr) {
        FailWithErrno(error, "cannot map " + path);
        return nullptr;
    }
    auto shared = std::make_unique<CSharedModemLines>(CPrivateTag(), map);
    for (unsigned bit = 0; bit < kLineCount; ++bit) {
        shared->SetLine(1u << bit, (lines & (1u << bit)) != 0);
    }
    // The header last: a port that maps the file sees it whole or not at all.
    map[4] = kVersion;
    std::memcpy(map, kMagic, sizeof kMagic);
    __atomic_thread_fence(__ATOMIC_RELEASE);
    return shared;
}

std::unique_ptr<CSharedModemLines> CSharedModemLines::Open(const std::string& path, std::string* error) {
    CSocketFd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    if (!fd.Valid()) {
        FailWithErrno(error, "cannot open " + path);
        return nullptr;
    }
    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size != static_cast<off_t>(kFileSize)) {
        *error = "not a line-state file: " + path;
        return nullptr;
    }
    unsigned char* map = MapShared(fd.Get());
    if (map == nullptr) {
        FailWithErrno(error, "cannot map " + path);
        return nullptr;
    }
    __atomic_thread_fence(__ATOMIC_ACQUIRE);
    if (std::memcmp(map, kMagic, sizeof kMagic) != 0 || map[4] != kVersion) {
        ::munmap(map, kFileSize);
        *error = "not a line-state file: " + path;
        return nullptr;
    }
    // The mapping stays valid after the descriptor closes.
    return std::make_unique<CSharedModemLines>(CPrivateTag(), map);
}

CSharedModemLines::~CSharedModemLines() {
    ::munmap(m_Map, kFileSize);
}

unsigned char* CSharedModemLines::LineByte(unsigned line) const {
    unsigned index = 0;
    while (index + 1 < kLineCount && (line >> index) != 1u) {
        ++index;
    }
    return m_Map + kFirstLineOffset + index;
}

void CSharedModemLines::SetLine(unsigned line, bool on) {
    __atomic_store_n(LineByte(line), static_cast<unsigned char>(on ? 1 : 0), __ATOMIC_SEQ_CST);
}

bool CSharedModemLines::IsLine(unsigned line) const {
    return __atomic_load_n(LineByte(line), __ATOMIC_SEQ_CST) != 0;
}

bool CSharedModemLines::GetLines(unsigned* lines) {
    *lines = 0;
    for (unsigned bit = 0; bit < kLineCount; ++bit) {
        if (IsLine(1u << bit)) {
            *lines |= 1u << bit;
        }
    }
    return true;
}

bool CSharedModemLines::SetDtr(bool on) {
    if (!on && IsLine(kLineDtr)) {
        __atomic_fetch_add(m_Map + kDtrDropsOffset, static_cast<unsigned char>(1), __ATOMIC_SEQ_CST);
    }
    SetLine(kLineDtr, on);
    return true;
}

unsigned CSharedModemLines::DtrDrops() const {
    return __atomic_load_n(m_Map + kDtrDropsOffset, __ATOMIC_SEQ_CST);
}

bool CSharedModemLines::SetRts(bool on) {
    SetLine(kLineRts, on);
    return true;
}
