#include "transaction/SynchroStanFile.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "foundation/ErrorReporter.h"
#include "foundation/TextHelpers.h"
#include "platform/Files.h"

namespace {
// Cause codes of a file error, as the error text reports them.
constexpr int kCauseGeneric = 1;
constexpr int kCauseFileNotFound = 2;
constexpr int kCauseBadPath = 3;
constexpr int kCauseTooManyOpenFiles = 4;
constexpr int kCauseAccessDenied = 5;
constexpr int kCauseHardIO = 10;
constexpr int kCauseDiskFull = 13;

constexpr mode_t kStanFileMode = 0644;

int CauseOf(int error) {
    switch (error) {
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

std::string FileExceptionText(int error) {
    return FormatText(kStanFileExceptionFormat, CauseOf(error), error);
}
} // namespace

int32_t StanAfter(const std::string& fileText) {
    // The first line read as the C library reads a number; one below 1 or at the largest STAN and beyond
    // (held there, not overflowed) leads to 1.
    const int64_t value = LeadingInt64(fileText.substr(0, fileText.find('\n')));
    return value <= 0 || value >= kMaxStan ? 1 : static_cast<int32_t>(value + 1);
}

std::string StanFileText(int32_t stan) {
    return std::to_string(stan) + "\r\r\n";
}

CSynchroStanFile& CSynchroStanFile::Instance() {
    // A synced replacement of the file for every host request would cost more than the request's own work.
    static CSynchroStanFile stanFile(kSynchroStanFileName, kStanReserveBlock);
    return stanFile;
}

CSynchroStanFile::CSynchroStanFile(std::filesystem::path fileName, int32_t reserveBlock)
    : m_FileName(std::move(fileName)), m_ReserveBlock(std::max<int32_t>(reserveBlock, 1)) {}

int32_t CSynchroStanFile::NextStan(std::string& errorText) {
    CMutexLock lock(m_Lock);
    errorText.clear();
    try {
        return NextStanLocked(errorText);
    } catch (...) {
        errorText += kStanUnknownExceptionText;
        return m_CurrentStan;
    }
}

int32_t CSynchroStanFile::NextStanLocked(std::string& errorText) {
    // Any directory entry counts as present, a dangling link included: it is read (and fails) rather than
    // replaced by a fresh 0.
    CFileId fileId;
    const bool named = GetFileId(m_FileName, &fileId);
    const bool present = named || errno != ENOENT;
    if (named && fileId == m_ReservedIn && m_ReservedUpTo != 0 && m_CurrentStan < m_ReservedUpTo) {
        return ++m_CurrentStan;
    }
    std::string error;
    if (!present) {
        // A file that went away while the process ran starts from the last number handed out, not from 0:
        // the numbers since the start have gone to the host already.
        if (!WriteFileAtomically(m_FileName, StanFileText(m_CurrentStan), kStanFileMode, &error)) {
            // A file that could not be made is a failed creation; one made but not written is a file error.
            const int createError = errno;
            if (error.starts_with("cannot create")) {
                errorText += kStanCreateFailedText;
            } else {
                errorText += FileExceptionText(createError);
            }
            return m_CurrentStan;
        }
    }

    std::string text;
    if (!ReadWholeFile(m_FileName, &text, &error)) {
        const int readError = errno;
        if (error.starts_with("cannot open")) {
            errorText += kStanOpenReadFailedText;
        } else {
            errorText += FileExceptionText(readError);
        }
        return m_CurrentStan;
    }
    if (text.empty()) {
        errorText += kStanReadFailedText;
        return m_CurrentStan;
    }

    const int32_t next = StanAfter(text);
    // The block never runs past the largest STAN: the number after it is 1, read from the file as always.
    const int32_t reservedUpTo = std::min<int64_t>(static_cast<int64_t>(next) + m_ReserveBlock - 1, kMaxStan);
    if (!WriteFileAtomically(m_FileName, StanFileText(reservedUpTo), kStanFileMode, &error)) {
        const int writeError = errno;
        if (error.starts_with("cannot create")) {
            errorText += kStanOpenWriteFailedText;
        } else {
            errorText += FileExceptionText(writeError);
        }
        return m_CurrentStan;
    }
    m_CurrentStan = next;
    m_ReservedUpTo = reservedUpTo;
    if (!GetFileId(m_FileName, &m_ReservedIn)) {
        m_ReservedUpTo = next; // the block is not known to be held: the next call reads the file again
    }
    return next;
}
