// What one encrypted request costs the crypto object: key-blob import (the RSA private decrypt), hex decode and
// RC4, under the object's lock. The bare RSA-1024 private decrypt beside it shows how much of that is RSA.

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include "common/LaneRequestKey.h"
#include "common/TempDir.h"
#include "foundation/Request.h"
#include "platform/Files.h"

namespace {
struct CFixture {
    CScopedTempDir folder{"kestrove-bench"};
    CRequest crypto;
    std::vector<uint8_t> blob;
    std::string requestHex;
    std::vector<uint8_t> bigEndianCipher; // the blob's RSA block as OpenSSL takes it
    EVP_PKEY* key = nullptr;

    CFixture() {
        if (folder.Path().empty()) {
            std::abort(); // measured in the caller's folder, the run would write its files there
        }
        if (!crypto.StartCrypto()) {
            std::abort();
        }
        const CLaneRequestKey lane(crypto.GetPublicKeyHex());
        if (!lane.Ok()) {
            std::abort();
        }
        blob = lane.Blob();
        const std::string request = "TStream=Transaction\x1cTranType=PrePaid\x1cTranCode=Sale\x1c"
                                    "IpPort=9100\x1cMerchantID=494901\x1cOperatorID=TEST\x1c"
                                    "Track2=6050110010020030040=491210012345\x1cPurchase=12.34\x1c"
                                    "InvoiceNo=10045\x1cRefNo=10045\x1cMemo=Lane 3 POS v4.2\x1c"
                                    "TerminalName=LANE03\x1cShiftID=2\x1cSequenceNo=0010010010";
        requestHex = lane.Encrypt(request);
        bigEndianCipher.assign(blob.rbegin(), blob.rend() - 12);

        std::string pem;
        ReadWholeFile(std::filesystem::path("CORVANE_KEYS") / (std::string(kKeyContainerName) + ".pem"), &pem);
        BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
        key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
        BIO_free(bio);
        if (key == nullptr) {
            std::abort();
        }
    }
    ~CFixture() { EVP_PKEY_free(key); }
};

CFixture& Fixture() {
    static CFixture fixture;
    return fixture;
}

void BM_DecryptWithClientKey(benchmark::State& state) {
    CFixture& f = Fixture();
    std::string text;
    for (auto _ : state) {
        if (!f.crypto.DecryptWithClientKey(f.blob.data(), static_cast<uint32_t>(f.blob.size()), f.requestHex, &text)) {
            state.SkipWithError("decrypt failed");
            break;
        }
        benchmark::DoNotOptimize(text.data());
    }
    state.SetLabel(std::to_string(f.requestHex.size() / 2) + "-byte request");
}
BENCHMARK(BM_DecryptWithClientKey);

void BM_BareRsa1024PrivateDecrypt(benchmark::State& state) {
    CFixture& f = Fixture();
    std::vector<uint8_t> out(128);
    for (auto _ : state) {
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, f.key, nullptr);
        size_t length = out.size();
        if (ctx == nullptr || EVP_PKEY_decrypt_init(ctx) != 1 ||
            EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) != 1 ||
            EVP_PKEY_decrypt(ctx, out.data(), &length, f.bigEndianCipher.data(), f.bigEndianCipher.size()) != 1) {
            EVP_PKEY_CTX_free(ctx);
            state.SkipWithError("RSA decrypt failed");
            break;
        }
        EVP_PKEY_CTX_free(ctx);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_BareRsa1024PrivateDecrypt);
} // namespace

BENCHMARK_MAIN();
