#pragma once
// A kestrove server folder for the tests that run the program against the host simulator: the simulator on
// loopback (real TLS, the test CA), the merchant's parameters written into the folder with the discovery hosts
// at the simulator, and helpers to start the kestrove program there and learn its POS port.

#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "ChildProcess.h"
#include "common/TempDir.h"
#include "foundation/ParamStore.h"
#include "peers/EndToEndFixture.h"
#include "peers/HostSimulator.h"
#include "peers/TestPki.h"

// The card every test of these folders pays with, and its opening balance in cents.
inline const std::string kServerFolderCard = "6006491111111111";
inline constexpr long long kServerFolderCardCents = 5000;
// Generous real-time bound for a start-up or shut-down of the program under the sanitizers.
inline constexpr int kServerFolderTimeoutMs = 60000;

class ServerFolderTest : public TempDirTest {
protected:
    void SetUp() override {
        m_Folder = m_TempDir.Path() / "server";
        std::filesystem::create_directories(m_Folder);
        ASSERT_TRUE(EndToEndPki().WriteRootFile(m_Folder / "ca.pem"));

        CHostSimulatorOptions options;
        options.merchantId = kE2eMerchantId;
        options.altMerchantId = kE2eAltMerchantId;
        options.terminalId = kE2eTerminalId;
        options.datawireId = kE2eDatawireId;
        m_Simulator = std::make_unique<CHostSimulator>(EndToEndPki().Leaf(TestLeaf::LoopbackIp), options);
        ASSERT_TRUE(m_Simulator->Start());
        m_Simulator->Host().AddCard(kServerFolderCard, kServerFolderCardCents);
        WriteParameters();
    }

    // The merchant's parameters in the server's folder, with the discovery hosts at the simulator.
    void WriteParameters() {
        const std::vector<std::pair<unsigned, std::string>> values = {
            {kParamMerchantId, kE2eMerchantId},
            {kParamAlternateMerchantId, kE2eAltMerchantId},
            {kParamTerminalId, kE2eTerminalId},
            {kParamDatawireId, kE2eDatawireId},
            {kParamPrimaryUrl, m_Simulator->DiscoveryHost(0)},
            {kParamSecondaryUrl, m_Simulator->DiscoveryHost(1)},
            {kParamTransportMethod, "0"},
            {kParamNumberOfLanes, "8"},
        };
        CParamSettings settings;
        settings.BuildDefaults();
        CParamMap map = settings.GetParamMap();
        for (const auto& [index, value] : values) {
            ASSERT_TRUE(map.FindEntry(index)->SetValue(value)) << index << " " << value;
        }
        settings.SetParamMap(map);
        CParamStore store(m_Folder / kParamStoreFileName);
        ASSERT_TRUE(store.SetParams(settings)) << store.GetLastErrorText();
    }

    // The environment the program runs with in this folder: its own lock folder, a free POS port, the test CA.
    std::map<std::string, std::string> ServerEnvironment() const {
        return {
            {"KESTROVE_LOCK_DIR", m_TempDir.Path().string()},
            {"KESTROVE_POS_PORT", "0"},
            {"SSL_CERT_FILE", (m_Folder / "ca.pem").string()},
            {"SSL_CERT_DIR", m_Folder.string()},
        };
    }

    bool StartServer(const std::vector<std::string>& args = {"/started_as_service"},
                     const std::map<std::string, std::string>& extraEnvironment = {}) {
        std::map<std::string, std::string> env = ServerEnvironment();
        for (const auto& [key, value] : extraEnvironment) {
            env[key] = value;
        }
        return m_Server.Start(testing_child::KestroveProgram(), args, m_Folder, env, "kestrove");
    }

    // The port the server logged once its start-up had finished; -1 when it did not finish.
    int WaitForPort() {
        const std::regex portLine("POS clients are served on port ([0-9]+)\\.");
        int port = -1;
        testing_child::WaitUntil(
            [&] {
                const std::string log = testing_child::ReadLogFolder(m_Folder);
                std::smatch match;
                if (log.find("Interfaces initialized successfully.") != std::string::npos &&
                    std::regex_search(log, match, portLine)) {
                    port = std::stoi(match[1]);
                    return true;
                }
                return m_Server.Wait(0);
            },
            kServerFolderTimeoutMs);
        return port;
    }

    std::filesystem::path m_Folder;
    std::unique_ptr<CHostSimulator> m_Simulator;
    testing_child::CChildProcess m_Server;
};
