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
