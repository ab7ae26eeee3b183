#include "app/RecentFileList.h"

#include <utility>

CRecentFileList::CRecentFileList(std::string organisation, std::string application, size_t size,
                                 RecentFileReader reader)
    : m_Organisation(std::move(organisation)), m_Application(std::move(application)), m_Names(size),
      m_Reader(std::move(reader)) {}

bool CRecentFileList::ReadList() {
    for (std::string& name : m_Names) {
        name.clear();
    }
    return !m_Reader || m_Reader(m_Organisation, m_Application, m_Names);
}
