#pragma once
// The view of a process without a window: what the window would show (progress of the start-up and
// shut-down, traffic lines of the host exchanges) is printed for an operator at the terminal, or dropped in
// service mode, where the log is the only record.

#include <mutex>
#include <string>

#include "app/InterfaceParts.h"
#include "app/TrafficLines.h"
#include "host/ViewSink.h"

// Receives the start-up's calls (user-interface thread) and the workers' view messages (any thread).
// Thread-safe: printing takes m_Lock.
class CHeadlessView final : public IInterfaceView, public IViewSink {
public:
    // |echo|: print progress and traffic lines on standard output.
    explicit CHeadlessView(bool echo) : m_Echo(echo) {}

    void PostOfflineTitle() override {}
    void BeginProgress() override {}
    void SetProgress(const std::string& text) override;
    void EndProgress() override {}
    void StartTitleTimer() override {}
    void KillTitleTimer() override {}

    void PostViewMessage(EViewMessage message) override;

private:
    void Print(const std::string& line);

    const bool m_Echo;
    std::mutex m_Lock;
};
