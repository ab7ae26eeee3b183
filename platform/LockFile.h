#pragma once
// Single-instance locks between processes: an exclusive advisory lock on a named file. The kernel drops the
// lock when the holder dies, so a crashed instance never blocks the next start.

#include <filesystem>
#include <string>

// What an attempt to take a lock found.
enum class ELockResult {
    Acquired,      // this object holds the lock now
    HeldElsewhere, // another open file description holds it (another process, usually)
    Failed,        // the lock file could not be opened or locked; see the error text
};

// Owns one lock file descriptor and the lock on it; closing the descriptor releases the lock. The file itself
// stays in place (removing it would let two processes lock two different files of the same name).
// Not thread-safe: one owner thread uses it. Movable, not copyable.
class CLockFile {
public:
    CLockFile() = default;
    ~CLockFile() { Release(); }
    CLockFile(CLockFile&& other) noexcept;
    CLockFile& operator=(CLockFile&& other) noexcept;
    CLockFile(const CLockFile&) = delete;
    CLockFile& operator=(const CLockFile&) = delete;

    // Opens (creating it when missing) |path| and tries to lock it without waiting. A lock already held by
    // this object is released first. |error| (when given) receives the reason of a failure.
    ELockResult TryAcquire(const std::filesystem::path& path, std::string* error = nullptr);
    bool Held() const { return m_Fd >= 0; }
    // Unlocks and closes; harmless when nothing is held.
    void Release();

private:
    int m_Fd = -1;
};
