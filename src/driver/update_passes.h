// The passes of a run: analysis, the rpm packages, the rest, the updater-only retry, and
// what the run records about them in the update state.
#pragma once

#include "config/updater_config.h"
#include "driver/run_result.h"
#include "package/package.h"
#include "resolver/resolver.h"

class Repository;

// Returns the run's result: RUN_OK, RUN_ERROR, RUN_FATAL or RUN_REBOOT.
[[nodiscard]] RunResult runUpdatePasses(const UpdaterConfig& config, const NameSet& includeNames,
                                        const PackageMap& externalPackages, Repository& repository);
