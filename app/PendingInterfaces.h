#pragma once
// Stand-in for the one piece of the start-up that is not built yet: the launcher's pipe link. It does nothing
// and says so honestly, so the start-up takes the path it takes when the real piece fails.

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
