#pragma once
// The launcher pipe's thread: it runs the library's pipe server (kxlib/kxNamedPipeServer.h) on the pipe name
// it was started with, handing every request to the callback with the owner as its user data, until Stop.
// Start returns once the thread's server listens, or with the reason it cannot.

#include <cstdint>
#include <memory>
#include <string>

#include "kxlib/kxNamedPipeServer.h"
#include "kxlib/kxString.h"
#include "platform/Event.h"
#include "platform/PollableEvent.h"
#include "platform/WorkerThread.h"

// Owns the thread and its stop event. Not thread-safe: the user-interface thread configures, starts and
// stops it; the callback runs on the pipe thread.
class PipeServerThread {
public:
    PipeServerThread() = default;
    // Stops a thread that still serves.
    virtual ~PipeServerThread();
    PipeServerThread(const PipeServerThread&) = delete;
    PipeServerThread& operator=(const PipeServerThread&) = delete;

    // Taken by the next thread that starts.
    void SetSecure(bool secure) { m_bSecure = secure; }
    void SetOwner(uintptr_t owner) { m_Owner = owner; }
    void SetCallback(kxPipeCallback callback) { m_Callback = callback; }
    // 0: the pipe server's default.
    void SetTimeout(uint32_t ms) { m_TimeoutMs = ms; }

    // Starts a thread serving |pipeName| (its own copy) and waits until its server listens. While a thread
    // started before still serves, it is kept and true returned, so one thread alone ever serves the pipe; one
    // that has ended is replaced. False when the stop event or the thread cannot be made, or the server cannot
    // listen (the folder is missing or not writable, the name is held, no descriptor is left); the thread has
    // then ended, and GetLastErrorCode and GetLastErrorText say why.
    bool Start(const kxString& pipeName);
    // Sets the stop event and waits for the thread: true only when its server ended in order (exit code 1).
    // False when no thread was ever started.
    bool Stop();
    // Whether a thread serves now.
    bool IsRunning() const;
    // The system's error code of the last Start that failed, and the reason for the operator.
    int GetLastErrorCode() const { return m_LastErrorCode; }
    const std::string& GetLastErrorText() const { return m_LastErrorText; }

    // The pipe thread's body: 1 when the server's Run ended in order, 0 when it could not serve (a failure
    // after it had listened is logged).
    int ThreadProc();

private:
    std::unique_ptr<CWorkerThread> m_pThread;
    std::unique_ptr<CPollableEvent> m_pStopEvent; // manual reset, made by Start
    bool m_bSecure = false;
    uint32_t m_TimeoutMs = 0;
    kxString m_PipeName;
    uintptr_t m_Owner = 0;
    kxPipeCallback m_Callback = nullptr;
    // Set by the thread once its server listens or cannot; m_bListening and the errors are written before.
    CEvent m_ListenTried{true};
    bool m_bListening = false;
    int m_LastErrorCode = 0;
    std::string m_LastErrorText;
};
