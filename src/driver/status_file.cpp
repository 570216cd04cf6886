#include "driver/status_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "base/durable_file.h"
#include "base/handles.h"
#include "base/logger.h"
#include "base/own_files.h"
#include "base/util.h"

namespace {

constexpr const char* kStatusNames[] = {
    "READY", "DELAYING", "ANALYZING", "DOWNLOADING", "TESTING", "UPDATING", "PKGSDONE", "CORRUPTED", "REBOOTING",
};
constexpr int kStatusCount = sizeof(kStatusNames) / sizeof(kStatusNames[0]);

constexpr const char* kStateNames[] = {"AVAILABLE", "PENDING", "COMPLETE", "CORRUPTED"};
constexpr int kStateCount = sizeof(kStateNames) / sizeof(kStateNames[0]);

// The value last read or written by this process: lets the pass loop set the same
// state again and again without touching the file each time.
UpdateState g_cachedUpdateState = STATE_NONE;

// Reads the first white-space delimited word, at most 31 characters, into word[32].
bool readWord(FILE* stream, char (&word)[32]) {
    return fscanf(stream, "%31s", word) == 1;
}

// Opens a record for reading; a missing file is a stream of null (errno ENOENT) and so is
// anything but the updater's own regular file (refused with a message naming it).
FilePtr openRecord(const char* path, bool& refused) {
    UniqueFd fd;
    const OwnFileOpen opened = openOwnFile(path, O_RDONLY, 0, fd);
    refused = opened == OwnFileOpen::Refused;
    if (opened != OwnFileOpen::Opened) return FilePtr();
    FilePtr stream(fdopen(fd.get(), "r"));
    if (stream) fd.release();
    return stream;
}

// The line each failed step of a status replacement is logged with.
void logStatusReplaceFailure(ReplaceStep step) {
    const std::string reason = errnoText();
    switch (step) {
        case ReplaceStep::Done:
            break;
        case ReplaceStep::Create:
            LOG(Debug, "failed creating status temporary file: %s", reason.c_str());
            break;
        case ReplaceStep::Write:
            LOG(Debug, "failed writing status to temp file: %s", reason.c_str());
            break;
        case ReplaceStep::Permissions:
            LOG(Debug, "failed setting perms on status temporary file: %s", reason.c_str());
            break;
        case ReplaceStep::Sync:
            LOG(Error, "failed to sync status file: %s", reason.c_str());
            break;
        case ReplaceStep::Close:
            LOG(Debug, "failed on closing status temporary file: %s", reason.c_str());
            break;
        case ReplaceStep::Rename:
            LOG(Debug, "failed saving status: %s", reason.c_str());
            break;
        case ReplaceStep::SyncDir:
            LOG(Error, "failed to sync status dir: %s", reason.c_str());
            break;
    }
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
    bool refused = false;
    FilePtr stream(openRecord(where.statusFile, refused));
    if (!stream) {
        if (refused) return false;
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

bool saveStatus(UpdateStatus status, bool syncDir, const StatusPaths& where) {
    const char* name = statusName(status);
    if (!name) {
        LOG(Error, "invalid status value %i", static_cast<int>(status));
        return false;
    }

    ReplaceStep step = replaceFileDurably(where.statusFile, std::string(name) + "\n", 0644, false);
    if (step == ReplaceStep::Done && syncDir && !syncStatusDir(where)) step = ReplaceStep::SyncDir;
    logStatusReplaceFailure(step);
    // The update state follows a corrupted status even when the status itself could not
    // be recorded: other software must learn of the damage either way. Without even a
    // temporary file, nothing can be written there either.
    if (status == STATUS_CORRUPTED && step != ReplaceStep::Create) (void)saveUpdateState(STATE_CORRUPTED, where);
    return step == ReplaceStep::Done;
}

bool syncStatusDir(const StatusPaths& where) {
    if (!syncParentDirectory(where.statusFile)) return false;
    LOG(Trace, "synced status dir");
    return true;
}

bool checkStatusAtStart(UpdateStatus status, RunResult& result, const StatusPaths& where) {
    switch (status) {
        case STATUS_UPDATING:
            LOG(Fatal, "a previous update was interrupted; SYSTEM MAY BE CORRUPTED! Aborting");
            if (!saveStatus(STATUS_CORRUPTED, false, where)) LOG(Warn, "failed updating status file");
            result = RUN_FATAL;
            return false;
        case STATUS_CORRUPTED:
            LOG(Fatal, "system is corrupted cannot update");
            result = RUN_FATAL;
            return false;
        case STATUS_REBOOTING:
            LOG(Info, "machine is rebooting after update, cannot start");
            result = RUN_ERROR;
            return false;
        default:
            // An interrupted analysis, download or test left the system unchanged.
            return true;
    }
}

UpdateState loadUpdateState(const StatusPaths& where) {
    g_cachedUpdateState = STATE_NONE;
    bool refused = false;
    FilePtr stream(openRecord(where.updateStateFile, refused));
    if (!stream) {
        if (!refused && errno != ENOENT) LOG(Debug, "cannot read from update state file: %s", errnoText().c_str());
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

bool saveUpdateState(UpdateState state, const StatusPaths& where) {
    const char* name = updateStateName(state);
    if (!name) {
        LOG(Warn, "ignoring request to save NONE as update state");
        return false;
    }
    if (state == g_cachedUpdateState) return true;
    // Other software reads this file at any moment: it is replaced whole, never rewritten.
    if (replaceFileDurably(where.updateStateFile, std::string(name) + "\n", 0644, true) != ReplaceStep::Done) {
        LOG(Warn, "failed writing to update state file: %s", errnoText().c_str());
        return false;
    }
    g_cachedUpdateState = state;
    return true;
}

void resetCachedUpdateState() {
    g_cachedUpdateState = STATE_NONE;
}
