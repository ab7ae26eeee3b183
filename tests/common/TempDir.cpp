#include "common/TempDir.h"

#include <cstdlib>
#include <fstream>
#include <system_error>

#include "platform/Files.h"

CScopedTempDir::CScopedTempDir(const std::string& prefix, Current current, const std::filesystem::path& base) {
    std::string pattern =
        ((base.empty() ? std::filesystem::temp_directory_path() : base) / (prefix + "-XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) {
        return;
    }
    m_Path = pattern;
    if (current == Current::Enter) {
        m_Previous = std::filesystem::current_path();
        std::filesystem::current_path(m_Path);
    }
}

CScopedTempDir::~CScopedTempDir() {
    std::error_code ec;
    if (!m_Previous.empty()) {
        std::filesystem::current_path(m_Previous, ec);
    }
    if (!m_Path.empty()) {
        std::filesystem::remove_all(m_Path, ec);
    }
}

std::string ReadFileBytes(const std::filesystem::path& path) {
    std::string bytes;
    if (!ReadWholeFile(path, &bytes)) {
        bytes.clear();
    }
    return bytes;
}

void WriteFileBytes(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}
