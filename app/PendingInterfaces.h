#pragma once
// Stand-ins for the pieces of the start-up that are not built yet: the launcher's pipe link and the dial backup.
// Each does nothing and says so honestly, so the start-up takes the path it takes when the real piece fails; the
// real pieces replace them one by one.

#include <string>

#include "app/InterfaceParts.h"

// No pipe link: Start fails with ENOSYS, which the start-up logs before it goes on without the launcher.
// Not thread-safe: the start-up thread uses it.
class CNoLauncherPipe final : public ILauncherPipePart {
public:
    bool Start(const std::string& pipeName) override;
    int GetLastErrorCode() const override { return m_LastErrorCode; }
    void Stop() override {}

private:
    int m_LastErrorCode = 0;
};

// No modem support: Start fails with a text that the start-up shows, so a merchant configured for dial never
// believes a backup line is there. Not thread-safe: the start-up thread uses it.
class CNoDialBackup final : public IDialBackupPart {
public:
    bool Start(int comPort) override;
    void Stop() override {}
    std::string GetLastErrorText() const override { return m_LastError; }
    bool IsRunning() const override { return false; }

private:
    std::string m_LastError;
};

// The operator's text when the dial backup is asked for.
inline constexpr char kDialBackupUnavailableText[] = "Dial Backup Support is not available in this version.";
