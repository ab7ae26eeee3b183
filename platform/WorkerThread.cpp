#include "platform/WorkerThread.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <system_error>

namespace {
std::atomic<int> g_FailStarts{0};

// A thread that could not be made: what the failed creation left in errno, else EAGAIN, pthread_create's own
// number for a shortage, which it is then taken for.
COsError ThreadStartError() {
    const int number = errno != 0 ? errno : EAGAIN;
    return number == EAGAIN ? COsError::WithClass(EOsErrorClass::NoResources, EAGAIN) : COsError::FromNumber(number);
}
} // namespace

CWorkerThread::CWorkerThread(std::string name, std::function<int()> body)
    : m_Name(std::move(name)), m_Body(std::move(body)) {}

CWorkerThread::~CWorkerThread() {
    Join();
}

bool CWorkerThread::Start() {
    m_StartError = COsError();
    if (m_Thread.joinable()) {
        return false;
    }
    errno = 0;
    int pending = g_FailStarts.load();
    while (pending > 0) {
        if (g_FailStarts.compare_exchange_weak(pending, pending - 1)) {
            m_StartError = ThreadStartError();
            return false;
        }
    }
    m_Exited.Reset();
    m_ExitCode.store(0);
    // Before the thread exists, so that the body, and any thread it tells, sees its own worker as running.
    m_Started.store(true);
    try {
        m_Thread = std::thread([this] {
            m_ExitCode.store(m_Body());
            m_Exited.Set();
        });
    } catch (const std::system_error&) {
        m_StartError = ThreadStartError();
        m_Started.store(false);
        m_Exited.Set();
        return false;
    }
    return true;
}

bool CWorkerThread::WaitForExit(uint32_t ms) {
    if (!m_Thread.joinable()) {
        return true;
    }
    return m_Exited.Wait(ms);
}

void CWorkerThread::Join() {
    if (!m_Thread.joinable()) {
        return;
    }
    if (m_Thread.get_id() == std::this_thread::get_id()) {
        // Detaching here would let the thread write its exit code into this object after its owner freed it.
        std::fprintf(stderr, "FATAL: worker thread \"%s\" joined or destroyed on its own thread\n", m_Name.c_str());
        std::fflush(stderr);
        std::abort();
    }
    m_Thread.join();
    m_Started.store(false);
}

void CWorkerThread::FailNextStartsForTesting(int count) {
    g_FailStarts.store(count);
}
