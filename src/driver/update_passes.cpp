#include "driver/update_passes.h"

#include <cstddef>

#include "base/logger.h"
#include "base/run_report.h"
#include "base/version.h"
#include "driver/run_result.h"
#include "driver/status_file.h"
#include "driver/update_plan.h"
#include "driver/update_run.h"
#include "repository/repository.h"

namespace {

void saveStatusOrWarn(UpdateStatus status) {
    if (!saveStatus(status, false)) LOG(Warn, "failed updating status file");
}

// After the passes: what the other software of the device learns about updates.
void recordUpdateState(size_t total, size_t firstCount, RunResult result, const NameSet& include) {
    const UpdateState chosen = chooseUpdateState(loadUpdateState(), total, firstCount, result, include);
    // A failed write is logged where it failed; the run result stays what the passes made it.
    if (chosen != STATE_NONE) (void)saveUpdateState(chosen);
}

}  // namespace

RunResult runUpdatePasses(const UpdaterConfig& config, const NameSet& includeNames, const PackageMap& externalPackages,
                          Repository& repository) {
    NameSet include = includeNames;
    size_t firstCount = 0;
    size_t total = 0;
    bool rebootRequested = false;
    const bool fullRun = includeNames.empty() && !config.checkOnly;
    bool multiPass = fullRun;
    RunResult result = RUN_OK;

    for (int pass = 0;; ++pass) {
        const PassPlan plan = planPass(pass, multiPass, fullRun, include, config);
        multiPass = plan.anotherPassFollows;

        saveStatusOrWarn(STATUS_ANALYZING);
        // A failed clean is logged where it failed and ends nothing: what stays behind only
        // takes room, a cached package is used only once its checksum matches again.
        if (!config.noCacheClean) (void)repository.cleanPackages();
        if (plan.announcement && !config.quiet) LOG(Info, "%s", plan.announcement);

        size_t count = 0;
        const RunResult passResult = runUpdatePass(plan, externalPackages, repository, count);
        RunReport::instance().addPass(plan.name, runResultWord(passResult));

        if (firstCount == 0) firstCount = count;
        if (!plan.options.checkOnly && !plan.options.test) total += count;

        const AfterPass after = decideAfterPass(passResult, plan, count);
        result = after.result;
        if (result == RUN_REBOOT) rebootRequested = true;
        if (after.retryUpdaterOnly) {
            LOG(Error, "failed updating, will try updating updater only");
            if (!config.quiet) LOG(Info, "--- RETRY UPDATER ONLY ---");
            multiPass = false;
            include = NameSet{kUpdaterName};
        }
        if (!after.goOn) break;
    }

    // As before each pass: a failed clean is logged and ends nothing.
    if (!config.noCacheClean) (void)repository.cleanPackages();

    if (includeNames.empty()) recordUpdateState(total, firstCount, result, include);

    if (installedOnlyPart(result, total, firstCount, include, config)) {
        LOG(Fatal, "failed passing all updates but update process succeeded, SYSTEM MAY BE CORRUPTED\n");
        RunReport::instance().refuse(Refusal::CorruptedSystem, "a later pass failed after an earlier one installed");
        saveStatusOrWarn(STATUS_CORRUPTED);
        return RUN_FATAL;
    }
    if (rebootRequested) return RUN_REBOOT;
    return result;
}
