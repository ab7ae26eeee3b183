#include "platform/SpawnedProcess.h"

#include <cerrno>
#include <csignal>
#include <spawn.h>
#include <sys/wait.h>

#include "platform/OsError.h"

extern char** environ;

bool CSpawnedProcess::Start(const std::string& program, const std::vector<std::string>& arguments) {
    Release();
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    if (posix_spawn_file_actions_init(&actions) != 0) {
        return false;
    }
    if (posix_spawnattr_init(&attributes) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return false;
    }
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    int rc = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    if (rc == 0) {
        rc = posix_spawnattr_setsigmask(&attributes, &none);
    }
    if (rc == 0) {
        rc = posix_spawnattr_setsigdefault(&attributes, &all);
    }
    if (rc == 0) {
        rc = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    pid_t pid = -1;
    if (rc == 0) {
        rc = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        errno = rc;
        return false;
    }
    m_Pid = pid;
    m_Reaped = false;
    m_ExitCode = -1;
    return true;
}

bool CSpawnedProcess::Reap(bool wait) {
    if (m_Pid <= 0) {
        return false;
    }
    if (m_Reaped) {
        return true;
    }
    int status = 0;
    const pid_t rc = RetryOnEintr([&] { return ::waitpid(m_Pid, &status, wait ? 0 : WNOHANG); });
    if (rc != m_Pid) {
        return false;
    }
    m_Reaped = true;
    if (WIFEXITED(status)) {
        m_ExitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        m_ExitCode = 128 + WTERMSIG(status);
    }
    return true;
}

bool CSpawnedProcess::Wait() {
    return Reap(true);
}

bool CSpawnedProcess::HasExited() {
    return Reap(false);
}

void CSpawnedProcess::Release() {
    if (m_Pid > 0 && !m_Reaped) {
        Reap(false);
    }
    m_Pid = -1;
    m_Reaped = false;
    m_ExitCode = -1;
}
