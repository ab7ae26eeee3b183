#include "platform/WorkerThread.h"

#include <system_error>

namespace {
std::atomic<int> g_FailStarts{0};
}

CWorkerThread::CWorkerThread(std::string name, std::function<int()> body)
    : m_Name(std::move(name)), m_Body(std::move(body)) {}

CWorkerThread::~CWorkerThread() {
    Join();
}

bool CWorkerThread::Start() {
    if (m_Thread.joinable()) {
        return false;
    }
    int pending = g_FailStarts.load();
    while (pending > 0) {
        if (g_FailStarts.compare_exchange_weak(pending, pending - 1)) {
            return false;
        }
    }
    m_Exited.Reset();
    try {
        m_Thread = std::thread([this] {
            m_ExitCode.store(m_Body());
            m_Exited.Set();
        });
    } catch (const std::system_error&) {
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
        m_Thread.detach(); // the body is ending its own owner; it cannot wait for itself
        return;
    }
    m_Thread.join();
}

void CWorkerThread::FailNextStartsForTesting(int count) {
    g_FailStarts.store(count);
}
