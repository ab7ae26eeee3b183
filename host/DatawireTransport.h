#pragma once
// The Datawire operations of the host side: ping a provider, run a service discovery that refills the
// provider list, send one transaction over a connected client, and the merchant's self-registration and
// activation. The HTTP/XML exchange itself is the Datawire client's.

#include <cstdint>
#include <string>

class CDatawireClient;
class CTransaction;

// The ServiceID every envelope of these operations carries.
inline constexpr char kDatawireServiceId[] = "104";

// The outcome of one Datawire operation. A plain value, copied between the transport and its callers.
struct CTransportResult {
    std::string m_Text;              // the response text (a transaction's decoded payload), or empty
    int m_Code = -1;                 // the last error code of the failed step (socket, TLS or Datawire)
    std::string m_Detail;            // the error text
    bool m_IsDatawireStatus = false; // the failure came from a Datawire status or code, not the connection
    bool m_IsLocalFailure = false;   // the failure happened on this machine: nothing to hold against the peer
};

// The text a transaction is failed with when its STAN could not be stored (|stanError| says why): it is not
// sent, since a STAN that is not kept would be handed out again.
std::string StanNotStoredText(const std::string& stanError);

// Runs one operation at a time and keeps the outcome of the last one. Made on the stack for each use (the
// host worker for each transaction, the discovery thread for each discovery); each operation makes its own
// Datawire client with the process's TLS credential. Not thread-safe: one thread uses an object. The
// operations touch the shared provider list, STAN file and parameter store, which guard themselves.
class CDatawireTransport {
public:
    // How long a registration waits after a "Retry" before it tries again.
    static constexpr uint32_t kRegistrationRetryDelayMs = 5000;
    static constexpr int kRegistrationTries = 5;
    // The Datawire code of the status word "Retry".
    static constexpr int kDatawireRetryCode = 50055;

    CDatawireTransport() = default;
    virtual ~CDatawireTransport() = default;
    CDatawireTransport(const CDatawireTransport&) = delete;
    CDatawireTransport& operator=(const CDatawireTransport&) = delete;

    // Round-trip milliseconds of a ping to the provider |url|, or -1 (the failure in the last result). A URL
    // that names no host (SplitServiceUrl) is not connected to.
    int PingServer(const std::string& url);
    // Asks the discovery hosts (parameters 7 and 8, split as SplitServiceUrl does; "0" or empty is skipped),
    // up to three attempts alternating from the host the clock picks, for the providers, pings each and, when at least
    // one answered, replaces g_ServiceProviderList with the ones that did, shortest round trip first (equal times keep
    // the order of the answer), followed by those whose ping failed on this machine (no descriptor, no memory), in the
    // order of the answer. False, the list left as it was, otherwise.
    bool ServiceDiscovery();
    // Sends |transaction|'s host message (m_HostRequest) over the connected |client| with the next STAN
    // (CSynchroStanFile::NextStan) and reads the answer: the payload in the last result's text, or the
    // failure. A STAN that could not be stored is not used: nothing is sent, and the failure (a local one) has
    // StanNotStoredText. The client is closed afterwards; whether the request went out unanswered stays
    // readable on it (CDatawireClient::IsAwaitingResponse).
    bool SendTransaction(CDatawireClient& client, const CTransaction& transaction);
    // The merchant's self-registration with the Datawire registration service at |url|, tried up to 5 times
    // while it answers "Retry" (5 s apart, cut short by a posted quit or g_ShutdownEvent), then the
    // activation over the same connection; true when the activation succeeded. Nothing in the server calls
    // it yet: an operator's tool may. The DID and provider address the registration answered are kept.
    bool MerchantRegistration(const std::string& url);
    const std::string& GetRegisteredDid() const { return m_RegisteredDid; }
    const std::string& GetRegisteredProviderHost() const { return m_RegisteredProviderHost; }
    const std::string& GetRegisteredProviderPath() const { return m_RegisteredProviderPath; }

    const CTransportResult& GetLastResult() const { return m_LastResult; }

    // The ClientRef number of the next ping (and registration envelope): a counter of its own (1..999999,
    // then 1 again), apart from the STANs, so pings never use up transaction numbers.
    static int32_t NextPingReference();
    // Sets how long a registration retry waits (tests).
    void SetRegistrationRetryDelayMs(uint32_t ms) { m_RegistrationRetryDelayMs = ms; }

private:
    // Waits the registration retry delay; false when it was cut short.
    bool WaitBeforeRetry() const;

    CTransportResult m_LastResult;
    std::string m_RegisteredDid;
    std::string m_RegisteredProviderHost;
    std::string m_RegisteredProviderPath;
    uint32_t m_RegistrationRetryDelayMs = kRegistrationRetryDelayMs;
};
