#include "app/LauncherViewCopy.h"

#include "app/PipeCommandHandler.h"
#include "app/TrafficLines.h"

// One snapshot asked of the window. Shared by the asking thread and the work queued to the window, which
// may run after the asker has given up.
struct CLauncherViewCopy::SSnapshotCall {
    CMutex lock;
    bool started GUARDED_BY(lock) = false;   // the window has begun it
    bool abandoned GUARDED_BY(lock) = false; // the asker has given up before it began
    std::string reply GUARDED_BY(lock);
    CEvent done{true};
};

CLauncherViewCopy::CLauncherViewCopy() = default;

void CLauncherViewCopy::SetCaption(const std::string& text) {
    CMutexLock guard(m_Lock);
    m_Caption = text;
}

void CLauncherViewCopy::AddTrafficLine(const std::string& line) {
    CMutexLock guard(m_Lock);
    m_Lines.insert(m_Lines.begin(), line);
    if (m_Lines.size() > static_cast<size_t>(kTrafficMostLines)) {
        m_Lines.resize(kTrafficKeptLines);
    }
}

std::string CLauncherViewCopy::Caption() const {
    CMutexLock guard(m_Lock);
    return m_Caption;
}

std::vector<std::string> CLauncherViewCopy::TrafficLines() const {
    CMutexLock guard(m_Lock);
    return m_Lines;
}

void CLauncherViewCopy::ConnectWindow(PostToWindow post, MakeSnapshot snapshot) {
    CMutexLock guard(m_Lock);
    m_Post = std::move(post);
    m_Snapshot = std::move(snapshot);
    if (!m_SnapshotsCancelled) {
        m_EndWaits.Reset();
    }
}

void CLauncherViewCopy::DisconnectWindow() {
    CMutexLock guard(m_Lock);
    m_Post = nullptr;
    m_Snapshot = nullptr;
    m_EndWaits.Set();
}

void CLauncherViewCopy::SetSnapshotWaitMs(uint32_t ms) {
    CMutexLock guard(m_Lock);
    m_SnapshotWaitMs = ms;
}

void CLauncherViewCopy::CancelSnapshots() {
    CMutexLock guard(m_Lock);
    m_SnapshotsCancelled = true;
    m_EndWaits.Set();
}

void CLauncherViewCopy::AllowSnapshots() {
    CMutexLock guard(m_Lock);
    m_SnapshotsCancelled = false;
    if (m_Post) {
        m_EndWaits.Reset();
    }
}

std::string CLauncherViewCopy::MakeSettingsForm() {
    const std::string noDialog = SnapshotErrorReply(kSnapshotNoDialog);
    auto call = std::make_shared<SSnapshotCall>();
    uint32_t waitMs = 0;
    {
        // Posted under the lock, so DisconnectWindow cannot let the window go between the test and the post.
        CMutexLock guard(m_Lock);
        if (!m_Post || !m_Snapshot || m_SnapshotsCancelled) {
            return noDialog;
        }
        waitMs = m_SnapshotWaitMs;
        m_Post([call, snapshot = m_Snapshot, noDialog] {
            {
                CMutexLock callGuard(call->lock);
                if (call->abandoned) {
                    return; // nobody waits for it any more: no file is made for nobody
                }
                call->started = true;
            }
            std::string reply;
            try {
                reply = snapshot();
            } catch (...) {
                reply = noDialog; // nothing thrown may reach the window's event loop, and the asker is answered
            }
            {
                CMutexLock callGuard(call->lock);
                call->reply = std::move(reply);
            }
            call->done.Set();
        });
    }
    WaitForAnyEvent({&call->done, &m_EndWaits}, waitMs);
    {
        CMutexLock callGuard(call->lock);
        if (!call->started) {
            call->abandoned = true;
            return noDialog;
        }
    }
    // The window is making it now, which takes one rendering: its file is not left behind for nobody.
    call->done.Wait(kInfinite);
    CMutexLock callGuard(call->lock);
    return call->reply;
}
