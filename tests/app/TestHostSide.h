#pragma once
// The host side that a kestrove child process needs to start every interface: the host simulator on loopback
// (real TLS, the test CA), and in each server folder the merchant parameters that point at it and the CA file
// that the child trusts through SSL_CERT_FILE; and the wait for the POS port the finished start-up logged.

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "ChildProcess.h"
#include "app/Program.h"
#include "common/LogFolder.h"
#include "common/ParamSets.h"
#include "common/Wait.h"
#include "foundation/ParamStore.h"
#include "peers/EndToEndFixture.h"
#include "peers/HostSimulator.h"
#include "peers/TestPki.h"

namespace testing_child {

// The end-to-end world's merchant (ids, eight lanes) with |values| on top; a value a parameter refuses fails
// the test that asked.
inline CParamSettings ProgramSettings(const ParamValues& values) {
    ParamValues all = EndToEndMerchant();
    all.emplace_back(kParamNumberOfLanes, "8");
    all.insert(all.end(), values.begin(), values.end());
    std::string refused;
    const CParamSettings settings = ParamsWith(DefaultParams(), all, &refused);
    EXPECT_EQ(refused, "");
    return settings;
}

// Saves ProgramSettings(|values|) as |folder|'s parameter file.
inline ::testing::AssertionResult WriteProgramParameters(const std::filesystem::path& folder,
                                                         const ParamValues& values) {
    CParamStore store(folder / kParamStoreFileName);
    if (!store.SetParams(ProgramSettings(values))) {
        return ::testing::AssertionFailure() << store.GetLastErrorText();
    }
    return ::testing::AssertionSuccess();
}

// The options of a host simulator that expects the end-to-end world's merchant.
inline CHostSimulatorOptions ProgramSimulatorOptions() {
    CHostSimulatorOptions options;
    options.merchantId = kE2eMerchantId;
    options.altMerchantId = kE2eAltMerchantId;
    options.terminalId = kE2eTerminalId;
    options.datawireId = kE2eDatawireId;
    return options;
}

// A host simulator with |options|, showing the test CA's 127.0.0.1 certificate.
inline std::unique_ptr<CHostSimulator>
MakeProgramHostSimulator(const CHostSimulatorOptions& options = ProgramSimulatorOptions()) {
    return std::make_unique<CHostSimulator>(EndToEndPki().Leaf(TestLeaf::LoopbackIp), options);
}

// The port a server logged once its start-up had finished, read from its |log|; -1 while it has not.
inline int ServedPort(const std::string& log) {
    const std::regex portLine("POS clients are served on port ([0-9]+)\\.");
    std::smatch match;
    if (log.find("Interfaces initialized successfully.") == std::string::npos ||
        !std::regex_search(log, match, portLine)) {
        return -1;
    }
    return std::stoi(match[1]);
}

// The port that |server| logged (|log| reads the log that counts) once its start-up had finished; -1 when it
// did not finish within |timeoutMs| or the program ended.
inline int WaitForServedPort(CChildProcess& server, const std::function<std::string()>& log, int timeoutMs) {
    int port = -1;
    WaitUntil(
        [&] {
            port = ServedPort(log());
            return port > 0 || server.Wait(0);
        },
        timeoutMs, kChildPollMs);
    return port;
}

// The same for a server whose whole log folder counts.
inline int WaitForServedPort(CChildProcess& server, const std::filesystem::path& folder, int timeoutMs) {
    return WaitForServedPort(
        server, [&] { return ReadLogFolder(folder); }, timeoutMs);
}

// Owns the simulator, which serves until the object goes. Not thread-safe: the test thread uses it.
class CTestHostSide {
public:
    explicit CTestHostSide(const CHostSimulatorOptions& options = ProgramSimulatorOptions())
        : m_Simulator(MakeProgramHostSimulator(options)) {
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
        CParamStore store(folder / kParamStoreFileName);
        if (!store.SetParams(MerchantSettings(transport))) {
            return ::testing::AssertionFailure() << store.GetLastErrorText();
        }
        return ::testing::AssertionSuccess();
    }

    // The merchant's parameters with discovery at the simulator and |transport| as the transport method.
    CParamSettings MerchantSettings(const std::string& transport = "0") const {
        return ProgramSettings({
            {kParamPrimaryUrl, m_Simulator->DiscoveryHost(0)},
            {kParamSecondaryUrl, m_Simulator->DiscoveryHost(1)},
            {kParamTransportMethod, transport},
        });
    }

    // The variables that make a child in |folder| trust the simulator.
    static std::map<std::string, std::string> TrustEnvironment(const std::filesystem::path& folder) {
        return {{"SSL_CERT_FILE", (folder / "ca.pem").string()}, {"SSL_CERT_DIR", folder.string()}};
    }

    // The variables of a child serving in |folder|: its single-instance locks in |lockFolder|, the POS port the
    // system chooses, and, when |trusting|, the trust in the simulator that PrepareFolder wrote into |folder|.
    static std::map<std::string, std::string> ProgramEnvironment(const std::filesystem::path& folder,
                                                                 const std::filesystem::path& lockFolder,
                                                                 bool trusting = true) {
        std::map<std::string, std::string> env =
            trusting ? TrustEnvironment(folder) : std::map<std::string, std::string>();
        env["KESTROVE_LOCK_DIR"] = lockFolder.string();
        env["KESTROVE_POS_PORT"] = "0";
        // A stop would otherwise wait 5 s for POS sessions that start late; none do in these tests.
        env[kClientSettleVariable] = "200";
        return env;
    }

    // Starts kestrove in service mode in |folder| (made when missing, then prepared as above) against the
    // simulator, with no modem behind COM1, and waits for its start-up to finish. Returns the POS port it
    // serves, or -1 with |error| saying why.
    int StartService(CChildProcess& server, const std::filesystem::path& folder,
                     const std::filesystem::path& lockFolder, int timeoutMs, std::string* error) const {
        if (!m_Started) {
            *error = "the host simulator did not start";
            return -1;
        }
        std::error_code ec;
        std::filesystem::create_directories(folder, ec);
        const ::testing::AssertionResult prepared = PrepareFolder(folder);
        if (!prepared) {
            *error = prepared.message();
            return -1;
        }
        std::map<std::string, std::string> env = ProgramEnvironment(folder, lockFolder);
        env["KESTROVE_COM1"] = (folder / "no-modem").string();
        if (!server.Start(KestroveProgram(), {"/started_as_service"}, folder, env, "kestrove")) {
            *error = "kestrove did not start: " + KestroveProgram().string();
            return -1;
        }
        const int port = WaitForServedPort(server, folder, timeoutMs);
        if (port <= 0) {
            *error = "kestrove did not finish its start-up: " + server.Stderr();
            return -1;
        }
        return port;
    }

private:
    std::unique_ptr<CHostSimulator> m_Simulator;
    bool m_Started = false;
};

} // namespace testing_child
