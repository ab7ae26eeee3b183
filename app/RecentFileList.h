#pragma once
// The most-recent-file list the window framework keeps among the user's settings: up to four paths, entries
// "File1".."File4" of the section "Recent File List", in the settings of the organisation "Corvane
// Applications" and the application's name ($XDG_CONFIG_HOME/Corvane Applications/<application>.conf, else
// ~/.config/...). Nothing in the program opens or saves a document, so nothing ever adds to the list: the
// start-up reads it as it was left and nothing writes it back, so a service on a read-only home is not hurt.
// The settings are the window toolkit's own file, so its reader lives with the window
// (window/RecentFileSettings.h) and is handed in; this list links no toolkit.

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

// The organisation the program's settings are kept under.
inline constexpr char kRegistryKey[] = "Corvane Applications";
// How many recent files the list holds.
inline constexpr size_t kRecentFileCount = 4;

// Reads the entries of the settings of |organisation| and |application| into |names|, one a place, as many as
// it holds (they are empty when called). False, leaving them empty, when the settings exist but cannot be read.
using RecentFileReader = std::function<bool(const std::string& organisation, const std::string& application,
                                            std::vector<std::string>& names)>;

// Not thread-safe: the application object reads it on the main thread during the start-up.
class CRecentFileList {
public:
    static constexpr char kSectionName[] = "Recent File List";
    // Followed by the entry's number, 1 for the most recent.
    static constexpr char kEntryPrefix[] = "File";

    // An empty list of |size| entries in the settings of |organisation| and |application|, read by |reader|.
    CRecentFileList(std::string organisation, std::string application, size_t size, RecentFileReader reader);

    // Reads entries File1..File<size>; a missing one is empty, later numbers are not read. False when the
    // settings exist but cannot be read: the list is then empty. Without a reader it stays empty.
    bool ReadList();

    // The entries in order, File1 first: always |size| of them, "" where none is stored.
    const std::vector<std::string>& Names() const { return m_Names; }

private:
    std::string m_Organisation;
    std::string m_Application;
    std::vector<std::string> m_Names;
    RecentFileReader m_Reader;
};
