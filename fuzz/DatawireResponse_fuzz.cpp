// Feeds Datawire answers of any bytes to the client's reading, as a provider or a discovery host sends them. The
// first byte picks the answer (transaction, service discovery, ping, registration, activation) and whether the
// server ended the session after it; the rest is what arrived. It is framed as the client frames it (HTTP head up
// to its empty line, Content-Length body), then decoded: HTTP status, Datawire status word and return code, and the
// answer's own elements. The provider URLs of a discovery are split as the transport splits them before it
// connects, and become a provider list.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/DatawireClient.h"
#include "host/ServiceProviderList.h"

namespace {

enum EAnswer { kTransaction, kDiscovery, kPing, kRegistration, kActivation, kAnswerCount };

void CheckProviders(const std::vector<std::string>& urls) {
    for (const std::string& url : urls) {
        CServiceUrl endpoint;
        if (SplitServiceUrl(url, endpoint) &&
            (endpoint.m_HostName.empty() || endpoint.m_Port < 1 || endpoint.m_Port > 65535 || endpoint.m_Path.empty() ||
             endpoint.m_Path[0] != '/')) {
            std::abort();
        }
    }
    // A discovery that succeeded has at least one URL, none of them empty.
    CServiceProviderList providers;
    if (!providers.SetProviders(urls)) {
        std::abort();
    }
    // Once round the list and on to its first again.
    std::string url;
    for (size_t i = 0; i <= urls.size(); ++i) {
        if (!providers.GetNextInTurn(url)) {
            break;
        }
    }
    if (url != urls.front()) {
        std::abort();
    }
    // That one fails: it leaves, every copy of it.
    std::string next;
    if (providers.RemoveAndGetNext(url, next) && next == url) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const int answer = (data[0] & 0x7F) % kAnswerCount;
    const bool sessionEnded = (data[0] & 0x80) != 0;
    std::string response(reinterpret_cast<const char*>(data + 1), size - 1);
    const size_t length = CDatawireClient::CompleteResponseLength(response, sessionEnded);
    if (length == 0) {
        return 0; // the client goes on reading, or has no answer
    }
    if (length > response.size()) {
        std::abort();
    }
    response.resize(length);

    CDatawireClient client(nullptr);
    client.SetResponseText(response);
    switch (answer) {
    case kTransaction:
        if (client.DecodeTransactionResponse().ok) {
            // What the payload decodes to is what the host sent: encoded again, it decodes the same.
            const std::string payload = client.GetPayloadText();
            if (CDatawireClient::PipeHexDecode(CDatawireClient::PipeHexEncode(payload)) != payload) {
                std::abort();
            }
        }
        break;
    case kDiscovery: {
        std::vector<std::string> urls;
        if (client.DecodeServiceDiscoveryResponse(&urls).ok) {
            CheckProviders(urls);
        }
        break;
    }
    case kPing: {
        int milliseconds = 0;
        if (client.DecodePingResponse(&milliseconds).ok && milliseconds <= 0) {
            std::abort();
        }
        break;
    }
    case kRegistration: {
        std::string did;
        std::string host;
        std::string path;
        if (client.DecodeRegistrationResponse(&did, &host, &path).ok) {
            CServiceUrl endpoint;
            SplitServiceUrl(host + path, endpoint);
        }
        break;
    }
    default:
        client.DecodeActivationResponse();
        break;
    }
    // The failure's text, as the transport takes it for its result and the log.
    client.GetLastErrorText();
    return 0;
}
