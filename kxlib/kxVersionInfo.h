#pragma once
// The standard string entries of a module's version information: those of its version resource when the file
// is a Windows image (kxPeImage), none otherwise. A Linux program carries no version resource, so the running
// program has none either, and an empty path names no file.
//
// Read-only after construction: any thread may read an object.

#include <map>

#include "kxlib/kxString.h"

class kxVersionInfo {
public:
    explicit kxVersionInfo(const kxString& modulePath) : m_ModulePath(modulePath) {}

    // Empties |entries|, then adds every one of the keys "Comments", "CompanyName", "FileDescription",
    // "InternalName", "LegalCopyright", "LegalTrademarks", "OriginalFilename", "PrivateBuild", "ProductName",
    // "ProductVersion", "FileVersion" and "SpecialBuild" that the module has, with its value. Keys it lacks
    // are absent.
    void Read(std::map<kxString, kxString>& entries) const;

private:
    kxString m_ModulePath;
};
