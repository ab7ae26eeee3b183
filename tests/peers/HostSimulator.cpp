#include "peers/HostSimulator.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <thread>

#include "common/Wait.h"
#include "platform/Clock.h"

namespace {
constexpr uint32_t kPollMs = 5;

// The provider paths of the discovery answer, one a provider, so a test sees the server post where it was told.
std::string ProviderPath(int index) {
    return "/rvz" + std::to_string(index);
}

// Takes |text| apart against the lines of |expected|, where each "*" stands for any text up to what follows it.
// Returns the texts that stood for the stars, or false when the shape differs.
bool MatchTemplate(const std::string& text, const std::vector<std::string>& expected, std::vector<std::string>* stars) {
    std::string pattern;
    for (const std::string& line : expected) {
        pattern += line;
    }
    std::vector<std::string> pieces;
    size_t from = 0;
    for (size_t star; (star = pattern.find('*', from)) != std::string::npos; from = star + 1) {
        pieces.push_back(pattern.substr(from, star - from));
    }
    pieces.push_back(pattern.substr(from));
    if (text.compare(0, pieces[0].size(), pieces[0]) != 0) {
        return false;
    }
    size_t at = pieces[0].size();
    for (size_t i = 1; i < pieces.size(); ++i) {
        const size_t end = i + 1 == pieces.size()
                               ? (text.size() >= pieces[i].size() ? text.size() - pieces[i].size() : std::string::npos)
                               : text.find(pieces[i], at);
        if (end == std::string::npos || end < at || text.compare(end, pieces[i].size(), pieces[i]) != 0) {
            return false;
        }
        stars->push_back(text.substr(at, end - at));
        at = end + pieces[i].size();
    }
    return at == text.size();
}

bool ValidClientRef(const std::string& ref) {
    const size_t v = ref.find('V');
    if (v == std::string::npos || v < 7 || ref.substr(v) != "V005006") {
        return false;
    }
    return std::all_of(ref.begin(), ref.begin() + static_cast<long>(v), [](char c) { return c >= '0' && c <= '9'; });
}

// A payload holds letters, digits and "|xx" escapes with lower-case hex digits only.
bool ValidPayloadEscaping(const std::string& payload) {
    for (size_t i = 0; i < payload.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(payload[i]);
        if (c == '|') {
            if (i + 2 >= payload.size()) {
                return false;
            }
            for (size_t k = i + 1; k <= i + 2; ++k) {
                const char h = payload[k];
                if (!((h >= '0' && h <= '9') || (h >= 'a' && h <= 'f'))) {
                    return false;
                }
            }
            i += 2;
        } else if (std::isalnum(c) == 0 || c >= 0x80) {
            return false;
        }
    }
    return true;
}
} // namespace

CHostSimulator::CHostSimulator(const CTestIdentity& identity, const CHostSimulatorOptions& options)
    : m_Identity(identity), m_Options(options) {
    m_Host.SetMerchant(options.merchantId, options.terminalId);
    for (int i = 0; i < options.providers; ++i) {
        auto endpoint = std::make_unique<CDatawireEndpoint>(m_Identity);
        endpoint->SetBacklog(options.backlog);
        endpoint->SetHostHandler(
            [this, i](const std::string& hostMessage) { return m_Host.Answer(hostMessage, i, GetClock().TickMs()); });
        endpoint->SetRequestHook(
            [this, i](const CDatawireRequest& request, CDatawireAnswer* answer) { OnRequest(i, request, answer); });
        m_Providers.push_back(std::move(endpoint));
        m_ProviderDown.push_back(false);
        m_Scripts.emplace_back();
        m_DiscoveryOrder.push_back(i);
    }
    for (int i = 0; i < options.discoveryHosts; ++i) {
        auto endpoint = std::make_unique<CDatawireEndpoint>(m_Identity);
        endpoint->SetBacklog(options.backlog);
        endpoint->SetRequestHook(
            [this](const CDatawireRequest& request, CDatawireAnswer*) { CheckEnvelope(-1, request); });
        m_Discovery.push_back(std::move(endpoint));
        m_DiscoveryDown.push_back(false);
    }
}

CHostSimulator::~CHostSimulator() {
    Stop();
}

bool CHostSimulator::Start() {
    // An endpoint stopped before the start gets its port and closes it again: a port that refuses, not one that
    // names no host or one that accepts and hangs.
    for (size_t i = 0; i < m_Providers.size(); ++i) {
        if (!m_Providers[i]->Start()) {
            return false;
        }
        if (m_ProviderDown[i]) {
            m_Providers[i]->Stop();
        }
    }
    for (size_t i = 0; i < m_Discovery.size(); ++i) {
        if (!m_Discovery[i]->Start()) {
            return false;
        }
        if (m_DiscoveryDown[i]) {
            m_Discovery[i]->Stop();
        }
    }
    PublishProviderUrls();
    return true;
}

void CHostSimulator::Stop() {
    for (auto& endpoint : m_Discovery) {
        endpoint->Stop();
    }
    for (auto& endpoint : m_Providers) {
        endpoint->Stop();
    }
}

std::string CHostSimulator::DiscoveryHost(int index) const {
    if (m_Discovery.empty()) {
        return m_Providers.at(static_cast<size_t>(index))->HostAndPort();
    }
    return m_Discovery.at(static_cast<size_t>(index))->HostAndPort();
}

std::string CHostSimulator::ProviderUrl(int index) const {
    std::string host;
    {
        CMutexLock lock(m_Lock);
        host = m_AdvertisedHost;
    }
    if (host.empty()) {
        host = m_Providers.at(static_cast<size_t>(index))->HostAndPort();
    }
    return "https://" + host + ProviderPath(index);
}

void CHostSimulator::SetAdvertisedHost(const std::string& hostAndPort) {
    {
        CMutexLock lock(m_Lock);
        m_AdvertisedHost = hostAndPort;
    }
    PublishProviderUrls();
}

int CHostSimulator::ProviderPort(int index) const {
    return m_Providers.at(static_cast<size_t>(index))->Port();
}

void CHostSimulator::SetDiscoveryOrder(const std::vector<int>& providers) {
    {
        CMutexLock lock(m_Lock);
        m_DiscoveryOrder = providers;
    }
    PublishProviderUrls();
}

void CHostSimulator::PublishProviderUrls() {
    std::vector<int> order;
    {
        CMutexLock lock(m_Lock);
        order = m_DiscoveryOrder;
    }
    std::vector<std::string> urls;
    for (const int provider : order) {
        urls.push_back(ProviderUrl(provider));
    }
    for (auto& endpoint : m_Discovery) {
        endpoint->SetProviderUrls(urls);
    }
    if (m_Discovery.empty()) {
        for (auto& endpoint : m_Providers) {
            endpoint->SetProviderUrls(urls);
        }
    }
}

void CHostSimulator::StopDiscoveryHost(int index) {
    m_DiscoveryDown.at(static_cast<size_t>(index)) = true;
    if (m_Discovery.at(static_cast<size_t>(index))->Port() > 0) {
        m_Discovery[static_cast<size_t>(index)]->Stop();
    }
}

void CHostSimulator::StopProvider(int index) {
    m_ProviderDown.at(static_cast<size_t>(index)) = true;
    if (m_Providers.at(static_cast<size_t>(index))->Port() > 0) {
        m_Providers[static_cast<size_t>(index)]->Stop();
    }
}

void CHostSimulator::ScriptProvider(int index, const CProviderScript& script) {
    CMutexLock lock(m_Lock);
    m_Scripts.at(static_cast<size_t>(index)) = script;
}

bool CHostSimulator::WaitForExchanges(size_t count, uint32_t timeoutMs) const {
    return WaitUntil([&] { return m_Host.ExchangeCount() >= count; }, timeoutMs, kPollMs);
}

std::vector<std::string> CHostSimulator::EnvelopeProblems() const {
    CMutexLock lock(m_Lock);
    return m_Problems;
}

std::vector<std::string> CHostSimulator::Problems() const {
    std::vector<std::string> problems;
    {
        CMutexLock lock(m_Lock);
        problems = m_Problems;
    }
    for (const std::string& problem : m_Host.Problems()) {
        problems.push_back("host message: " + problem);
    }
    return problems;
}

int CHostSimulator::CountAt(const CDatawireEndpoint& endpoint, DatawireRequestKind kind) const {
    const auto requests = endpoint.Requests();
    return static_cast<int>(
        std::count_if(requests.begin(), requests.end(), [&](const CDatawireRequest& r) { return r.kind == kind; }));
}

int CHostSimulator::TransactionsAt(int index) const {
    return CountAt(*m_Providers.at(static_cast<size_t>(index)), DatawireRequestKind::Transaction);
}

int CHostSimulator::PingsAt(int index) const {
    return CountAt(*m_Providers.at(static_cast<size_t>(index)), DatawireRequestKind::Ping);
}

int CHostSimulator::DiscoveriesAt(int index) const {
    const CDatawireEndpoint& endpoint =
        m_Discovery.empty() ? *m_Providers.at(static_cast<size_t>(index)) : *m_Discovery.at(static_cast<size_t>(index));
    return CountAt(endpoint, DatawireRequestKind::ServiceDiscovery);
}

void CHostSimulator::OnRequest(int provider, const CDatawireRequest& request, CDatawireAnswer* answer) {
    CheckEnvelope(provider, request);
    if (request.kind != DatawireRequestKind::Transaction) {
        return;
    }
    CProviderScript script;
    {
        CMutexLock lock(m_Lock);
        CProviderScript& stored = m_Scripts.at(static_cast<size_t>(provider));
        script = stored;
        if (stored.fault != ProviderFault::None && stored.count > 0) {
            --stored.count;
        }
    }
    answer->delayMs = script.delayMs;
    if (script.clockDelayMs > 0) {
        // The answer's time is fixed before the pause is counted: a test that moves the clock on once it sees the
        // pause must not find it starting from the moved time.
        IClock& clock = GetClock();
        const uint64_t answerAt = clock.TickMs() + script.clockDelayMs;
        ++m_Paused;
        for (uint64_t now = clock.TickMs(); now < answerAt; now = clock.TickMs()) {
            clock.SleepMs(answerAt - now);
        }
        --m_Paused;
    }
    if (script.fault == ProviderFault::None || script.count == 0) {
        return; // the host handler answers
    }
    // Where the answer carries no payload the handler is not asked, so the card host sees the message here.
    auto bookHere = [&](bool apply) { m_Host.Answer(request.hostMessage, provider, GetClock().TickMs(), apply); };
    switch (script.fault) {
    case ProviderFault::Timeout:
        answer->ending = DatawireEnding::Silent;
        bookHere(script.hostApplies);
        break;
    case ProviderFault::CloseAfterRequest:
        answer->raw = std::string();
        answer->ending = DatawireEnding::CloseTcp;
        bookHere(script.hostApplies);
        break;
    case ProviderFault::NoPayload:
        answer->omitResult = true;
        bookHere(script.hostApplies);
        break;
    case ProviderFault::StatusWord:
    case ProviderFault::ReturnCode:
    case ProviderFault::HttpStatus:
        if (script.fault == ProviderFault::StatusWord) {
            answer->statusWord = script.statusWord;
        } else if (script.fault == ProviderFault::ReturnCode) {
            answer->returnCode = script.returnCode;
        } else {
            answer->httpStatus = script.httpStatus;
        }
        if (!script.hostApplies) {
            answer->omitResult = true;
            bookHere(false);
        }
        break;
    case ProviderFault::None:
        break;
    }
}

void CHostSimulator::CheckEnvelope(int provider, const CDatawireRequest& request) {
    std::vector<std::string> problems;
    const std::string where = provider < 0 ? "discovery host" : "provider " + std::to_string(provider);
    if (request.kind == DatawireRequestKind::ServiceDiscovery) {
        if (request.path != "/sd/104") {
            problems.push_back(where + ": discovery asks for [" + request.path + "]");
        }
    } else if (request.kind == DatawireRequestKind::Transaction || request.kind == DatawireRequestKind::Ping) {
        if (provider >= 0 && request.path != ProviderPath(provider)) {
            problems.push_back(where + ": posted to [" + request.path + "], not " + ProviderPath(provider));
        }
        const std::string head = request.raw.substr(0, request.raw.size() - request.body.size());
        const std::string length = "\r\nContent-Length: " + std::to_string(request.body.size()) + "\r\n";
        if (head.find(length) == std::string::npos) {
            problems.push_back(where + ": Content-Length does not match the body");
        }
        if (head.find("\r\nUser-Agent: vxnapi_xml_3_2_0_21\r\n") == std::string::npos ||
            head.find("\r\nContent-Type: text/xml\r\n") == std::string::npos) {
            problems.push_back(where + ": header lacks the User-Agent or Content-Type");
        }
        std::vector<std::string> lines = {"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n",
                                          "<Request>\r\n",
                                          "\t<ReqClientID>\r\n",
                                          "\t\t<DID>*</DID>\r\n",
                                          "\t\t<App>CORVANEGIFTPPXML</App>\r\n",
                                          "\t\t<Auth>*|*</Auth>\r\n",
                                          "\t\t<ClientRef>*</ClientRef>\r\n",
                                          "\t</ReqClientID>\r\n"};
        if (request.kind == DatawireRequestKind::Transaction) {
            lines.insert(lines.end(), {"\t<Transaction>\r\n", "\t\t<ServiceID>104</ServiceID>\r\n",
                                       "\t\t<Payload>*</Payload>\r\n", "\t</Transaction>\r\n", "</Request>\r\n"});
        } else {
            lines.insert(lines.end(),
                         {"\t<Ping>\r\n", "\t\t<ServiceID>104</ServiceID>\r\n", "\t</Ping>\r\n", "</Request>\r\n"});
        }
        std::vector<std::string> stars;
        if (!MatchTemplate(request.body, lines, &stars)) {
            problems.push_back(where + ": envelope does not have the expected lines");
        } else {
            if (!m_Options.datawireId.empty() && stars[0] != m_Options.datawireId) {
                problems.push_back(where + ": DID [" + stars[0] + "]");
            }
            if ((!m_Options.merchantId.empty() && stars[1] != m_Options.merchantId) ||
                (!m_Options.altMerchantId.empty() && stars[2] != m_Options.altMerchantId)) {
                problems.push_back(where + ": Auth [" + stars[1] + "|" + stars[2] + "]");
            }
            if (!ValidClientRef(stars[3])) {
                problems.push_back(where + ": ClientRef [" + stars[3] + "]");
            }
            if (stars.size() > 4 && !ValidPayloadEscaping(stars[4])) {
                problems.push_back(where + ": payload escaping [" + stars[4] + "]");
            }
        }
    }
    if (!problems.empty()) {
        CMutexLock lock(m_Lock);
        m_Problems.insert(m_Problems.end(), problems.begin(), problems.end());
    }
}
