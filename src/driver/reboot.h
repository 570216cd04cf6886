// Restarting the device after an update that needs it.
#pragma once

#include "driver/run_result.h"
#include "driver/status_file.h"

// Re-executes init, starts a delayed reboot and records REBOOTING.
// Returns RUN_OK, or RUN_FATAL when the reboot could not be started.
[[nodiscard]] RunResult runRebootSequence(const StatusPaths& statusPaths = StatusPaths());
