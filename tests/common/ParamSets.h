#pragma once
// Merchant parameter sets for the tests, the test peers and the benchmarks: the defaults with the values a case
// needs on top.

#include <string>
#include <utility>
#include <vector>

#include "foundation/ParamSettings.h"

// (parameter index, value) pairs, applied in order.
using ParamValues = std::vector<std::pair<unsigned, std::string>>;

// The default set, as a new installation has it.
CParamSettings DefaultParams();

// |base| with |values| on top, each through its entry's own check. A value refused is left out; |refused| (when
// given) then names the first one ("parameter 12 refuses [x]"), and stays empty when every value was taken.
CParamSettings ParamsWith(const CParamSettings& base, const ParamValues& values, std::string* refused = nullptr);
// The same without the checks: each value goes straight into its entry, as a damaged set could hold it (an empty
// currency, a lane count of none).
CParamSettings ParamsWithUnchecked(const CParamSettings& base, const ParamValues& values);
