#pragma once
// A worker thread in the "created suspended, then resumed" manner: the object is made first, the thread
// starts with Start, and the body may report its start-up through an event of its own.

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "platform/Event.h"

// Owns one thread. Start, WaitForExit and Join are for the owning thread only; IsRunning and ExitCode may be
// read from any thread. The destructor joins a thread that was started.
class CWorkerThread {
public:
    CWorkerThread(std::string name, std::function<int()> body);
    ~CWorkerThread();
    CWorkerThread(const CWorkerThread&) = delete;
    CWorkerThread& operator=(const CWorkerThread&) = delete;

    // Starts the thread; false when the system could not create it (or a test asked for that).
    bool Start();
    bool Started() const { return m_Thread.joinable(); }
    bool IsRunning() const { return Started() && !m_Exited.IsSet(); }
    // Waits at most |ms| for the body to return; true when it has.
    bool WaitForExit(uint32_t ms);
    void Join();
    int ExitCode() const { return m_ExitCode.load(); }
    const std::string& Name() const { return m_Name; }

    // Makes the next |count| Start calls of any worker fail, for tests of the "could not be started" paths.
    static void FailNextStartsForTesting(int count);

private:
    std::string m_Name;
    std::function<int()> m_Body;
    std::thread m_Thread;
    CEvent m_Exited{true};
    std::atomic<int> m_ExitCode{0};
};
