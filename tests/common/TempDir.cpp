#include "common/TempDir.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>

CScopedTempDir::CScopedTempDir() : m_Previous(std::filesystem::current_path()) {
    std::string pattern = (std::filesystem::temp_directory_path() / "kestrove-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp failed";
        return;
    }
    m_Path = pattern;
    std::filesystem::current_path(m_Path);
}

CScopedTempDir::~CScopedTempDir() {
    std::error_code ec;
    std::filesystem::current_path(m_Previous, ec);
    if (!m_Path.empty()) {
        std::filesystem::remove_all(m_Path, ec);
    }
}

std::string ReadFileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFileBytes(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}
