#include "app/InterfaceAdapters.h"

CRuvuzUvirInterfacePart::CRuvuzUvirInterfacePart(const IDialBackupPart& dialBackup) {
    m_Interface.SetDialBackupProbe([&dialBackup] { return dialBackup.IsRunning(); });
}
