// One update pass, as a sequence of steps: fetch the metadata, choose the packages, report
// the choice, download, verify the signatures, install the rpm packages, install the
// payloads; the hooks around the steps and the status recorded.
#pragma once

#include <cstddef>

#include "driver/run_result.h"
#include "package/package.h"

class Repository;
struct PassPlan;

// count is 0 until the selection is complete and consistent, then the number of chosen
// packages.
[[nodiscard]] RunResult runUpdatePass(const PassPlan& plan, const PackageMap& externalPackages, Repository& repository,
                                      size_t& count);
