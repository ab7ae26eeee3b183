#include "kxlib/kxVersionInfo.h"

#include <filesystem>
#include <system_error>

#include "kxlib/kxFileFunctions.h"
#include "kxlib/kxPeImage.h"
#include "platform/Mutex.h"

namespace {
constexpr const char* kKeys[] = {"Comments",       "CompanyName",     "FileDescription",  "InternalName",
                                 "LegalCopyright", "LegalTrademarks", "OriginalFilename", "PrivateBuild",
                                 "ProductName",    "ProductVersion",  "FileVersion",      "SpecialBuild"};

struct ProgramTable {
    CMutex Lock;
    std::map<kxString, kxString> Entries GUARDED_BY(Lock);
};

ProgramTable& TheProgramTable() {
    static ProgramTable table;
    return table;
}

bool IsTheProgram(const kxString& path) {
    if (path.Length() == 0) {
        return true;
    }
    std::error_code ec;
    return std::filesystem::equivalent(path.Str(), GetModulePath().Str(), ec) && !ec;
}

// The entries of |found| under the library's keys; a resource's keys match in any case, as Windows matches them.
void TakeKeys(const std::map<kxString, kxString>& found, std::map<kxString, kxString>& entries) {
    for (const char* key : kKeys) {
        for (const auto& [name, value] : found) {
            if (name.Compare(key, false) == 0) {
                entries.emplace(key, value);
                break;
            }
        }
    }
}
} // namespace

void kxVersionInfo::Read(std::map<kxString, kxString>& entries) const {
    entries.clear();
    std::map<kxString, kxString> found;
    if (IsTheProgram(m_ModulePath)) {
        ProgramTable& table = TheProgramTable();
        CMutexLock lock(table.Lock);
        found = table.Entries;
    } else {
        kxPeImage image;
        if (!image.Open(m_ModulePath) || !image.VersionStrings(found)) {
            return;
        }
    }
    TakeKeys(found, entries);
}

void kxVersionInfo::SetProgramTable(const std::map<kxString, kxString>& table) {
    ProgramTable& held = TheProgramTable();
    CMutexLock lock(held.Lock);
    held.Entries = table;
}
