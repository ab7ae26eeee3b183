// The single-instance lock between real processes: a child holds it, dies, and leaves the file behind.

#include "platform/LockFile.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "common/TempDirTest.h"

namespace fs = std::filesystem;

namespace {

// A child process that takes the lock on |path|, says so through a pipe and then holds it until it is killed.
class CLockHolder {
public:
    explicit CLockHolder(const fs::path& path) {
        int fds[2] = {-1, -1};
        if (::pipe(fds) != 0) {
            return;
        }
        m_Pid = ::fork();
        if (m_Pid == 0) {
            ::close(fds[0]);
            CLockFile lock;
            const char said = lock.TryAcquire(path) == ELockResult::Acquired ? 'y' : 'n';
            if (::write(fds[1], &said, 1) != 1) {
                ::_exit(1);
            }
            for (;;) {
                ::pause();
            }
        }
        ::close(fds[1]);
        char said = 0;
        m_Holds = m_Pid > 0 && ::read(fds[0], &said, 1) == 1 && said == 'y';
        ::close(fds[0]);
    }
    ~CLockHolder() { Kill(); }
    CLockHolder(const CLockHolder&) = delete;
    CLockHolder& operator=(const CLockHolder&) = delete;

    bool Holds() const { return m_Holds; }
    // As a crash ends it: no clean-up of its own runs.
    void Kill() {
        if (m_Pid > 0) {
            ::kill(m_Pid, SIGKILL);
            int status = 0;
            ::waitpid(m_Pid, &status, 0);
            m_Pid = -1;
        }
    }

private:
    pid_t m_Pid = -1;
    bool m_Holds = false;
};

} // namespace

using LockFileTest = TempDirTest;

TEST_F(LockFileTest, ASecondHolderIsRefusedUntilTheFirstLetsGo) {
    CLockFile first;
    ASSERT_EQ(first.TryAcquire("instance.lock"), ELockResult::Acquired);
    EXPECT_TRUE(first.Held());
    // Another open of the same file, as another process would make it.
    CLockFile second;
    std::string error;
    EXPECT_EQ(second.TryAcquire("instance.lock", &error), ELockResult::HeldElsewhere);
    EXPECT_FALSE(second.Held());
    EXPECT_EQ(error, "");
    // Taken again by its holder: still held, still refused to the other.
    EXPECT_EQ(first.TryAcquire("instance.lock"), ELockResult::Acquired);
    EXPECT_EQ(second.TryAcquire("instance.lock"), ELockResult::HeldElsewhere);
    // A move hands the lock over; the object moved from lets nothing go when it ends.
    CLockFile moved(std::move(first));
    first = CLockFile();
    EXPECT_TRUE(moved.Held());
    EXPECT_EQ(second.TryAcquire("instance.lock"), ELockResult::HeldElsewhere);
    moved.Release();
    EXPECT_EQ(second.TryAcquire("instance.lock"), ELockResult::Acquired);
    // The file stays: another process that opened it meanwhile must meet the same lock.
    second.Release();
    EXPECT_TRUE(fs::exists("instance.lock"));
}

TEST_F(LockFileTest, AnotherProcessIsRefusedAndTheLockOfOneThatDiedIsTakenOver) {
    CLockHolder holder("instance.lock");
    ASSERT_TRUE(holder.Holds());
    CLockFile lock;
    EXPECT_EQ(lock.TryAcquire("instance.lock"), ELockResult::HeldElsewhere);
    holder.Kill();
    ASSERT_TRUE(fs::exists("instance.lock")); // the dead holder's file is still there
    EXPECT_EQ(lock.TryAcquire("instance.lock"), ELockResult::Acquired);
}

TEST_F(LockFileTest, AProgramStartedByAHolderThatDiedDoesNotKeepTheLock) {
    // The holder starts a program that runs on, then dies without letting go. Had the program inherited the
    // lock's descriptor, it would hold the lock for as long as it runs.
    int report[2] = {-1, -1};
    ASSERT_EQ(::pipe(report), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        ::close(report[0]);
        CLockFile lock;
        if (lock.TryAcquire("instance.lock") != ELockResult::Acquired) {
            ::_exit(1);
        }
        int execed[2] = {-1, -1};
        if (::pipe2(execed, O_CLOEXEC) != 0) {
            ::_exit(1);
        }
        const pid_t program = ::fork();
        if (program == 0) {
            ::execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(execed[1]);
        char none = 0;
        const bool started = program > 0 && ::read(execed[0], &none, 1) == 0; // end of file: it exec'd
        if (!started || ::write(report[1], &program, sizeof program) != sizeof program) {
            ::_exit(1);
        }
        ::_exit(0); // as a crash: no Release
    }
    ASSERT_GT(holder, 0);
    ::close(report[1]);
    pid_t program = -1;
    const bool reported = ::read(report[0], &program, sizeof program) == sizeof program;
    ::close(report[0]);
    int status = 0;
    ::waitpid(holder, &status, 0);
    ASSERT_TRUE(reported);
    ASSERT_GT(program, 0);
    CLockFile lock;
    EXPECT_EQ(lock.TryAcquire("instance.lock"), ELockResult::Acquired);
    ::kill(program, SIGKILL);
}

TEST_F(LockFileTest, ALockFileThatCannotBeMadeIsAFailureThatNamesIt) {
    CLockFile lock;
    std::string error;
    EXPECT_EQ(lock.TryAcquire(fs::path("missing") / "instance.lock", &error), ELockResult::Failed);
    EXPECT_FALSE(lock.Held());
    EXPECT_NE(error.find("missing/instance.lock"), std::string::npos) << error;
}
