#include "kxlib/kxVersionInfo.h"

#include "kxlib/kxPeImage.h"

namespace {
constexpr const char* kKeys[] = {"Comments",       "CompanyName",     "FileDescription",  "InternalName",
                                 "LegalCopyright", "LegalTrademarks", "OriginalFilename", "PrivateBuild",
                                 "ProductName",    "ProductVersion",  "FileVersion",      "SpecialBuild"};

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
    kxPeImage image;
    if (!image.Open(m_ModulePath) || !image.VersionStrings(found)) {
        return;
    }
    TakeKeys(found, entries);
}
