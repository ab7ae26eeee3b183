#pragma once
// The view of a process without a window: what the window would show (progress of the start-up and
// shut-down, traffic lines of the host exchanges) is printed for an operator at the terminal, or dropped in
// service mode, where the log is the only record. For the launcher pipe it keeps what the window would show
// in the pipe's copy: the caption (OFFLINE, then the counts every 500 ms while the interfaces run) and the
// traffic lines.

#include <functional>
#include <optional>
#include <string>

#include "app/InterfaceParts.h"
#include "app/LauncherViewCopy.h"
#include "app/TrafficLines.h"
#include "host/ViewSink.h"
#include "platform/Event.h"
#include "platform/Mutex.h"
#include "platform/WorkerThread.h"

// Receives the start-up's calls (user-interface thread) and the workers' view messages (any thread).
// Thread-safe: printing takes m_Lock, which keeps one line from running into another on standard output. The
// title timer is a thread of its own, started and stopped by the start-up's thread.
class CHeadlessView final : public IInterfaceView, public IViewSink {
public:
    // The caption the window would show now (CInterfaceController::RefreshTitle), or nothing to keep it.
    using TitleSource = std::function<std::optional<std::string>()>;

    // |echo|: print progress and traffic lines on standard output. |launcherView|, when given, must outlive
    // the view.
    explicit CHeadlessView(bool echo, CLauncherViewCopy* launcherView = nullptr)
        : m_Echo(echo), m_pLauncherView(launcherView) {}
    ~CHeadlessView() override { KillTitleTimer(); }
    CHeadlessView(const CHeadlessView&) = delete;
    CHeadlessView& operator=(const CHeadlessView&) = delete;

    // Where the title timer reads the caption. Its owner calls KillTitleTimer before it goes (the shut-down
    // does).
    void SetTitleSource(TitleSource source) { m_TitleSource = std::move(source); }

    void PostOfflineTitle() override;
    void BeginProgress() override {}
    void SetProgress(const std::string& text) override;
    void EndProgress() override {}
    // Only with a launcher copy and a title source: nobody else reads the caption.
    void StartTitleTimer() override;
    void KillTitleTimer() override;

    void PostViewMessage(EViewMessage message) override;

private:
    void Print(const std::string& line) EXCLUDES(m_Lock);
    int TitleTimerProc();

    const bool m_Echo;
    CLauncherViewCopy* const m_pLauncherView;
    TitleSource m_TitleSource;
    CMutex m_Lock;
    CEvent m_TitleTimerStop{true}; // manual reset
    CWorkerThread m_TitleTimer{"TitleTimer", [this] { return TitleTimerProc(); }};
};
