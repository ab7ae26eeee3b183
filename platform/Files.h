#pragma once
// Whole-file reads and crash-safe writes for the small state files the system keeps in its current directory.

#include <filesystem>
#include <string>
#include <sys/types.h>

// Writes |bytes| to a temporary file in the same folder, flushes it to disk and renames it over |path|, so a
// crash leaves either the old or the new contents, never a half-written file. On failure returns false with a
// reason in |error| (when given) and leaves |path| as it was.
bool WriteFileAtomically(const std::filesystem::path& path, const std::string& bytes, mode_t mode = 0644,
                         std::string* error = nullptr);

// Appends |bytes| to |path| (creating it with |mode|) and flushes it to disk before returning.
bool AppendFileDurably(const std::filesystem::path& path, const std::string& bytes, mode_t mode = 0644,
                       std::string* error = nullptr);

// Reads the whole file; false when it cannot be opened or read.
bool ReadWholeFile(const std::filesystem::path& path, std::string* bytes, std::string* error = nullptr);

// Keeps a damaged state file for the operator instead of deleting it: renames |path| to
// "<path>.bad-<UTC time stamp %Y%m%d%H%M%S>" (clock-seam time), adding "-1", "-2", ... when that name is taken, and
// never replaces an existing file. Returns 0 with the new name in |movedTo| (when given), else the errno of the
// failure (ENOENT when |path| does not exist).
int MoveFileAside(const std::filesystem::path& path, std::filesystem::path* movedTo = nullptr);
