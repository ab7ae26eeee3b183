#pragma once
// A worker thread in the "created suspended, then resumed" manner: the object is made first, the thread
// starts with Start, and the body may report its start-up through an event of its own.

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "platform/Event.h"
#include "platform/OsError.h"

// Owns one thread. Start, WaitForExit and Join are for the owning thread only; Started, IsRunning and
// ExitCode may be read from any thread. The destructor joins a thread that was started.
// The thread may never end its own worker: Join, or the destructor, called on the worker's own thread logs
// the fault to standard error and aborts the process. (It cannot wait for itself, and a thread left running
// would write its exit code into a freed object.) A body that must go away with its owner hands the owner to
// another thread to destroy.
class CWorkerThread {
public:
    CWorkerThread(std::string name, std::function<int()> body);
    ~CWorkerThread();
    CWorkerThread(const CWorkerThread&) = delete;
    CWorkerThread& operator=(const CWorkerThread&) = delete;

    // Starts the thread; false when the system could not create it (or a test asked for that), or when it was
    // started already and not joined since.
    bool Start();
    // Why the last Start could not create the thread (NoResources with EAGAIN when a test asked for the failure);
    // no failure after a Start that made it, or that refused a thread started already.
    COsError StartError() const { return m_StartError; }
    // From a successful Start until Join.
    bool Started() const { return m_Started.load(); }
    // Started, and the body has not returned yet.
    bool IsRunning() const { return Started() && !m_Exited.IsSet(); }
    // Waits at most |ms| for the body to return; true when it has (or the thread was never started).
    bool WaitForExit(uint32_t ms);
    // Waits for the thread to end; returns at once when it was not started or is joined already.
    void Join();
    // What the body returned; 0 until it has.
    int ExitCode() const { return m_ExitCode.load(); }
    const std::string& Name() const { return m_Name; }

    // Makes the next |count| Start calls of any worker fail, for tests of the "could not be started" paths.
    static void FailNextStartsForTesting(int count);

private:
    std::string m_Name;
    std::function<int()> m_Body;
    std::thread m_Thread;  // owning thread only
    COsError m_StartError; // owning thread only
    std::atomic<bool> m_Started{false};
    CEvent m_Exited{true};
    std::atomic<int> m_ExitCode{0};
};
