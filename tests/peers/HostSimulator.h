#pragma once
// The card host as the server meets it: discovery hosts that name the providers, providers that answer pings and
// carry each host message to the card host (CCardHost) and back, all over real TLS on loopback. Each provider can
// be scripted to fail the way providers do: refuse connections, swallow a request, answer a Datawire status word,
// a ReturnCode or an HTTP error, or close after the request. The envelopes the server sends are checked too.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "peers/CardHost.h"
#include "peers/DatawireEndpoint.h"
#include "peers/TestPki.h"
#include "platform/Mutex.h"

// How one provider fails the transactions it gets.
enum class ProviderFault {
    None,
    Timeout,           // reads the request and answers nothing; the connection stays open until the server leaves
    CloseAfterRequest, // reads the request and closes the connection without an answer
    StatusWord,        // answers with the Datawire status word |statusWord|
    ReturnCode,        // answers status OK with the ReturnCode |returnCode|
    HttpStatus,        // answers with the HTTP status |httpStatus|
    NoPayload          // answers status OK without a payload
};

// A provider's script for its transactions (pings are always answered).
struct CProviderScript {
    ProviderFault fault = ProviderFault::None;
    std::string statusWord = "OtherError";
    std::string returnCode = "50050";
    int httpStatus = 500;
    // Whether the card host still acts on a message whose answer is lost or refused on the way (a timeout, a close,
    // a Datawire failure): true is a host that booked it, false one that never saw it.
    bool hostApplies = true;
    // How many transactions the fault applies to before the provider answers normally again; -1: all of them.
    int count = -1;
    // Real-time pause before each answer.
    uint32_t delayMs = 0;
    // Pause before each answer on the clock seam (the server's time, which a test may hold and move on), for a slow
    // host whose seconds a test passes at once.
    uint64_t clockDelayMs = 0;
};

struct CHostSimulatorOptions {
    int providers = 2;
    // Discovery hosts of their own; 0 lets the providers answer discovery themselves (one port serves all).
    int discoveryHosts = 2;
    std::string merchantId;    // expected in the host messages and envelopes ("" accepts any)
    std::string altMerchantId; // expected in the envelopes' Auth ("" accepts any)
    std::string terminalId;    // expected in field "42" ("" accepts any)
    std::string datawireId;    // expected in the envelopes' DID ("" accepts any)
    int backlog = 16;          // of every endpoint's listening socket
};

// Owns the endpoints and the card host. Thread-safe: the scripts and recordings may be used from the test thread
// while the endpoints' connection threads serve the server.
class CHostSimulator {
public:
    // |identity| (owned by a CTestPki) must outlive the simulator.
    CHostSimulator(const CTestIdentity& identity, const CHostSimulatorOptions& options = CHostSimulatorOptions());
    ~CHostSimulator();
    CHostSimulator(const CHostSimulator&) = delete;
    CHostSimulator& operator=(const CHostSimulator&) = delete;

    bool Start();
    void Stop();

    CCardHost& Host() { return m_Host; }

    int ProviderCount() const { return static_cast<int>(m_Providers.size()); }
    // "127.0.0.1:<port>" of discovery host |index| (a provider when the simulator has no discovery hosts).
    std::string DiscoveryHost(int index) const;
    // The provider URL as the discovery answer gives it.
    std::string ProviderUrl(int index) const;
    int ProviderPort(int index) const;
    // The providers the discovery answer names, in this order (default: all, in index order).
    void SetDiscoveryOrder(const std::vector<int>& providers);
    // The host part of the provider URLs in the discovery answer ("name:port"; "" is 127.0.0.1:<provider port>),
    // for a simulator reached through another name or port.
    void SetAdvertisedHost(const std::string& hostAndPort);
    // The discovery host stops listening (or, before Start, never listens): connections to it are refused from now
    // on. For the test thread.
    void StopDiscoveryHost(int index);
    // The provider stops listening: connections to it are refused from now on (a provider gone away).
    void StopProvider(int index);
    void ScriptProvider(int index, const CProviderScript& script);

    // The raw endpoint, for scripts the simulator does not name.
    CDatawireEndpoint& Provider(int index) { return *m_Providers.at(static_cast<size_t>(index)); }
    CDatawireEndpoint& Discovery(int index) { return *m_Discovery.at(static_cast<size_t>(index)); }

    // The host messages of the transactions each provider received, in order of arrival (all providers).
    std::vector<CHostExchange> Exchanges() const { return m_Host.Exchanges(); }
    // Waits in real time until the card host has seen |count| messages.
    bool WaitForExchanges(size_t count, uint32_t timeoutMs = 5000) const;
    // Complaints about envelopes and host messages that broke the format: the envelopes' first, each in order.
    std::vector<std::string> Problems() const;
    std::vector<std::string> EnvelopeProblems() const;
    // Transactions (not pings) each provider received.
    int TransactionsAt(int index) const;
    // Transactions (all providers) held in their clock-seam pause right now.
    int TransactionsPaused() const { return m_Paused.load(); }
    int PingsAt(int index) const;
    int DiscoveriesAt(int index) const;

private:
    void OnRequest(int provider, const CDatawireRequest& request, CDatawireAnswer* answer);
    void CheckEnvelope(int provider, const CDatawireRequest& request);
    int CountAt(const CDatawireEndpoint& endpoint, DatawireRequestKind kind) const;
    void PublishProviderUrls();

    const CTestIdentity& m_Identity;
    const CHostSimulatorOptions m_Options;
    CCardHost m_Host;
    std::vector<std::unique_ptr<CDatawireEndpoint>> m_Providers;
    std::vector<std::unique_ptr<CDatawireEndpoint>> m_Discovery;
    // Endpoints stopped by a test; the test thread alone changes them, before or while the server runs.
    std::vector<bool> m_ProviderDown;
    std::vector<bool> m_DiscoveryDown;

    mutable CMutex m_Lock;
    std::vector<CProviderScript> m_Scripts GUARDED_BY(m_Lock); // by provider
    std::vector<int> m_DiscoveryOrder GUARDED_BY(m_Lock);
    std::string m_AdvertisedHost GUARDED_BY(m_Lock);
    std::vector<std::string> m_Problems GUARDED_BY(m_Lock);
    std::atomic<int> m_Paused{0};
};
