#pragma once
// The kestrove program as a child process in a folder of its own, configured for a host simulator that runs in the
// test (real TLS on loopback, the test CA through SSL_CERT_FILE), started, stopped and killed as an operator or a
// crash would, and started again in the same folder. Not thread-safe: one thread (a test's, or the soak's) drives it.

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <gtest/gtest.h>

#include "ChildProcess.h"
#include "TestHostSide.h"
#include "common/LogFolder.h"
#include "common/Wait.h"
#include "peers/HostSimulator.h"
#include "peers/PosClient.h"

namespace testing_child {

// Real-time bound of every wait on the program.
inline constexpr int kProgramTimeoutMs = 60000;

// Where Debian puts the multi-threaded libfaketime; empty when it is missing.
inline std::filesystem::path FakeTimeLibrary() {
    for (const char* path :
         {"/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1",
          "/usr/lib/aarch64-linux-gnu/faketime/libfaketimeMT.so.1", "/usr/lib/faketime/libfaketimeMT.so.1"}) {
        if (std::filesystem::exists(path)) {
            return path;
        }
    }
    return {};
}

// The environment that runs the program |seconds| ahead of the wall clock, its steady clock left alone: a
// reversal's hold of 35 seconds since its transaction has then passed at once instead of after half a minute.
inline std::map<std::string, std::string> AheadOfTheWallClock(int seconds) {
    const char* asan = std::getenv("ASAN_OPTIONS");
    // The preloaded library comes before the sanitizer's runtime; that is fine for a clock.
    const std::string asanOptions = std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0";
    return {{"LD_PRELOAD", FakeTimeLibrary().string()},
            {"FAKETIME", "+" + std::to_string(seconds)},
            {"FAKETIME_DONT_FAKE_MONOTONIC", "1"},
            {"ASAN_OPTIONS", asanOptions}};
}

class CProgramWorld {
public:
    // |folder| is made; |lockFolder| holds the single-instance locks.
    CProgramWorld(std::filesystem::path folder, std::filesystem::path lockFolder,
                  const CHostSimulatorOptions& simulator = DefaultSimulator())
        : m_Folder(std::move(folder)), m_LockFolder(std::move(lockFolder)), m_HostSide(simulator) {
        std::filesystem::create_directories(m_Folder);
        m_Ok = m_HostSide.Started() && m_HostSide.PrepareFolder(m_Folder);
    }

    static CHostSimulatorOptions DefaultSimulator() { return ProgramSimulatorOptions(); }
    // A simulator with one provider, so that every exchange goes where a test's script is.
    static CHostSimulatorOptions OneProvider() {
        CHostSimulatorOptions options = DefaultSimulator();
        options.providers = 1;
        return options;
    }

    bool Ok() const { return m_Ok; }
    const std::filesystem::path& Folder() const { return m_Folder; }
    CHostSimulator& Simulator() { return m_HostSide.Simulator(); }
    CChildProcess& Server() { return *m_Server; }

    // Starts the program (again, in the same folder) with |args| and further environment |env|. The child
    // before is forgotten: it must have ended.
    bool Start(const std::vector<std::string>& args = {"/started_as_service"},
               const std::map<std::string, std::string>& env = {}) {
        std::map<std::string, std::string> all = CTestHostSide::ProgramEnvironment(m_Folder, m_LockFolder);
        for (const auto& [key, value] : env) {
            all[key] = value;
        }
        m_Server = std::make_unique<CChildProcess>();
        ++m_Runs;
        m_LogSeen = ReadLogFolder(m_Folder).size();
        return m_Server->Start(KestroveProgram(), args, m_Folder, all, "kestrove" + std::to_string(m_Runs));
    }

    // Starts the program in service mode with further environment |env| under umask 0, so that what it keeps
    // private it makes private itself, and waits for the POS port its start-up logged; -1, with a failure of the
    // test, when it did not get there.
    int StartService(const std::map<std::string, std::string>& env = {}) {
        const mode_t previous = ::umask(0);
        const bool started = Start({"/started_as_service"}, env);
        ::umask(previous);
        EXPECT_TRUE(started);
        const int port = started ? WaitForPort() : -1;
        EXPECT_GT(port, 0) << LogOfThisRun() << (started ? m_Server->Stderr() : std::string());
        return port;
    }

    // Stops the program as SIGTERM does; a failure of the test unless it ended with 0.
    void StopCleanly() {
        ASSERT_TRUE(m_Server->Signal(SIGTERM));
        ASSERT_TRUE(m_Server->Wait(kProgramTimeoutMs));
        EXPECT_EQ(m_Server->ExitCode(), 0) << m_Server->Stderr();
    }

    // The log written since the last Start.
    std::string LogOfThisRun() const { return ReadLogFolder(m_Folder).substr(m_LogSeen); }

    // The port this run logged once its start-up had finished; -1 when it did not finish.
    int WaitForPort() {
        return WaitForServedPort(
            *m_Server, [&] { return LogOfThisRun(); }, kProgramTimeoutMs);
    }

    // Waits until this run's log holds |text|.
    bool WaitForLog(const std::string& text, int timeoutMs = kProgramTimeoutMs) {
        return WaitUntil([&] { return LogOfThisRun().find(text) != std::string::npos; }, timeoutMs, kChildPollMs);
    }

    // A lane connected and logged in on |port|; null, with the reason in |error| when given, when that failed.
    static std::unique_ptr<CPosClient> Lane(int port, std::string* error = nullptr) {
        auto lane = std::make_unique<CPosClient>();
        SPosReply reply;
        if (!lane->ConnectAndLogIn("127.0.0.1", port, &reply)) {
            if (error != nullptr) {
                *error = lane->LastError() + " " + reply.textResponse;
            }
            return nullptr;
        }
        return lane;
    }

private:
    std::filesystem::path m_Folder;
    std::filesystem::path m_LockFolder;
    CTestHostSide m_HostSide;
    std::unique_ptr<CChildProcess> m_Server;
    bool m_Ok = false;
    int m_Runs = 0;
    size_t m_LogSeen = 0;
};

} // namespace testing_child
