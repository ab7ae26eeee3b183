#include "common/ParamSets.h"

CParamSettings DefaultParams() {
    CParamSettings settings;
    settings.BuildDefaults();
    return settings;
}

CParamSettings ParamsWith(const CParamSettings& base, const ParamValues& values, std::string* refused) {
    CParamSettings settings = base;
    CParamMap map = settings.GetParamMap();
    if (refused != nullptr) {
        refused->clear();
    }
    for (const auto& [index, value] : values) {
        CParamEntry* entry = map.FindEntry(index);
        if ((entry == nullptr || !entry->SetValue(value)) && refused != nullptr && refused->empty()) {
            *refused = "parameter " + std::to_string(index) + " refuses [" + value + "]";
        }
    }
    settings.SetParamMap(map);
    return settings;
}

CParamSettings ParamsWithUnchecked(const CParamSettings& base, const ParamValues& values) {
    CParamSettings settings = base;
    CParamMap map = settings.GetParamMap();
    for (const auto& [index, value] : values) {
        const CParamEntry* entry = map.FindEntry(index);
        if (entry != nullptr) {
            map.SetAt(index, CParamEntry(entry->GetType(), entry->GetName(), value));
        }
    }
    settings.SetParamMap(map);
    return settings;
}
