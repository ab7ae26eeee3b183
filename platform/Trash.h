#pragma once
// The user's trash, kept the freedesktop.org way (Trash/files beside Trash/info), so that a desktop's file
// manager shows what went there and can put it back: a delete that can be undone. A free function without
// state: any thread may call it; two processes trashing the same name at once each get a name of their own.

#include <string>

// Moves |path| (a file, a folder with everything in it, or a link itself) into the home trash,
// UserDataFolder() + "/Trash": the entry goes to "files/" under its own name, or that name with ".2", ".3", ...
// when it is taken, and "info/<that name>.trashinfo" records its former absolute path (URL-escaped) and the
// local time it was trashed (the clock seam's). Missing trash folders are made, mode 0700.
// The entry is renamed, never copied: one on another file system than the trash is refused (EXDEV) and stays
// where it is, as does anything the move fails for. False with errno set and a reason in |error|; |trashedAs|
// gets the entry's new path.
bool MoveToTrash(const std::string& path, std::string* trashedAs = nullptr, std::string* error = nullptr);
