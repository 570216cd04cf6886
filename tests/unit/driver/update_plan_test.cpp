// The decisions of a run's passes: what each pass includes, whether the run goes on, and
// which update state it leaves.
#include "driver/update_plan.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const NameSet kNone;
const NameSet kUpdater{"updater"};
const NameSet kApp{"demo-app"};

UpdaterConfig configWithAddons() {
    UpdaterConfig config;
    config.addonPackages = {"addon-a"};
    config.addonGroups = {"Add-ons"};
    config.releasePackage = "release";
    return config;
}

TEST(PlanPass, EachPassOfARunIncludesWhatItShould) {
    struct Case {
        int pass;
        bool multiPass, fullRun, checkOnlyRun;
        const NameSet& include;
        std::string name;
        bool checkOnly, cacheOnly, quiet, rpmOnly, anotherFollows, announced;
    };
    for (const Case& c : std::initializer_list<Case>{
             {0, true, true, false, kNone, "analysis", true, false, false, false, true, false},
             {1, true, true, false, kNone, "all but add-ons", false, true, true, true, true, true},
             {2, true, true, false, kNone, "add-ons", false, true, true, false, false, true},
             {0, false, false, false, kApp, "update", false, false, false, false, false, false},
             {0, false, false, true, kNone, "check", true, false, false, false, false, false},
             {1, false, true, false, kUpdater, "updater only", false, true, false, false, false, false},
         }) {
        SCOPED_TRACE(c.name);
        UpdaterConfig config = configWithAddons();
        config.checkOnly = c.checkOnlyRun;
        const PassPlan plan = planPass(c.pass, c.multiPass, c.fullRun, c.include, config);
        EXPECT_EQ(plan.name, c.name);
        EXPECT_EQ(plan.options.checkOnly, c.checkOnly);
        EXPECT_EQ(plan.options.cacheOnly, c.cacheOnly);
        EXPECT_EQ(plan.options.quiet, c.quiet);
        EXPECT_EQ(plan.excludedTypes, c.rpmOnly ? kRpmOnlyExcludedTypes : PackageTypeSet{});
        EXPECT_EQ(plan.excludeNames, c.rpmOnly ? (NameSet{"addon-a", "release"}) : kNone);
        EXPECT_EQ(plan.excludeGroups, c.rpmOnly ? NameSet{"Add-ons"} : kNone);
        EXPECT_EQ(plan.addonNames, NameSet{"addon-a"});
        EXPECT_EQ(plan.includeNames, c.include);
        EXPECT_EQ(plan.anotherPassFollows, c.anotherFollows);
        EXPECT_EQ(plan.announcement != nullptr, c.announced);
    }
}

TEST(DecideAfterPass, TheRunGoesOnOnlyWhileThereIsMoreToDo) {
    struct Case {
        RunResult passResult;
        const NameSet& include;
        bool anotherFollows;
        size_t count;
        RunResult result;
        bool retry, goOn;
    };
    for (const Case& c : std::initializer_list<Case>{
             {RUN_OK, kNone, true, 3, RUN_OK, false, true},
             {RUN_REBOOT, kNone, true, 3, RUN_REBOOT, false, true},
             {RUN_OK, kNone, false, 3, RUN_OK, false, false},
             {RUN_ERROR, kNone, true, 3, RUN_ERROR, false, false},
             {RUN_FATAL, kNone, true, 3, RUN_FATAL, false, false},
             {RUN_RETRY_UPDATER, kNone, true, 0, RUN_RETRY_UPDATER, true, true},
             {RUN_RETRY_UPDATER, kApp, false, 0, RUN_RETRY_UPDATER, true, true},
             // The updater alone has no further retry, and must find an update of itself.
             {RUN_RETRY_UPDATER, kUpdater, false, 0, RUN_ERROR, false, false},
             {RUN_OK, kUpdater, false, 0, RUN_ERROR, false, false},
             {RUN_OK, kUpdater, false, 1, RUN_OK, false, false},
             {RUN_OK, kApp, false, 0, RUN_OK, false, false},
         }) {
        SCOPED_TRACE(testing::Message() << c.passResult << " " << c.include.size() << " " << c.count);
        PassPlan plan;
        plan.includeNames = c.include;
        plan.anotherPassFollows = c.anotherFollows;
        const AfterPass after = decideAfterPass(c.passResult, plan, c.count);
        EXPECT_EQ(after.result, c.result);
        EXPECT_EQ(after.retryUpdaterOnly, c.retry);
        EXPECT_EQ(after.goOn, c.goOn);
    }
}

TEST(ChooseUpdateState, FollowsWhatThePassesInstalled) {
    struct Case {
        UpdateState current;
        size_t total, firstCount;
        RunResult result;
        const NameSet& include;
        UpdateState chosen;
    };
    for (const Case& c : std::initializer_list<Case>{
             {STATE_CORRUPTED, 3, 3, RUN_OK, kNone, STATE_CORRUPTED},
             {STATE_NONE, 2, 3, RUN_OK, kNone, STATE_PENDING},              // a later pass fell short
             {STATE_AVAILABLE, 1, 1, RUN_REBOOT, kUpdater, STATE_PENDING},  // the updater went first
             {STATE_AVAILABLE, 3, 3, RUN_REBOOT, kNone, STATE_COMPLETE},
             {STATE_NONE, 0, 0, RUN_OK, kNone, STATE_COMPLETE},   // nothing to do
             {STATE_NONE, 0, 3, RUN_OK, kNone, STATE_AVAILABLE},  // a check found updates
             {STATE_COMPLETE, 0, 3, RUN_ERROR, kNone, STATE_AVAILABLE},
             {STATE_PENDING, 0, 3, RUN_ERROR, kNone, STATE_PENDING},
             {STATE_NONE, 0, 0, RUN_ERROR, kNone, STATE_NONE},
         }) {
        SCOPED_TRACE(testing::Message() << c.current << " " << c.total << "/" << c.firstCount << " " << c.result);
        EXPECT_EQ(chooseUpdateState(c.current, c.total, c.firstCount, c.result, c.include), c.chosen);
    }
}

TEST(InstalledOnlyPart, OnlyASuccessfulRunThatInstalledLessThanItFound) {
    const UpdaterConfig config;
    EXPECT_TRUE(installedOnlyPart(RUN_REBOOT, 2, 3, kNone, config));
    EXPECT_FALSE(installedOnlyPart(RUN_REBOOT, 3, 3, kNone, config));
    EXPECT_FALSE(installedOnlyPart(RUN_REBOOT, 0, 3, kNone, config));
    EXPECT_FALSE(installedOnlyPart(RUN_ERROR, 2, 3, kNone, config));
    EXPECT_FALSE(installedOnlyPart(RUN_REBOOT, 1, 3, kUpdater, config));
    UpdaterConfig testRun;
    testRun.test = true;
    EXPECT_FALSE(installedOnlyPart(RUN_OK, 2, 3, kNone, testRun));
}

}  // namespace
