// One update pass: metadata, product check, package choice, report, download, signature
// check and installation, with the hooks around the steps and the status recorded.
#pragma once

#include <cstddef>

#include "config/updater_config.h"
#include "package/package.h"
#include "resolver/resolver.h"

class Repository;

// Returns a run result (RUN_OK, RUN_ERROR, RUN_FATAL, RUN_REBOOT, RUN_RETRY_UPDATER). count
// is 0 until the selection is complete and consistent, then the number of chosen packages.
int runUpdatePass(UpdaterConfig options, PackageMap externalPackages, unsigned typeMask, const NameSet& includeNames,
                  const NameSet& excludeNames, const NameSet& excludeGroups, const NameSet& addonNames,
                  Repository& repository, size_t& count);
