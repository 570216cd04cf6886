#include "driver/update_passes.h"

#include <cstddef>

#include "base/logger.h"
#include "base/run_report.h"
#include "driver/run_result.h"
#include "driver/status_file.h"
#include "driver/update_run.h"
#include "driver/version.h"
#include "repository/repository.h"

namespace {

void saveStatusOrWarn(int status) {
    if (!saveStatus(status, false)) LOG(Warn, "failed updating status file");
}

bool isUpdaterOnly(const NameSet& names) {
    return names.size() == 1 && *names.begin() == kUpdaterName;
}

// The pass as the report names it: the analysis and two installing passes of a full run, or
// the one pass of a run restricted to names or to checking, and the retry of the updater alone.
const char* passName(int pass, bool multiPass, const NameSet& include, const UpdaterConfig& config) {
    if (pass > 0 && isUpdaterOnly(include)) return "updater only";
    if (pass == 0 && multiPass) return "analysis";
    if (pass == 0) return config.checkOnly ? "check" : (config.test ? "test" : "update");
    return pass == 1 ? "all but add-ons" : "add-ons";
}

// After the passes: what the other software of the device learns about updates.
void decideUpdateState(size_t total, size_t firstCount, int result, const NameSet& include) {
    const UpdateState state = loadUpdateState();
    UpdateState chosen = state;
    if (state == STATE_CORRUPTED)
        chosen = state;
    else if (total > 0 && (total < firstCount || isUpdaterOnly(include)))
        chosen = STATE_PENDING;
    else if (total >= firstCount && (result == RUN_OK || result == RUN_REBOOT))
        chosen = STATE_COMPLETE;
    else if (state != STATE_PENDING && firstCount > 0)
        chosen = STATE_AVAILABLE;
    // A failed write is logged where it failed; the run result stays what the passes made it.
    if (chosen != STATE_NONE) (void)saveUpdateState(chosen);
}

}  // namespace

int runUpdatePasses(const UpdaterConfig& config, const NameSet& includeNames, const PackageMap& externalPackages,
                    Repository& repository) {
    NameSet include = includeNames;
    const NameSet addonNames(config.addonPackages.begin(), config.addonPackages.end());
    size_t firstCount = 0;
    size_t total = 0;
    bool rebootRequested = false;
    bool multiPass = includeNames.empty() && !config.checkOnly;
    const bool fullRun = multiPass;
    int result = RUN_OK;

    for (int pass = 0;; ++pass) {
        UpdaterConfig options = config;
        unsigned typeMask = 0;
        NameSet excludeNames;
        NameSet excludeGroups;

        saveStatusOrWarn(STATUS_ANALYZING);
        if (!config.noCacheClean) (void)repository.cleanPackages();

        if (pass == 0) {
            if (multiPass) options.checkOnly = true;
        } else {
            options.cacheOnly = true;
            if (multiPass) {
                options.quiet = true;
                if (pass == 1) {
                    typeMask = kRpmOnlyTypeMask;
                    excludeNames.insert(config.addonPackages.begin(), config.addonPackages.end());
                    if (!config.releasePackage.empty()) excludeNames.insert(config.releasePackage);
                    excludeGroups.insert(config.addonGroups.begin(), config.addonGroups.end());
                    if (!config.quiet) LOG(Info, "pass 1: all but add-ons");
                } else {
                    if (!config.quiet) LOG(Info, "pass 2: add-ons");
                    multiPass = false;
                }
            }
        }

        size_t count = 0;
        result = runUpdatePass(options, externalPackages, typeMask, include, excludeNames, excludeGroups, addonNames,
                               repository, count);
        RunReport::instance().addPass(passName(pass, fullRun, include, config), runResultWord(result));

        if (firstCount == 0) firstCount = count;
        if (!options.checkOnly && !options.test) total += count;

        if (result == RUN_RETRY_UPDATER) {
            if (isUpdaterOnly(include)) {
                result = RUN_ERROR;
            } else {
                LOG(Error, "failed updating, will try updating updater only");
                if (!config.quiet) LOG(Info, "--- RETRY UPDATER ONLY ---");
                multiPass = false;
                include = NameSet{kUpdaterName};
            }
        } else if (result == RUN_REBOOT) {
            rebootRequested = true;
        } else if (result == RUN_OK && isUpdaterOnly(include) && count == 0) {
            result = RUN_ERROR;
        }

        const bool goOn = result == RUN_RETRY_UPDATER || ((result == RUN_OK || result == RUN_REBOOT) && multiPass);
        if (!goOn) break;
    }

    if (!config.noCacheClean) (void)repository.cleanPackages();

    if (includeNames.empty()) decideUpdateState(total, firstCount, result, include);

    if ((result == RUN_OK || result == RUN_REBOOT) && total > 0 && total < firstCount && !isUpdaterOnly(include) &&
        !config.checkOnly && !config.test) {
        LOG(Fatal, "failed passing all updates but update process succeeded, SYSTEM MAY BE CORRUPTED\n");
        RunReport::instance().refuse(Refusal::CorruptedSystem, "a later pass failed after an earlier one installed");
        saveStatusOrWarn(STATUS_CORRUPTED);
        return RUN_FATAL;
    }
    if (rebootRequested) return RUN_REBOOT;
    return result;
}
