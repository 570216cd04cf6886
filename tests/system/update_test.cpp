// Whole runs of the updater over a real signed repository kept inside the device: the passes,
// the real rpm installing into the device's database, the hooks and the reboot.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fixtures/gpg_keys.h"
#include "fixtures/repo_builder.h"
#include "fixtures/rpm_builder.h"
#include "fixtures/rpm_database.h"
#include "fixtures/run_tool.h"
#include "fixtures/temp_dir.h"
#include "system/updater_system_test.h"

namespace system_test {
namespace {

using Lines = std::vector<std::string>;
using Calls = std::vector<std::vector<std::string>>;

constexpr char kRepoDir[] = "/var/lib/sandbox-repo";

class UpdateTest : public UpdaterSystemTest {
protected:
    // One key and the packages for the whole suite: both are slow to make.
    static void SetUpTestSuite() {
        s_dir = new TempDir("update-test");
        s_keys = new GpgKeys();
        s_key = s_keys->generate("Device Vendor <vendor@example.com>");
        ASSERT_FALSE(s_key.empty());
        makeDirs(*s_dir / "work");
        RpmBuilder builder(*s_dir / "work");
        s_old = builder.build(RpmPackageDef("demo", "1.0", "1"), *s_dir / "old");
        s_new = builder.build(RpmPackageDef("demo", "2.0", "1"), *s_dir / "new");
        ASSERT_FALSE(s_old.empty());
        ASSERT_FALSE(s_new.empty());
        ASSERT_TRUE(signPackage(s_new, s_keys->home(), s_key));
    }
    static void TearDownTestSuite() {
        delete s_keys;
        delete s_dir;
        s_keys = nullptr;
        s_dir = nullptr;
    }

    std::string rpmDb() const { return sandbox.hostPath("/var/lib/rpm"); }

    // The device trusts the vendor key and has demo 1.0-1 installed.
    void SetUp() override {
        UpdaterSystemTest::SetUp();
        ASSERT_TRUE(importKey(*s_keys, s_key, rpmDb(), *s_dir / ("key-" + std::to_string(++s_imports) + ".asc")));
        ASSERT_TRUE(installIntoDatabase(rpmDb(), {s_old}));
        ASSERT_EQ(installedDemo(), "demo-1.0-1");
    }

    // The repository in the device, signed; with the newer demo when withUpdate.
    void publish(bool withUpdate) {
        RepoBuilder repo(sandbox.hostPath(kRepoDir));
        if (withUpdate) writeFile(repo.dir() + "/demo-2.0-1.noarch.rpm", readFile(s_new));
        ASSERT_TRUE(repo.create());
        ASSERT_TRUE(repo.signIndex(*s_keys, s_key));
    }

    std::string installedDemo() const {
        std::string out;
        runTool({"rpm", "--dbpath", rpmDb(), "-q", "--qf", "%{NAME}-%{VERSION}-%{RELEASE}\\n", "demo"}, &out);
        while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
        return out;
    }

    static TempDir* s_dir;
    static GpgKeys* s_keys;
    static std::string s_key;
    static std::string s_old;
    static std::string s_new;
    static int s_imports;
};

TempDir* UpdateTest::s_dir = nullptr;
GpgKeys* UpdateTest::s_keys = nullptr;
std::string UpdateTest::s_key;
std::string UpdateTest::s_old;
std::string UpdateTest::s_new;
int UpdateTest::s_imports = 0;

TEST_F(UpdateTest, DeviceWithoutPendingUpdatesRunsThreeEmptyPasses) {
    publish(false);
    SandboxResult result = runUpdater({});

    EXPECT_TRUE(result.exited && result.exitCode == 0) << result;
    // The analysis pass reports; passes 1 and 2 are quiet.
    EXPECT_TRUE(
        linesInOrder(result.errLines(), {"INFO: --- 0 UPDATE(S) ---", "INFO: no updates",
                                         "INFO: pass 1: all but add-ons", "INFO: pass 2: add-ons", kExitOkLine}))
        << result;
    EXPECT_EQ(result.countErrLines("INFO: --- 0 UPDATE(S) ---"), 1) << result;
    EXPECT_TRUE(linesOfLevel(result, "ERROR").empty()) << result;
    EXPECT_TRUE(linesOfLevel(result, "WARNING").empty()) << result;
    EXPECT_EQ(sandbox.updateState(), "COMPLETE\n");
    EXPECT_EQ(sandbox.status(), "READY\n");
    EXPECT_EQ(sandbox.fakeCalls("hook"), (Calls{{"init", "1.10"}}));
    EXPECT_EQ(installedDemo(), "demo-1.0-1");
    for (const char* program : {"telinit", "shutdown", "install"}) EXPECT_TRUE(sandbox.fakeCalls(program).empty());
}

TEST_F(UpdateTest, SignedUpdateIsInstalledAndTheDeviceReboots) {
    publish(true);
    SandboxResult result = runUpdater({});

    EXPECT_TRUE(result.exited && result.exitCode == 0) << result;
    EXPECT_EQ(installedDemo(), "demo-2.0-1");
    EXPECT_TRUE(linesInOrder(
        result.errLines(),
        {"INFO: --- 1 UPDATE(S) ---", "INFO: need to update (1 packages):", "INFO: \tdemo-2.0-1.noarch.rpm",
         "INFO: pass 1: all but add-ons", "INFO: starting update (1 packages):", "INFO: \tdemo-2.0-1.noarch.rpm",
         "INFO: running download hook", "INFO: downloading 1 packages", "INFO: verifying package signatures",
         "INFO: running update hook", "INFO: updating package(s)", "INFO: running postupdate hook",
         "INFO: packages installed OK", "INFO: pass 2: add-ons", kExitOkLine}))
        << result;
    EXPECT_EQ(result.countErrLines("INFO: --- 1 UPDATE(S) ---"), 1) << result;
    EXPECT_TRUE(linesOfLevel(result, "ERROR").empty()) << result;
    EXPECT_TRUE(linesOfLevel(result, "FATAL").empty()) << result;
    EXPECT_EQ(sandbox.fakeCalls("hook"),
              (Calls{{"init", "1.10"}, {"download", "1.10"}, {"update", "1.10", "1"}, {"postupdate", "1.10", "1"}}));
    EXPECT_TRUE(sandbox.fakeCalls("install").empty());
    EXPECT_EQ(sandbox.fakeCalls("telinit"), (Calls{{"u"}}));
    EXPECT_EQ(sandbox.fakeCalls("shutdown"), (Calls{{"-r", "+1", "rebooting after upgrade"}}));
    EXPECT_EQ(sandbox.status(), "REBOOTING\n");
    EXPECT_EQ(sandbox.updateState(), "COMPLETE\n");
}

TEST_F(UpdateTest, EveryStepOfAnUpdateIsInTheStatusFile) {
    publish(true);
    // A hook and a telinit that note the status they see.
    const std::string noteStatus =
        "printf '%s %s\\n' \"${0##*/}:$1\" \"$(cat /var/lib/updater/status)\" "
        ">>/var/lib/sandbox-fakes/seen\n";
    sandbox.installScript("/usr/lib/updater/hook", noteStatus);
    for (const char* telinit : {"/usr/sbin/telinit", "/usr/local/sandbox-bin/telinit"})
        sandbox.installScript(telinit, noteStatus);
    sandbox.setStatus("READY");
    SandboxResult result = runUpdater({});

    EXPECT_TRUE(result.exited && result.exitCode == 0) << result;
    // PKGSDONE ends pass 1; pass 2 starts with ANALYZING and the run ends READY before the reboot.
    EXPECT_EQ(splitLines(sandbox.readDeviceFile("/var/lib/sandbox-fakes/seen")),
              (Lines{"hook:init READY", "hook:download ANALYZING", "hook:update DOWNLOADING",
                     "hook:postupdate UPDATING", "telinit:u READY"}));
    EXPECT_EQ(sandbox.status(), "REBOOTING\n");
}

TEST_F(UpdateTest, NoRebootInstallsAndEndsReady) {
    publish(true);
    SandboxResult result = runUpdater({"--no-reboot"});

    EXPECT_TRUE(result.exited && result.exitCode == 0) << result;
    EXPECT_EQ(installedDemo(), "demo-2.0-1");
    EXPECT_TRUE(result.hasErrLine("INFO: packages installed OK")) << result;
    EXPECT_TRUE(sandbox.fakeCalls("telinit").empty());
    EXPECT_TRUE(sandbox.fakeCalls("shutdown").empty());
    EXPECT_EQ(sandbox.status(), "READY\n");
    EXPECT_EQ(sandbox.updateState(), "COMPLETE\n");
}

TEST_F(UpdateTest, CheckOnlyReportsAndInstallsNothing) {
    publish(true);
    SandboxResult result = runUpdater({"--check-only"});

    EXPECT_TRUE(result.exited && result.exitCode == 0) << result;
    EXPECT_TRUE(linesInOrder(result.errLines(), {"INFO: --- 1 UPDATE(S) ---", "INFO: need to update (1 packages):",
                                                 "INFO: \tdemo-2.0-1.noarch.rpm", kExitOkLine}))
        << result;
    // One pass only.
    EXPECT_FALSE(result.hasErrLine("INFO: pass 1: all but add-ons")) << result;
    EXPECT_EQ(installedDemo(), "demo-1.0-1");
    EXPECT_EQ(sandbox.fakeCalls("hook"), (Calls{{"init", "1.10"}}));
    EXPECT_EQ(sandbox.updateState(), "AVAILABLE\n");
    EXPECT_EQ(sandbox.status(), "READY\n");
}

TEST_F(UpdateTest, TestRunInstallsNothingAndLeavesTheUpdatesAvailable) {
    publish(true);
    SandboxResult result = runUpdater({"--test"});

    EXPECT_TRUE(result.exited && result.exitCode == 0) << result;
    EXPECT_TRUE(result.hasErrLine("INFO: packages tested OK")) << result;
    EXPECT_EQ(installedDemo(), "demo-1.0-1");
    // Pass 2 finds the update again, since pass 1 only tested it, and tests it once more.
    const Calls testPass{{"download", "1.10"}, {"test", "1.10", "1"}, {"posttest", "1.10", "1"}};
    Calls expected{{"init", "1.10"}};
    expected.insert(expected.end(), testPass.begin(), testPass.end());
    expected.insert(expected.end(), testPass.begin(), testPass.end());
    EXPECT_EQ(sandbox.fakeCalls("hook"), expected);
    EXPECT_TRUE(sandbox.fakeCalls("shutdown").empty());
    // Nothing was installed: the updates are still there to be installed.
    EXPECT_EQ(sandbox.updateState(), "AVAILABLE\n");
    EXPECT_EQ(sandbox.status(), "READY\n");
}

}  // namespace
}  // namespace system_test
