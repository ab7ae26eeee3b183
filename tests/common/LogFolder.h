#pragma once
// Reads back what the logger wrote: the daily files of a log folder, this process's own or a child program's.

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

// Every file of |folder|'s log folder, in name order, joined as they stand (CR LF line ends, "----------"
// after each entry); "" when there is none.
std::string ReadLogFolder(const std::filesystem::path& folder);

// This process's log so far: the logger is flushed, then the current directory's log folder read.
std::string LogText();
// LogText cut at every "\n".
std::vector<std::string> LogLines();
// How many of LogLines hold |text|.
int CountLogLines(const std::string& text);
// LogText's entries as they were logged: each without its "[HH:MM:SS]" and with "\n" for the file's CR LF.
std::vector<std::string> LogEntries();

// Makes the current directory's log folder, as the application does before anything logs (the logger writes
// nothing without it), once the logger has written what it was given before.
void PrepareLogFolder();

// How many times |what| stands in |text|, not counting overlaps.
size_t CountOf(const std::string& text, const std::string& what);
