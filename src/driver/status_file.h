// The status file (which step the updater is in, written atomically and, around the
// steps that change installed software, durably) and the update-state file (whether
// updates are available, pending or complete, for other software on the device, always
// replaced durably). Neither is read through a symbolic link.
#pragma once

#include "base/paths.h"
#include "driver/run_result.h"

enum UpdateStatus : int {
    STATUS_READY = 0,
    STATUS_DELAYING = 1,
    STATUS_ANALYZING = 2,
    STATUS_DOWNLOADING = 3,
    STATUS_TESTING = 4,
    STATUS_UPDATING = 5,
    STATUS_PKGSDONE = 6,
    STATUS_CORRUPTED = 7,
    STATUS_REBOOTING = 8,
};

enum UpdateState : int {
    STATE_NONE = -1,  // no file, unreadable, or unknown word; never written
    STATE_AVAILABLE = 0,
    STATE_PENDING = 1,
    STATE_COMPLETE = 2,
    STATE_CORRUPTED = 3,
};

const char* statusName(UpdateStatus status);     // "READY" ... "REBOOTING", null when invalid
const char* updateStateName(UpdateState state);  // "AVAILABLE" ... "CORRUPTED", null otherwise

// Where the two files live; tests point them into a temporary directory.
struct StatusPaths {
    const char* statusFile = paths::kStatusFile;
    const char* updateStateFile = paths::kUpdateStateFile;
};

// A missing file reads as READY.
[[nodiscard]] bool loadStatus(UpdateStatus& status, const StatusPaths& where = StatusPaths());
// Atomic replace with fsync; syncDir also flushes the directory. Writing CORRUPTED also
// sets the update state CORRUPTED.
[[nodiscard]] bool saveStatus(UpdateStatus status, bool syncDir, const StatusPaths& where = StatusPaths());
[[nodiscard]] bool syncStatusDir(const StatusPaths& where = StatusPaths());
// True when a run may proceed; otherwise result holds the run result (RUN_ERROR or RUN_FATAL).
[[nodiscard]] bool checkStatusAtStart(UpdateStatus status, RunResult& result, const StatusPaths& where = StatusPaths());

UpdateState loadUpdateState(const StatusPaths& where = StatusPaths());
// Replaces the file durably, but only when the state differs from the one last read or
// written by this process; false when it could not be written (logged).
[[nodiscard]] bool saveUpdateState(UpdateState state, const StatusPaths& where = StatusPaths());
// Forget the cached state (tests run several "processes" in one).
void resetCachedUpdateState();
