// The device's hook program, run around the steps of an update.
#pragma once

#include <string>

#include "base/paths.h"
#include "driver/run_result.h"

// Runs the hook with its name, the updater's version and, when given, the count text.
// Returns RUN_OK (also when the hook cannot be started), RUN_ERROR when it was interrupted,
// RUN_RETRY_UPDATER when it exited with a non-zero code.
[[nodiscard]] RunResult runHook(const char* name, const std::string* countText = nullptr,
                                const char* program = paths::kHookProgram);
