#pragma once
// The application's two start-up mode flags, which the foundation, the transaction code and the host
// interface read (no dialogs in service mode; the launcher link only in launcher mode).

#include <atomic>

// Set by the application object at start-up, read by every subsystem. Thread-safe (atomic flags).
class CAppModeFlags {
public:
    bool StartedAsService() const { return m_bStartedAsService.load(); }
    void SetStartedAsService(bool on) { m_bStartedAsService.store(on); }
    bool StartedByLauncher() const { return m_bStartedByLauncher.load(); }
    void SetStartedByLauncher(bool on) { m_bStartedByLauncher.store(on); }

private:
    std::atomic<bool> m_bStartedAsService{false};  // the command line holds "/started_as_service"
    std::atomic<bool> m_bStartedByLauncher{false}; // the launcher started the process with a device id
};

// The process's flags.
CAppModeFlags& AppModeFlags();
