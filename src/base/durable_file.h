// Records other software reads are replaced whole, so that a reader or a power cut sees the
// old content or the new one, never a part or nothing.
#pragma once

#include <sys/types.h>

#include <string>

// The step at which a replacement failed.
enum class ReplaceStep {
    Done,        // nothing failed
    Create,      // the temporary file could not be made
    Write,       // writing failed
    ShortWrite,  // fewer bytes were written than given
    Permissions,
    Sync,  // the file could not be flushed to storage
    Close,
    Rename,   // the temporary file could not be moved into place
    SyncDir,  // the new file is in place, but its directory could not be flushed
};

// Writes content into a new temporary file "<path>.XXXXXX" beside path, sets its mode, syncs
// and closes it and renames it over path; with syncDir the directory is synced too, so that
// the new record survives a power cut. Returns the step that failed with errno telling why
// (Done on success); the temporary file never stays behind, except when the process dies.
[[nodiscard]] ReplaceStep replaceFileDurably(const std::string& path, const std::string& content, mode_t mode,
                                             bool syncDir);

// Flushes the directory that holds path.
[[nodiscard]] bool syncParentDirectory(const std::string& path);

// The template the temporary files of path are made from: path followed by ".XXXXXX".
std::string durableTempTemplate(const std::string& path);
