// What one host exchange costs over the Datawire transport on this machine: connect, TLS handshake with the
// certificate check, the transaction envelope out, the answer read and decoded, close. Bare TLS handshakes with
// the same certificate, in the same run, show how much of it is the handshake. Everything runs on loopback
// against the in-process test endpoint; the CPU column is the client thread's.

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include "common/ParamSets.h"
#include "common/TempDir.h"
#include "foundation/ParamSettings.h"
#include "foundation/ParamStore.h"
#include "host/DatawireClient.h"
#include "host/SspiProvider.h"
#include "host/TlsChannel.h"
#include "peers/DatawireEndpoint.h"
#include "peers/TestPki.h"
#include "peers/TlsTestServer.h"
#include "transaction/Transaction.h"

namespace {
// Made once for the run: the trusted test root, the credential, the merchant parameters, the Datawire endpoint
// and a bare TLS server with the same certificate.
struct CFixture {
    CScopedTempDir folder{"kestrove-bench"};
    CTestPki pki;
    std::unique_ptr<CDatawireEndpoint> endpoint;
    std::unique_ptr<CTlsTestServer> tlsServer;
    CTransaction transaction;

    CFixture() {
        if (folder.Path().empty()) {
            std::abort(); // measured in the caller's folder, the run would write its files there
        }
        if (!pki.TrustRootForThisProcess(folder.Path()) || !g_SspiProvider.Init()) {
            std::abort();
        }
        const CParamSettings settings = ParamsWith(DefaultParams(), {{kParamMerchantId, "123456789AB"},
                                                                     {kParamAlternateMerchantId, "BA987654321"},
                                                                     {kParamDatawireId, "00011122233344455566DW"},
                                                                     {kParamVerifySslCertificate, "Y"}});
        if (!CParamStore::Instance().SetParams(settings)) {
            std::abort();
        }
        const CTestIdentity& identity = pki.Leaf(TestLeaf::LoopbackIp);
        endpoint = std::make_unique<CDatawireEndpoint>(identity);
        tlsServer = std::make_unique<CTlsTestServer>(identity);
        if (!endpoint->Start() || !tlsServer->Start()) {
            std::abort();
        }
        transaction.m_HostRequest = "0200\x1c"
                                    "62"
                                    "\x1c"
                                    "6000000000000000\x1c"
                                    "10.00\x1c"
                                    "000042";
    }
};

CFixture& Fixture() {
    static CFixture fixture;
    return fixture;
}

void BM_TransactionExchange(benchmark::State& state) {
    CFixture& f = Fixture();
    CServiceUrl endpoint;
    if (!SplitServiceUrl(f.endpoint->HostAndPort(), endpoint)) {
        state.SkipWithError("no endpoint");
        return;
    }
    for (auto _ : state) {
        CDatawireClient client;
        client.SetServiceID("104");
        client.SetEndpoint(endpoint);
        if (!client.Connect() || !client.BuildTransactionRequest(f.transaction, 42) || !client.SendAndReceive()) {
            state.SkipWithError(client.GetLastErrorText().c_str());
            break;
        }
        benchmark::DoNotOptimize(client.GetPayloadText());
        client.Close();
    }
}
// Each connection leaves a finished thread in the test server until it stops, so the count is bounded.
BENCHMARK(BM_TransactionExchange)->Unit(benchmark::kMicrosecond)->Iterations(400);

void BM_BareHandshake(benchmark::State& state) {
    CFixture& f = Fixture();
    const bool check = state.range(0) != 0;
    for (auto _ : state) {
        CTlsChannel channel;
        if (!channel.Connect("127.0.0.1", f.tlsServer->Port(), 3000, 10000) ||
            (check && !channel.VerifyServerCertificate("127.0.0.1"))) {
            state.SkipWithError(channel.GetLastErrorText().c_str());
            break;
        }
        channel.Close();
    }
}
BENCHMARK(BM_BareHandshake)
    ->ArgName("certificate_check")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(400);
} // namespace

BENCHMARK_MAIN();
