#pragma once
// Runs the kestrove program as a real child process for the tests: in a folder of the test's choosing, with
// extra environment variables, standard input from /dev/null and standard output and error kept in files.
// The child sees no display unless the test names one, so a test run on a desktop opens no windows there.

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "common/LogFolder.h"
#include "common/TempDir.h"
#include "common/Wait.h"

extern char** environ;

namespace testing_child {

// The folder of the running test executable.
inline std::filesystem::path TestBinaryFolder() {
    return std::filesystem::read_symlink("/proc/self/exe").parent_path();
}

// The kestrove program of the same build: <build>/window/kestrove beside <build>/tests/<test>.
inline std::filesystem::path KestroveProgram() {
    return TestBinaryFolder().parent_path() / "window" / "kestrove";
}

// How often the waits on a child look again: what they look at (its log folder, its end) is slow to read.
inline constexpr uint32_t kChildPollMs = 20;

// One child process. The destructor kills and reaps a child still running. Not thread-safe.
class CChildProcess {
public:
    CChildProcess() = default;
    ~CChildProcess() {
        if (m_Pid > 0 && !m_Exited) {
            ::kill(m_Pid, SIGKILL);
            int status = 0;
            ::waitpid(m_Pid, &status, 0);
        }
    }
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    // Starts |program| with |args| in |folder|; output goes to |folder|/<name>.out and <name>.err.
    bool Start(const std::filesystem::path& program, const std::vector<std::string>& args,
               const std::filesystem::path& folder, const std::map<std::string, std::string>& env,
               const std::string& name = "child") {
        m_Out = folder / (name + ".out");
        m_Err = folder / (name + ".err");
        std::vector<std::string> argStrings{program.string()};
        argStrings.insert(argStrings.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : argStrings) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);

        std::map<std::string, std::string> merged;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry(*e);
            const size_t eq = entry.find('=');
            if (eq != std::string::npos) {
                merged[entry.substr(0, eq)] = entry.substr(eq + 1);
            }
        }
        merged.erase("DISPLAY");
        merged.erase("WAYLAND_DISPLAY");
        // No child ever asks a real management service: unless a test names one, the download meets a closed
        // loopback port.
        merged["KESTROVE_NQMS_HOSTS"] = "127.0.0.1:1";
        // Nor does it leave its launcher pipe or a Setup-dialog snapshot outside its folder.
        merged["KESTROVE_PIPE_DIR"] = folder.string();
        merged["KESTROVE_COMMON_DOCUMENTS_DIR"] = folder.string();
        // Nor does it read the settings of the user running the tests.
        merged["XDG_CONFIG_HOME"] = folder.string();
        for (const auto& [key, value] : env) {
            merged[key] = value;
        }
        std::vector<std::string> envStrings;
        for (const auto& [key, value] : merged) {
            envStrings.push_back(key + "=" + value);
        }
        std::vector<char*> envp;
        for (std::string& e : envStrings) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);

        // A process group of its own gets a terminal's Ctrl-C as a whole (SignalGroup), with SIGINT and SIGQUIT
        // at their defaults even when this process was started with them ignored.
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        if (m_OwnProcessGroup) {
            sigset_t defaults;
            sigemptyset(&defaults);
            sigaddset(&defaults, SIGINT);
            sigaddset(&defaults, SIGQUIT);
            posix_spawnattr_setsigdefault(&attributes, &defaults);
            posix_spawnattr_setpgroup(&attributes, 0);
            posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, m_Out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, m_Err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int rc = posix_spawn(&m_Pid, argv[0], &actions, &attributes, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        if (rc != 0) {
            m_Pid = -1;
            return false;
        }
        m_Exited = false;
        return true;
    }

    // The next Start puts the child into a process group of its own.
    void SetOwnProcessGroup(bool on) { m_OwnProcessGroup = on; }

    bool Signal(int number) const { return m_Pid > 0 && !m_Exited && ::kill(m_Pid, number) == 0; }
    // Signals the child's whole process group, as a terminal's Ctrl-C does (see SetOwnProcessGroup).
    bool SignalGroup(int number) const {
        return m_OwnProcessGroup && m_Pid > 0 && !m_Exited && ::kill(-m_Pid, number) == 0;
    }

    // Waits at most |timeoutMs| of real time for the child to end. True when it has; ExitCode then tells how.
    bool Wait(int timeoutMs) {
        if (m_Exited) {
            return true;
        }
        return WaitUntil(
            [this] {
                int status = 0;
                const pid_t rc = ::waitpid(m_Pid, &status, WNOHANG);
                if (rc == m_Pid) {
                    m_Exited = true;
                    m_Status = status;
                    return true;
                }
                return false;
            },
            timeoutMs, kChildPollMs);
    }

    // The exit code; 128 + the signal number when a signal ended it; -1 while it runs.
    int ExitCode() const {
        if (!m_Exited) {
            return -1;
        }
        if (WIFEXITED(m_Status)) {
            return WEXITSTATUS(m_Status);
        }
        return WIFSIGNALED(m_Status) ? 128 + WTERMSIG(m_Status) : -1;
    }

    std::string Stdout() const { return ReadFileBytes(m_Out); }
    std::string Stderr() const { return ReadFileBytes(m_Err); }
    pid_t Pid() const { return m_Pid; }

private:
    pid_t m_Pid = -1;
    bool m_OwnProcessGroup = false;
    bool m_Exited = true;
    int m_Status = 0;
    std::filesystem::path m_Out;
    std::filesystem::path m_Err;
};

} // namespace testing_child
