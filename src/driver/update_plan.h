// The decisions of a run's passes, apart from their work: what each pass includes, whether
// the run goes on after it, and what the update state becomes. Pure functions of their
// arguments, so that each decision can be checked on its own.
#pragma once

#include <cstddef>

#include "config/updater_config.h"
#include "driver/run_result.h"
#include "driver/status_file.h"
#include "resolver/resolver.h"

// What one pass works on: the options it runs with and the packages it may choose.
struct PassPlan {
    UpdaterConfig options;
    PackageTypeSet excludedTypes;  // none, or kRpmOnlyExcludedTypes
    NameSet includeNames;
    NameSet excludeNames;
    NameSet excludeGroups;
    NameSet addonNames;
    const char* name = "";               // as the run report names the pass
    const char* announcement = nullptr;  // logged before the pass unless the run is quiet
    bool anotherPassFollows = false;     // on success, the run goes on to the next pass
};

// The plan of pass number `pass` (0 first). multiPass: the run still makes its analysis and
// the two installing passes (a full run that has not fallen back to the updater alone);
// fullRun: the run started as one; include: the names the run is restricted to.
[[nodiscard]] PassPlan planPass(int pass, bool multiPass, bool fullRun, const NameSet& include,
                                const UpdaterConfig& config);

// The run's way on after a pass.
struct AfterPass {
    RunResult result;               // the pass result as the run takes it
    bool retryUpdaterOnly = false;  // go on with one pass restricted to the updater
    bool goOn = false;              // make another pass
};
[[nodiscard]] AfterPass decideAfterPass(RunResult result, const PassPlan& plan, size_t count);

// True when the names restrict a run to the updater alone.
[[nodiscard]] bool isUpdaterOnly(const NameSet& names);

// The update state after a run's passes. current: the state read at the end; total: the
// packages the installing passes chose; firstCount: the packages the first pass that chose
// any found; include: the names of the last pass. STATE_NONE: leave the file as it is.
[[nodiscard]] UpdateState chooseUpdateState(UpdateState current, size_t total, size_t firstCount, RunResult result,
                                            const NameSet& include);

// True when a later pass failed to choose what an earlier one found, after that one installed.
[[nodiscard]] bool installedOnlyPart(RunResult result, size_t total, size_t firstCount, const NameSet& include,
                                     const UpdaterConfig& config);
