#pragma once
// Stand-ins for the pieces of the start-up that are not built yet: the launcher's pipe link and the parameter
// download from the management service. Each does nothing and says so honestly, so the start-up takes the path
// it takes when the real piece fails; the real pieces replace them one by one.

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

// No download: the stored parameters stay as they are. Logs one line so the operator knows none was tried.
// Thread-safe (stateless).
class CNoParameterDownload final : public IParameterDownloadPart {
public:
    void Run() override;
};
