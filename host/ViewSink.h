#pragma once
// How worker threads report to the window: a view message is posted without parameters to the view's sink,
// the door that stands where the traffic view's window handle would be. Posting never waits for the window.

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/Mutex.h"

// The view messages, posted without parameters. The window layer gives each its effect.
enum EViewMessage : uint32_t {
    WM_START_INTERFACES = 0x8001,
    WM_REFRESH_TITLE = 0x8002,
    WM_STOP_INTERFACES = 0x8003,
    WM_SENDING_AUTH = 0x8004,
    WM_SENDING_AUTH_DIAL = 0x8005,
    WM_AUTH_RESPONSE = 0x8006,
    WM_AUTH_RESPONSE_DIAL = 0x8007,
    WM_SET_OFFLINE_TITLE = 0x8008,
    WM_SD_RESPONSE = 0x8009,
    WM_REGISTRATION_RESPONSE = 0x800A,
    WM_ACTIVATION_RESPONSE = 0x800B,
    WM_SENDING_SD_REQUEST = 0x800C,
    WM_SENDING_REGISTRATION = 0x800D,
    WM_SENDING_ACTIVATION = 0x800E,
    WM_TRAY_NOTIFY = 0x800F,
};

// The name of a view message ("WM_SENDING_AUTH"), or "WM_0x%04X" for a number outside the range.
std::string ViewMessageName(uint32_t message);

// Receives posted view messages. Implementations are called from any thread and must return at once.
class IViewSink {
public:
    virtual ~IViewSink() = default;
    virtual void PostViewMessage(EViewMessage message) = 0;
};

// A sink that keeps every posted message in order until its owner takes them: the window layer drains it on
// its own thread, tests read it. Thread-safe: every member takes m_Lock.
class CQueuedViewSink final : public IViewSink {
public:
    void PostViewMessage(EViewMessage message) override;
    // Moves every message posted so far out, in posting order.
    std::vector<EViewMessage> Take();
    // A copy of the messages posted so far, left in place.
    std::vector<EViewMessage> Peek() const;
    // How many times |message| is waiting.
    int Count(EViewMessage message) const;

private:
    mutable CMutex m_Lock;
    std::deque<EViewMessage> m_Messages GUARDED_BY(m_Lock);
};

// Posts |message| to the view's sink; nothing happens while no view is connected.
void PostViewMessage(EViewMessage message);
// Connects the view's sink (nullptr disconnects it). The caller keeps |sink| alive while it is connected and
// disconnects it before destroying it.
void SetTrafficView(IViewSink* sink);

// Connects a sink for one scope (tests, and the window's lifetime).
class CScopedTrafficView {
public:
    explicit CScopedTrafficView(IViewSink& sink) { SetTrafficView(&sink); }
    ~CScopedTrafficView() { SetTrafficView(nullptr); }
    CScopedTrafficView(const CScopedTrafficView&) = delete;
    CScopedTrafficView& operator=(const CScopedTrafficView&) = delete;
};
