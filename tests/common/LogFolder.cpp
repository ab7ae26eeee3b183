#include "common/LogFolder.h"

#include <algorithm>
#include <system_error>

#include "common/TempDir.h"
#include "foundation/Logger.h"

namespace {
constexpr char kEntrySeparator[] = "\n----------\n";
constexpr size_t kTimeStampLength = 10; // "[HH:MM:SS]"
} // namespace

std::string ReadLogFolder(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> files;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder / CLogger::kFolderName, ec)) {
        files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    std::string text;
    for (const std::filesystem::path& file : files) {
        text += ReadFileBytes(file);
    }
    return text;
}

std::string LogText() {
    CLogger::Instance().Flush();
    return ReadLogFolder(".");
}

std::vector<std::string> LogLines() {
    const std::string text = LogText();
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

int CountLogLines(const std::string& text) {
    const std::vector<std::string> lines = LogLines();
    return static_cast<int>(std::count_if(lines.begin(), lines.end(),
                                          [&](const std::string& line) { return line.find(text) != line.npos; }));
}

std::vector<std::string> LogEntries() {
    const std::string text = LogText();
    std::string plain;
    for (size_t i = 0; i < text.size(); ++i) {
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
            plain += text[i];
        }
    }
    const std::string separator = kEntrySeparator;
    std::vector<std::string> entries;
    for (size_t start = 0, end; (end = plain.find(separator, start)) != std::string::npos;
         start = end + separator.size()) {
        const size_t skip = std::min(kTimeStampLength, end - start);
        entries.push_back(plain.substr(start + skip, end - start - skip));
    }
    return entries;
}

void PrepareLogFolder() {
    CLogger::Instance().Flush();
    std::error_code ec;
    std::filesystem::create_directory(CLogger::kFolderName, ec);
}

size_t CountOf(const std::string& text, const std::string& what) {
    if (what.empty()) {
        return 0;
    }
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) {
        ++count;
    }
    return count;
}
