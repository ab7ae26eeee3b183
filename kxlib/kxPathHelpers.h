#pragma once
// The library's path, environment and file-information helpers: taking a path apart, environment variables,
// the command shell, the current time and file times as file times (100-nanosecond units since 1601-01-01
// UTC) and DOS dates and times, finding files by a wildcard pattern, and a check that an .exe or .dll file is
// a well-formed Windows image. Failures of kxImageCheck throw kxException; the others answer "", false or 0.
//
// Linux keeps no creation time on every file system: a file's creation time is its birth time where the file
// system records one, else the earlier of its last write and last status change.
//
// Free functions; the command-shell cache is made once, on first use, and only read afterwards, so any thread
// may call them.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kxlib/kxDate.h"
#include "kxlib/kxString.h"

// Attribute flags of a found file (the library's own set). Linux gives a found file kxAttributeDirectory (a
// folder, also through a link), kxAttributeReparsePoint (a symbolic link), kxAttributeReadOnly (nobody may
// write it), kxAttributeHidden (a name beginning with "."), and kxAttributeNormal when none of these apply.
constexpr int kxAttributeArchive = 1;
constexpr int kxAttributeCompressed = 2;
constexpr int kxAttributeDirectory = 4;
constexpr int kxAttributeEncrypted = 16;
constexpr int kxAttributeHidden = 32;
constexpr int kxAttributeNormal = 64;
constexpr int kxAttributeOffline = 128;
constexpr int kxAttributeReadOnly = 256;
constexpr int kxAttributeReparsePoint = 512;
constexpr int kxAttributeSparseFile = 1024;
constexpr int kxAttributeSystem = 2048;
constexpr int kxAttributeTemporary = 4096;

// Which time GetFileTimeOf and GetFileDosDateTime read.
constexpr int kxCreationTime = 0;
constexpr int kxLastAccessTime = 1;
constexpr int kxLastWriteTime = 2;

// One file FindFiles found, its times as UTC file times.
struct kxFoundFile {
    kxString Name;
    int Attributes = 0;
    uint64_t CreationTime = 0;
    uint64_t LastAccessTime = 0;
    uint64_t LastWriteTime = 0;
};

// One entry of a directory listing, its times converted from UTC to local time.
struct kxDirectoryEntry {
    kxDate CreationTime;
    kxDate LastAccessTime;
    kxDate LastWriteTime;
    kxString Name;
    int Attributes = 0;
};

// Empties |parts|; every "\" or "/" ends a part (an empty one too, for a leading or doubled separator), kept at
// the end of its part with |keepSeparators|; a non-empty rest is the last part. Returns the number of parts.
int SplitPath(const kxString& path, std::vector<kxString>& parts, bool keepSeparators);
// True for the path separators the library takes: "\" and "/".
bool IsPathSeparator(char c);
// The variable's whole value ("" for an empty name or an unset variable); |found| tells whether it is not empty.
kxString GetEnvironmentText(const kxString& name, bool* found = nullptr);
// The command shell: $SHELL, else /bin/sh; its full path, or its file name without |fullPath|. With no shell
// known, throws "A command shell environment could not be found." when asked to, else returns "".
kxString GetCommandShell(bool fullPath, bool throwIfMissing);

// Now (the clock seam's wall clock) as a UTC file time, or as a local one without |universal|.
uint64_t GetNowFileTime(bool universal);
// The same as a DOS date and time; nothing is written when either output is missing.
void GetNowDosDateTime(uint16_t* date, uint16_t* time, bool universal);
// Time |which| of the first file FindFiles finds for |path|; 0 for an empty path, no match, a folder or another
// |which|.
uint64_t GetFileTimeOf(const kxString& path, int which);
// That time (UTC) as a DOS date and time; false for an empty path, a missing output, a time of 0 or a time
// outside the DOS years 1980 to 2107.
bool GetFileDosDateTime(const kxString& path, int which, uint16_t* date, uint16_t* time);

// The files |searchText| names: when its file-name part holds "*" or "?", every entry of its folder ("." when
// it has none) whose name matches ("*" any run of characters, "?" one, "*.*" everything), in name order;
// otherwise the one entry it names, if there is one. "." and ".." are never found. Appends to |found| and
// returns how many were appended.
size_t FindFiles(const kxString& searchText, std::vector<kxFoundFile>& found);
// Appends the entries of |folder| (the current folder when empty) that match |pattern| (the folder's own entry
// when empty), as FindFiles finds them; returns how many were appended. A folder that is not there gives 0.
int kxDirectoryList(const kxString& folder, const kxString& pattern, std::vector<kxDirectoryEntry>& entries);
// kxDirectoryList of the folder and the pattern of |pathWithPattern| ("." when it names no folder); 0 for "".
int ListDirectoryOf(const kxString& pathWithPattern, std::vector<kxDirectoryEntry>& entries);
// The kxDate of a file time's calendar parts (no conversion between zones); no date for a time past the year 9999.
kxDate DateOfFileTime(uint64_t fileTime, bool withMilliseconds = true);

// Whether |name| matches the wildcard |pattern| as FindFiles matches (case-sensitive, as Linux names are).
bool MatchesWildcards(const kxString& pattern, const kxString& name);

// The calendar parts of a file time, in whatever zone it counts; false for a time past the year 9999.
bool FileTimeToParts(uint64_t fileTime, kxDateParts& parts);
// The UTC file time moved by the local zone's offset at that instant.
uint64_t UniversalToLocalFileTime(uint64_t fileTime);
// False for a time outside the DOS years 1980 to 2107.
bool FileTimeToDosDateTime(uint64_t fileTime, uint16_t& date, uint16_t& time);

// Checks an executable: a path with the extension "exe" or "dll" (any case) must be a well-formed Windows image;
// any other file is not examined. True, or throws "Filename cannot be empty.", "Cannot find file (%s)." or
// "%s is not a valid Win32 application file format (not in correct \"Portable Executable\" format).".
bool kxImageCheck(const kxString& path);
