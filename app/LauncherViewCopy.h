#pragma once
// What the launcher's pipe commands read of the main window, kept apart from the widgets so that the pipe
// thread never touches them: a copy of the caption and of the traffic lines, which the user-interface thread
// updates wherever it changes them, and the Setup-dialog snapshot, made on the user-interface thread when the
// pipe thread asks for it and waited for a bounded time (that thread may be busy in a stop, not pumping).
//
// Without a window (service mode, or a terminal), the same copy holds the caption the window would show and
// the traffic lines printed or dropped instead, and the snapshot cannot be made.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Event.h"
#include "platform/Mutex.h"

// Thread-safe: every member takes m_Lock. The setters are for the thread that owns the window (or stands in
// for it), the readers and MakeSettingsForm for the pipe thread.
class CLauncherViewCopy {
public:
    // How long the pipe thread waits for the user-interface thread to make a snapshot.
    static constexpr uint32_t kDefaultSnapshotWaitMs = 3000;

    // Queues work to the user-interface thread; must return at once, from any thread.
    using PostToWindow = std::function<void(std::function<void()> work)>;
    // Makes the snapshot on the user-interface thread: the "APP SETTINGS FORM" reply.
    using MakeSnapshot = std::function<std::string()>;

    CLauncherViewCopy();
    CLauncherViewCopy(const CLauncherViewCopy&) = delete;
    CLauncherViewCopy& operator=(const CLauncherViewCopy&) = delete;

    void SetCaption(const std::string& text);
    // A time-stamped line on top; trimmed as the traffic list is (past 50 lines back to the newest 25).
    void AddTrafficLine(const std::string& line);

    std::string Caption() const;
    // Newest first.
    std::vector<std::string> TrafficLines() const;

    // Connects the window that makes the snapshots. DisconnectWindow must run before the window goes; after it
    // no work is posted to it, and snapshot waits under way end.
    void ConnectWindow(PostToWindow post, MakeSnapshot snapshot);
    void DisconnectWindow();
    void SetSnapshotWaitMs(uint32_t ms);

    // Asks the window for the snapshot and waits for it: its reply, or "ERROR" + RS + "Failed to create dialog
    // window." when there is no window, the wait ran out, or the snapshots are cancelled. A snapshot the window
    // has begun is waited for to its end. Never call it on the window's own thread.
    std::string MakeSettingsForm();
    // The pipe is stopping: ends the snapshot waits under way and refuses new ones until AllowSnapshots.
    void CancelSnapshots();
    void AllowSnapshots();

private:
    struct SSnapshotCall;

    mutable CMutex m_Lock;
    std::string m_Caption GUARDED_BY(m_Lock);
    std::vector<std::string> m_Lines GUARDED_BY(m_Lock); // newest first
    PostToWindow m_Post GUARDED_BY(m_Lock);
    MakeSnapshot m_Snapshot GUARDED_BY(m_Lock);
    uint32_t m_SnapshotWaitMs GUARDED_BY(m_Lock) = kDefaultSnapshotWaitMs;
    bool m_SnapshotsCancelled GUARDED_BY(m_Lock) = false;
    CEvent m_EndWaits{true}; // manual reset: set while waits must end at once
};
