#pragma once
// Test fixture: a fresh temporary folder made the current directory for the test's lifetime, since the
// system keeps its files (logs, keys, parameters, STAN, lanes, reversals) in the current directory.

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

class CScopedTempDir {
public:
    CScopedTempDir();
    ~CScopedTempDir();
    CScopedTempDir(const CScopedTempDir&) = delete;
    CScopedTempDir& operator=(const CScopedTempDir&) = delete;
    const std::filesystem::path& Path() const { return m_Path; }

private:
    std::filesystem::path m_Previous;
    std::filesystem::path m_Path;
};

// Reads a whole file as bytes; empty when it cannot be read.
std::string ReadFileBytes(const std::filesystem::path& path);
// Writes |bytes| as the whole file.
void WriteFileBytes(const std::filesystem::path& path, const std::string& bytes);

// Base fixture that runs each test in its own temporary current directory.
class TempDirTest : public ::testing::Test {
protected:
    CScopedTempDir m_TempDir;
};
