// Restarting the device after an update that needs it.
#pragma once

#include "driver/status_file.h"

// Re-executes init, starts a delayed reboot and records REBOOTING.
// Returns 0, or RUN_FATAL when the reboot could not be started.
int runRebootSequence(const StatusPaths& statusPaths = StatusPaths());
