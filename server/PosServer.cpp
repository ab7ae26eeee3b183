#include "server/PosServer.h"

CPosServer::CPosServer() {
    SetMaxConnections(kPosServerMaxConnections);
}

CPosServer::~CPosServer() {
    // Sessions see the flag within a second and end; they must be gone before this class is.
    StopAndWaitForSessions();
}

int CPosServer::Start(int port, int backlog) {
    const int listened = Listen(port, backlog);
    if (listened != 0) {
        return listened;
    }
    return StartAccept();
}

void CPosServer::SetTimings(const SPosSessionTimings& timings) {
    CMutexLock lock(m_TimingsLock);
    m_Timings = timings;
}

SPosSessionTimings CPosServer::GetTimings() const {
    CMutexLock lock(m_TimingsLock);
    return m_Timings;
}

void CPosServer::SetRequestLimits(const SPosRequestLimits& limits) {
    CMutexLock lock(m_TimingsLock);
    m_Limits = limits;
}

std::unique_ptr<CTcpSession> CPosServer::CreateSession() {
    CMutexLock lock(m_TimingsLock);
    return std::make_unique<CPosSession>(m_Timings, m_Limits);
}

void CPosServer::DestroySession(std::unique_ptr<CTcpSession> session) {
    session.reset();
}
