#pragma once
// The standard string entries of a module's version information. The running program's entries come from a
// table the program puts in place at start-up (SetProgramTable); another file's come from its version resource
// when it is a Windows image (kxPeImage), and are none otherwise.
//
// Thread-safe: the program table is guarded by a lock; an object itself is read-only after construction.

#include <map>

#include "kxlib/kxString.h"

class kxVersionInfo {
public:
    // |modulePath| "" means the running program.
    explicit kxVersionInfo(const kxString& modulePath = kxString()) : m_ModulePath(modulePath) {}

    // Empties |entries|, then adds every one of the keys "Comments", "CompanyName", "FileDescription",
    // "InternalName", "LegalCopyright", "LegalTrademarks", "OriginalFilename", "PrivateBuild", "ProductName",
    // "ProductVersion", "FileVersion" and "SpecialBuild" that the module has, with its value. Keys it lacks
    // are absent.
    void Read(std::map<kxString, kxString>& entries) const;

    // The running program's entries (keys outside the list above are never read).
    static void SetProgramTable(const std::map<kxString, kxString>& table);

private:
    kxString m_ModulePath;
};
