#include "transaction/SynchroStanFile.h"

#include <algorithm>
#include <system_error>

#include "foundation/ErrorReporter.h"
#include "foundation/TextHelpers.h"
#include "platform/Files.h"

namespace {
constexpr mode_t kStanFileMode = 0644;

std::string FileExceptionText(const COsError& error) {
    return FormatText(kStanFileExceptionFormat, FileErrorCause(error), error.Number());
}

// The message for a write of the file that failed with |error| (WriteFileAtomically's text) for |cause|.
std::string WriteFailureText(const std::string& error, const COsError& cause) {
    return error.starts_with("cannot create") ? kStanOpenWriteFailedText : FileExceptionText(cause);
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
    COsError lookError;
    const bool named = GetFileId(m_FileName, &fileId, &lookError);
    const bool present = named || !lookError.Is(EOsErrorClass::NotFound);
    if (named && fileId == m_ReservedIn && m_ReservedUpTo != 0 && m_CurrentStan < m_ReservedUpTo) {
        return ++m_CurrentStan;
    }
    std::string error;
    COsError cause;
    if (!present) {
        // A file that went away while the process ran starts from the last number handed out, not from 0:
        // the numbers since the start have gone to the host already.
        if (!WriteFileAtomically(m_FileName, StanFileText(m_CurrentStan), kStanFileMode, &error, &cause)) {
            // A file that could not be made is a failed creation; one made but not written is a file error.
            if (error.starts_with("cannot create")) {
                errorText += kStanCreateFailedText;
            } else {
                errorText += FileExceptionText(cause);
            }
            return m_CurrentStan;
        }
    }

    std::string text;
    if (!ReadWholeFile(m_FileName, &text, &error, &cause)) {
        if (error.starts_with("cannot open")) {
            errorText += kStanOpenReadFailedText;
        } else {
            errorText += FileExceptionText(cause);
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
    if (!WriteFileAtomically(m_FileName, StanFileText(reservedUpTo), kStanFileMode, &error, &cause)) {
        errorText += WriteFailureText(error, cause);
        return m_CurrentStan;
    }
    m_CurrentStan = next;
    m_ReservedUpTo = reservedUpTo;
    if (!GetFileId(m_FileName, &m_ReservedIn)) {
        m_ReservedUpTo = next; // the block is not known to be held: the next call reads the file again
    }
    return next;
}

bool CSynchroStanFile::ReleaseReserve(std::string& errorText) {
    CMutexLock lock(m_Lock);
    errorText.clear();
    if (m_CurrentStan >= m_ReservedUpTo) {
        return true; // nothing reserved beyond the last number used
    }
    CFileId fileId;
    std::string text;
    std::string error;
    COsError cause;
    const bool ours = GetFileId(m_FileName, &fileId) && fileId == m_ReservedIn &&
                      ReadWholeFile(m_FileName, &text, &error) && text == StanFileText(m_ReservedUpTo);
    if (ours && !WriteFileAtomically(m_FileName, StanFileText(m_CurrentStan), kStanFileMode, &error, &cause)) {
        errorText += WriteFailureText(error, cause);
        return false;
    }
    // Whatever the file holds now, the block is given up: the next number is drawn from the file.
    m_ReservedUpTo = m_CurrentStan;
    return true;
}
