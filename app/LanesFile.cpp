#include "app/LanesFile.h"

#include <system_error>

#include "foundation/Logger.h"
#include "platform/ControlChars.h"
#include "platform/Files.h"

namespace {
constexpr char kLineEnd[] = "\r\n";
} // namespace

bool CLanesFile::ReadLanesFile(CStringMap& lanes, const std::filesystem::path& file) {
    lanes.clear();
    std::string text;
    std::string error;
    if (!ReadWholeFile(file, &text, &error)) {
        std::error_code ec;
        if (std::filesystem::symlink_status(file, ec).type() == std::filesystem::file_type::not_found) {
            return true; // no file yet: no descriptions
        }
        // The file is there but cannot be read: say so, so nobody rewrites it from an empty list.
        CLogger::Instance().LogLine("Unable to read the Lanes File: %s", error.c_str());
        return false;
    }
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        const size_t next = end == std::string::npos ? text.size() : end + 1;
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty()) {
            break;
        }
        const size_t separator = line.find(kCharFS);
        if (separator != std::string::npos) {
            lanes[line.substr(0, separator)] = line.substr(separator + 1);
        }
        pos = next;
    }
    return true;
}

bool CLanesFile::WriteLanesFile(const CStringMap& lanes, const std::filesystem::path& file) {
    std::string text;
    for (const auto& [id, description] : lanes) {
        text += id + kCharFS + description + kLineEnd;
    }
    std::string error;
    if (!WriteFileAtomically(file, text, 0644, &error)) {
        CLogger::Instance().LogLine("Exception Writing Lanes File - Unknown");
        CLogger::Instance().LogLine("%s", error.c_str());
        return false;
    }
    return true;
}

bool CLanesFile::ClearLanesFile(const std::filesystem::path& file) {
    return WriteLanesFile(CStringMap(), file);
}

std::string CheckLaneIds(const std::string& laneIds, CItemMap& ids) {
    if (!SplitToMap(kLaneIdSeparator, laneIds, ids) || ids.empty()) {
        return kNoLaneIdsText;
    }
    for (const auto& [number, id] : ids) {
        if (id.empty() || id.size() > kMaxLaneIdLength) {
            return kLaneIdsMalformedText;
        }
    }
    return "";
}
