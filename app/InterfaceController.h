#pragma once
// Brings every interface of the server up in a fixed order and takes them down again: the launcher pipe, the
// one parameter download of the process, the configuration check, the reversal worker, the host interface,
// the dial backup, service discovery and the POS client server, then the title timer. The window's view (and,
// without a window, the program itself) owns one controller and calls it on its user-interface thread.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "app/InterfaceParts.h"
#include "app/StartFailure.h"
#include "foundation/AppMode.h"
#include "foundation/ParamStore.h"

class CLauncherViewCopy;

// Set just before the first start-up's parameter download; never cleared, so restarts do not download again.
extern std::atomic<bool> g_bParametersRetrievedOnce;

// The pieces the controller starts and stops. The owner keeps them alive as long as the controller.
struct CInterfaceParts {
    IReversalWorkerPart& reverseWorker;
    IHostInterfacePart& ruvuzUvirInterface;
    IDialBackupPart& dialBackup;
    IServiceDiscoveryPart& serviceDiscovery;
    ILauncherPipePart& pipeServerThread;
    IClientServerFactory& serverFactory;
    // Makes the client of one start-up download.
    IParameterDownloadPart& parameterDownload;
};

// Owns a set of interface pieces for as long as it lives; the window's view keeps one (the program's real
// pieces, or a test's stand-ins). Not thread-safe: for the user-interface thread.
class IInterfaceSet {
public:
    virtual ~IInterfaceSet() = default;
    virtual CInterfaceParts Parts() = 0;
    // The copy of the caption and the traffic lines that the launcher pipe answers from, which the view keeps
    // up to date; null when the set has no launcher pipe that reads one.
    virtual CLauncherViewCopy* LauncherView() { return nullptr; }
};

// Owns the POS client server object between a start-up that made it and the shut-down that deletes it; uses
// the other pieces it is given. Not thread-safe: every member is for the one user-interface thread (the timer
// callback included, RefreshTitle aside); the pieces' own threads never call it.
class CInterfaceController {
public:
    CInterfaceController(const CInterfaceParts& parts, IInterfaceView& view, const CAppModeFlags& mode,
                         CParamStore& store = CParamStore::Instance());
    ~CInterfaceController();
    CInterfaceController(const CInterfaceController&) = delete;
    CInterfaceController& operator=(const CInterfaceController&) = delete;

    // The start-up, in order; stops what it started when a later step fails. Returns 0.
    int StartInterfaces();
    // The shut-down of everything the start-up may have started but the launcher pipe.
    void StopInterfaces();
    // Downloads the merchant parameters once, on a worker thread, while this thread keeps pumping.
    void RetrieveParametersAtStartup();

    // The main window is closing: asks first when POS clients are connected (answer No: returns false and
    // everything keeps running), then stops the interfaces and, in launcher mode, the pipe link.
    bool OnStopInterfaces() { return OnStopInterfaces(true); }
    // The same; with |canAskOperator| false nobody can answer (a stop requested by a signal with no terminal),
    // so the question takes its default, Yes, as it does in service mode.
    bool OnStopInterfaces(bool canAskOperator);
    // After the Setup dialog changed the parameters: stop, then start again (without a new download).
    void RestartInterfaces();

    // Timer 52's caption: the queue and socket counts with the time, or nothing while no server exists (the
    // caption then keeps what it shows). Without a window the timer is a thread of its own: it may call this
    // between StartTitleTimer and KillTitleTimer, while the server object stays as it is.
    std::optional<std::string> RefreshTitle() const;

    // The shut-down's wait for POS sessions that start late: once the active count has reached 0, it waits this
    // long (kDefaultClientSettleMs) for a late one and for it to end. Shorter only in tests of the whole program.
    static constexpr uint64_t kDefaultClientSettleMs = 5000;
    void SetClientSettleMs(uint64_t ms) { m_ClientSettleMs = ms; }

    // Whether the start-up got as far as a listening POS server, and its port (-1 otherwise).
    bool ServerRunning() const { return m_pServer != nullptr; }
    int ServerPort() const;
    // Why the last StartInterfaces ended before the POS server listened, as told to the operator (with the
    // system's reason where there is one); "" when it got there. Service mode, where nobody answers a box,
    // ends the process with it.
    const std::string& StartFailure() const { return m_StartFailure; }
    // Whether that cause passes by itself or waits for an operator; EStartFailure::None when it got there.
    EStartFailure StartFailureKind() const { return m_pServer != nullptr ? EStartFailure::None : m_StartFailureKind; }

private:
    void StartPipeLink();
    // Steps 4 to 14 of the start-up; returns where the start-up ends.
    void StartSequence();
    void WaitForClientsToEnd();
    void Report(const std::string& text, bool log) const;
    // Yes/No question with Yes as the default (No where no box can be shown); true for Yes.
    bool AskRetry(const std::string& text) const;
    int ReadIntParam(unsigned index) const;
    // The kind of a configuration check that failed with m_StartFailure.
    EStartFailure ConfigurationFailureKind() const;

    CInterfaceParts m_Parts;
    IInterfaceView& m_View;
    const CAppModeFlags& m_Mode;
    CParamStore& m_Store;
    std::unique_ptr<IClientServerPart> m_pServer; // null while the interfaces are stopped
    std::string m_StartFailure;                   // see StartFailure
    uint64_t m_ClientSettleMs = kDefaultClientSettleMs;
    // See StartFailureKind.
    EStartFailure m_StartFailureKind = EStartFailure::Passing;
};

// The start-up's decimal reading of a parameter: leading digits as a number, 0 when there are none.
int ParamTextToInt(const std::string& text);
// The pipe name's letters: the decimal digits of |number| in reverse order, 1..9 as 'A'..'I', 0 as 'J'.
std::string EncodeIdLetters(unsigned number);
