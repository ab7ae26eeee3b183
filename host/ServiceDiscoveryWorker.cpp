#include "host/ServiceDiscoveryWorker.h"

#include "foundation/AppMode.h"
#include "foundation/ErrorReporter.h"
#include "foundation/WorkerStart.h"
#include "host/DatawireTransport.h"
#include "platform/Clock.h"
#include "platform/ProcessEvents.h"

CServiceDiscoveryWorker::CServiceDiscoveryWorker() = default;

CServiceDiscoveryWorker::~CServiceDiscoveryWorker() {
    Stop();
}

bool CServiceDiscoveryWorker::Start() {
    if (IsRunning()) {
        return true;
    }
    m_pThread.reset();
    // A failed discovery has ended the thread already; after a quit it may still be discovering, or past
    // a discovery that succeeded and in its loop, which only the stop event ends: waiting for it alone
    // could last for ever.
    const EWorkerStart started = StartWorkerAndWait(
        m_pThread, "ServiceDiscovery", [this] { return Run(); }, {m_FailedEvent, m_StartedEvent, m_StopEvent},
        [this] { Stop(); });
    if (started == EWorkerStart::NotCreated) {
        ReportError(kServiceDiscoveryStartFailedText, true, AppModeFlags().StartedAsService(), 0);
    }
    return started == EWorkerStart::Started;
}

bool CServiceDiscoveryWorker::Stop() {
    // The thread ends at its next wait; a discovery under way gives up its reads once the host interface has set
    // g_ShutdownEvent, which the shut-down order does first.
    StopWorkerThread(m_StopEvent, m_pThread);
    m_StartedEvent.Reset();
    return true;
}

bool CServiceDiscoveryWorker::RunDiscovery() {
    m_DiscoveryCount.fetch_add(1);
    if (m_Discovery) {
        return m_Discovery();
    }
    CDatawireTransport transport;
    return transport.ServiceDiscovery();
}

int CServiceDiscoveryWorker::Run() {
    if (!RunDiscovery()) {
        m_FailedEvent.Set();
        return 0;
    }
    // The first period counts from the end of the start-up discovery, every later one from the moment its
    // discovery began. Noted before Start hears of the success, so the period holds from Start's return.
    uint64_t lastDiscovery = GetClock().TickMs();
    m_StartedEvent.Set();
    for (;;) {
        const int signalled = WaitForAnyEvent({&m_StopEvent, &g_ServiceDiscoveryRequest}, kServiceDiscoveryWaitMs);
        if (signalled == 0) {
            return 0;
        }
        if (signalled == 1 || GetClock().TickMs() - lastDiscovery > m_PeriodMs) {
            // A failed discovery leaves the list as it was; the next request or period tries again.
            lastDiscovery = GetClock().TickMs();
            RunDiscovery();
        }
    }
}
