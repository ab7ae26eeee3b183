#pragma once
// Sample transaction records for the tests and benchmarks of the queue, the host message, the host interface,
// the dial backup and the reversal worker, and a look at a record in the process's queue. Header-only: only
// those that link the transaction library include it.

#include <cstdint>
#include <string>

#include "transaction/CardHelpers.h"
#include "transaction/Transaction.h"
#include "transaction/TransactionQueue.h"

// The card of the samples.
inline constexpr char kSampleAccount[] = "6035710012341234";
// The client the samples came from.
inline constexpr char kSampleClient[] = "127.0.0.1:1";

// A keyed request for |cents| on |account| as the request parser leaves it once it is valid, waiting in the queue
// for the host (state 1, encrypted): its tran code and name, the account (also as the track, as a keyed request
// carries it), the purchase and the amount to authorize, an invoice, the operator, the card type and the client.
// Tests change what their case varies.
inline CTransaction SampleTransaction(int tranCode = kTranNumSale, const std::string& account = kSampleAccount,
                                      const std::string& cents = "1000") {
    CTransaction transaction;
    transaction.m_TranCode = tranCode;
    transaction.m_TranCodeName = TranCodeName(tranCode);
    transaction.m_State = kTranStateQueued;
    transaction.m_CryptMode = kCryptModeEncrypted;
    transaction.m_Account = account;
    transaction.m_Track2 = account;
    transaction.m_Purchase = cents;
    transaction.m_Authorize = cents;
    transaction.m_InvoiceNo = "1234";
    transaction.m_OperatorID = "OP";
    transaction.m_CardType = "PrePaid";
    transaction.m_ClientAddress = kSampleClient;
    return transaction;
}

// The record |seq| of g_TransactionQueue as it stands now; state -1 when it is no longer there.
inline CTransaction QueuedRecord(int32_t seq) {
    CTransaction record;
    record.m_State = -1;
    g_TransactionQueue.GetBySeq(seq, record);
    return record;
}
