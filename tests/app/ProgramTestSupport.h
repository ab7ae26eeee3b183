#pragma once
// What the tests of the program as a child process share: the merchant's parameters written into the program's
// folder, and the wait for the POS port that its finished start-up logged.

#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "ChildProcess.h"
#include "foundation/ParamStore.h"
#include "peers/EndToEndFixture.h"
#include "peers/HostSimulator.h"

namespace testing_child {

// Saves the end-to-end world's merchant (ids, eight lanes) with |values| on top as |folder|'s parameter file.
inline void WriteProgramParameters(const std::filesystem::path& folder,
                                   const std::vector<std::pair<unsigned, std::string>>& values) {
    std::vector<std::pair<unsigned, std::string>> all = {
        {kParamMerchantId, kE2eMerchantId}, {kParamAlternateMerchantId, kE2eAltMerchantId},
        {kParamTerminalId, kE2eTerminalId}, {kParamDatawireId, kE2eDatawireId},
        {kParamNumberOfLanes, "8"},
    };
    all.insert(all.end(), values.begin(), values.end());
    CParamSettings settings;
    settings.BuildDefaults();
    CParamMap map = settings.GetParamMap();
    for (const auto& [index, value] : all) {
        ASSERT_TRUE(map.FindEntry(index)->SetValue(value)) << index << " " << value;
    }
    settings.SetParamMap(map);
    CParamStore store(folder / kParamStoreFileName);
    ASSERT_TRUE(store.SetParams(settings)) << store.GetLastErrorText();
}

// A host simulator that expects the end-to-end world's merchant, showing the test CA's 127.0.0.1 certificate.
inline std::unique_ptr<CHostSimulator> MakeProgramHostSimulator() {
    CHostSimulatorOptions options;
    options.merchantId = kE2eMerchantId;
    options.altMerchantId = kE2eAltMerchantId;
    options.terminalId = kE2eTerminalId;
    options.datawireId = kE2eDatawireId;
    return std::make_unique<CHostSimulator>(EndToEndPki().Leaf(TestLeaf::LoopbackIp), options);
}

// The port |server| (running in |folder|) logged once its start-up had finished; -1 when it did not finish
// within |timeoutMs| or the program ended.
inline int WaitForServedPort(CChildProcess& server, const std::filesystem::path& folder, int timeoutMs) {
    const std::regex portLine("POS clients are served on port ([0-9]+)\\.");
    int port = -1;
    WaitUntil(
        [&] {
            const std::string log = ReadLogFolder(folder);
            std::smatch match;
            if (log.find("Interfaces initialized successfully.") != std::string::npos &&
                std::regex_search(log, match, portLine)) {
                port = std::stoi(match[1]);
                return true;
            }
            return server.Wait(0);
        },
        timeoutMs);
    return port;
}

} // namespace testing_child
