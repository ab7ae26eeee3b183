#pragma once
// The host side that a kestrove child process needs to start every interface: the host simulator on loopback
// (real TLS, the test CA), and in each server folder the merchant parameters that point at it and the CA file
// that the child trusts through SSL_CERT_FILE.

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/ParamStore.h"
#include "peers/EndToEndFixture.h"
#include "peers/HostSimulator.h"
#include "peers/TestPki.h"

namespace testing_child {

// Owns the simulator, which serves until the object goes. Not thread-safe: the test thread uses it.
class CTestHostSide {
public:
    CTestHostSide() {
        CHostSimulatorOptions options;
        options.merchantId = kE2eMerchantId;
        options.altMerchantId = kE2eAltMerchantId;
        options.terminalId = kE2eTerminalId;
        options.datawireId = kE2eDatawireId;
        m_Simulator = std::make_unique<CHostSimulator>(EndToEndPki().Leaf(TestLeaf::LoopbackIp), options);
        m_Started = m_Simulator->Start();
    }

    bool Started() const { return m_Started; }
    CHostSimulator& Simulator() { return *m_Simulator; }

    // Writes the merchant's parameters (discovery at the simulator, several lanes, |transport| as the transport
    // method) and the CA file into |folder|.
    ::testing::AssertionResult PrepareFolder(const std::filesystem::path& folder,
                                             const std::string& transport = "0") const {
        if (!EndToEndPki().WriteRootFile(folder / "ca.pem")) {
            return ::testing::AssertionFailure() << "cannot write the CA file into " << folder;
        }
        const std::vector<std::pair<unsigned, std::string>> values = {
            {kParamMerchantId, kE2eMerchantId},
            {kParamAlternateMerchantId, kE2eAltMerchantId},
            {kParamTerminalId, kE2eTerminalId},
            {kParamDatawireId, kE2eDatawireId},
            {kParamPrimaryUrl, m_Simulator->DiscoveryHost(0)},
            {kParamSecondaryUrl, m_Simulator->DiscoveryHost(1)},
            {kParamTransportMethod, transport},
            {kParamNumberOfLanes, "8"},
        };
        CParamSettings settings;
        settings.BuildDefaults();
        CParamMap map = settings.GetParamMap();
        for (const auto& [index, value] : values) {
            if (!map.FindEntry(index)->SetValue(value)) {
                return ::testing::AssertionFailure() << "parameter " << index << " refuses " << value;
            }
        }
        settings.SetParamMap(map);
        CParamStore store(folder / kParamStoreFileName);
        if (!store.SetParams(settings)) {
            return ::testing::AssertionFailure() << store.GetLastErrorText();
        }
        return ::testing::AssertionSuccess();
    }

    // The variables that make a child in |folder| trust the simulator.
    static std::map<std::string, std::string> TrustEnvironment(const std::filesystem::path& folder) {
        return {{"SSL_CERT_FILE", (folder / "ca.pem").string()}, {"SSL_CERT_DIR", folder.string()}};
    }

private:
    std::unique_ptr<CHostSimulator> m_Simulator;
    bool m_Started = false;
};

} // namespace testing_child
