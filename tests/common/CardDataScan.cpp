#include "common/CardDataScan.h"

#include <cstring>
#include <system_error>

#include "common/TempDir.h"

namespace {
void BlankSealedFields(std::string& bytes) {
    for (const char* key : {"\tAccount=", "\tTrack2="}) {
        const size_t keyLength = std::strlen(key);
        for (size_t at = bytes.find(key); at != std::string::npos; at = bytes.find(key, at + keyLength)) {
            size_t end = bytes.find_first_of("\t\n", at + keyLength);
            if (end == std::string::npos) {
                end = bytes.size();
            }
            bytes.replace(at + keyLength, end - at - keyLength, "sealed");
        }
    }
}
} // namespace

std::vector<std::string> CardDataFoundIn(const std::filesystem::path& folder, const std::vector<std::string>& secrets,
                                         const std::filesystem::path& journal) {
    std::vector<std::string> found;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (!it->is_regular_file()) {
            continue;
        }
        std::string bytes = ReadFileBytes(it->path());
        const std::filesystem::path name = it->path().lexically_relative(folder);
        if (name == journal.lexically_normal()) {
            BlankSealedFields(bytes);
        }
        for (const std::string& secret : secrets) {
            const size_t at = bytes.find(secret);
            if (at != std::string::npos) {
                const size_t from = at > 60 ? at - 60 : 0;
                found.push_back(name.string() + " holds " + secret + ": ..." + bytes.substr(from, 160) + "...");
            }
        }
    }
    return found;
}

size_t FileCountUnder(const std::filesystem::path& folder) {
    size_t count = 0;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        count += it->is_regular_file() ? 1 : 0;
    }
    return count;
}
