#pragma once
// The service-discovery thread: a discovery at start, then one every 6 hours, and one at once whenever the
// host interface finds the provider list exhausted (g_ServiceDiscoveryRequest).

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/Event.h"
#include "platform/WorkerThread.h"

// The operator message when the thread does not start.
inline const std::string kServiceDiscoveryStartFailedText =
    "The Service Discovery thread could NOT be started.\r\nThis error is FATAL!";
// How often the providers are discovered again without being asked.
constexpr uint64_t kServiceDiscoveryPeriodMs = 21600000;
// How long one wait of the thread lasts before it looks at the clock again.
constexpr uint32_t kServiceDiscoveryWaitMs = 1000;

// Owns the discovery thread and its three events. Start, Stop and the destructor are for the owning thread
// (the view); the thread itself runs the discoveries, each on a fresh transport.
class CServiceDiscoveryWorker {
public:
    // One discovery; true when the provider list was refilled. The default runs CDatawireTransport.
    using Discovery = std::function<bool()>;

    CServiceDiscoveryWorker();
    virtual ~CServiceDiscoveryWorker();
    CServiceDiscoveryWorker(const CServiceDiscoveryWorker&) = delete;
    CServiceDiscoveryWorker& operator=(const CServiceDiscoveryWorker&) = delete;

    // Starts the thread and waits (keeping the window responsive) until its first discovery is done: true
    // when it refilled the provider list. A first discovery that fails ends the thread and returns false,
    // and no periodic discovery runs until the next Start. A thread that cannot be started is reported to
    // the operator as fatal (false).
    bool Start();
    // Ends the thread and waits for it. Always true; safe when the thread never started.
    bool Stop();
    // The thread body.
    int Run();

    bool IsRunning() const { return m_pThread != nullptr && m_pThread->IsRunning(); }
    // Discoveries run since construction (the first one included).
    int DiscoveryCount() const { return m_DiscoveryCount.load(); }

    // The period between unrequested discoveries (6 hours unless a test sets it); set before Start.
    void SetPeriodMs(uint64_t ms) { m_PeriodMs = ms; }
    // Replaces the discovery operation (tests); set before Start.
    void SetDiscoveryForTesting(Discovery discovery) { m_Discovery = std::move(discovery); }

private:
    bool RunDiscovery();

    CEvent m_StartedEvent{true, false}; // set by the thread once its first discovery succeeded
    CEvent m_FailedEvent{false, false}; // set by the thread when its first discovery failed
    CEvent m_StopEvent{false, false};   // set by Stop
    std::unique_ptr<CWorkerThread> m_pThread;
    uint64_t m_PeriodMs = kServiceDiscoveryPeriodMs;
    Discovery m_Discovery;
    std::atomic<int> m_DiscoveryCount{0};
};
