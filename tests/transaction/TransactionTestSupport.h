#pragma once
// What the transaction tests share: the process's crypto object started once, a lane's request key for it, and
// the merchant parameters the host message and the replies read.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "common/LaneRequestKey.h"
#include "common/ParamSets.h"
#include "foundation/ParamSettings.h"
#include "foundation/ParamStore.h"
#include "foundation/Request.h"
#include "transaction/Transaction.h"

namespace testsupport {

inline const std::string kFS(1, kCharFS);

// Starts the process's crypto object (its key pair is made in the current folder) once per test program.
inline void EnsureCryptoStarted() {
    static bool started = false;
    if (!started) {
        ASSERT_TRUE(CRequest::Instance().StartCrypto());
        started = true;
    }
}

// Sets the merchant parameters the transaction reads, the rest at their defaults.
inline void SetMerchantParams(const std::string& merchantId, const std::string& alternateId,
                              const std::string& terminalId, const std::string& currency) {
    // Set even where the type would refuse the value (an empty currency), as a damaged set could hold it.
    ASSERT_TRUE(CParamStore::Instance().SetParams(
        ParamsWithUnchecked(DefaultParams(), {{kParamMerchantId, merchantId},
                                              {kParamAlternateMerchantId, alternateId},
                                              {kParamTerminalId, terminalId},
                                              {kParamMerchantCurrency, currency}})));
}

// A lane's request key for the process's crypto object, which is started first (in the current folder).
inline CLaneRequestKey ProcessLaneKey() {
    EnsureCryptoStarted();
    CLaneRequestKey key(CRequest::Instance().GetPublicKeyHex());
    EXPECT_TRUE(key.Ok());
    return key;
}

} // namespace testsupport
