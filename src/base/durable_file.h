// Files other software reads are replaced whole, so that a reader or a power cut sees the old
// content or the new one, never a part or nothing: the new content goes into a temporary
// file beside the target, which is renamed over it once complete.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "base/handles.h"

// A temporary file in the target's directory, removed when the guard goes unless it was
// renamed into place (commit) or handed over (release). Every step reports its failure with
// errno telling why; the guard keeps errno intact when it cleans up, for the caller's message.
class TempFile {
public:
    TempFile() = default;
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    // A new file with a fresh name made from pathTemplate, which ends in "XXXXXX" (mkostemp;
    // mode 0600 until setMode).
    [[nodiscard]] bool createUnique(const std::string& pathTemplate);
    // The file at path with mode (before the umask). A symbolic link in its place is never
    // followed; a leftover is truncated and reused, or with exclusive makes creation fail.
    [[nodiscard]] bool createAt(const std::string& path, mode_t mode, bool exclusive = false);

    int fd() const { return m_fd.get(); }
    const std::string& path() const { return m_path; }
    // True once the file has been renamed over its target.
    bool committed() const { return m_committed; }

    [[nodiscard]] bool write(const void* data, size_t size);
    [[nodiscard]] bool write(const std::string& text) { return write(text.data(), text.size()); }
    [[nodiscard]] bool setMode(mode_t mode);
    // Flushes the content to storage.
    [[nodiscard]] bool sync();
    // Closes the file, reporting whether the close (and so the last writes) succeeded.
    [[nodiscard]] bool close();
    // Closes the file when still open and renames it over target; with syncDirectory the
    // directory is flushed too, so that the new file survives a power cut. A failure after
    // the rename leaves committed() true.
    [[nodiscard]] bool commit(const std::string& target, bool syncDirectory = false);
    // Leaves the file in place for the caller, who removes it; returns its path.
    std::string release();

private:
    std::string m_path;
    UniqueFd m_fd;
    bool m_created = false;
    bool m_committed = false;
};

// The step at which a replacement failed.
enum class ReplaceStep {
    Done,    // nothing failed
    Create,  // the temporary file could not be made
    Write,   // writing failed
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
