#include "host/ServiceProviderList.h"

#include <algorithm>
#include <strings.h>

#include "foundation/TextHelpers.h"
#include "platform/AsciiChars.h"

CServiceProviderList g_ServiceProviderList;

namespace {
bool StartsWithNoCase(const std::string& text, const char* prefix) {
    const size_t length = std::char_traits<char>::length(prefix);
    return text.size() >= length && strncasecmp(text.c_str(), prefix, length) == 0;
}
} // namespace

std::string ServiceAddressOf(const std::string& url) {
    std::string address = TrimChars(url, kAsciiWhiteSpace);
    if (StartsWithNoCase(address, "https://")) {
        address.erase(0, 8);
    } else if (StartsWithNoCase(address, "http://")) {
        address.erase(0, 7);
    }
    return address;
}

bool SplitHostPort(const std::string& host, std::string& hostName, int& port) {
    hostName = host;
    port = kDefaultServicePort;
    const size_t colon = host.rfind(':');
    if (colon == std::string::npos) {
        return true;
    }
    const std::string digits = host.substr(colon + 1);
    if (colon == 0 || digits.empty() || digits.size() > 5 || !IsAllDigits(digits)) {
        return false;
    }
    const int value = LeadingInt(digits);
    if (value < 1 || value > 65535) {
        return false;
    }
    hostName = host.substr(0, colon);
    port = value;
    return true;
}

bool SplitServiceUrl(const std::string& url, CServiceUrl& out) {
    const std::string rest = ServiceAddressOf(url);
    CServiceUrl split;
    const size_t slash = rest.find('/');
    if (slash == std::string::npos) {
        split.m_Host = rest;
        split.m_Path = kDefaultServicePath;
    } else {
        split.m_Host = rest.substr(0, slash);
        split.m_Path = rest.substr(slash);
    }
    if (!SplitHostPort(split.m_Host, split.m_HostName, split.m_Port) || split.m_HostName.empty() ||
        split.m_HostName == "0") {
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
