#include "kxlib/kxCurrentDirectory.h"

#include "kxlib/kxFileFunctions.h"

kxCurrentDirectory::kxCurrentDirectory() : m_Saved(GetCurrentFolder()) {}

kxCurrentDirectory::kxCurrentDirectory(const kxString& directory) : m_Saved(GetCurrentFolder()) {
    if (directory.Length() > 0) {
        Change(directory);
    }
}

kxCurrentDirectory::~kxCurrentDirectory() {
    if (m_MustRestore) {
        Restore();
    }
}

bool kxCurrentDirectory::Change(const kxString& directory) {
    if (directory.Length() == 0) {
        return true;
    }
    m_Changed = SetCurrentFolder(directory);
    m_MustRestore = m_MustRestore || m_Changed;
    return m_Changed;
}

bool kxCurrentDirectory::Restore() {
    return m_Saved.Length() == 0 || SetCurrentFolder(m_Saved);
}
