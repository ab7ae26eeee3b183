#include "foundation/WorkerStart.h"

#include "foundation/ErrorReporter.h"

EWorkerStart StartWorkerAndWait(std::unique_ptr<CWorkerThread>& thread, std::string name, std::function<int()> body,
                                const SWorkerStartEvents& events, const std::function<void()>& stopOnFailure) {
    events.started.Reset();
    events.failed.Reset();
    events.stop.Reset();
    thread = std::make_unique<CWorkerThread>(std::move(name), std::move(body));
    if (!thread->Start()) {
        thread.reset();
        return EWorkerStart::NotCreated;
    }
    const int signalled = WaitAndPumpMessages({&events.failed, &events.started, &events.stop});
    if (signalled == 1) {
        return EWorkerStart::Started;
    }
    stopOnFailure();
    return EWorkerStart::Stopped;
}

void StopWorkerThread(CEvent& stop, std::unique_ptr<CWorkerThread>& thread) {
    stop.Set();
    if (thread != nullptr) {
        thread->Join();
        thread.reset();
    }
}
