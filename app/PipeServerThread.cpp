#include "app/PipeServerThread.h"

#include "foundation/Logger.h"
#include "platform/OsError.h"

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
    m_LastErrorCode = 0;
    m_LastErrorText.clear();
    m_pStopEvent = std::make_unique<CPollableEvent>(false);
    if (!m_pStopEvent->Valid()) {
        m_LastErrorCode = m_pStopEvent->Error().Number();
        m_LastErrorText = kxNamedPipeServer::kNoStopEventText;
        m_pStopEvent.reset();
        return false;
    }
    m_ListenTried.Reset();
    m_bListening = false;
    m_pThread = std::make_unique<CWorkerThread>("PipeServer", [this] { return ThreadProc(); });
    if (!m_pThread->Start()) {
        m_LastErrorCode = m_pThread->StartError().Number();
        m_LastErrorText = "The pipe server's thread could not be started (" +
                          OsErrorText(static_cast<uint64_t>(m_LastErrorCode)) + ").";
        m_pThread.reset();
        m_pStopEvent.reset();
        return false;
    }
    // Setting the socket up takes no time worth a wait: a pipe that cannot serve is reported here, with its
    // reason, rather than found missing by the launcher later.
    m_ListenTried.Wait(kInfinite);
    if (!m_bListening) {
        m_pThread->Join();
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
    const bool listening = server.Listen();
    if (!listening) {
        m_LastErrorCode = server.GetLastErrorCode();
        m_LastErrorText = server.GetLastErrorText().Str();
    }
    m_bListening = listening;
    m_ListenTried.Set();
    if (!listening) {
        return 0;
    }
    if (server.Run()) {
        return 1;
    }
    CLogger::Instance().LogLine("Pipe Server stopped: %s", server.GetLastErrorText().c_str());
    return 0;
}
