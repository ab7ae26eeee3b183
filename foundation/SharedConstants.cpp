// The constants are defined inline in the header; this file checks that the vocabulary is whole.
#include "foundation/SharedConstants.h"

static_assert(kCardTypeNames.size() + kPaymentKindNames.size() + kHostMessageTypes.size() + kReversalReasons.size() +
                      kRequestFieldNames.size() + kTranTypeNames.size() + kAccountSourceNames.size() +
                      kAccountTypeNames.size() + kTranCodeNames.size() ==
                  164,
              "the vocabulary has 164 text constants");
static_assert(kParamLastIndex - kParamFirstIndex + 1 == 22, "the merchant parameter set has 22 entries");
