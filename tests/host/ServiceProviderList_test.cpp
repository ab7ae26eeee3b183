#include "host/ServiceProviderList.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {
struct SplitCase {
    const char* url;
    bool ok;
    const char* host;
    const char* hostName;
    int port;
    const char* path;
};

const SplitCase kSplitCases[] = {
    {"https://prov1.example.net/sd/104", true, "prov1.example.net", "prov1.example.net", 443, "/sd/104"},
    {"HTTPS://Prov1.Example.net/SD", true, "Prov1.Example.net", "Prov1.Example.net", 443, "/SD"},
    {"Http://prov2.example.net/x/y", true, "prov2.example.net", "prov2.example.net", 443, "/x/y"},
    {"  prov3.example.net  ", true, "prov3.example.net", "prov3.example.net", 443, "/sd"},
    {"127.0.0.1:8443/sd", true, "127.0.0.1:8443", "127.0.0.1", 8443, "/sd"},
    {"https://127.0.0.1:9/", true, "127.0.0.1:9", "127.0.0.1", 9, "/"},
    {"httpsx://host/sd", false, "", "", 0, ""}, // not a scheme: the host "httpsx:" has an empty port
    {"0", false, "", "", 0, ""},
    {"", false, "", "", 0, ""},
    {"   ", false, "", "", 0, ""},
    {"https://", false, "", "", 0, ""},
    {"https:///sd", false, "", "", 0, ""},
    {"0/sd", false, "", "", 0, ""},
    {"host:0/sd", false, "", "", 0, ""},
    {"host:65536", false, "", "", 0, ""},
    {"host:44x3", false, "", "", 0, ""},
    {":443/sd", false, "", "", 0, ""},
};
} // namespace

TEST(SplitServiceUrlTest, SplitsSchemeHostPortAndPathOrRefusesUrlsWithoutHost) {
    for (const SplitCase& c : kSplitCases) {
        SCOPED_TRACE(c.url);
        CServiceUrl split;
        split.m_Host = "untouched";
        const bool ok = SplitServiceUrl(c.url, split);
        ASSERT_EQ(ok, c.ok);
        if (!ok) {
            EXPECT_EQ(split.m_Host, "untouched");
            continue;
        }
        EXPECT_EQ(split.m_Host, c.host);
        EXPECT_EQ(split.m_HostName, c.hostName);
        EXPECT_EQ(split.m_Port, c.port);
        EXPECT_EQ(split.m_Path, c.path);
    }
}

TEST(SplitServiceUrlTest, AddressIsTheUrlTrimmedOfBlanksAndScheme) {
    struct Case {
        const char* url;
        const char* address;
    };
    // Every blank of the C library counts, vertical tab and form feed too: discovered URLs and configured ones are
    // trimmed alike.
    const Case cases[] = {
        {"https://prov.example/sd", "prov.example/sd"},
        {" \t\r\nHTTP://prov.example:8443 \r\n", "prov.example:8443"},
        {"\f https://prov.example/sd\v", "prov.example/sd"},
        {"hTtPs://https://prov.example", "https://prov.example"}, // one scheme only
        {"ftp://prov.example", "ftp://prov.example"},
        {"prov.example/x", "prov.example/x"},
        {" \v ", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ServiceAddressOf(c.url), c.address) << c.url;
    }
}

TEST(SplitServiceUrlTest, HostMayCarryAPortElse443) {
    struct Case {
        const char* host;
        bool ok;
        const char* name;
        int port;
    };
    // A ':' without a port keeps the whole host as the name: a URL is then refused, and a name lookup of the
    // management service's host says what is wrong with it.
    const Case cases[] = {
        {"prov.example", true, "prov.example", 443},
        {"prov.example:8443", true, "prov.example", 8443},
        {"127.0.0.1:1", true, "127.0.0.1", 1},
        {"127.0.0.1:65535", true, "127.0.0.1", 65535},
        {"127.0.0.1:00080", true, "127.0.0.1", 80},
        {"prov.example:", false, "prov.example:", 443},
        {"prov.example:abc", false, "prov.example:abc", 443},
        {"prov.example:0", false, "prov.example:0", 443},
        {"prov.example:70000", false, "prov.example:70000", 443},
        {"prov.example:+80", false, "prov.example:+80", 443},
        {":80", false, ":80", 443},
        {"", true, "", 443},
    };
    for (const Case& c : cases) {
        std::string name;
        int port = 0;
        EXPECT_EQ(SplitHostPort(c.host, name, port), c.ok) << c.host;
        EXPECT_EQ(name, c.name) << c.host;
        EXPECT_EQ(port, c.port) << c.host;
    }
}

TEST(ServiceProviderListTest, SetKeepsNonEmptyUrlsInOrderAndReportsEmptiness) {
    CServiceProviderList list;
    std::string url;
    EXPECT_FALSE(list.GetCurrent(url));
    EXPECT_FALSE(list.SetProviders({"", ""}));
    EXPECT_TRUE(list.IsEmpty());
    EXPECT_TRUE(list.SetProviders({"b/sd", "", "a/sd"}));
    EXPECT_EQ(list.GetProviders(), (std::vector<std::string>{"b/sd", "a/sd"}));
    ASSERT_TRUE(list.GetCurrent(url));
    EXPECT_EQ(url, "b/sd");
    EXPECT_TRUE(list.SetTwoProviders("", "c/sd"));
    EXPECT_EQ(list.GetProviders(), (std::vector<std::string>{"c/sd"}));
}

TEST(ServiceProviderListTest, RemoveDropsEveryExactMatchAndGivesTheNewFirst) {
    CServiceProviderList list;
    list.SetProviders({"p1/sd", "p2/sd", "p1/sd", "P1/sd"});
    std::string next;
    ASSERT_TRUE(list.RemoveAndGetNext("p1/sd", next));
    EXPECT_EQ(next, "p2/sd");
    EXPECT_EQ(list.GetProviders(), (std::vector<std::string>{"p2/sd", "P1/sd"})); // case-sensitive
    // A URL no longer listed (another worker dropped it first) gives the current first one.
    ASSERT_TRUE(list.RemoveAndGetNext("p1/sd", next));
    EXPECT_EQ(next, "p2/sd");
    ASSERT_TRUE(list.RemoveAndGetNext("p2/sd", next));
    EXPECT_EQ(next, "P1/sd");
    next = "kept";
    EXPECT_FALSE(list.RemoveAndGetNext("P1/sd", next));
    EXPECT_EQ(next, "kept");
    EXPECT_TRUE(list.IsEmpty());
}

TEST(ServiceProviderListTest, CursorGoesRoundAndRestartsWhenTheListChanges) {
    CServiceProviderList list;
    std::string url;
    EXPECT_FALSE(list.GetNextInTurn(url));
    list.SetProviders({"a", "b", "c"});
    std::vector<std::string> seen;
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(list.GetNextInTurn(url));
        seen.push_back(url);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"a", "b", "c", "a"}));
    ASSERT_TRUE(list.GetNextInTurn(url));
    ASSERT_TRUE(list.GetNextInTurn(url));
    EXPECT_EQ(url, "c"); // the cursor is back on the first entry
    list.RemoveAndGetNext("a", url);
    ASSERT_TRUE(list.GetNextInTurn(url));
    EXPECT_EQ(url, "b");
    list.SetProviders({"x", "y"});
    ASSERT_TRUE(list.GetNextInTurn(url));
    EXPECT_EQ(url, "x");
}
