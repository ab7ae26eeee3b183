#pragma once
// The pieces that the interface start-up brings up and the shut-down takes down, each seen through the few
// calls the start-up makes on it. The real workers plug in through app/InterfaceAdapters.h; tests hand in
// their own.
//
// Every Stop must be harmless on a piece that is not running: the shut-down stops all of them, whatever the
// start-up reached. All calls come from the thread that runs the start-up and shut-down.

#include <memory>
#include <string>

// The reversal worker.
class IReversalWorkerPart {
public:
    virtual ~IReversalWorkerPart() = default;
    // True when the worker runs; it has told the operator itself when it could not start.
    virtual bool Start() = 0;
    virtual void Stop() = 0;
};

// The host interface and its processing thread.
class IHostInterfacePart {
public:
    virtual ~IHostInterfacePart() = default;
    virtual bool Start() = 0;
    // Sets the process's shutdown event and waits (bounded) for the outstanding host requests.
    virtual void Stop() = 0;
    // Why the last Start failed (may be empty).
    virtual std::string GetLastErrorText() const = 0;
};

// The dial backup on a COM port.
class IDialBackupPart {
public:
    virtual ~IDialBackupPart() = default;
    virtual bool Start(int comPort) = 0;
    virtual void Stop() = 0;
    virtual std::string GetLastErrorText() const = 0;
    // Whether it serves the dial path now; asked by the host workers, so it must be thread-safe.
    virtual bool IsRunning() const = 0;
};

// The service-discovery thread.
class IServiceDiscoveryPart {
public:
    virtual ~IServiceDiscoveryPart() = default;
    // True once the first discovery has succeeded and the thread runs.
    virtual bool Start() = 0;
    virtual void Stop() = 0;
};

// The POS client server. One object is made per start-up that reaches it and deleted by the shut-down.
class IClientServerPart {
public:
    virtual ~IClientServerPart() = default;
    virtual void SetMaxConnections(int count) = 0;
    // Listens and starts accepting: 0, or the error code of the step that failed.
    virtual int Start() = 0;
    // Stops accepting new clients: 1 when the accept thread did not end in time.
    virtual int Stop() = 0;
    virtual int GetActiveCount() const = 0;
    // New sessions are refused and running ones end.
    virtual void SetGoingOffline() = 0;
    // The port it listens on, -1 before Start.
    virtual int GetPort() const = 0;
    // The port Start is asked to listen on (0: the system chooses).
    virtual int GetRequestedPort() const = 0;
    // What the system said when the last Start failed, as "<step>: <reason>"; "" when it said nothing.
    virtual std::string GetLastErrorText() const = 0;
};

// Makes the POS client server; null when it cannot be made.
class IClientServerFactory {
public:
    virtual ~IClientServerFactory() = default;
    virtual std::unique_ptr<IClientServerPart> Create() = 0;
};

// The launcher's named-pipe link (launcher mode only).
class ILauncherPipePart {
public:
    virtual ~ILauncherPipePart() = default;
    // Starts serving the launcher's commands on |pipeName| (without any folder prefix).
    virtual bool Start(const std::string& pipeName) = 0;
    // The system error code of the last failed Start, and why it failed, for the operator.
    virtual int GetLastErrorCode() const = 0;
    virtual std::string GetLastErrorText() const = 0;
    virtual void Stop() = 0;
};

// One download of the merchant parameters from the management service. Run is called on a worker thread of
// its own while the start-up thread keeps pumping; a successful download has replaced the stored set by the
// time it returns, a failed one leaves it as it was.
class IParameterDownloadPart {
public:
    virtual ~IParameterDownloadPart() = default;
    virtual void Run() = 0;
    // The outcome of the last Run, read by the thread that waited for it.
    virtual bool Succeeded() const = 0;
    // What went wrong in the last Run that failed, as the operator is told it.
    virtual std::string GetLastErrorText() const = 0;
};

// The main window's caption from the start of the start-up until the interfaces run.
inline constexpr char kOfflineCaption[] = "Kestrove (RuvuzUvir)      OFFLINE       OFFLINE";
// Timer 52: the caption refresh.
inline constexpr int kTitleTimerMs = 500;

// What the start-up and shut-down show while they run, and the window's title timer. The window implements
// it; without a window the calls only go where an operator may see them, or nowhere.
class IInterfaceView {
public:
    virtual ~IInterfaceView() = default;
    // Sets the main window's caption to the OFFLINE caption (posted, so it happens after the handler).
    virtual void PostOfflineTitle() = 0;
    // Creates the progress box and shows the wait cursor.
    virtual void BeginProgress() = 0;
    // The step under way.
    virtual void SetProgress(const std::string& text) = 0;
    // Wait cursor off, progress box destroyed.
    virtual void EndProgress() = 0;
    // Timer 52: every 500 ms the window calls CInterfaceController::RefreshTitle and shows its text.
    virtual void StartTitleTimer() = 0;
    virtual void KillTitleTimer() = 0;
};
