// Feeds host answers of any bytes to a transaction. The first byte picks the TranCode and whether the reply
// is encrypted for a client; the rest is the answer.

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/SampleTransaction.h"
#include "fuzz/FuzzSupport.h"
#include "transaction/Transaction.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    static const int kTranCodes[] = {kTranNumInvalid,    kTranNumReversal,   kTranNumIssue,   kTranNumVoidIssue,
                                     kTranNumSale,       kTranNumReturn,     kTranNumReload,  kTranNumVoidSale,
                                     kTranNumVoidReturn, kTranNumVoidReload, kTranNumBalance, kTranNumNoNSFSale,
                                     kTranNumCashOut};
    const fuzzsupport::SFuzzWorld& world = fuzzsupport::World();

    CTransaction transaction = SampleTransaction(
        kTranCodes[(data[0] & 0x7F) % (sizeof(kTranCodes) / sizeof(kTranCodes[0]))], "6001234567890123", "1234");
    if ((data[0] & 0x80) != 0) {
        transaction.m_RequestKey = world.BlobHex();
    } else {
        transaction.m_CryptMode = kCryptModePlain;
    }
    transaction.m_HostResponse.assign(reinterpret_cast<const char*>(data + 1), size - 1);
    transaction.ParseHostResponse();
    return 0;
}
