#pragma once
// The launcher's pipe commands. A request is "COMMAND" + RS + the command; the program answers its name, the
// main window's caption, a snapshot of the Setup dialog as a bitmap file, its log folder and the traffic
// lines. Anything else gets the empty reply.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

inline constexpr char kPipeCommandPrefix[] = "COMMAND\x1E";
inline constexpr char kAppNameCommand[] = "APP NAME";
inline constexpr char kAppCaptionCommand[] = "APP CAPTION";
inline constexpr char kAppSettingsFormCommand[] = "APP SETTINGS FORM";
inline constexpr char kAppLogLocationCommand[] = "APP LOG LOCATION";
inline constexpr char kAppViewCommand[] = "APP VIEW";

inline constexpr char kAppNameReply[] = "Kestrove 5.00 for RuvuzUvir";

// Why a snapshot could not be made, replied as SnapshotErrorReply of the text.
inline constexpr char kSnapshotNoFolder[] = "Cannot determine common documents folder for BMP file.";
inline constexpr char kSnapshotNoDialog[] = "Failed to create dialog window.";
inline constexpr char kSnapshotNotPrepared[] = "Failed to prepare dialog for conversion to BMP file.";
// Followed by the file's path in double quotes.
inline constexpr char kSnapshotNotWritten[] = "Failed to create BMP file: ";

// "ERROR" + RS + |text|.
std::string SnapshotErrorReply(const std::string& text);

// The pipe server's callback, on the pipe thread: |view| is the CLauncherViewCopy the caption, the traffic
// lines and the snapshot come from. Writes a NUL-terminated reply of at most |replySize| - 1 characters
// (empty for a request without the prefix or with a command not in the table).
void PipeCommandHandler(uintptr_t view, const char* request, char* reply, size_t replySize);

// "APP LOG LOCATION": the folder the log files are written in, |workingFolder| + "/" + "CORVANE_LOGS" (no
// second "/" after a folder ending in one); "" when the working folder is unknown.
std::string LogLocationReply(const std::string& workingFolder);
// "APP VIEW": the newest |lines| (newest first) that fit whole into |replySize| - 1 characters, joined by US.
std::string TrafficViewReply(const std::vector<std::string>& lines, size_t replySize);
