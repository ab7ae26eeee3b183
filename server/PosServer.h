#pragma once
// The server on the POS port: listens, and serves each lane's connection through a CPosSession.

#include <memory>

#include "platform/Mutex.h"
#include "server/PosSession.h"
#include "server/TcpServer.h"

// The POS clients' port.
inline constexpr int kPosServerPort = 9100;
// How many POS clients the server serves at once unless the merchant has a single lane.
inline constexpr int kPosServerMaxConnections = 200;
// Connections the system may hold complete but not yet accepted. Room for every lane at once: when this queue
// is full the system drops a new connection's last handshake packet (or answers with a SYN cookie it then
// cannot honour), so the lane believes it is connected while the server never sees it, and waits for a
// greeting that never comes.
inline constexpr int kPosListenBacklog = kPosServerMaxConnections;

// The POS server: a CTcpServer whose sessions are CPosSession, serving at most 200 clients unless the view
// sets the maximum to 1 for a single lane.
// Start, SetTimings and the destructor are for the owner's thread; the sessions run on their own threads.
class CPosServer : public CTcpServer {
public:
    CPosServer();
    // Goes offline, stops accepting and waits until every session has ended.
    ~CPosServer() override;

    // Listens on |port| (0: a free port, see GetPort) and starts accepting. 0 done, else the failing step of
    // Listen or the result of StartAccept.
    int Start(int port = kPosServerPort, int backlog = kPosListenBacklog);

    // The waits of sessions created from now on.
    void SetTimings(const SPosSessionTimings& timings);
    SPosSessionTimings GetTimings() const;
    // The limits on outstanding requests of sessions created from now on.
    void SetRequestLimits(const SPosRequestLimits& limits);

protected:
    std::unique_ptr<CTcpSession> CreateSession() override;
    void DestroySession(std::unique_ptr<CTcpSession> session) override;

private:
    mutable CMutex m_TimingsLock;
    SPosSessionTimings m_Timings GUARDED_BY(m_TimingsLock);
    SPosRequestLimits m_Limits GUARDED_BY(m_TimingsLock);
};
