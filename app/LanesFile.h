#pragma once
// The operator's lane descriptions, kept in "LanesInfo.dat" in the current directory: one line per lane, the
// lane id (one of the ids of parameter 21 "LANE IDS"), FS, the description, CR LF. And the splitting of
// parameter 21 into its ids.

#include <filesystem>
#include <string>

#include "foundation/TextHelpers.h"

inline constexpr char kLanesFileName[] = "LanesInfo.dat";
// The separator of the lane ids in parameter 21.
inline constexpr char kLaneIdSeparator = '$';
inline constexpr size_t kMaxLaneIdLength = 8;

// What the Lane Setup list tells the operator when parameter 21 cannot be listed.
inline constexpr char kNoLaneIdsText[] = "No LaneId(s) stored.";
inline constexpr char kLaneIdsMalformedText[] =
    "Lane Id(s) are not formatted correctly -  they should be 1-8 in length.";
// What Lane Edit tells the operator when the file holding the other lanes cannot be read.
inline constexpr char kLanesFileUnreadableText[] = "The Lanes File cannot be read - the description was not saved.";

// Reads and writes the lanes file. Stateless; the file is rewritten whole through a temporary file renamed over
// it, so a crash leaves the old or the new descriptions, never half of them. Any thread may call it, but the
// callers (the Setup dialog and the parameter load it starts) serialise themselves on the user-interface thread.
class CLanesFile {
public:
    // Empties |lanes| and fills it from the file (id -> description; a later line with the same id wins). A line
    // without FS is skipped, reading stops at the first empty line. An absent file gives no lanes and true; a file
    // that exists but cannot be read gives no lanes and false, logged as "Exception Reading Lanes File %d" with
    // the file error's cause, so that nobody rewrites it from the empty list.
    static bool ReadLanesFile(CStringMap& lanes, const std::filesystem::path& file = kLanesFileName);
    // Replaces the file with one line per entry of |lanes|. False when it cannot be written (also when its
    // temporary file cannot even be made), logged as "Exception Writing Lanes File %d" with the cause; the
    // previous file then stays as it was.
    static bool WriteLanesFile(const CStringMap& lanes, const std::filesystem::path& file = kLanesFileName);
    // Leaves the file empty (new parameters may bring other lanes).
    static bool ClearLanesFile(const std::filesystem::path& file = kLanesFileName);
};

// Parameter 21 as lane ids under 1, 2, ...: every "$" ends an id (two in a row give an empty one), a non-empty
// tail after the last "$" is the last id. False (no ids) for an empty text.
inline bool SplitToMap(char delimiter, const std::string& text, CItemMap& map) {
    return SplitToItems(delimiter, text, map);
}

// Why the lane ids of |laneIds| (parameter 21) cannot be listed: kNoLaneIdsText, kLaneIdsMalformedText (an id
// that is empty or longer than 8 characters), or "" when they can; |ids| receives them either way.
std::string CheckLaneIds(const std::string& laneIds, CItemMap& ids);
