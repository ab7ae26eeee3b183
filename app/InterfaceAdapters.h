#pragma once
// The real interfaces of the server behind the start-up's small views of them: the reversal worker, the
// host interface, the dial backup, the service-discovery thread, the POS client server and the launcher pipe.

#include <memory>
#include <string>

#include "app/InterfaceParts.h"
#include "app/LauncherViewCopy.h"
#include "app/PipeServerThread.h"
#include "host/DialBackupServer.h"
#include "host/RuvuzUvirInterface.h"
#include "host/ServiceDiscoveryWorker.h"
#include "server/PosServer.h"
#include "transaction/ReverseWorker.h"

// Owns the reversal worker, which sends nothing while the host interface has no route; whether |dialBackup| runs
// is part of that. For the start-up thread; |dialBackup| must outlive the worker's thread.
class CReverseWorkerPart final : public IReversalWorkerPart {
public:
    explicit CReverseWorkerPart(const IDialBackupPart& dialBackup) {
        m_Worker.SetRouteProbe(
            [&dialBackup] { return HostRouteKnown([&dialBackup] { return dialBackup.IsRunning(); }); });
    }
    bool Start() override { return m_Worker.Start(); }
    void Stop() override { m_Worker.Stop(); }

private:
    CReverseWorker m_Worker;
};

// Owns the dial backup on the merchant's COM port. For the start-up thread; IsRunning may be asked from the
// host workers.
class CDialBackupPart final : public IDialBackupPart {
public:
    bool Start(int comPort) override { return m_Server.Start(comPort); }
    void Stop() override { m_Server.Stop(); }
    std::string GetLastErrorText() const override { return m_Server.GetLastErrorText(); }
    bool IsRunning() const override { return m_Server.IsRunning(); }

private:
    CDialBackupServer m_Server;
};

// Owns the host interface, which runs at most |hostWorkers| host exchanges at once; its workers ask
// |dialBackup| whether the dial path is served. For the start-up thread (IsRunning of |dialBackup| is called
// from the host workers).
class CRuvuzUvirInterfacePart final : public IHostInterfacePart {
public:
    explicit CRuvuzUvirInterfacePart(const IDialBackupPart& dialBackup, int hostWorkers = kDefaultHostWorkers);
    bool Start() override { return m_Interface.Start(); }
    // Stops the host interface, then gives back the STANs reserved but not used: its workers, which draw
    // them, have ended, so the next start goes on from the last one sent.
    void Stop() override;
    std::string GetLastErrorText() const override { return m_Interface.GetLastErrorText(); }

private:
    CRuvuzUvirInterface m_Interface;
};

// Owns the service-discovery thread. For the start-up thread.
class CServiceDiscoveryPart final : public IServiceDiscoveryPart {
public:
    bool Start() override { return m_Worker.Start(); }
    void Stop() override { m_Worker.Stop(); }

private:
    CServiceDiscoveryWorker m_Worker;
};

// Owns one POS server listening on a fixed port. For the start-up thread; the counts may be read anywhere.
class CPosServerPart final : public IClientServerPart {
public:
    explicit CPosServerPart(int port) : m_Port(port) {}
    void SetMaxConnections(int count) override { m_Server.SetMaxConnections(count); }
    int Start() override {
        m_LastStartResult = m_Server.Start(m_Port);
        return m_LastStartResult;
    }
    int Stop() override { return m_Server.Stop(); }
    int GetActiveCount() const override { return m_Server.GetActiveCount(); }
    void SetGoingOffline() override { m_Server.m_bGoingOffline.store(true); }
    int GetPort() const override { return m_Server.GetPort(); }
    int GetRequestedPort() const override { return m_Port; }
    std::string GetLastErrorText() const override;

private:
    const int m_Port;
    int m_LastStartResult = 0;
    CPosServer m_Server;
};

// Makes POS servers on |port| (9100 in production; 0 lets the system choose).
class CPosServerFactory final : public IClientServerFactory {
public:
    explicit CPosServerFactory(int port) : m_Port(port) {}
    std::unique_ptr<IClientServerPart> Create() override { return std::make_unique<CPosServerPart>(m_Port); }

private:
    const int m_Port;
};

// Owns the launcher pipe's thread, which answers the launcher's commands from |view| (PipeCommandHandler);
// everyone may connect to it. For the start-up thread; |view| must outlive it.
class CLauncherPipePart final : public ILauncherPipePart {
public:
    explicit CLauncherPipePart(CLauncherViewCopy& view);
    ~CLauncherPipePart() override { Stop(); }
    CLauncherPipePart(const CLauncherPipePart&) = delete;
    CLauncherPipePart& operator=(const CLauncherPipePart&) = delete;
    bool Start(const std::string& pipeName) override;
    int GetLastErrorCode() const override { return m_Thread.GetLastErrorCode(); }
    std::string GetLastErrorText() const override { return m_Thread.GetLastErrorText(); }
    // A snapshot the pipe thread waits for is given up first: the window's thread, which would make it, is
    // the one stopping the pipe.
    void Stop() override;
    bool IsRunning() const { return m_Thread.IsRunning(); }

private:
    CLauncherViewCopy& m_View;
    PipeServerThread m_Thread;
};
