#pragma once
// A fresh temporary folder for a test, a test world or a benchmark run, removed with everything in it at the end:
// made the current directory while it lives (unless asked not to), since the system keeps its files (logs, keys,
// parameters, STAN, lanes, reversals) in the current directory. And the whole-file reads and writes the tests
// make of such files.

#include <filesystem>
#include <string>

// Not thread-safe: the current directory belongs to the whole process.
class CScopedTempDir {
public:
    enum class Current { Enter, Leave };

    // Makes <system temporary folder>/<prefix>-XXXXXX (or in |base| when given); Path() is empty when it could not
    // be made (the current directory then stays as it was).
    explicit CScopedTempDir(const std::string& prefix = "kestrove-test", Current current = Current::Enter,
                            const std::filesystem::path& base = {});
    // Goes back to the directory that was current before, when it entered, and removes the folder.
    ~CScopedTempDir();
    CScopedTempDir(const CScopedTempDir&) = delete;
    CScopedTempDir& operator=(const CScopedTempDir&) = delete;

    const std::filesystem::path& Path() const { return m_Path; }

private:
    std::filesystem::path m_Previous; // empty unless it entered
    std::filesystem::path m_Path;
};

// Reads a whole file as bytes; empty when it cannot be read.
std::string ReadFileBytes(const std::filesystem::path& path);
// Writes |bytes| as the whole file.
void WriteFileBytes(const std::filesystem::path& path, const std::string& bytes);
