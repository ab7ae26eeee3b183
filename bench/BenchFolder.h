#pragma once
// A fresh temporary folder made the current directory for a benchmark run: the process's singletons keep their
// files (keys, parameters, logs) in the current directory, and a run must not leave them in the caller's.
// Made once per run on the main thread.

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

class CBenchFolder {
public:
    CBenchFolder() : m_Previous(std::filesystem::current_path()) {
        std::string pattern = (std::filesystem::temp_directory_path() / "kestrove-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::abort(); // measured in the caller's folder, the run would write its files there
        }
        m_Path = pattern;
        std::filesystem::current_path(m_Path);
    }
    ~CBenchFolder() {
        std::error_code ec;
        std::filesystem::current_path(m_Previous, ec);
        std::filesystem::remove_all(m_Path, ec);
    }
    CBenchFolder(const CBenchFolder&) = delete;
    CBenchFolder& operator=(const CBenchFolder&) = delete;

    const std::filesystem::path& Path() const { return m_Path; }

private:
    std::filesystem::path m_Previous;
    std::filesystem::path m_Path;
};
