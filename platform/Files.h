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
