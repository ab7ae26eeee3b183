#pragma once
// The system trace audit number (STAN) that numbers every request sent to the host service, kept between
// runs in a one-line file in the current directory.

#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/Files.h"
#include "platform/Mutex.h"

// The file that holds the last STAN issued, relative to the current directory.
inline const std::string kSynchroStanFileName = "SynchroStan.dat";

// The messages NextStan appends to the caller's error text.
inline const std::string kStanCreateFailedText = "Synchronized Stan File Does Not Exist and Creation Failed...";
inline const std::string kStanOpenReadFailedText =
    "Synchronized Stan File Exists but could not be opened for reading...";
inline const std::string kStanReadFailedText = "Could Not Read From Synchronized Stan File...";
inline const std::string kStanOpenWriteFailedText = "Synchronized Stan File could not be opened for writing...";
// Formatted with the file error's cause code and the operating system's error number.
inline const char* const kStanFileExceptionFormat = "Synchronized Stan File Exception [%d},[%d]...";
inline const std::string kStanUnknownExceptionText = "Synchronized Stan File Unknown Exception...";

// The largest STAN; the one after it is 1.
constexpr int32_t kMaxStan = 999999;

// How many STANs the process's object reserves with one write of the file.
constexpr int32_t kStanReserveBlock = 100;

// Hands out STANs 1..999999 and keeps in the file the highest one that may have been handed out. Numbers are
// reserved in blocks: a call that finds its block used up reads the file, takes the numbers after it and
// writes the last of the new block there (temporary file in the same folder, flushed, renamed over it), so a
// crash leaves the old number or the new one, never an empty file, and a restart begins above every number
// handed out before (the rest of the block is skipped, never reused). A clean stop gives the rest of the block
// back (ReleaseReserve), so the next start goes on from the last number used. With a block of 1 every call
// reads and writes the file, and the file holds the last STAN handed out.
// Thread-safe: NextStan takes m_Lock; there is no lock between processes sharing one folder.
class CSynchroStanFile {
public:
    // The one STAN object of the process.
    static CSynchroStanFile& Instance();

    // |fileName| is resolved against the current directory at each call; |reserveBlock| (at least 1) numbers
    // are reserved with each write of the file.
    explicit CSynchroStanFile(std::filesystem::path fileName = kSynchroStanFileName, int32_t reserveBlock = 1);
    virtual ~CSynchroStanFile() = default;
    CSynchroStanFile(const CSynchroStanFile&) = delete;
    CSynchroStanFile& operator=(const CSynchroStanFile&) = delete;

    // Empties |errorText| and returns the next STAN. On trouble one message above is put in |errorText| and
    // the last STAN handed out is returned again (0 before the first success): a failure repeats a number
    // rather than skipping one, so a caller must not use the number when |errorText| is not empty. A missing
    // file is made anew holding the last STAN handed out (0 before the first), so the count never goes back;
    // it is looked for at every call, so a file that went away, or was replaced by another (one an operator
    // put there, say), is dealt with at once rather than at the end of the block.
    int32_t NextStan(std::string& errorText);

    // For a clean stop, once nothing draws a STAN any more: writes the last STAN handed out in place of the end
    // of its block, so the next start goes on without a gap. A later NextStan reads the file again. The file is
    // lowered only while it is the one this object wrote and still holds the block's end: one replaced since
    // (an operator's, another process's) is left as it is. False, with a message above in |errorText|, when
    // the file could not be written; it then still holds the block's end, so no number is ever used twice.
    bool ReleaseReserve(std::string& errorText);

private:
    int32_t NextStanLocked(std::string& errorText) REQUIRES(m_Lock);

    CMutex m_Lock;
    const std::filesystem::path m_FileName;
    const int32_t m_ReserveBlock;
    int32_t m_CurrentStan GUARDED_BY(m_Lock) = 0;
    // The last STAN of the block the file holds (0: none), and the file that holds it.
    int32_t m_ReservedUpTo GUARDED_BY(m_Lock) = 0;
    CFileId m_ReservedIn GUARDED_BY(m_Lock);
};

// The STAN that follows the first line of |fileText| (decimal value + 1; 1 after 999999, after a negative
// value and after a line without digits). Exposed for tests.
int32_t StanAfter(const std::string& fileText);

// The file's contents for |stan|: the decimal digits followed by CR, CR, LF.
std::string StanFileText(int32_t stan);
