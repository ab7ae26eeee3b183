#include "kxlib/kxPathHelpers.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "kxlib/kxException.h"
#include "kxlib/kxFileFunctions.h"
#include "kxlib/kxFormatString.h"
#include "kxlib/kxPeImage.h"
#include "platform/Clock.h"
#include "platform/FileSystem.h"
#include "platform/LocalTime.h"

namespace {
// File time of 1970-01-01 UTC.
constexpr uint64_t kUnixEpochFileTime = 116444736000000000ULL;
constexpr uint64_t kTicksPerSecond = 10000000;
// Days from 1601-01-01 to 1970-01-01.
constexpr int64_t kDaysFrom1601To1970 = 134774;

uint64_t FileTimeOfNanoseconds(int64_t ns) {
    const int64_t ticks = ns / 100; // negative before 1970
    const int64_t epoch = static_cast<int64_t>(kUnixEpochFileTime);
    return ticks <= -epoch ? 0 : static_cast<uint64_t>(epoch + ticks);
}

int AttributesOf(const kxString& name, const CFileInfo& self, bool isFolder) {
    int attributes = 0;
    if (isFolder) {
        attributes |= kxAttributeDirectory;
    }
    if (self.Type == CFileInfo::EType::Link) {
        attributes |= kxAttributeReparsePoint;
    } else if ((self.Mode & 0222) == 0) {
        attributes |= kxAttributeReadOnly;
    }
    if (name.GetAt(0) == '.') {
        attributes |= kxAttributeHidden;
    }
    return attributes == 0 ? kxAttributeNormal : attributes;
}

// The entry for |path| named |name|; false when there is none.
bool Examine(const kxString& path, const kxString& name, kxFoundFile& found) {
    CFileInfo self;
    if (!GetFileInfo(path.Str(), false, self)) {
        return false;
    }
    CFileInfo target;
    const bool isFolder = self.Type == CFileInfo::EType::Folder ||
                          (self.Type == CFileInfo::EType::Link && GetFileInfo(path.Str(), true, target) &&
                           target.Type == CFileInfo::EType::Folder);
    found.Name = name;
    found.Attributes = AttributesOf(name, self, isFolder);
    found.CreationTime =
        FileTimeOfNanoseconds(self.BirthNs != 0 ? self.BirthNs : std::min(self.WriteNs, self.ChangeNs));
    found.LastAccessTime = FileTimeOfNanoseconds(self.AccessNs);
    found.LastWriteTime = FileTimeOfNanoseconds(self.WriteNs);
    return true;
}

struct CommandShell {
    kxString Variable;
    kxString FullPath;
    kxString Name;
    bool Found = false;
};

const CommandShell& TheCommandShell() {
    static const CommandShell shell = [] {
        CommandShell made;
        made.Variable = "SHELL";
        bool found = false;
        made.FullPath = GetEnvironmentText(made.Variable, &found);
        if (!found && FileExists("/bin/sh")) {
            made.FullPath = "/bin/sh";
            found = true;
        }
        made.Found = found;
        made.Name = GetFileName(made.FullPath);
        return made;
    }();
    return shell;
}
} // namespace

bool IsPathSeparator(char c) {
    return c == '\\' || c == '/';
}

int SplitPath(const kxString& path, std::vector<kxString>& parts, bool keepSeparators) {
    parts.clear();
    kxString part;
    for (size_t i = 0; i < path.Length(); ++i) {
        const char c = path.GetAt(i);
        if (!IsPathSeparator(c)) {
            part.Append(c);
            continue;
        }
        if (keepSeparators) {
            part.Append(c);
        }
        parts.push_back(part);
        part.Clear();
    }
    if (part.Length() > 0) {
        parts.push_back(part);
    }
    return static_cast<int>(parts.size());
}

kxString GetEnvironmentText(const kxString& name, bool* found) {
    const char* value = name.Length() == 0 ? nullptr : std::getenv(name.c_str());
    const kxString text(value);
    if (found != nullptr) {
        *found = text.Length() > 0;
    }
    return text;
}

kxString GetCommandShell(bool fullPath, bool throwIfMissing) {
    const CommandShell& shell = TheCommandShell();
    if (!shell.Found && throwIfMissing) {
        throw kxException("A command shell environment could not be found.");
    }
    return fullPath ? shell.FullPath : shell.Name;
}

bool FileTimeToParts(uint64_t fileTime, kxDateParts& parts) {
    const uint64_t ms = fileTime / 10000;
    const int64_t days = static_cast<int64_t>(ms / 86400000) - kDaysFrom1601To1970;
    const std::chrono::year_month_day date{std::chrono::sys_days{std::chrono::days{days}}};
    if (static_cast<int>(date.year()) > 9999) {
        return false;
    }
    const uint64_t msOfDay = ms % 86400000;
    parts.Year = static_cast<uint16_t>(static_cast<int>(date.year()));
    parts.Month = static_cast<uint16_t>(static_cast<unsigned>(date.month()));
    parts.Day = static_cast<uint16_t>(static_cast<unsigned>(date.day()));
    parts.Hour = static_cast<uint16_t>(msOfDay / 3600000);
    parts.Minute = static_cast<uint16_t>(msOfDay / 60000 % 60);
    parts.Second = static_cast<uint16_t>(msOfDay / 1000 % 60);
    parts.Millisecond = static_cast<uint16_t>(msOfDay % 1000);
    return true;
}

uint64_t UniversalToLocalFileTime(uint64_t fileTime) {
    const int64_t unixSeconds =
        (static_cast<int64_t>(fileTime / kTicksPerSecond) - static_cast<int64_t>(kUnixEpochFileTime / kTicksPerSecond));
    std::tm local{};
    if (!LocalCalendarTime(static_cast<std::time_t>(unixSeconds), local)) {
        return fileTime;
    }
    const int64_t shift = static_cast<int64_t>(local.tm_gmtoff) * static_cast<int64_t>(kTicksPerSecond);
    if (shift < 0 && static_cast<uint64_t>(-shift) > fileTime) {
        return 0;
    }
    return fileTime + static_cast<uint64_t>(shift);
}

bool FileTimeToDosDateTime(uint64_t fileTime, uint16_t& date, uint16_t& time) {
    kxDateParts p;
    if (!FileTimeToParts(fileTime, p) || p.Year < 1980 || p.Year > 2107) {
        return false;
    }
    date = static_cast<uint16_t>((p.Year - 1980) << 9 | p.Month << 5 | p.Day);
    time = static_cast<uint16_t>(p.Hour << 11 | p.Minute << 5 | p.Second / 2);
    return true;
}

uint64_t GetNowFileTime(bool universal) {
    const auto now = GetClock().WallNow().time_since_epoch();
    const uint64_t fileTime = FileTimeOfNanoseconds(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count());
    return universal ? fileTime : UniversalToLocalFileTime(fileTime);
}

void GetNowDosDateTime(uint16_t* date, uint16_t* time, bool universal) {
    if (date == nullptr || time == nullptr) {
        return;
    }
    FileTimeToDosDateTime(GetNowFileTime(universal), *date, *time);
}

uint64_t GetFileTimeOf(const kxString& path, int which) {
    std::vector<kxFoundFile> found;
    if (path.Length() == 0 || FindFiles(path, found) == 0 || (found[0].Attributes & kxAttributeDirectory) != 0) {
        return 0;
    }
    switch (which) {
    case kxCreationTime:
        return found[0].CreationTime;
    case kxLastAccessTime:
        return found[0].LastAccessTime;
    case kxLastWriteTime:
        return found[0].LastWriteTime;
    default:
        return 0;
    }
}

bool GetFileDosDateTime(const kxString& path, int which, uint16_t* date, uint16_t* time) {
    if (path.Length() == 0 || date == nullptr || time == nullptr) {
        return false;
    }
    const uint64_t fileTime = GetFileTimeOf(path, which);
    return fileTime != 0 && FileTimeToDosDateTime(fileTime, *date, *time);
}

bool MatchesWildcards(const kxString& pattern, const kxString& name) {
    if (pattern == "*.*") {
        return true;
    }
    // Greedy matching with one backtrack point: the last "*" seen and where its run of characters ended.
    size_t p = 0;
    size_t n = 0;
    size_t star = kxString::npos;
    size_t resume = 0;
    while (n < name.Length()) {
        const char c = pattern.GetAt(p);
        if (p < pattern.Length() && (c == '?' || c == name.GetAt(n))) {
            ++p;
            ++n;
        } else if (p < pattern.Length() && c == '*') {
            star = p++;
            resume = n;
        } else if (star != kxString::npos) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.Length() && pattern.GetAt(p) == '*') {
        ++p;
    }
    return p == pattern.Length();
}

size_t FindFiles(const kxString& searchText, std::vector<kxFoundFile>& found) {
    const size_t before = found.size();
    const kxString name = GetFileName(searchText);
    if (name.Length() == 0 || name == "." || name == "..") {
        return 0;
    }
    if (!HasWildcards(name)) {
        kxFoundFile entry;
        if (Examine(searchText, name, entry)) {
            found.push_back(entry);
        }
        return found.size() - before;
    }
    kxString folder = GetPathFolder(searchText);
    if (folder.Length() == 0) {
        folder = ".";
    }
    std::vector<kxString> names;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder.Str(), ec), end; !ec && it != end; it.increment(ec)) {
        kxString entryName(it->path().filename().string());
        if (MatchesWildcards(name, entryName)) {
            names.push_back(entryName);
        }
    }
    std::sort(names.begin(), names.end());
    const kxString prefix = folder.EndsWith("/") ? folder : folder + "/";
    for (const kxString& entryName : names) {
        kxFoundFile entry;
        if (Examine(prefix + entryName, entryName, entry)) {
            found.push_back(entry);
        }
    }
    return found.size() - before;
}

kxDate DateOfFileTime(uint64_t fileTime, bool withMilliseconds) {
    kxDateParts parts;
    if (!FileTimeToParts(fileTime, parts)) {
        return kxDate();
    }
    if (!withMilliseconds) {
        parts.Millisecond = 0;
    }
    return kxDate(parts);
}

int kxDirectoryList(const kxString& folder, const kxString& pattern, std::vector<kxDirectoryEntry>& entries) {
    if (folder.Length() > 0 && !FolderExists(folder)) {
        return 0;
    }
    const kxString where = folder.Length() == 0 ? kxString(".") : folder;
    const kxString search =
        pattern.Length() == 0 ? where : (where.EndsWith("/") || where.EndsWith("\\") ? where : where + "/") + pattern;
    std::vector<kxFoundFile> found;
    FindFiles(search, found);
    for (const kxFoundFile& file : found) {
        kxDirectoryEntry entry;
        entry.CreationTime = DateOfFileTime(UniversalToLocalFileTime(file.CreationTime));
        entry.LastAccessTime = DateOfFileTime(UniversalToLocalFileTime(file.LastAccessTime));
        entry.LastWriteTime = DateOfFileTime(UniversalToLocalFileTime(file.LastWriteTime));
        entry.Name = file.Name;
        entry.Attributes = file.Attributes;
        entries.push_back(entry);
    }
    return static_cast<int>(found.size());
}

int ListDirectoryOf(const kxString& pathWithPattern, std::vector<kxDirectoryEntry>& entries) {
    if (pathWithPattern.Length() == 0) {
        return 0;
    }
    const kxString folder = GetPathFolder(pathWithPattern);
    return kxDirectoryList(folder.Length() == 0 ? kxString(".") : folder, GetFileName(pathWithPattern, true), entries);
}

bool kxImageCheck(const kxString& path) {
    if (path.Length() == 0) {
        throw kxException("Filename cannot be empty.");
    }
    if (!FileExists(path)) {
        throw kxException(kxFormatString("Cannot find file (%s).", path.c_str()));
    }
    const kxString extension = GetExtension(path, true);
    if (extension != "exe" && extension != "dll") {
        return true;
    }
    kxPeImage image;
    if (!image.Open(path)) {
        throw kxException(kxFormatString(
            "%s is not a valid Win32 application file format (not in correct \"Portable Executable\" format).",
            path.c_str()));
    }
    return true;
}
