#pragma once
// The system trace audit number (STAN) that numbers every request sent to the host service, kept between
// runs in a one-line file in the current directory.

#include <cstdint>
#include <filesystem>
#include <string>

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

// Hands out STANs 1..999999 and keeps the last one in the file. The file is the lasting state: each call
// reads it, and replaces it whole (temporary file in the same folder, flushed, renamed over it), so a crash
// leaves the old number or the new one, never an empty file.
// Thread-safe: NextStan takes m_Lock; there is no lock between processes sharing one folder.
class CSynchroStanFile {
public:
    // The one STAN object of the process.
    static CSynchroStanFile& Instance();

    // |fileName| is resolved against the current directory at each call.
    explicit CSynchroStanFile(std::filesystem::path fileName = kSynchroStanFileName);
    virtual ~CSynchroStanFile() = default;
    CSynchroStanFile(const CSynchroStanFile&) = delete;
    CSynchroStanFile& operator=(const CSynchroStanFile&) = delete;

    // Empties |errorText| and returns the next STAN. On trouble one message above is put in |errorText| and
    // the last STAN handed out is returned again (0 before the first success): a failure repeats a number
    // rather than skipping one, so a caller must not use the number when |errorText| is not empty. A missing
    // file is made anew holding the last STAN handed out (0 before the first), so the count never goes back.
    int32_t NextStan(std::string& errorText);

private:
    int32_t NextStanLocked(std::string& errorText) REQUIRES(m_Lock);

    CMutex m_Lock;
    const std::filesystem::path m_FileName;
    int32_t m_CurrentStan GUARDED_BY(m_Lock) = 0;
};

// The STAN that follows the first line of |fileText| (decimal value + 1; 1 after 999999, after a negative
// value and after a line without digits). Exposed for tests.
int32_t StanAfter(const std::string& fileText);

// The file's contents for |stan|: the decimal digits followed by CR, CR, LF.
std::string StanFileText(int32_t stan);
