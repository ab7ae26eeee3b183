#pragma once
// The recent-file list's reader: the entries of the toolkit's settings file, read without a display or an
// application object, so that every mode reads them.

#include <string>
#include <vector>

// A RecentFileReader (app/RecentFileList.h): section "Recent File List", entries "File1".."File<n>" for the n
// places of |names|, in the user's settings of |organisation| and |application|. Not thread-safe: for the main
// thread's start-up.
bool ReadRecentFileSettings(const std::string& organisation, const std::string& application,
                            std::vector<std::string>& names);
