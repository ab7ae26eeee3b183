#pragma once
// A manual-reset event that a poll loop can wait on beside its sockets: its descriptor is readable while the
// event is set. It is a CEvent with a watch of its own (platform/Event.h), so the same event also serves the
// threads that wait with WaitForAnyEvent.

#include <atomic>
#include <mutex>

#include "platform/Event.h"

// Owns its event and the watch on it. Thread-safe: any thread may Set, Reset or test it while another polls
// Fd() (the watch's descriptor is read only by Reset).
class CPollableEvent {
public:
    explicit CPollableEvent(bool initialState = false);
    CPollableEvent(const CPollableEvent&) = delete;
    CPollableEvent& operator=(const CPollableEvent&) = delete;

    // False when the kernel could not make the descriptor; such an event is still set and waited for as a
    // CEvent, but a poll never sees it.
    bool Valid() const { return m_Watch.Valid(); }
    // Why the descriptor could not be made; no failure while Valid.
    COsError Error() const { return m_Watch.Error(); }
    int Fd() const { return m_Watch.Fd(); }
    void Set();
    void Reset();
    bool IsSet() const;
    // The event itself, for WaitForAnyEvent and other watches.
    CEvent& Event() { return m_Event; }

private:
    CEvent m_Event;
    CEventWatch m_Watch;
    std::mutex m_ResetLock; // one Reset at a time drains the descriptor
};

// A flag that poll loops can wait on: it reads as a bool, and its descriptor is readable while it is true, so
// threads that sleep on their sockets until a deadline wake the moment it is raised. Thread-safe.
class CPollableFlag {
public:
    CPollableFlag() = default;
    CPollableFlag(const CPollableFlag&) = delete;
    CPollableFlag& operator=(const CPollableFlag&) = delete;

    CPollableFlag& operator=(bool value) {
        store(value);
        return *this;
    }
    void store(bool value);
    bool load() const { return m_Value.load(); }
    operator bool() const { return load(); }
    // Readable while the flag is true; -1 when no descriptor could be made (then only load() tells).
    int Fd() const { return m_Event.Valid() ? m_Event.Fd() : -1; }

private:
    std::mutex m_Lock; // one store at a time, so the event always ends as the value
    std::atomic<bool> m_Value{false};
    CPollableEvent m_Event;
};
