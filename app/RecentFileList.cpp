#include "app/RecentFileList.h"

#include <utility>

#include <QSettings>
#include <QString>

CRecentFileList::CRecentFileList(std::string organisation, std::string application, size_t size)
    : m_Organisation(std::move(organisation)), m_Application(std::move(application)), m_Names(size) {}

bool CRecentFileList::ReadList() {
    for (std::string& name : m_Names) {
        name.clear();
    }
    // On Linux the native format is the INI file; no display and no application object are needed to read it.
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, QString::fromStdString(m_Organisation),
                       QString::fromStdString(m_Application));
    if (settings.status() != QSettings::NoError) {
        return false;
    }
    settings.beginGroup(kSectionName);
    for (size_t i = 0; i < m_Names.size(); ++i) {
        const QString entry = QString(kEntryPrefix) + QString::number(i + 1);
        m_Names[i] = settings.value(entry).toString().toStdString();
    }
    settings.endGroup();
    return true;
}
