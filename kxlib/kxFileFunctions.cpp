#include "kxlib/kxFileFunctions.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

#include "kxlib/kxException.h"
#include "kxlib/kxFormatString.h"
#include "kxlib/kxPathHelpers.h"
#include "platform/FileSystem.h"
#include "platform/Trash.h"

namespace fs = std::filesystem;

namespace {
size_t LastSeparator(const kxString& path) {
    for (size_t i = path.Length(); i-- > 0;) {
        if (IsPathSeparator(path.GetAt(i))) {
            return i;
        }
    }
    return kxString::npos;
}

// The value of |variable| when it holds an absolute path, else |fallback|.
kxString FolderFrom(const char* variable, const kxString& fallback) {
    const char* value = std::getenv(variable);
    if (value != nullptr && value[0] == '/') {
        return kxString(value);
    }
    return fallback;
}

kxString HomeBased(const char* relative) {
    const std::string home = HomeFolder();
    return home.empty() ? kxString() : kxString(home + relative);
}

// |path| without trailing separators, the root "/" excepted.
kxString WithoutTrailingSeparators(kxString path) {
    size_t length = path.Length();
    while (length > 1 && IsPathSeparator(path.GetAt(length - 1))) {
        --length;
    }
    return path.Left(length);
}

// The file system's sizes for |path|; all 0 when they cannot be told.
fs::space_info SpaceOf(const kxString& path) {
    std::error_code ec;
    const fs::space_info space = path.Length() == 0 ? fs::space_info{} : fs::space(path.Str(), ec);
    return ec ? fs::space_info{} : space;
}

bool Found(const kxString& path, bool followLinks, CFileInfo& info) {
    return path.Length() > 0 && GetFileInfo(path.Str(), followLinks, info);
}

// True when |text| begins with a drive: a letter and ":".
bool StartsWithDrive(const kxString& text) {
    const char letter = text.GetAt(0);
    return text.GetAt(1) == ':' && ((letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z'));
}
} // namespace

kxString GetSpecialFolderPath(int index) {
    kxString folder;
    switch (index) {
    case 0:
        folder = FolderFrom("XDG_CONFIG_HOME", HomeBased("/.config"));
        break;
    case 1:
        folder = FolderFrom("KESTROVE_COMMON_APPDATA_DIR", "/var/lib");
        break;
    case 2:
        folder = FolderFrom("KESTROVE_COMMON_DOCUMENTS_DIR", "/var/tmp");
        break;
    case 3:
        folder = FolderFrom("XDG_DESKTOP_DIR", HomeBased("/Desktop"));
        break;
    case 4:
        folder = kxString(UserDataFolder());
        break;
    case 5:
        folder = FolderFrom("XDG_DOCUMENTS_DIR", HomeBased("/Documents"));
        break;
    case 6:
        folder = FolderFrom("KESTROVE_PROGRAM_FILES_DIR", "/usr/local");
        break;
    case 7:
        folder = FolderFrom("KESTROVE_PROGRAM_FILES_COMMON_DIR", "/usr/local/lib");
        break;
    default: // 8 and 9, the Windows system folders, have no counterpart
        return kxString();
    }
    folder = WithoutTrailingSeparators(folder);
    return FolderExists(folder) ? folder : kxString();
}

kxString GetModulePath(const void* module, bool folderOnly) {
    const kxString path(ModuleFilePath(module));
    return folderOnly ? GetPathFolder(path, true, false, kNoTrailing) : path;
}

kxString GetTempFolder(bool withTrailingSeparator, bool /*shortForm*/) {
    std::error_code ec;
    const fs::path folder = fs::temp_directory_path(ec);
    if (ec || folder.empty()) {
        throw kxException("Unable to get \"Windows\" temporary folder.");
    }
    kxString text = WithoutTrailingSeparators(kxString(folder.string()));
    if (withTrailingSeparator && !text.EndsWith("/")) {
        text.Append('/');
    }
    return text;
}

kxString GetTempFileName(const kxString& prefix, const kxString& folder) {
    const kxString where = folder.Length() == 0 ? GetTempFolder(false) : folder;
    const kxString stem = WithoutTrailingSeparators(where) + (where == "/" ? "" : "/") + prefix;
    const std::string path = CreateUniqueFile(stem.Str(), ".tmp");
    if (path.empty()) {
        throw kxException(kxFormatString("Unable to create a temporary file in folder: (%s).", where.c_str()));
    }
    return kxString(path);
}

kxString GetDriveOf(const kxString& path, bool withRoot) {
    if (path.Length() <= 2 || !StartsWithDrive(path)) {
        return kxString();
    }
    return path.Left(2) + (withRoot ? "\\" : "");
}

uint64_t GetDiskTotalBytes(const kxString& path) {
    return SpaceOf(path).capacity;
}

uint64_t GetDiskFreeBytes(const kxString& path) {
    return SpaceOf(path).available;
}

bool IsNetworkDrive(const kxString& path) {
    return path.Length() > 0 && IsOnNetworkFileSystem(path.Str());
}

kxString GetExtension(const kxString& path, bool lowerCase) {
    const kxString name = GetFileName(path, true);
    const size_t dot = name.Find(".", true, 1, true);
    if (dot == kxString::npos) {
        return kxString();
    }
    kxString extension = name.Mid(dot + 1);
    return lowerCase ? extension.MakeLower() : extension;
}

kxString GetFileName(const kxString& path, bool withExtension) {
    const size_t separator = LastSeparator(path);
    kxString name = separator == kxString::npos ? path : path.Mid(separator + 1);
    if (!withExtension) {
        const size_t dot = name.Find(".", true, 1, true);
        if (dot != kxString::npos) {
            name = name.Left(dot);
        }
    }
    return name;
}

kxString GetPathFolder(const kxString& path, bool existingFileOnly, bool stripDrive, int trailingMode) {
    kxString folder;
    if (!existingFileOnly || FileExists(path)) {
        const size_t separator = LastSeparator(path);
        if (separator != kxString::npos) {
            folder = path.Left(separator == 0 ? 1 : separator);
        }
    } else {
        folder = path;
    }
    if (existingFileOnly && !FolderExists(folder)) {
        return kxString();
    }
    if (stripDrive && StartsWithDrive(folder)) {
        folder = folder.Mid(2);
    }
    const char trailing = trailingMode == kTrailingBackslash ? '\\' : trailingMode == kTrailingSlash ? '/' : '\0';
    if (trailing != '\0' && folder.Length() > 0 && folder.GetAt(folder.Length() - 1) != trailing) {
        folder.Append(trailing);
    }
    return folder;
}

bool CopyFileTo(const kxString& source, const kxString& target, bool overwrite) {
    if (!FileExists(source) || target.Length() == 0) {
        return false;
    }
    std::error_code ec;
    const bool copied = fs::copy_file(source.Str(), target.Str(),
                                      overwrite ? fs::copy_options::overwrite_existing : fs::copy_options::none, ec);
    return copied && !ec;
}

bool RenameFile(const kxString& source, const kxString& newName) {
    CFileInfo info;
    if (!Found(source, false, info) || newName.Length() == 0) {
        return false;
    }
    const size_t separator = LastSeparator(source);
    const kxString target = separator == kxString::npos ? newName : source.Left(separator + 1) + newName;
    return RenameNoReplace(source.Str(), target.Str());
}

bool SetReadOnly(const kxString& path, bool readOnly) {
    if (!FileExists(path)) {
        return false;
    }
    std::error_code ec;
    if (readOnly) {
        fs::permissions(path.Str(), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                        fs::perm_options::remove, ec);
    } else {
        fs::permissions(path.Str(), fs::perms::owner_write, fs::perm_options::add, ec);
    }
    return !ec;
}

namespace {
bool FileDate(const kxString& path, int which, kxDate* date) {
    const uint64_t fileTime = date == nullptr ? 0 : GetFileTimeOf(path, which);
    if (fileTime == 0) {
        return false;
    }
    *date = DateOfFileTime(fileTime, false);
    return true;
}
} // namespace

bool GetLastWriteTime(const kxString& path, kxDate* date) {
    return FileDate(path, kxLastWriteTime, date);
}

bool GetCreationTime(const kxString& path, kxDate* date) {
    return FileDate(path, kxCreationTime, date);
}

bool IsReadOnly(const kxString& path) {
    CFileInfo info;
    return Found(path, true, info) && info.Type != CFileInfo::EType::Folder && (info.Mode & 0222) == 0;
}

bool DeleteFileAt(const kxString& path) {
    if (!FileExists(path)) {
        return false;
    }
    std::error_code ec;
    return fs::remove(path.Str(), ec) && !ec;
}

bool RemoveFolder(const kxString& path, bool toRecycleBin) {
    if (toRecycleBin) {
        // Only a real folder, as EmptyFolder takes only one: a link to a folder is refused, not trashed.
        CFileInfo info;
        return Found(path, false, info) && info.Type == CFileInfo::EType::Folder && MoveToTrash(path.Str());
    }
    if (!EmptyFolder(path)) {
        return false;
    }
    std::error_code ec;
    return fs::remove(path.Str(), ec) && !ec;
}

bool EmptyFolder(const kxString& path) {
    return path.Length() > 0 && EmptyFolderNoFollow(path.Str());
}

uint64_t GetFileSize(const kxString& path) {
    CFileInfo info;
    return Found(path, true, info) && info.Type != CFileInfo::EType::Folder ? info.Size : 0;
}

bool FileExists(const kxString& path) {
    CFileInfo info;
    return Found(path, false, info) && !FolderExists(path);
}

bool FolderExists(const kxString& path) {
    CFileInfo info;
    return Found(path, true, info) && info.Type == CFileInfo::EType::Folder;
}

bool HasWildcards(const kxString& path) {
    return path.FindOneOf("*?") != kxString::npos;
}

bool CreateFolderPath(const kxString& path) {
    if (path.Length() == 0) {
        return false;
    }
    std::vector<kxString> parts;
    path.Split("\\/", parts);
    kxString prefix = IsPathSeparator(path.GetAt(0)) ? "/" : "";
    for (const kxString& part : parts) {
        prefix += part;
        if (!FolderExists(prefix)) {
            std::error_code ec;
            fs::create_directory(prefix.Str(), ec);
            if (ec && !FolderExists(prefix)) { // another process may have made it meanwhile
                return false;
            }
        }
        prefix += "/";
    }
    return true;
}

bool SetCurrentFolder(const kxString& path) {
    if (path.Length() == 0) {
        return false;
    }
    std::error_code ec;
    fs::current_path(path.Str(), ec);
    return !ec;
}

kxString GetCurrentFolder() {
    std::error_code ec;
    const fs::path folder = fs::current_path(ec);
    return ec ? kxString() : kxString(folder.string());
}
