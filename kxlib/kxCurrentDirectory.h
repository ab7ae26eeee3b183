#pragma once
// Remembers the process's current folder and puts it back: on Restore, and when the object goes out of scope
// after it changed the folder, whichever way the scope is left. The current folder belongs to the whole
// process, so while one of these is in use no other thread should rely on it. Not thread-safe.

#include "kxlib/kxString.h"

class kxCurrentDirectory {
public:
    // Saves the current folder.
    kxCurrentDirectory();
    // Saves the current folder, then makes |directory| current unless it is empty.
    explicit kxCurrentDirectory(const kxString& directory);
    // Restores the saved folder when a change succeeded.
    ~kxCurrentDirectory();
    kxCurrentDirectory(const kxCurrentDirectory&) = delete;
    kxCurrentDirectory& operator=(const kxCurrentDirectory&) = delete;

    // Makes |directory| current; true for an empty text (nothing happens). The result is also Changed().
    bool Change(const kxString& directory);
    // Makes the saved folder current again; true when none was saved.
    bool Restore();
    // The result of the last change; false before any.
    bool Changed() const { return m_Changed; }
    const kxString& Saved() const { return m_Saved; }

private:
    kxString m_Saved;
    bool m_Changed = false;
    bool m_MustRestore = false;
};
