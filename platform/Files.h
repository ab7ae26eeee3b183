#pragma once
// Whole-file reads and crash-safe writes for the small state files the system keeps in its current directory.

#include <cstdint>
#include <filesystem>
#include <string>
#include <sys/types.h>

#include "platform/OsError.h"

// Writes |bytes| to a temporary file in the same folder, flushes it to disk and renames it over |path|, so a
// crash leaves either the old or the new contents, never a half-written file. On failure returns false with
// errno set, a reason in |error| and the cause in |cause| (each when given), and leaves |path| as it was.
bool WriteFileAtomically(const std::filesystem::path& path, const std::string& bytes, mode_t mode = 0644,
                         std::string* error = nullptr, COsError* cause = nullptr);

// Removes the temporary files that WriteFileAtomically for |path| left behind when the process ended in the middle
// of a write. Only for the one writer of |path|, while no write of it is under way. Returns how many went.
int RemoveStaleTemporaries(const std::filesystem::path& path);

// Appends |bytes| to |path| (creating it with |mode|) and flushes it to disk before returning.
bool AppendFileDurably(const std::filesystem::path& path, const std::string& bytes, mode_t mode = 0644,
                       std::string* error = nullptr);

// Appends |bytes| to |path|, creating it with |mode|; an existing file whose permissions differ from |mode| is
// set to |mode| first, so the umask (or whoever made the file) never decides who may read it. Not flushed to disk.
bool AppendFile(const std::filesystem::path& path, const std::string& bytes, mode_t mode, std::string* error = nullptr);

// Which file a name leads to: its device and inode, and the time its inode last changed, so that a new file that
// got the inode of a deleted one is not taken for it.
struct CFileId {
    uint64_t device = 0;
    uint64_t inode = 0;
    int64_t changedNs = 0;
    bool operator==(const CFileId& other) const = default;
};
// The file |path| names (a last symbolic link itself, not what it leads to); false with errno set and the cause
// in |cause| (when given; NotFound: no such entry) when there is none.
bool GetFileId(const std::filesystem::path& path, CFileId* id, COsError* cause = nullptr);

// Reads the whole file; false (with errno set, a reason in |error| and the cause in |cause|, each when given)
// when it cannot be opened or read.
bool ReadWholeFile(const std::filesystem::path& path, std::string* bytes, std::string* error = nullptr,
                   COsError* cause = nullptr);

// The cause code a file error of the system's texts reports for the operating system's |error|: 2 file not
// found, 3 bad path, 4 too many open files, 5 access denied, 10 hardware I/O error, 13 disk full, 1 anything else.
int FileErrorCause(const COsError& error);

// Makes |folder| with mode 0700, or sets an existing folder to 0700: only this user may look into it. False (with
// errno set and a reason in |error|) when it cannot be made, is no folder, or its mode cannot be set.
bool MakePrivateFolder(const std::filesystem::path& folder, std::string* error = nullptr);

// Moves |file| aside to "<file><mark>-<UTC time stamp>" (a "-N" added when that name is taken), never replacing a
// file, so whatever it holds stays for the operator. False with errno set, a reason in |error| and the cause in
// |cause| (NotFound: there is no such file); |movedTo| gets the new name on success.
bool MoveFileAside(const std::filesystem::path& file, const std::string& mark, std::filesystem::path* movedTo = nullptr,
                   std::string* error = nullptr, COsError* cause = nullptr);

// One file kept open for appending (close-on-exec), which can tell whether its name still leads to it, so an
// owner that keeps it open between writes notices when the file was moved away, deleted or replaced. It may also
// be a new version of a file, made as a temporary beside it and then renamed over it, staying open.
// Not thread-safe: one owner uses it (Append and the flushes may run side by side on two threads, as the system
// calls may). Closes the file when destroyed, and removes a temporary that never took its file's place.
class CAppendingFile {
public:
    CAppendingFile() = default;
    ~CAppendingFile() { Close(); }
    CAppendingFile(CAppendingFile&& other) noexcept;
    CAppendingFile& operator=(CAppendingFile&& other) noexcept;
    CAppendingFile(const CAppendingFile&) = delete;
    CAppendingFile& operator=(const CAppendingFile&) = delete;

    // Opens |path| for appending, creating it with |mode|; an existing file whose permissions differ is set to
    // |mode|. A file held before is closed first. False with errno set and a reason in |error|.
    bool Open(const std::filesystem::path& path, mode_t mode, std::string* error = nullptr);
    // Makes a new, empty temporary file beside |path| with |mode| (named as WriteFileAtomically names its
    // temporaries, so RemoveStaleTemporaries clears one that a crash left), open for appending. A file held
    // before is closed first. False with errno set and a reason in |error|.
    bool OpenTemporaryFor(const std::filesystem::path& path, mode_t mode, std::string* error = nullptr);
    // Renames the temporary over the path it was made for, in one step: a reader finds the old file whole or
    // this one. The file stays open, now under that path. For the new contents to survive a power loss, Sync
    // the file before and SyncFolder after. False with errno set and a reason in |error|.
    bool MoveOverTarget(std::string* error = nullptr);
    bool IsOpen() const { return m_Fd >= 0; }
    const std::filesystem::path& Path() const { return m_Path; }
    void Close();

    // True while the open file is still the one its path names (same device and inode; the path is resolved
    // against the current directory now). False when it was moved away, deleted or replaced, or is not open.
    bool StillAtPath() const;
    // Sets the open file's permissions to |mode| when they differ; false with errno set.
    bool EnsureMode(mode_t mode);
    // Appends every byte at the end of the file; false with errno set and a reason in |error|.
    bool Append(const std::string& bytes, std::string* error = nullptr);
    // Flushes the file's data to disk (fdatasync); false with errno set and the cause in |error| (when given).
    bool SyncData(COsError* error = nullptr);
    // Flushes the file's data and all its metadata to disk (fsync); false with errno set and the cause in |error|
    // (when given).
    bool Sync(COsError* error = nullptr);
    // Flushes the folder of Path() to disk, so that a file made or renamed in it survives a power loss; false
    // with errno set and the cause in |error| (when given).
    bool SyncFolder(COsError* error = nullptr) const;
    // The file's size, or -1 with errno set.
    int64_t Size() const;
    // Cuts the file to |length| bytes; false with errno set and the cause in |error| (when given).
    bool Truncate(int64_t length, COsError* error = nullptr);

private:
    int m_Fd = -1;
    std::filesystem::path m_Path;
    std::filesystem::path m_Target; // while a temporary: the path it is made to replace
};
