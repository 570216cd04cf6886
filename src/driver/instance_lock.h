// When and whether a run may proceed: detaching into the background, the instance lock
// that serialises all runs on the device, and the random wait before the first connection.
#pragma once

#include <string>

#include "base/handles.h"
#include "base/paths.h"
#include "config/updater_config.h"
#include "driver/status_file.h"

// Forks into the background. Returns true when this process goes on with the run (the
// child, or the only process when fork failed); false when the run ends here with result
// (0 in the parent, 1 or 2 when the status file refuses the run). The parent reads the
// status after trying the lock at lockPath: while another instance holds it, an UPDATING is
// left for the child to judge once it holds the lock.
[[nodiscard]] bool enterBackground(const UpdaterConfig& config, const char* modeName, const std::string& logToFile,
                                   RunResult& result, const StatusPaths& statusPaths = StatusPaths(),
                                   const char* lockPath = paths::kLockFile);

// Takes the whole-file write lock, waiting up to lockTimeout seconds (one attempt a
// second). On success lock holds the close-on-exec descriptor, which must stay open
// until the process ends: the lock is released only by the process ending.
[[nodiscard]] bool acquireInstanceLock(int lockTimeout, UniqueFd& lock, const char* path = paths::kLockFile);

// Waits a random time of 0 to maxWaitTime seconds; false when no random data could be had.
[[nodiscard]] bool randomWait(int maxWaitTime, const char* randomSource = paths::kDevUrandom,
                              const StatusPaths& statusPaths = StatusPaths());
