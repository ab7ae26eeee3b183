// What one gift-card transaction costs the server outside the network: the encrypted Sale request unframed,
// decrypted and validated, its host message written, a host answer read and the encrypted reply built. The bare
// RSA private decrypt of the request's key blob runs beside it; it is what the key import of the request and of
// the reply each pay.

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "common/LaneRequestKey.h"
#include "common/ParamSets.h"
#include "common/TempDir.h"
#include "foundation/Logger.h"
#include "foundation/ParamSettings.h"
#include "foundation/ParamStore.h"
#include "foundation/Request.h"
#include "platform/Files.h"
#include "platform/RsaKey.h"
#include "transaction/Transaction.h"

namespace {

const std::string kFS(1, kCharFS);

struct CFixture {
    CScopedTempDir folder{"kestrove-bench"};
    std::string frame;
    std::string hostAnswer;
    CRsaKey privateKey;
    std::vector<uint8_t> cipher; // the key blob's RSA block, big-endian

    CFixture() {
        if (folder.Path().empty()) {
            std::abort(); // measured in the caller's folder, the run would write its files there
        }
        // The reply's log line would measure the disk, not the transaction.
        CLogger::Instance().Stop();
        if (!CRequest::Instance().StartCrypto()) {
            std::abort();
        }
        CParamStore::Instance().SetParams(ParamsWith(DefaultParams(), {{kParamMerchantId, "12345678901"},
                                                                       {kParamAlternateMerchantId, "10987654321"},
                                                                       {kParamTerminalId, "0001"}}));

        const CLaneRequestKey lane(CRequest::Instance().GetPublicKeyHex());
        if (!lane.Ok()) {
            std::abort();
        }
        const std::vector<uint8_t>& blob = lane.Blob();
        RequestFieldList fields = KeyedSaleFields();
        fields[1].second = "12345678901"; // the merchant of the parameters
        frame = lane.Frame(JoinFields(fields));
        hostAnswer = "SV.12345678901" + kFS + "3900" + kFS + "38A1B2C3" + kFS + "706001234567890123" + kFS + "761250" +
                     std::string(1, kCharETX);

        std::string pem;
        if (!ReadWholeFile(std::filesystem::path("CORVANE_KEYS") / (std::string(kKeyContainerName) + ".pem"), &pem) ||
            CRsaKey::FromPrivatePem(pem, &privateKey) != kCryptOk) {
            std::abort();
        }
        // Blob: 12 bytes of header, then the RSA block least significant byte first.
        cipher.assign(blob.begin() + 12, blob.end());
        std::reverse(cipher.begin(), cipher.end());
    }
};

CFixture& Fixture() {
    static CFixture fixture;
    return fixture;
}

void BM_EncryptedSaleEndToEnd(benchmark::State& state) {
    CFixture& fixture = Fixture();
    for (auto _ : state) {
        CTransaction transaction;
        transaction.SetRequest(fixture.frame);
        if (transaction.m_TranCode != kTranNumSale || !transaction.BuildHostRequest()) {
            state.SkipWithError("the Sale did not parse");
            break;
        }
        transaction.m_HostResponse = fixture.hostAnswer;
        transaction.ParseHostResponse();
        benchmark::DoNotOptimize(transaction.m_Reply.data());
    }
}
BENCHMARK(BM_EncryptedSaleEndToEnd);

void BM_ParseAndValidateEncryptedSale(benchmark::State& state) {
    CFixture& fixture = Fixture();
    for (auto _ : state) {
        CTransaction transaction;
        transaction.SetRequest(fixture.frame);
        benchmark::DoNotOptimize(transaction.m_TranCode);
    }
}
BENCHMARK(BM_ParseAndValidateEncryptedSale);

void BM_HostMessageAndAnswer(benchmark::State& state) {
    CFixture& fixture = Fixture();
    CTransaction parsed;
    parsed.SetRequest(fixture.frame);
    parsed.m_CryptMode = kCryptModePlain; // the reply without its encryption
    for (auto _ : state) {
        CTransaction transaction = parsed;
        transaction.BuildHostRequest();
        transaction.m_HostResponse = fixture.hostAnswer;
        transaction.ParseHostResponse();
        benchmark::DoNotOptimize(transaction.m_Reply.data());
    }
}
BENCHMARK(BM_HostMessageAndAnswer);

void BM_BareRsaPrivateDecryptOfKeyBlob(benchmark::State& state) {
    CFixture& fixture = Fixture();
    std::vector<uint8_t> key;
    for (auto _ : state) {
        if (fixture.privateKey.PrivateDecryptPkcs1(fixture.cipher.data(), fixture.cipher.size(), &key) != kCryptOk) {
            state.SkipWithError("decrypt failed");
            break;
        }
        benchmark::DoNotOptimize(key.data());
    }
}
BENCHMARK(BM_BareRsaPrivateDecryptOfKeyBlob);

} // namespace

BENCHMARK_MAIN();
