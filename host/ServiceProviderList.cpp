#include "host/ServiceProviderList.h"

#include <algorithm>
#include <cctype>
#include <strings.h>

CServiceProviderList g_ServiceProviderList;

namespace {
std::string TrimBlanks(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin])) != 0) {
        ++begin;
    }
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1])) != 0) {
        --end;
    }
    return text.substr(begin, end - begin);
}

bool StartsWithNoCase(const std::string& text, const char* prefix) {
    const size_t length = std::char_traits<char>::length(prefix);
    return text.size() >= length && strncasecmp(text.c_str(), prefix, length) == 0;
}
} // namespace

bool SplitServiceUrl(const std::string& url, CServiceUrl& out) {
    std::string rest = TrimBlanks(url);
    if (StartsWithNoCase(rest, "https://")) {
        rest.erase(0, 8);
    } else if (StartsWithNoCase(rest, "http://")) {
        rest.erase(0, 7);
    }
    CServiceUrl split;
    const size_t slash = rest.find('/');
    if (slash == std::string::npos) {
        split.m_Host = rest;
        split.m_Path = kDefaultServicePath;
    } else {
        split.m_Host = rest.substr(0, slash);
        split.m_Path = rest.substr(slash);
    }
    split.m_HostName = split.m_Host;
    const size_t colon = split.m_Host.rfind(':');
    if (colon != std::string::npos) {
        const std::string port = split.m_Host.substr(colon + 1);
        if (port.empty() || port.size() > 5 ||
            !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            return false;
        }
        split.m_Port = std::stoi(port);
        if (split.m_Port < 1 || split.m_Port > 65535) {
            return false;
        }
        split.m_HostName = split.m_Host.substr(0, colon);
    }
    if (split.m_HostName.empty() || split.m_HostName == "0") {
        return false;
    }
    out = split;
    return true;
}

bool CServiceProviderList::SetProviders(const std::vector<std::string>& urls) {
    CMutexLock lock(m_Lock);
    m_Providers.clear();
    m_Cursor = 0;
    for (const std::string& url : urls) {
        if (!url.empty()) {
            m_Providers.push_back(url);
        }
    }
    return !m_Providers.empty();
}

bool CServiceProviderList::GetCurrent(std::string& url) const {
    CMutexLock lock(m_Lock);
    if (m_Providers.empty()) {
        return false;
    }
    url = m_Providers.front();
    return true;
}

bool CServiceProviderList::RemoveAndGetNext(const std::string& failedUrl, std::string& nextUrl) {
    CMutexLock lock(m_Lock);
    m_Providers.erase(std::remove(m_Providers.begin(), m_Providers.end(), failedUrl), m_Providers.end());
    if (m_Cursor >= m_Providers.size()) {
        m_Cursor = 0;
    }
    if (m_Providers.empty()) {
        return false;
    }
    nextUrl = m_Providers.front();
    return true;
}

bool CServiceProviderList::SetTwoProviders(const std::string& first, const std::string& second) {
    return SetProviders({first, second});
}

bool CServiceProviderList::IsEmpty() const {
    CMutexLock lock(m_Lock);
    return m_Providers.empty();
}

bool CServiceProviderList::GetNextInTurn(std::string& url) {
    CMutexLock lock(m_Lock);
    if (m_Providers.empty()) {
        return false;
    }
    if (m_Cursor >= m_Providers.size()) {
        m_Cursor = 0;
    }
    url = m_Providers[m_Cursor];
    m_Cursor = (m_Cursor + 1) % m_Providers.size();
    return true;
}

std::vector<std::string> CServiceProviderList::GetProviders() const {
    CMutexLock lock(m_Lock);
    return m_Providers;
}

void CServiceProviderList::RemoveAll() {
    CMutexLock lock(m_Lock);
    m_Providers.clear();
    m_Cursor = 0;
}
