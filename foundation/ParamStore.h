#pragma once
// The process's current merchant parameter set, kept in MerchantParams.dat in the current directory, and the
// start-up check that tells the operator when the parameters were never set.

#include <cstddef>
#include <filesystem>
#include <string>

#include "foundation/ParamSettings.h"
#include "platform/Mutex.h"

// The file that holds the serialised set between runs, relative to the current directory.
inline constexpr char kParamStoreFileName[] = "MerchantParams.dat";
// The longest serialised text the store takes.
constexpr std::size_t kParamStoreMaxTextLength = 500;

// Last-error codes of the store.
constexpr int kParamStoreErrorOverflow = 10002;    // "Param Settings would overflow"
constexpr int kParamStoreErrorWriteFailed = 10003; // the file could not be replaced
constexpr int kParamStoreErrorReadFailed = 10004;  // the file exists but could not be read
constexpr int kParamStoreErrorUnstorable = 10005;  // a parameter is missing or a value holds ";"

// Holds the merchant parameters for the whole process and hands out copies. A new set becomes current only
// after it has been saved, so the file and the current set never disagree.
// Thread-safe: every public member takes m_Lock; readers work on their copy without a lock.
class CParamStore {
public:
    // The one store of the process.
    static CParamStore& Instance();

    // An empty current set; LoadParams fills it. |fileName| is resolved against the current directory at
    // each read and write.
    explicit CParamStore(std::filesystem::path fileName = kParamStoreFileName);
    virtual ~CParamStore() = default;
    CParamStore(const CParamStore&) = delete;
    CParamStore& operator=(const CParamStore&) = delete;

    // A private copy of the current set (map and version).
    CParamSettings GetParams() const;
    // Saves |settings|; only when that succeeded does a copy become current. Returns whether it was saved.
    bool SetParams(const CParamSettings& settings);
    // Saves the default set and on success makes it current.
    bool ClearParams();
    // Loads the current set from the file: each valid value replaces its default (a refused one is logged
    // with its reason, the password's value never); an absent, empty or foreign-version file is rewritten
    // with the defaults, a foreign one only after it was kept as "MerchantParams.dat.bad-<UTC time>" so that
    // the operator's text survives. False only when the file exists but cannot be read; the current set then
    // holds the defaults and the file is left as it was.
    bool LoadParams();
    // Writes |settings| as the saved text without making it current; false with the last error set when
    // the text is longer than 500 characters, lacks one of the 22 parameters, has a value holding ";" or
    // cannot be written.
    bool SaveParams(const CParamSettings& settings);
    // Erases the saved text, then saves the default set and on success makes it current.
    bool RebuildParams();

    int GetLastErrorCode() const;
    std::string GetLastErrorText() const;

private:
    bool SaveLocked(const CParamSettings& settings) REQUIRES(m_Lock);
    bool RebuildLocked() REQUIRES(m_Lock);
    bool WriteLocked(const std::string& text) REQUIRES(m_Lock);
    // Moves a foreign-version file aside and logs where it went, or that it could not be moved (then false:
    // the caller must not overwrite it).
    bool KeepAsideLocked() REQUIRES(m_Lock);

    mutable CMutex m_Lock;
    const std::filesystem::path m_FileName;
    int m_LastErrorCode GUARDED_BY(m_Lock) = 0;
    std::string m_LastErrorText GUARDED_BY(m_Lock);
    CParamSettings m_Settings GUARDED_BY(m_Lock);
};

// The operator messages of CheckConfiguration.
inline constexpr char kConfigurationNotSetText[] = "Configuration not Set! - Use Setup | Merchant Parameters";
inline constexpr char kConfigurationProblemText[] =
    "Problem reading Configuration File - Use Setup | Merchant Parameters";

// Whether the interfaces may start with |store|'s current set: false, after telling the operator (nothing is
// shown in service mode), when the set still equals the defaults or its version is not "4".
// |problem| (when given) receives the message told, "" when the set may be used.
bool CheckConfiguration(const CParamStore& store = CParamStore::Instance(), std::string* problem = nullptr);
