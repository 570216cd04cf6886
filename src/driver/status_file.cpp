#include "driver/status_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "config/handles.h"
#include "config/logger.h"
#include "config/util.h"

namespace {

constexpr const char* kStatusNames[] = {
    "READY", "DELAYING", "ANALYZING", "DOWNLOADING", "TESTING", "UPDATING", "PKGSDONE", "CORRUPTED", "REBOOTING",
};
constexpr int kStatusCount = sizeof(kStatusNames) / sizeof(kStatusNames[0]);

constexpr const char* kStateNames[] = {"AVAILABLE", "PENDING", "COMPLETE", "CORRUPTED"};
constexpr int kStateCount = sizeof(kStateNames) / sizeof(kStateNames[0]);

constexpr size_t kPathBufferSize = 4096;

// The value last read or written by this process: lets the pass loop set the same
// state again and again without touching the file each time.
UpdateState g_cachedUpdateState = STATE_NONE;

// Reads the first white-space delimited word, at most 31 characters, into word[32].
bool readWord(FILE* stream, char (&word)[32]) {
    return fscanf(stream, "%31s", word) == 1;
}

// Removes the temporary status file unless it was moved into place.
class TempFileRemover {
public:
    explicit TempFileRemover(const char* path) : m_path(path) {}
    ~TempFileRemover() {
        if (m_armed) {
            int saved = errno;
            unlink(m_path);
            errno = saved;
        }
    }
    TempFileRemover(const TempFileRemover&) = delete;
    TempFileRemover& operator=(const TempFileRemover&) = delete;
    void dismiss() { m_armed = false; }

private:
    const char* m_path;
    bool m_armed = true;
};

// Steps after the temporary file exists: write, set permissions, flush, move into place.
bool replaceStatusFile(UniqueFd fd, const char* tempPath, const char* name, bool syncDir, const StatusPaths& where) {
    TempFileRemover remover(tempPath);

    char line[32];
    int length = snprintf(line, sizeof line, "%s\n", name);
    ssize_t written = write(fd.get(), line, static_cast<size_t>(length));
    if (written < 0) {
        LOG(Debug, "failed writing status to temp file: %s", errnoText().c_str());
        return false;
    }
    if (written != length) {
        LOG(Debug, "incomplete write to status temp file");
        return false;
    }
    if (fchmod(fd.get(), 0644) != 0) {
        LOG(Debug, "failed setting perms on status temporary file: %s", errnoText().c_str());
        return false;
    }
    if (fsync(fd.get()) != 0) {
        LOG(Error, "failed to sync status file: %s", errnoText().c_str());
        return false;
    }
    if (!fd.close()) {
        LOG(Debug, "failed on closing status temporary file: %s", errnoText().c_str());
        return false;
    }
    if (rename(tempPath, where.statusFile) != 0) {
        LOG(Debug, "failed saving status: %s", errnoText().c_str());
        return false;
    }
    remover.dismiss();

    if (syncDir && !syncStatusDir(where)) {
        LOG(Error, "failed to sync status dir: %s", errnoText().c_str());
        return false;
    }
    return true;
}

}  // namespace

const char* statusName(UpdateStatus status) {
    int n = static_cast<int>(status);
    return n >= 0 && n < kStatusCount ? kStatusNames[n] : nullptr;
}

const char* updateStateName(UpdateState state) {
    int n = static_cast<int>(state);
    return n >= 0 && n < kStateCount ? kStateNames[n] : nullptr;
}

bool loadStatus(UpdateStatus& status, const StatusPaths& where) {
    FilePtr stream(fopen(where.statusFile, "re"));
    if (!stream) {
        if (errno == ENOENT) {
            status = STATUS_READY;
            return true;
        }
        LOG(Debug, "cannot read from status file: %s", errnoText().c_str());
        return false;
    }
    char word[32];
    if (!readWord(stream.get(), word)) {
        LOG(Debug, "failed reading from status file");
        return false;
    }
    for (int n = 0; n < kStatusCount; ++n) {
        if (strcmp(word, kStatusNames[n]) == 0) {
            status = static_cast<UpdateStatus>(n);
            return true;
        }
    }
    LOG(Error, "unknown status '%s'", word);
    return false;
}

bool saveStatus(int status, bool syncDir, const StatusPaths& where) {
    const char* name = statusName(static_cast<UpdateStatus>(status));
    if (!name) {
        LOG(Error, "invalid status value %i", status);
        return false;
    }

    char tempPath[kPathBufferSize];
    int length = snprintf(tempPath, sizeof tempPath, "%s.XXXXXX", where.statusFile);
    UniqueFd fd;
    if (length < 0 || static_cast<size_t>(length) >= sizeof tempPath) {
        errno = ENAMETOOLONG;
    } else {
        fd.reset(mkstemp(tempPath));
    }
    if (!fd) {
        LOG(Debug, "failed creating status temporary file: %s", errnoText().c_str());
        return false;
    }

    bool saved = replaceStatusFile(std::move(fd), tempPath, name, syncDir, where);
    // The update state follows a corrupted status even when the status itself could not
    // be recorded: other software must learn of the damage either way.
    if (status == STATUS_CORRUPTED) saveUpdateState(STATE_CORRUPTED, where);
    return saved;
}

bool syncStatusDir(const StatusPaths& where) {
    char dir[kPathBufferSize];
    size_t length = strlen(where.statusFile);
    if (length >= sizeof dir) {
        errno = ENAMETOOLONG;
        return false;
    }
    memcpy(dir, where.statusFile, length + 1);
    char* slash = strrchr(dir, '/');
    if (!slash) {
        errno = EINVAL;
        return false;
    }
    // A file directly under the root directory lives in "/", not in "".
    slash[slash == dir ? 1 : 0] = '\0';

    UniqueFd fd(open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) return false;
    if (fdatasync(fd.get()) != 0) return false;
    if (!fd.close()) return false;
    LOG(Trace, "synced status dir");
    return true;
}

bool checkStatusAtStart(UpdateStatus status, int& result, const StatusPaths& where) {
    switch (status) {
        case STATUS_UPDATING:
            LOG(Fatal, "a previous update was interrupted; SYSTEM MAY BE CORRUPTED! Aborting");
            if (!saveStatus(STATUS_CORRUPTED, false, where)) LOG(Warn, "failed updating status file");
            result = 2;
            return false;
        case STATUS_CORRUPTED:
            LOG(Fatal, "system is corrupted cannot update");
            result = 2;
            return false;
        case STATUS_REBOOTING:
            LOG(Info, "machine is rebooting after update, cannot start");
            result = 1;
            return false;
        default:
            // An interrupted analysis, download or test left the system unchanged.
            return true;
    }
}

UpdateState loadUpdateState(const StatusPaths& where) {
    g_cachedUpdateState = STATE_NONE;
    FilePtr stream(fopen(where.updateStateFile, "re"));
    if (!stream) {
        if (errno != ENOENT) LOG(Debug, "cannot read from update state file: %s", errnoText().c_str());
        return STATE_NONE;
    }
    char word[32];
    if (!readWord(stream.get(), word)) {
        LOG(Debug, "failed reading from update state file");
        return STATE_NONE;
    }
    for (int n = 0; n < kStateCount; ++n) {
        if (strcmp(word, kStateNames[n]) == 0) {
            g_cachedUpdateState = static_cast<UpdateState>(n);
            return g_cachedUpdateState;
        }
    }
    LOG(Warn, "unknown update state '%s'", word);
    return STATE_NONE;
}

void saveUpdateState(UpdateState state, const StatusPaths& where) {
    const char* name = updateStateName(state);
    if (!name) {
        LOG(Warn, "ignoring request to save NONE as update state");
        return;
    }
    if (state == g_cachedUpdateState) return;

    FilePtr stream(fopen(where.updateStateFile, "we"));
    if (!stream) {
        LOG(Warn, "failed to open update state file for save: %s", errnoText().c_str());
        return;
    }
    // The first failure is the one worth reporting; the file is closed in every case.
    bool ok = true;
    int error = 0;
    auto check = [&](bool stepOk) {
        if (!stepOk && ok) {
            ok = false;
            error = errno;
        }
    };
    check(fprintf(stream.get(), "%s\n", name) >= 0);
    check(fflush(stream.get()) == 0);
    check(fclose(stream.release()) == 0);
    if (!ok) {
        LOG(Warn, "failed writing to update state file: %s", errnoText(error).c_str());
        return;
    }
    g_cachedUpdateState = state;
}

void resetCachedUpdateState() {
    g_cachedUpdateState = STATE_NONE;
}
