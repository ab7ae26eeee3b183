#include "app/PipeServerThread.h"

PipeServerThread::~PipeServerThread() {
    if (m_pStopEvent != nullptr && !m_pStopEvent->IsSet()) {
        Stop();
    }
}

bool PipeServerThread::IsRunning() const {
    return m_pThread != nullptr && m_pThread->IsRunning() && m_pStopEvent != nullptr && !m_pStopEvent->IsSet();
}

bool PipeServerThread::Start(const kxString& pipeName) {
    if (IsRunning()) {
        return true; // every restart of the interfaces asks again; the pipe is the process's, and keeps serving
    }
    if (m_pThread != nullptr) {
        m_pThread->Join(); // ended already: its server could not serve, or it was stopped
        m_pThread.reset();
    }
    m_PipeName = pipeName;
    m_pStopEvent = std::make_unique<CPollableEvent>(false);
    if (!m_pStopEvent->Valid()) {
        m_LastErrorCode = m_pStopEvent->Error().Number();
        m_pStopEvent.reset();
        return false;
    }
    m_pThread = std::make_unique<CWorkerThread>("PipeServer", [this] { return ThreadProc(); });
    if (!m_pThread->Start()) {
        m_LastErrorCode = m_pThread->StartError().Number();
        m_pThread.reset();
        m_pStopEvent.reset();
        return false;
    }
    return true;
}

bool PipeServerThread::Stop() {
    if (m_pStopEvent == nullptr) {
        return false;
    }
    m_pStopEvent->Set();
    if (m_pThread == nullptr) {
        return false;
    }
    m_pThread->Join();
    return m_pThread->ExitCode() == 1;
}

int PipeServerThread::ThreadProc() {
    kxNamedPipeServer server(*m_pStopEvent, m_PipeName, m_bSecure);
    if (m_TimeoutMs != 0) {
        server.SetTimeout(m_TimeoutMs);
    }
    server.SetUserData(m_Owner);
    server.SetCallback(m_Callback);
    return server.Run() ? 1 : 0;
}
