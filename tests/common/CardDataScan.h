#pragma once
// Reads back every byte a program left in its folder and says where card data stands in the clear.

#include <filesystem>
#include <string>
#include <vector>

// One "<file> holds <secret>: ...<context>..." for each file under |folder| (its subfolders too) and each of
// |secrets| found in it. In |journal| (relative to |folder|) alone the sealed card fields of journal lines
// ("\tAccount=<hex>", "\tTrack2=<hex>") are left out of the search: their hex may hold any short digit string by
// chance, and what they hold is sealed. Anywhere else such a field is read as it stands.
std::vector<std::string> CardDataFoundIn(const std::filesystem::path& folder, const std::vector<std::string>& secrets,
                                         const std::filesystem::path& journal);

// How many regular files lie under |folder|.
size_t FileCountUnder(const std::filesystem::path& folder);
