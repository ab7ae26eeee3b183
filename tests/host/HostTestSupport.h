#pragma once
// Shared pieces of the host-interface tests: the merchant parameters of a test, the process's trust in the test
// CA, a loopback port that refuses connections, and a look into the day's log file.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/TestClock.h"
#include "common/Wait.h"
#include "foundation/Logger.h"
#include "foundation/ParamSettings.h"
#include "foundation/ParamStore.h"
#include "host/SspiProvider.h"
#include "peers/DatawireEndpoint.h"
#include "peers/TestPki.h"

namespace hosttest {

// Makes the current parameter set: a valid merchant with the given values (index -> value) on top.
inline void SetMerchantParams(const std::map<unsigned, std::string>& values) {
    CParamSettings settings;
    settings.BuildDefaults();
    CParamMap map = settings.GetParamMap();
    const std::map<unsigned, std::string> base = {
        {kParamMerchantId, "MERCH000001"}, {kParamAlternateMerchantId, "ALTMID00001"},
        {kParamTerminalId, "0042"},        {kParamDatawireId, "00010203040506070809"},
        {kParamVerifySslCertificate, "Y"}, {kParamIpConnectTimeout, "3"},
    };
    for (const auto* source : {&base, &values}) {
        for (const auto& [index, value] : *source) {
            CParamEntry* entry = map.FindEntry(index);
            ASSERT_NE(entry, nullptr) << index;
            ASSERT_TRUE(entry->SetValue(value)) << index << " " << value;
        }
    }
    settings.SetParamMap(map);
    ASSERT_TRUE(CParamStore::Instance().SetParams(settings));
}

// The test CA trusted by the process and the credential made, once for a test suite.
class CTrustedPki {
public:
    CTrustedPki() {
        m_Pki = std::make_unique<CTestPki>();
        std::string pattern = (std::filesystem::temp_directory_path() / "kestrove-hostif-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            m_TrustDir = pattern;
            m_Ok = m_Pki->TrustRootForThisProcess(m_TrustDir) && g_SspiProvider.Init();
        }
    }
    ~CTrustedPki() {
        g_SspiProvider.Free();
        std::error_code ec;
        std::filesystem::remove_all(m_TrustDir, ec);
    }
    CTrustedPki(const CTrustedPki&) = delete;
    CTrustedPki& operator=(const CTrustedPki&) = delete;
    bool Ok() const { return m_Ok; }
    // The certificate of a provider at 127.0.0.1.
    const CTestIdentity& Loopback() const { return m_Pki->Leaf(TestLeaf::LoopbackIp); }
    // Any certificate the test CA issued.
    const CTestIdentity& Leaf(TestLeaf leaf) const { return m_Pki->Leaf(leaf); }

private:
    std::unique_ptr<CTestPki> m_Pki;
    std::filesystem::path m_TrustDir;
    bool m_Ok = false;
};

// "127.0.0.1:<port>" of a loopback port where nothing listens: an endpoint was started there and stopped.
inline std::string RefusingHostAndPort(const CTrustedPki& pki) {
    CDatawireEndpoint closed(pki.Loopback());
    EXPECT_TRUE(closed.Start());
    const std::string host = closed.HostAndPort();
    closed.Stop();
    return host;
}

// Makes the folder the logger writes into (the application makes it at start-up).
inline void PrepareLogFolder() {
    CLogger::Instance().Flush();
    std::error_code ec;
    std::filesystem::create_directory("CORVANE_LOGS", ec);
}

// Every line of the log files in the current directory's CORVANE_LOGS, after the logger has written what
// it was given.
inline std::vector<std::string> LogLines() {
    CLogger::Instance().Flush();
    std::vector<std::string> lines;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("CORVANE_LOGS", ec)) {
        std::ifstream file(entry.path(), std::ios::binary);
        std::string line;
        while (std::getline(file, line)) {
            lines.push_back(line);
        }
    }
    return lines;
}

// How many log lines hold |text|.
inline int CountLogLines(const std::string& text) {
    const std::vector<std::string> lines = LogLines();
    return static_cast<int>(std::count_if(lines.begin(), lines.end(),
                                          [&](const std::string& line) { return line.find(text) != line.npos; }));
}

} // namespace hosttest
