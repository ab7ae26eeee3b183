// The processing loop and the dial worker each take a GetAll snapshot of the transaction queue every 50 ms;
// this measures what one snapshot costs with a busy queue of full-sized records.

#include <benchmark/benchmark.h>

#include <string>

#include "common/SampleTransaction.h"

#include "transaction/TransactionQueue.h"

namespace {
// A record with every text member filled about as a processed Sale fills it.
CTransaction FullRecord(int i) {
    CTransaction record = SampleTransaction(kTranNumSale, kSampleAccount, "1000");
    const std::string n = std::to_string(i);
    record.m_RequestKey = std::string(296, 'A');
    record.m_Header = "VYR" + n;
    record.m_Request = std::string(300, 'r');
    record.m_Reply = std::string(900, 'x');
    record.m_ResultText = "Invalid Command Format.";
    record.m_HostTime = "101500";
    record.m_HostDate = "03142024";
    record.m_RefNo = "REF" + n;
    record.m_InvoiceNo = "INV" + n;
    record.m_ClientAddress = "127.0.0.1:" + n;
    record.m_Track2 = std::string(kSampleAccount) + "=25121010000000000000";
    record.m_HostRequest = std::string(180, 'h');
    record.m_HostResponse = std::string(220, 'a');
    record.m_ResponseText = "00:APPROVED";
    record.m_Balance = "500";
    return record;
}

void BM_GetAll(benchmark::State& state) {
    CTransactionQueue queue;
    for (int i = 0; i < state.range(0); ++i) {
        CTransaction record = FullRecord(i);
        queue.Add(record);
    }
    CTransactionList snapshot;
    for (auto _ : state) {
        queue.GetAll(snapshot);
        benchmark::DoNotOptimize(snapshot.data());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
} // namespace

BENCHMARK(BM_GetAll)->Arg(200)->Arg(1000)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
