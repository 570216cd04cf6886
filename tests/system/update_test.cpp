// Whole runs of the updater over a real signed repository kept inside the device: the passes,
// the real rpm installing into the device's database, the hooks and the reboot.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "system/signed_update_fixture.h"

namespace system_test {
namespace {

// The device has demo 1.0-1; the vendor offers demo 2.0-1.
class UpdateTest : public DemoUpdateTest {
protected:
    void SetUp() override {
        DemoUpdateTest::SetUp();
        ASSERT_EQ(installedDemo(), "demo-1.0-1");
    }

    void publish(bool withUpdate) {
        SignedUpdateTest::publish(withUpdate ? std::vector<std::string>{s_newDemo} : std::vector<std::string>{});
    }
    std::string installedDemo() const { return installed("demo"); }
};

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
    HttpTestServer& server = serveOverHttp();
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
    EXPECT_EQ(rebootCalls(), (Calls{{"-r", "+1", "rebooting after upgrade"}}));
    EXPECT_EQ(sandbox.status(), "REBOOTING\n");
    EXPECT_EQ(sandbox.updateState(), "COMPLETE\n");
    // Fetched from the server once: the later passes read the cache.
    EXPECT_EQ(server.requestsFor("/repodata/repomd.xml").size(), 1u);
    EXPECT_EQ(server.requestsFor("/demo-2.0-1.noarch.rpm").size(), 1u);
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
    // The real rpm, with its arguments recorded as the fakes record theirs.
    sandbox.installScript("/usr/local/sandbox-bin/rpm",
                          "line=rpm; for arg; do line=$(printf '%s\\t%s' \"$line\" \"$arg\"); done\n"
                          "printf '%s\\n' \"$line\" >>/var/lib/sandbox-fakes/rpm.calls\n"
                          "exec /usr/bin/rpm \"$@\"\n");
    SandboxResult result = runUpdater({"--test"});

    EXPECT_TRUE(result.exited && result.exitCode == 0) << result;
    EXPECT_TRUE(result.hasErrLine("INFO: packages tested OK")) << result;
    EXPECT_EQ(installedDemo(), "demo-1.0-1");
    const std::vector<std::string> testCall{"--test", "-U", "/var/cache/updater/main/packages/demo-2.0-1.noarch.rpm"};
    EXPECT_EQ(sandbox.fakeCalls("rpm"), (Calls{testCall, testCall}));
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
