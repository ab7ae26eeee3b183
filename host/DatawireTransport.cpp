#include "host/DatawireTransport.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <map>
#include <vector>

#include "foundation/Logger.h"
#include "foundation/ParamSettings.h"
#include "foundation/ParamStore.h"
#include "foundation/Presenter.h"
#include "host/DatawireClient.h"
#include "host/ServiceProviderList.h"
#include "host/ViewSink.h"
#include "platform/Clock.h"
#include "platform/ProcessEvents.h"
#include "transaction/SynchroStanFile.h"
#include "transaction/Transaction.h"

namespace {
// The failure of |client|'s last step as a result.
CTransportResult FailureOf(const CDatawireClient& client) {
    CTransportResult result;
    result.m_Code = client.GetLastError();
    result.m_Detail = client.GetLastErrorText();
    result.m_IsDatawireStatus = client.IsDatawireStatus();
    result.m_IsLocalFailure = client.IsLocalFailure();
    return result;
}

// A result for a URL that names no host, which is never connected to.
CTransportResult NoHostResult(const std::string& url) {
    CTransportResult result;
    result.m_Detail = "No Host in URL [" + url + "]";
    return result;
}

void PrepareClient(CDatawireClient& client, const CServiceUrl& endpoint) {
    client.SetEndpoint(endpoint);
    client.SetServiceID(kDatawireServiceId);
}
} // namespace

std::string StanNotStoredText(const std::string& stanError) {
    return "Transaction Not Sent - " + stanError;
}

int32_t CDatawireTransport::NextPingReference() {
    static std::atomic<int32_t> s_LastReference{0};
    int32_t last = s_LastReference.load();
    int32_t next = 0;
    do {
        next = last >= kMaxStan ? 1 : last + 1;
    } while (!s_LastReference.compare_exchange_weak(last, next));
    return next;
}

int CDatawireTransport::PingServer(const std::string& url) {
    CServiceUrl endpoint;
    if (!SplitServiceUrl(url, endpoint)) {
        m_LastResult = NoHostResult(url);
        return -1;
    }
    CDatawireClient client;
    PrepareClient(client, endpoint);
    if (!client.Connect()) {
        m_LastResult = FailureOf(client);
        m_LastResult.m_IsDatawireStatus = false;
        CLogger::Instance().LogLine("[PingServer] RuvuzUvir Data/Datawire/Connect ERROR-> [%s]",
                                    m_LastResult.m_Detail.c_str());
        return -1;
    }
    client.BuildPingRequest(NextPingReference());
    const uint64_t start = GetClock().TickMs();
    int providerMs = 0;
    const CDatawireResult answer = client.ReadPingResponse(&providerMs);
    int roundTrip = -1;
    if (answer.ok) {
        const uint64_t elapsed = GetClock().TickMs() - start;
        roundTrip = elapsed > static_cast<uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(elapsed);
        m_LastResult = CTransportResult();
    } else {
        m_LastResult = FailureOf(client);
    }
    client.Close();
    return roundTrip;
}

bool CDatawireTransport::ServiceDiscovery() {
    const std::vector<std::string> hosts = CParamStore::Instance().GetValues({kParamPrimaryUrl, kParamSecondaryUrl});
    CDatawireClient client;
    PostViewMessage(WM_SENDING_SD_REQUEST);

    // Which host goes first alternates with the clock, so neither carries every discovery.
    const unsigned first = static_cast<unsigned>(GetClock().TickMs() & 1U);
    const unsigned order[3] = {first, 1U - first, first};
    std::string accumulated;
    bool connected = false;
    for (const unsigned index : order) {
        CServiceUrl endpoint;
        if (!SplitServiceUrl(hosts[index], endpoint)) {
            continue; // no host configured here ("0" or empty): an attempt, without a log line
        }
        PrepareClient(client, endpoint);
        if (client.Connect()) {
            connected = true;
            break;
        }
        const std::string line = "SD Attempt (" + endpoint.m_Host + "): " + client.GetLastErrorText() + "\r\n";
        accumulated += line;
        CLogger::Instance().LogLine(
            "[ServiceDiscovery] RuvuzUvir Data/Datawire/Connect (Trying Next SD URL) ERROR-> [%s]", line.c_str());
    }
    if (!connected) {
        m_LastResult = FailureOf(client);
        m_LastResult.m_Detail = accumulated;
        CLogger::Instance().LogLine("[ServiceDiscovery] RuvuzUvir Data/Datawire/Connect ERROR-> [%s]",
                                    accumulated.c_str());
        return false;
    }

    client.BuildServiceDiscoveryRequest();
    std::vector<std::string> urls;
    if (!client.ReadServiceDiscoveryResponse(&urls).ok) {
        m_LastResult = FailureOf(client);
        client.Close();
        return false;
    }
    PostViewMessage(WM_SD_RESPONSE);

    // multimap keeps equal keys in insertion order, so equal round trips keep the order of the answer.
    std::multimap<int, std::string> byRoundTrip;
    // A ping that could not even be made here says nothing about the provider: it stays listed, last.
    std::vector<std::string> unmeasured;
    for (const std::string& url : urls) {
        if (url.empty()) {
            continue;
        }
        const int roundTrip = PingServer(url);
        if (roundTrip >= 0) {
            byRoundTrip.emplace(roundTrip, url);
        } else if (m_LastResult.m_IsLocalFailure) {
            unmeasured.push_back(url);
        }
    }
    if (byRoundTrip.empty()) {
        return false;
    }
    std::vector<std::string> ordered;
    ordered.reserve(byRoundTrip.size() + unmeasured.size());
    for (const auto& entry : byRoundTrip) {
        ordered.push_back(entry.second);
    }
    ordered.insert(ordered.end(), unmeasured.begin(), unmeasured.end());
    g_ServiceProviderList.SetProviders(ordered);
    m_LastResult = CTransportResult();
    return true;
}

bool CDatawireTransport::SendTransaction(CDatawireClient& client, const CTransaction& transaction) {
    std::string stanError;
    const int32_t stan = CSynchroStanFile::Instance().NextStan(stanError);
    if (!stanError.empty()) {
        CLogger::Instance().LogLine("%s", stanError.c_str());
        // The number given back after a failure is one already handed out, or one the file does not keep:
        // sent, it would reach the host twice.
        m_LastResult = CTransportResult();
        m_LastResult.m_Detail = StanNotStoredText(stanError);
        m_LastResult.m_IsLocalFailure = true;
        client.Close();
        return false;
    }
    client.BuildTransactionRequest(transaction, stan);
    const bool ok = client.SendAndReceive();
    if (ok) {
        m_LastResult = CTransportResult();
        m_LastResult.m_Text = client.GetPayloadText();
    } else {
        m_LastResult = FailureOf(client);
    }
    client.Close();
    return ok;
}

bool CDatawireTransport::WaitBeforeRetry() const {
    // Ends early on a posted quit or a stop of the host interface, as a pumping wait would.
    const uint64_t start = GetClock().TickMs();
    for (;;) {
        if (GetPresenter().QuitPosted() || g_ShutdownEvent.IsSet()) {
            return false;
        }
        const uint64_t elapsed = GetClock().TickMs() - start;
        if (elapsed >= m_RegistrationRetryDelayMs) {
            return true;
        }
        const uint64_t slice = std::min<uint64_t>(100, m_RegistrationRetryDelayMs - elapsed);
        g_ShutdownEvent.Wait(static_cast<uint32_t>(slice));
    }
}

bool CDatawireTransport::MerchantRegistration(const std::string& url) {
    m_RegisteredDid.clear();
    m_RegisteredProviderHost.clear();
    m_RegisteredProviderPath.clear();
    CServiceUrl endpoint;
    if (!SplitServiceUrl(url, endpoint)) {
        m_LastResult = NoHostResult(url);
        return false;
    }
    CDatawireClient client;
    PrepareClient(client, endpoint);
    client.BuildRegistrationRequest(NextPingReference());
    for (int attempt = 1; attempt <= kRegistrationTries; ++attempt) {
        if (!client.IsOpen() && !client.Connect()) {
            m_LastResult = FailureOf(client);
            m_LastResult.m_IsDatawireStatus = false;
            const std::string line = "(" + endpoint.m_Host + "): " + client.GetLastErrorText() + "\r\n";
            CLogger::Instance().LogLine("[MerchantRegistration] RuvuzUvir Data/Datawire/Connect ERROR-> [%s]",
                                        line.c_str());
            break;
        }
        PostViewMessage(WM_SENDING_REGISTRATION);
        const CDatawireResult answer =
            client.ReadRegistrationResponse(&m_RegisteredDid, &m_RegisteredProviderHost, &m_RegisteredProviderPath);
        if (answer.ok) {
            m_LastResult = CTransportResult();
            break;
        }
        m_LastResult = FailureOf(client);
        const bool retry = m_LastResult.m_IsDatawireStatus && m_LastResult.m_Code == kDatawireRetryCode;
        if (!retry || attempt == kRegistrationTries) {
            break;
        }
        client.Close();
        PostViewMessage(WM_REGISTRATION_RESPONSE);
        WaitBeforeRetry();
    }
    PostViewMessage(WM_REGISTRATION_RESPONSE);
    if (!client.IsOpen()) {
        // Nothing to carry the activation: the connect failure above is the outcome.
        return false;
    }
    client.BuildActivationRequest(NextPingReference());
    PostViewMessage(WM_SENDING_ACTIVATION);
    const CDatawireResult activation = client.ReadActivationResponse();
    PostViewMessage(WM_ACTIVATION_RESPONSE);
    if (activation.ok) {
        m_LastResult = CTransportResult();
    } else {
        m_LastResult = FailureOf(client);
    }
    client.Close();
    return activation.ok;
}
