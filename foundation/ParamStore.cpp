#include "foundation/ParamStore.h"

#include <system_error>
#include <utility>
#include <vector>

#include "foundation/AppMode.h"
#include "foundation/ErrorReporter.h"
#include "foundation/Logger.h"
#include "foundation/SharedConstants.h"
#include "foundation/TextHelpers.h"
#include "platform/Files.h"

namespace {

// The file holds the client/server password: only the server's own user may read it.
constexpr mode_t kParamFileMode = 0600;

// The longest piece of a refused value the log shows.
constexpr size_t kLoggedValueChars = 60;

bool FileIsAbsent(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::symlink_status(path, error).type() == std::filesystem::file_type::not_found;
}

// A refused value as the log may show it: control and other non-printable bytes as "?", long ones cut.
std::string LoggableValue(const std::string& value) {
    std::string shown;
    for (const char c : value.substr(0, kLoggedValueChars)) {
        const auto byte = static_cast<unsigned char>(c);
        shown += byte >= 0x20 && byte < 0x7F ? c : '?';
    }
    return value.size() > kLoggedValueChars ? shown + "..." : shown;
}

// Tells the log which saved value was refused and why; the password's value is never written.
void LogRefusal(const CParamRefusal& refusal, const std::string& defaultValue) {
    const bool secret = refusal.index == kParamPassword;
    const std::string value = refusal.missing || secret ? "" : " \"" + LoggableValue(refusal.value) + "\"";
    const std::string fallback = secret ? "" : " \"" + defaultValue + "\"";
    CLogger::Instance().LogLine("Param Settings: No.%u %s%s refused: %s; the default%s is used.", refusal.index,
                                refusal.name.c_str(), value.c_str(), refusal.reason.c_str(), fallback.c_str());
}

} // namespace

CParamStore& CParamStore::Instance() {
    static CParamStore store;
    return store;
}

CParamStore::CParamStore(std::filesystem::path fileName) : m_FileName(std::move(fileName)) {}

CParamSettings CParamStore::GetParams() const {
    CMutexLock hold(m_Lock);
    return m_Settings;
}

std::string CParamStore::GetValue(EParamIndex index) const {
    CMutexLock hold(m_Lock);
    return m_Settings.ParamMap().GetValue(index);
}

std::vector<std::string> CParamStore::GetValues(std::initializer_list<EParamIndex> indexes) const {
    std::vector<std::string> values;
    values.reserve(indexes.size());
    CMutexLock hold(m_Lock);
    for (const EParamIndex index : indexes) {
        values.push_back(m_Settings.ParamMap().GetValue(index));
    }
    return values;
}

bool CParamStore::SetParams(const CParamSettings& settings) {
    CMutexLock hold(m_Lock);
    if (!SaveLocked(settings)) {
        return false;
    }
    m_Settings = settings;
    return true;
}

bool CParamStore::ClearParams() {
    CParamSettings defaults;
    defaults.BuildDefaults();
    return SetParams(defaults);
}

bool CParamStore::LoadParams() {
    CMutexLock hold(m_Lock);
    std::string text;
    std::string error;
    if (!ReadWholeFile(m_FileName, &text, &error)) {
        if (!FileIsAbsent(m_FileName)) {
            // Never run on an empty set, and never overwrite a file we could not read: it may hold the
            // merchant's values and the cause may pass.
            m_Settings.BuildDefaults();
            m_LastErrorCode = kParamStoreErrorReadFailed;
            m_LastErrorText = "Unable to read Param Settings: " + error;
            return false;
        }
        text.clear();
    }
    std::vector<CParamRefusal> refusals;
    if (!m_Settings.FromString(text, &refusals)) {
        // An absent or empty file holds nothing to keep; a foreign one holds the operator's text.
        if (text.empty() || KeepAsideLocked()) {
            RebuildLocked();
        }
        return true;
    }
    // The file stays as it is: the refused values remain there for the operator to mend.
    CParamSettings defaults;
    defaults.BuildDefaults();
    for (const CParamRefusal& refusal : refusals) {
        LogRefusal(refusal, defaults.GetParamMap().GetValue(refusal.index));
    }
    return true;
}

bool CParamStore::SaveParams(const CParamSettings& settings) {
    CMutexLock hold(m_Lock);
    return SaveLocked(settings);
}

bool CParamStore::RebuildParams() {
    CMutexLock hold(m_Lock);
    return RebuildLocked();
}

int CParamStore::GetLastErrorCode() const {
    CMutexLock hold(m_Lock);
    return m_LastErrorCode;
}

std::string CParamStore::GetLastErrorText() const {
    CMutexLock hold(m_Lock);
    return m_LastErrorText;
}

bool CParamStore::SaveLocked(const CParamSettings& settings) {
    const std::string text = settings.ToString();
    if (text.size() > kParamStoreMaxTextLength) {
        m_LastErrorCode = kParamStoreErrorOverflow;
        m_LastErrorText = "Param Settings would overflow";
        return false;
    }
    // The saved text is positional: a missing parameter or a ";" inside a value would move every later
    // value onto the wrong parameter at the next load.
    const CParamMap map = settings.GetParamMap();
    for (unsigned index = kParamFirstIndex; index <= static_cast<unsigned>(kParamLastIndex); ++index) {
        const CParamEntry* entry = map.FindEntry(index);
        if (entry == nullptr || entry->GetValue().find(';') != std::string::npos) {
            m_LastErrorCode = kParamStoreErrorUnstorable;
            m_LastErrorText = "Param Settings cannot be stored: parameter " + std::to_string(index) +
                              (entry == nullptr ? " is missing" : " holds ';'");
            return false;
        }
    }
    return WriteLocked(text);
}

bool CParamStore::RebuildLocked() {
    WriteLocked("");
    CParamSettings defaults;
    defaults.BuildDefaults();
    if (!SaveLocked(defaults)) {
        return false;
    }
    m_Settings = defaults;
    return true;
}

bool CParamStore::KeepAsideLocked() {
    CLogger& log = CLogger::Instance();
    std::filesystem::path kept;
    COsError error;
    if (!MoveFileAside(m_FileName, ".bad", &kept, nullptr, &error)) {
        log.LogLine("Param Settings: %s is not of version 4 and cannot be kept aside (%s); it is left as it is "
                    "and the defaults are used.",
                    m_FileName.string().c_str(), GetErrorTextInline(static_cast<uint64_t>(error.Number())).c_str());
        return false;
    }
    log.LogLine("Param Settings: %s is not of version 4; it is kept as %s and the defaults are written.",
                m_FileName.string().c_str(), kept.string().c_str());
    return true;
}

bool CParamStore::WriteLocked(const std::string& text) {
    std::string error;
    if (!WriteFileAtomically(m_FileName, text, kParamFileMode, &error)) {
        m_LastErrorCode = kParamStoreErrorWriteFailed;
        m_LastErrorText = "Unable to save Param Settings: " + error;
        return false;
    }
    return true;
}

namespace {

void TellOperator(const std::string& message) {
    const bool noUserInterface = AppModeFlags().StartedAsService();
    // A service shows no box, and the interfaces then stay down: the log must say why.
    if (noUserInterface) {
        CLogger::Instance().LogLine("%s", message.c_str());
    }
    TimedMessageBox(message, noUserInterface, kIdOk, 0);
}

} // namespace

bool CheckConfiguration(const CParamStore& store, std::string* problem) {
    CParamSettings defaults;
    defaults.BuildDefaults();
    const CParamSettings current = store.GetParams();
    const char* message = nullptr;
    if (current.GetParamMap().Equals(defaults.GetParamMap()) && current.GetVersion() == defaults.GetVersion()) {
        message = kConfigurationNotSetText;
    } else if (current.GetVersion() != defaults.GetVersion()) {
        message = kConfigurationProblemText;
    }
    if (problem != nullptr) {
        *problem = message != nullptr ? message : "";
    }
    if (message == nullptr) {
        return true;
    }
    TellOperator(message);
    return false;
}
