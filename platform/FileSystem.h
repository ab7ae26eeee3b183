#pragma once
// The file-system questions and operations the utility library needs beyond std::filesystem: file times with
// the birth time, a rename that never replaces, emptying a folder without following links, unique new files,
// the network-file-system test and the paths of the program and the user. Free functions without state: any
// thread may call them.

#include <cstdint>
#include <string>

// What stat found about one path.
struct CFileInfo {
    enum class EType { File, Folder, Link, Other };
    EType Type = EType::Other;
    uint64_t Size = 0;
    // The permission bits (0777 and the set-id and sticky bits).
    uint32_t Mode = 0;
    // Nanoseconds since 1970-01-01 UTC. BirthNs is 0 when the file system does not record the birth time.
    int64_t BirthNs = 0;
    int64_t AccessNs = 0;
    int64_t WriteNs = 0;
    int64_t ChangeNs = 0;
};

// Examines |path|, through a final symbolic link with |followLinks|, else the link itself. False with errno set.
bool GetFileInfo(const std::string& path, bool followLinks, CFileInfo& info);

// Renames |from| to |to| in one step unless |to| exists (also as a dangling link): false with errno EEXIST then,
// or with the failure's errno. On a file system that cannot refuse a replacement itself, |to| is looked at
// first and the rename follows: two steps, sound only where nobody else makes |to| meanwhile.
bool RenameNoReplace(const std::string& from, const std::string& to);

// Removes everything inside |folder|, depth first, without following a symbolic link anywhere: a link is
// removed itself, never what it points to, and a folder swapped for a link meanwhile is refused. |folder|
// itself must be a real folder, not a link to one. Stops at the first failure: false with errno set.
bool EmptyFolderNoFollow(const std::string& folder);

// Creates a new empty file named |stem|, six random characters and |suffix| (mode 0600) and returns its path;
// "" with errno set when it cannot.
std::string CreateUniqueFile(const std::string& stem, const std::string& suffix);

// True when |path| lies on a network file system (NFS, SMB/CIFS, AFS, Coda, 9P, Ceph, NCP).
bool IsOnNetworkFileSystem(const std::string& path);

// The file of the running program (|address| null) or of the loaded object that holds |address|; "" when
// it cannot be told.
std::string ModuleFilePath(const void* address);

// $HOME, else the home folder of the user's password entry; "" when neither is known.
std::string HomeFolder();
// The user's data folder: $XDG_DATA_HOME when it holds an absolute path (a relative one is ignored, as the XDG
// base-directory rules ask), else HomeFolder() + "/.local/share"; "" when no home is known.
std::string UserDataFolder();
