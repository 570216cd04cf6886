#include "driver/update_plan.h"

#include "base/version.h"

bool isUpdaterOnly(const NameSet& names) {
    return names.size() == 1 && *names.begin() == kUpdaterName;
}

namespace {

// The pass as the report names it: the analysis and two installing passes of a full run, or
// the one pass of a run restricted to names or to checking, and the retry of the updater alone.
const char* passName(int pass, bool fullRun, const NameSet& include, const UpdaterConfig& config) {
    if (pass > 0 && isUpdaterOnly(include)) return "updater only";
    if (pass == 0 && fullRun) return "analysis";
    if (pass == 0) return config.checkOnly ? "check" : (config.test ? "test" : "update");
    return pass == 1 ? "all but add-ons" : "add-ons";
}

// The first installing pass leaves out the add-ons, the release package and non-rpm files.
void excludeAddons(PassPlan& plan, const UpdaterConfig& config) {
    plan.excludedTypes = kRpmOnlyExcludedTypes;
    plan.excludeNames.insert(config.addonPackages.begin(), config.addonPackages.end());
    if (!config.releasePackage.empty()) plan.excludeNames.insert(config.releasePackage);
    plan.excludeGroups.insert(config.addonGroups.begin(), config.addonGroups.end());
}

}  // namespace

PassPlan planPass(int pass, bool multiPass, bool fullRun, const NameSet& include, const UpdaterConfig& config) {
    PassPlan plan;
    plan.options = config;
    plan.includeNames = include;
    plan.addonNames.insert(config.addonPackages.begin(), config.addonPackages.end());
    plan.name = passName(pass, fullRun, include, config);
    if (pass == 0) {
        // The analysis only checks: the installing passes work from the metadata it fetched.
        plan.options.checkOnly = plan.options.checkOnly || multiPass;
        plan.anotherPassFollows = multiPass;
        return plan;
    }
    plan.options.cacheOnly = true;
    if (!multiPass) return plan;
    plan.options.quiet = true;
    if (pass == 1) {
        excludeAddons(plan, config);
        plan.announcement = "pass 1: all but add-ons";
        plan.anotherPassFollows = true;
    } else {
        plan.announcement = "pass 2: add-ons";
    }
    return plan;
}

AfterPass decideAfterPass(RunResult result, const PassPlan& plan, size_t count) {
    AfterPass after{result};
    const bool updaterOnly = isUpdaterOnly(plan.includeNames);
    if (result == RUN_RETRY_UPDATER) {
        if (updaterOnly) {
            after.result = RUN_ERROR;
        } else {
            after.retryUpdaterOnly = true;
            after.goOn = true;
        }
        return after;
    }
    // A run restricted to the updater that finds no update of it has failed.
    if (result == RUN_OK && updaterOnly && count == 0) after.result = RUN_ERROR;
    after.goOn = (after.result == RUN_OK || after.result == RUN_REBOOT) && plan.anotherPassFollows;
    return after;
}

UpdateState chooseUpdateState(UpdateState current, size_t total, size_t firstCount, RunResult result,
                              const NameSet& include) {
    if (current == STATE_CORRUPTED) return current;
    if (total > 0 && (total < firstCount || isUpdaterOnly(include))) return STATE_PENDING;
    if (total >= firstCount && (result == RUN_OK || result == RUN_REBOOT)) return STATE_COMPLETE;
    if (current != STATE_PENDING && firstCount > 0) return STATE_AVAILABLE;
    return current;
}

bool installedOnlyPart(RunResult result, size_t total, size_t firstCount, const NameSet& include,
                       const UpdaterConfig& config) {
    return (result == RUN_OK || result == RUN_REBOOT) && total > 0 && total < firstCount && !isUpdaterOnly(include) &&
           !config.checkOnly && !config.test;
}
