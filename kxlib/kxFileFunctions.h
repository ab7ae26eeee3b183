#pragma once
// The library's file and folder functions: questions about paths, files, folders and disks, and simple file
// operations. A negative answer or a failure is a false, 0 or empty result; only GetTempFolder and
// GetTempFileName throw kxException. Every function that takes a path answers false, 0 or "" for an empty one.
//
// Path texts: "\" and "/" both separate when a path is taken apart; a path the library builds uses "/". A drive
// is a letter and ":" at the front of a text; GetDriveOf and GetPathFolder's strip-drive flag read it from the
// text alone (a Linux path has none, and a letter with ":" is an ordinary name to the file functions).
// Wildcards are "*" and "?".
//
// Special folders (GetSpecialFolderPath), each moved by the environment variable named beside it; a variable
// holding a relative path is ignored, as the XDG base-directory rules ask:
//   0 the user's application data     $XDG_CONFIG_HOME, else ~/.config
//   1 all users' application data     $KESTROVE_COMMON_APPDATA_DIR, else /var/lib
//   2 the shared documents folder     $KESTROVE_COMMON_DOCUMENTS_DIR, else /var/tmp
//   3 the user's desktop              $XDG_DESKTOP_DIR, else ~/Desktop
//   4 the user's local data           $XDG_DATA_HOME, else ~/.local/share
//   5 the user's documents            $XDG_DOCUMENTS_DIR, else ~/Documents
//   6 installed programs              $KESTROVE_PROGRAM_FILES_DIR, else /usr/local
//   7 programs' shared components     $KESTROVE_PROGRAM_FILES_COMMON_DIR, else /usr/local/lib
//   8 and 9 (the Windows system and Windows folders) have no counterpart: always "".
// Folder 2 is where the program leaves files for the launcher that started it (the Setup-dialog snapshot): a
// folder every user can write to and read from, whichever user each of the two runs as, whose old files the
// system cleans away in time. A folder is returned only when it exists.
//
// Free functions without state; the current folder is the process's, so SetCurrentFolder affects every thread.

#include <cstdint>

#include "kxlib/kxDate.h"
#include "kxlib/kxString.h"

// The special folder |index| (above), without a trailing "/"; "" for another index or a missing folder.
kxString GetSpecialFolderPath(int index);
// The program's file (|module| null) or that of the loaded object holding the address |module|; with
// |folderOnly| its folder (GetPathFolder (path, true, false, 0)).
kxString GetModulePath(const void* module = nullptr, bool folderOnly = false);
// $TMPDIR, else /tmp, with or without a trailing "/". |shortForm| has no meaning on Linux. An unusable folder
// throws "Unable to get \"Windows\" temporary folder.".
kxString GetTempFolder(bool withTrailingSeparator, bool shortForm = false);
// Creates a new empty file |prefix| + six random characters + ".tmp" in |folder| (empty: GetTempFolder) and
// returns its path; throws "Unable to create a temporary file in folder: (%s)." when it cannot.
kxString GetTempFileName(const kxString& prefix, const kxString& folder = kxString());
// The drive a path longer than two characters begins with ("C:" of "C:\x"), with |withRoot| followed by "\"
// ("C:\"); "" when it begins with none.
kxString GetDriveOf(const kxString& path, bool withRoot);
// The size of the file system holding |path|, and the bytes it has free for this user.
uint64_t GetDiskTotalBytes(const kxString& path);
uint64_t GetDiskFreeBytes(const kxString& path);
// True when |path| lies on a network file system (NFS, SMB/CIFS and the like).
bool IsNetworkDrive(const kxString& path);

// The text after the last "." of the file name (not of a folder name before it); "" when it has none.
kxString GetExtension(const kxString& path, bool lowerCase = false);
// The text after the last separator; without |withExtension| cut before its last ".".
kxString GetFileName(const kxString& path, bool withExtension = true);
// Trailing modes of GetPathFolder.
constexpr int kNoTrailing = 0;
constexpr int kTrailingBackslash = 1;
constexpr int kTrailingSlash = 2;
// The text before the last separator ("" when there is none; "/" for a path right under the root). With
// |existingFileOnly| the path is cut only when it names an existing file, and a result that is not an existing
// folder becomes "". |stripDrive| removes a leading drive (a letter and ":"). A non-empty result then gets "\"
// (kTrailingBackslash) or "/" (kTrailingSlash) unless it ends with it already.
kxString GetPathFolder(const kxString& path, bool existingFileOnly = false, bool stripDrive = false,
                       int trailingMode = kNoTrailing);

// Copies an existing file; with |overwrite| false an existing |target| is left alone and the result is false.
bool CopyFileTo(const kxString& source, const kxString& target, bool overwrite);
// Renames an existing |source| to |newName| in the source's folder, in one step that never replaces anything:
// false when the new name is taken.
bool RenameFile(const kxString& source, const kxString& newName);
// Takes every write permission away, or gives the owner write permission back.
bool SetReadOnly(const kxString& path, bool readOnly);
// The file's last write time / creation time (kxPathHelpers.h says what that is on Linux), in UTC to the
// second, into |date|; false for a folder, a missing path or a null |date|.
bool GetLastWriteTime(const kxString& path, kxDate* date);
bool GetCreationTime(const kxString& path, kxDate* date);
// An existing file (not a folder) that nobody has write permission on.
bool IsReadOnly(const kxString& path);
// Removes a file (a symbolic link itself, never its target); false for a folder or a missing path.
bool DeleteFileAt(const kxString& path);
// EmptyFolder, then the folder itself. With |toRecycleBin| the folder is moved whole into the user's trash
// instead (MoveToTrash, platform/Trash.h), where it can be put back from; a folder on another file system than
// the trash is then refused and left as it was, never deleted for good.
bool RemoveFolder(const kxString& path, bool toRecycleBin = false);
// Removes everything inside the folder, nested folders depth first, stopping at the first failure. A symbolic
// link inside is removed as a link: nothing outside the folder is ever touched. A link given as |path| itself
// is refused.
bool EmptyFolder(const kxString& path);
// The size in bytes; 0 for a folder or a missing path.
uint64_t GetFileSize(const kxString& path);
// The path is there (a symbolic link counts, even a dangling one) and is not a folder / is a folder (also
// through a link).
bool FileExists(const kxString& path);
bool FolderExists(const kxString& path);
bool HasWildcards(const kxString& path);
// Creates every missing folder of the path; false at the first failure.
bool CreateFolderPath(const kxString& path);
bool SetCurrentFolder(const kxString& path);
kxString GetCurrentFolder();
