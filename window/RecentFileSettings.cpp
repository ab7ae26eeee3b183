#include "window/RecentFileSettings.h"

#include <QSettings>
#include <QString>

#include "app/RecentFileList.h"

bool ReadRecentFileSettings(const std::string& organisation, const std::string& application,
                            std::vector<std::string>& names) {
    // On Linux the native format is the INI file; no display and no application object are needed to read it.
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, QString::fromStdString(organisation),
                       QString::fromStdString(application));
    if (settings.status() != QSettings::NoError) {
        return false;
    }
    settings.beginGroup(CRecentFileList::kSectionName);
    for (size_t i = 0; i < names.size(); ++i) {
        const QString entry = QString(CRecentFileList::kEntryPrefix) + QString::number(i + 1);
        names[i] = settings.value(entry).toString().toStdString();
    }
    settings.endGroup();
    return true;
}
