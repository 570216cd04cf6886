// The files and directories the updater keeps at its own paths (lock, status records, logs,
// cache). Some live in directories other users may write to: a link or a file planted there
// must never turn the updater's write into a write to someone else's file, so nothing here
// follows a symbolic link.
#pragma once

#include <sys/types.h>

#include <string>

#include "base/handles.h"

enum class OwnFileOpen {
    Opened,
    Failed,   // the open itself failed; errno says why, for the caller's message
    Refused,  // something other than the updater's own regular file is there; logged here
};

// Opens path without following a link at its last component. With O_CREAT a missing file is
// created new (O_EXCL); O_TRUNC applies only once the file proved to be a regular file of the
// updater's own user with a single link; anything else is refused with one error naming path.
[[nodiscard]] OwnFileOpen openOwnFile(const std::string& path, int flags, mode_t mode, UniqueFd& fd);

// Makes sure that path names a real directory (a link to one does not count): an entry of
// any other kind there is removed unfollowed with one warning, then the directory is made.
[[nodiscard]] bool ensureOwnDirectory(const std::string& path);
// Where only a directory may be (or nothing), removes any other entry unfollowed, with one
// warning; false when that failed (logged).
[[nodiscard]] bool removeUnlessDirectory(const std::string& path);

// Where only a regular file of the updater's may be (or nothing), removes any other entry
// (a link, a device, a directory tree) without following it, with one warning.
[[nodiscard]] bool removeStrayEntry(const std::string& path);
// The same for the entry name of the directory open as dirFd; shownPath names it in messages.
[[nodiscard]] bool removeStrayEntryAt(int dirFd, const char* name, const std::string& shownPath);

// Removes the entry name of dirFd, a directory tree included, never following a link.
[[nodiscard]] bool removeEntryAt(int dirFd, const char* name);
