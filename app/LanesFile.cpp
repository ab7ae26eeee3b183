#include "app/LanesFile.h"

#include <system_error>

#include "foundation/Logger.h"
#include "platform/ControlChars.h"
#include "platform/Files.h"

namespace {
constexpr char kLineEnd[] = "\r\n";

// The lines of the file into |lanes|: id FS description; a line without FS is skipped, the first empty line
// ends the list.
void ParseLanes(const std::string& text, CStringMap& lanes) {
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
}
} // namespace

bool CLanesFile::ReadLanesFile(CStringMap& lanes, const std::filesystem::path& file) {
    lanes.clear();
    try {
        std::string text;
        COsError error;
        if (!ReadWholeFile(file, &text, nullptr, &error)) {
            std::error_code ec;
            if (std::filesystem::symlink_status(file, ec).type() == std::filesystem::file_type::not_found) {
                return true; // no file yet: no descriptions
            }
            // The file is there but cannot be read. Unlike an absent one this is no empty list: an edit saved
            // over it would keep only the edited lane.
            CLogger::Instance().LogLine("Exception Reading Lanes File %d", FileErrorCause(error));
            return false;
        }
        ParseLanes(text, lanes);
        return true;
    } catch (...) {
        lanes.clear();
        CLogger::Instance().LogLine("Exception Reading Lanes File - Unknown");
        return false;
    }
}

bool CLanesFile::WriteLanesFile(const CStringMap& lanes, const std::filesystem::path& file) {
    try {
        std::string text;
        for (const auto& [id, description] : lanes) {
            text += id + kCharFS + description + kLineEnd;
        }
        COsError error;
        if (!WriteFileAtomically(file, text, 0644, nullptr, &error)) {
            CLogger::Instance().LogLine("Exception Writing Lanes File %d", FileErrorCause(error));
            return false;
        }
        return true;
    } catch (...) {
        CLogger::Instance().LogLine("Exception Writing Lanes File - Unknown");
        return false;
    }
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
