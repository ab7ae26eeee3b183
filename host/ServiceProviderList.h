#pragma once
// The Datawire service providers found by the last successful service discovery, best (shortest ping)
// first, and the splitting of a provider or discovery URL into the endpoint a client connects to.

#include <cstddef>
#include <string>
#include <vector>

#include "platform/Mutex.h"

// The port of a URL that names none.
constexpr int kDefaultServicePort = 443;
// The path of a URL that has no '/' after its host.
inline constexpr char kDefaultServicePath[] = "/sd";

// The endpoint a URL names. A plain value.
struct CServiceUrl {
    std::string m_Host;     // the text before the first '/', as the URL gave it ("name" or "name:port")
    std::string m_HostName; // the name or address alone
    int m_Port = kDefaultServicePort;
    std::string m_Path = kDefaultServicePath; // from the first '/' on, with that '/'
};

// |url| with blanks trimmed at both ends and a leading "https://" or else "http://" dropped (any letter case):
// the provider address "host[:port][/path]" as the provider list keeps it.
std::string ServiceAddressOf(const std::string& url);
// |host| as "name[:port]": the name and the port (443 without one). False when a ':' is not followed by a port
// number from 1 to 65535, or stands first: |host| whole is then the name, with 443, so that the name lookup
// says what is wrong with it.
bool SplitHostPort(const std::string& host, std::string& hostName, int& port);
// Splits |url|: ServiceAddressOf, then the host up to the first '/', the path from that '/' on ("/sd" when there
// is none), and the host's name and port as SplitHostPort gives them. False when the URL names no host: empty,
// "0" (the parameters' default), or a ':' without a port number from 1 to 65535 (SplitHostPort false). Such a
// URL is skipped, never connected to.
bool SplitServiceUrl(const std::string& url, CServiceUrl& out);

// Owns the provider URLs in ping order (first = best) and a cursor through them.
// Thread-safe: every member takes m_Lock and calls out to nothing while it holds it.
class CServiceProviderList {
public:
    CServiceProviderList() = default;
    virtual ~CServiceProviderList() = default;
    CServiceProviderList(const CServiceProviderList&) = delete;
    CServiceProviderList& operator=(const CServiceProviderList&) = delete;

    // Replaces the list with the non-empty URLs of |urls| in their order; true when the list is not empty.
    bool SetProviders(const std::vector<std::string>& urls);
    // The first (best) URL; false when the list is empty.
    bool GetCurrent(std::string& url) const;
    // Removes every entry equal to |failedUrl| (exact, case-sensitive); false when the list is then empty,
    // else the new first URL and true.
    bool RemoveAndGetNext(const std::string& failedUrl, std::string& nextUrl);

    // Replaces the list with the non-empty ones of two URLs, in order; true when the list is not empty.
    bool SetTwoProviders(const std::string& first, const std::string& second);
    bool IsEmpty() const;
    // The entry under the cursor, then moves the cursor on, back to the first entry after the last; false
    // when the list is empty. Setting the list puts the cursor on its first entry.
    bool GetNextInTurn(std::string& url);
    // A copy of the list in order.
    std::vector<std::string> GetProviders() const;
    // Empties the list.
    void RemoveAll();

private:
    mutable CMutex m_Lock;
    std::vector<std::string> m_Providers GUARDED_BY(m_Lock);
    size_t m_Cursor GUARDED_BY(m_Lock) = 0;
};

// The providers of the process, filled by service discovery and used by the host interface.
extern CServiceProviderList g_ServiceProviderList;
