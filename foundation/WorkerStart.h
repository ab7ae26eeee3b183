#pragma once
// The start handshake of a worker whose thread reports its start-up: the owner starts the thread and waits, the
// window kept responsive, until the thread says it runs or failed, or a stop or quit comes first.

#include <functional>
#include <memory>
#include <string>

#include "platform/Event.h"
#include "platform/WorkerThread.h"

// How a StartWorkerAndWait ended.
enum class EWorkerStart {
    Started,    // the thread set |started|
    NotCreated, // the thread could not be created; |thread| is empty
    Stopped,    // the thread failed, or a stop or a quit message came first; |stopOnFailure| has run
};

// The events of the handshake, owned by the worker: |failed| and |started| are the thread's, |stop| the owner's.
struct SWorkerStartEvents {
    CEvent& failed;
    CEvent& started;
    CEvent& stop;
};

// Resets the three events, puts a new thread named |name| running |body| into |thread| (joining the one there) and
// starts it, then waits with WaitAndPumpMessages for the first of failed, started and stop. Anything but started
// runs |stopOnFailure|, the worker's stop, which must end the thread (a thread already in its loop ends only at
// |stop|). Logs nothing: the caller reports what it wants to. For the owning thread.
EWorkerStart StartWorkerAndWait(std::unique_ptr<CWorkerThread>& thread, std::string name, std::function<int()> body,
                                const SWorkerStartEvents& events, const std::function<void()>& stopOnFailure);

// The stop of a worker whose thread ends at |stop|: sets it, joins the thread in |thread| (when there is one) and
// empties |thread|. For the owning thread.
void StopWorkerThread(CEvent& stop, std::unique_ptr<CWorkerThread>& thread);
