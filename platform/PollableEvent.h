#pragma once
// A manual-reset event that a poll loop can wait on beside its sockets: its descriptor is readable while the
// event is set. Serves the threads that wait with poll (the pipe server); the rest of the system waits on
// CEvent.

#include "platform/Socket.h"

// Owns one eventfd. Thread-safe: any thread may Set, Reset or test it while another polls Fd().
class CPollableEvent {
public:
    explicit CPollableEvent(bool initialState = false);
    CPollableEvent(const CPollableEvent&) = delete;
    CPollableEvent& operator=(const CPollableEvent&) = delete;

    // False when the kernel could not make the descriptor; such an event is never set.
    bool Valid() const { return m_Fd.Valid(); }
    int Fd() const { return m_Fd.Get(); }
    void Set();
    void Reset();
    bool IsSet() const;

private:
    CSocketFd m_Fd;
};
