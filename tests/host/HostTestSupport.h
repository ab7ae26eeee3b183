#pragma once
// Shared pieces of the host-interface tests: the process-wide state reset, the merchant parameters of a test, the
// process's trust in the test CA and a loopback port that refuses connections.

#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "common/ParamSets.h"
#include "common/TempDirTest.h"
#include "foundation/ParamSettings.h"
#include "foundation/ParamStore.h"
#include "host/ServiceProviderList.h"
#include "host/SspiProvider.h"
#include "peers/DatawireEndpoint.h"
#include "peers/TestPki.h"
#include "platform/ProcessEvents.h"
#include "transaction/ReversalJournal.h"
#include "transaction/TransactionQueue.h"

namespace hosttest {

// The process-wide state that the host interface, the dial backup and the reverse worker share, as a start-up
// finds it: the events clear, the queues, the provider list and the reversal journal empty.
inline void ResetSharedHostState() {
    g_ShutdownEvent.Reset();
    g_DialConnectedEvent.Reset();
    g_ServiceDiscoveryRequest.Reset();
    g_TransactionQueue.RemoveAll();
    g_ReversalQueue.RemoveAll();
    g_ServiceProviderList.RemoveAll();
    CReversalJournal::Instance().ResetForTesting();
}

// Makes the current parameter set: a valid merchant with the given values (index -> value) on top.
inline void SetMerchantParams(const std::map<unsigned, std::string>& values) {
    ParamValues all = {
        {kParamMerchantId, "MERCH000001"}, {kParamAlternateMerchantId, "ALTMID00001"},
        {kParamTerminalId, "0042"},        {kParamDatawireId, "00010203040506070809"},
        {kParamVerifySslCertificate, "Y"}, {kParamIpConnectTimeout, "3"},
    };
    all.insert(all.end(), values.begin(), values.end());
    std::string refused;
    const CParamSettings settings = ParamsWith(DefaultParams(), all, &refused);
    ASSERT_EQ(refused, "");
    ASSERT_TRUE(CParamStore::Instance().SetParams(settings));
}

// The test CA trusted by the process and the credential made, once for a test suite.
class CTrustedPki {
public:
    CTrustedPki() : m_TrustDir("kestrove-hostif", CScopedTempDir::Current::Leave) {
        m_Pki = std::make_unique<CTestPki>();
        if (!m_TrustDir.Path().empty()) {
            m_Ok = m_Pki->TrustRootForThisProcess(m_TrustDir.Path()) && g_SspiProvider.Init();
        }
    }
    ~CTrustedPki() { g_SspiProvider.Free(); }
    CTrustedPki(const CTrustedPki&) = delete;
    CTrustedPki& operator=(const CTrustedPki&) = delete;
    bool Ok() const { return m_Ok; }
    // The certificate of a provider at 127.0.0.1.
    const CTestIdentity& Loopback() const { return m_Pki->Leaf(TestLeaf::LoopbackIp); }
    // Any certificate the test CA issued.
    const CTestIdentity& Leaf(TestLeaf leaf) const { return m_Pki->Leaf(leaf); }

private:
    std::unique_ptr<CTestPki> m_Pki;
    CScopedTempDir m_TrustDir;
    bool m_Ok = false;
};

// A fixture whose suite trusts the test CA and holds the TLS credential, made once for the suite (making keys is
// slow); each test runs in |Base|'s world, a temporary folder of its own unless told otherwise.
template <typename Base = TempDirTest> class TrustedPkiTest : public Base {
public:
    static void SetUpTestSuite() { s_Pki = std::make_unique<CTrustedPki>(); }
    static void TearDownTestSuite() { s_Pki.reset(); }

protected:
    static inline std::unique_ptr<CTrustedPki> s_Pki;
};

// "127.0.0.1:<port>" of a loopback port where nothing listens: an endpoint was started there and stopped.
inline std::string RefusingHostAndPort(const CTrustedPki& pki) {
    CDatawireEndpoint closed(pki.Loopback());
    EXPECT_TRUE(closed.Start());
    const std::string host = closed.HostAndPort();
    closed.Stop();
    return host;
}

// The endpoint of the provider URL |url|, split as the transport splits it.
inline CServiceUrl EndpointOf(const std::string& url) {
    CServiceUrl endpoint;
    EXPECT_TRUE(SplitServiceUrl(url, endpoint)) << url;
    return endpoint;
}

} // namespace hosttest
