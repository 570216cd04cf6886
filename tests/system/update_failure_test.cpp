// Whole runs whose selection or passes leave the plain way: a payload selected alone, rpm
// failing, a package signed by a key the device does not trust, updates that only a newer
// updater can take, and an analysis that found more updates than the passes installed.
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "system/signed_update_fixture.h"

namespace system_test {
namespace {

constexpr char kDefaultsFile[] = "/usr/share/resources/default/updater/defaults.conf";
constexpr char kPackagesDir[] = "/var/cache/updater/main/packages/";
constexpr char kReceivedPayload[] = "/var/lib/sandbox-fakes/received-payload";

// Shell lines that record the script's arguments the way the sandbox's fakes do, so that
// fakeCalls(name) reads them.
std::string recordCall(const std::string& name) {
    return "line=" + name +
           "\nfor arg; do line=$(printf '%s\\t%s' \"$line\" \"$arg\"); done\n"
           "printf '%s\\n' \"$line\" >>/var/lib/sandbox-fakes/" +
           name + ".calls\n";
}

// The vendor's defaults of the device with these product package elements.
std::string defaultsWithPackages(const std::string& packages) {
    return "<?xml version=\"1.0\"?>\n<updater>\n  <product>\n    <name>sandbox-device</name>\n    <packages>" +
           packages + "</packages>\n  </product>\n</updater>\n";
}

// The device has demo 1.0-1 and the package of the running updater, 1.10-1.
class UpdateFailureTest : public SignedUpdateTest {
protected:
    static void SetUpTestSuite() {
        SignedUpdateTest::SetUpTestSuite();
        s_stranger = s_keys->generate("Someone Else <else@example.com>");
        ASSERT_FALSE(s_stranger.empty());
        s_demoOld = build(RpmPackageDef("demo", "1.0", "1"), false);
        s_demoNew = build(RpmPackageDef("demo", "2.0", "1"));
        RpmPackageDef updater("updater", "1.10", "1");
        updater.provides = {"updater-running = 1.10"};
        s_updaterOld = build(updater, false);
        updater.version = "2.0";
        updater.provides = {"updater-running = 2.0"};
        s_updaterNew = build(updater);
    }

    void SetUp() override {
        SignedUpdateTest::SetUp();
        installOnDevice({s_demoOld, s_updaterOld});
    }

    // The vendor offers the payload maps 2.0-1, an add-on of the product not yet on the device.
    void publishPayload() {
        const std::string payload = *s_dir / "maps-2.0-1.tavpkg";
        writeFile(payload, "maps payload 2.0\n");
        std::string sum;
        ASSERT_TRUE(runTool({"sha256sum", payload}, &sum)) << sum;
        sandbox.writeDeviceFile(kDefaultsFile, defaultsWithPackages("<addons><package><name>maps</name></package>"
                                                                    "</addons>"));
        publish(
            {payload},
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<tavdata xmlns=\"http://tav.example/metadata/tav\" xmlns:c=\"http://linux.duke.edu/metadata/common\">\n"
            "  <c:package type=\"tavpkg\"><c:name>maps</c:name><c:arch>noarch</c:arch>"
            "<c:version epoch=\"0\" ver=\"2.0\" rel=\"1\"/><c:checksum type=\"sha256\">" +
                sum.substr(0, 64) +
                "</c:checksum><c:location href=\"maps-2.0-1.tavpkg\"/>"
                "<c:format><group>Maps</group></c:format></c:package>\n</tavdata>\n");
        // The installer records its call and keeps what it was given.
        sandbox.installScript("/usr/libexec/tavpkg/install", recordCall("install") +
                                                                 "for arg; do last=$arg; done\n"
                                                                 "cp \"$last\" " +
                                                                 kReceivedPayload + "\n");
    }

    // A pass that failed and a retry restricted to the updater, which finds no newer one:
    // the run fails.
    static Lines failedRetryLines() {
        return {"ERROR: failed updating, will try updating updater only", "INFO: --- RETRY UPDATER ONLY ---",
                "INFO: --- 0 UPDATE(S) ---", "INFO: no updates", kExitErrorLine};
    }

    // After a retry restricted to the updater that installed updater 2.0-1 alone: the other
    // updates wait for the next run, under the new updater.
    void expectUpdaterUpdatedAlone(const SandboxResult& result) {
        EXPECT_TRUE(result.exited && result.exitCode == 0) << result;
        EXPECT_TRUE(linesInOrder(
            result.errLines(),
            {"ERROR: failed updating, will try updating updater only", "INFO: --- RETRY UPDATER ONLY ---",
             "INFO: --- 1 UPDATE(S) ---", "INFO: --- UPDATER 2.0-1 ---",
             "INFO: starting update (1 packages):", "INFO: \tupdater-2.0-1.noarch.rpm", "INFO: running download hook",
             "INFO: downloading 1 packages", "INFO: verifying package signatures", "INFO: running update hook",
             "INFO: updating package(s)", "INFO: running postupdate hook", "INFO: packages installed OK",
             "INFO: rebooting for upgrades to take full effect", kExitOkLine}))
            << result;
        EXPECT_FALSE(result.hasErrLine("INFO: pass 1: all but add-ons")) << result;
        EXPECT_EQ(installed("updater"), "updater-2.0-1");
        EXPECT_EQ(installed("demo"), "demo-1.0-1");
        EXPECT_EQ(
            sandbox.fakeCalls("hook"),
            (Calls{{"init", "1.10"}, {"download", "1.10"}, {"update", "1.10", "1"}, {"postupdate", "1.10", "1"}}));
        EXPECT_EQ(rebootCalls(), (Calls{{"-r", "+1", "rebooting after upgrade"}}));
        EXPECT_EQ(sandbox.status(), "REBOOTING\n");
        EXPECT_EQ(sandbox.updateState(), "PENDING\n");
    }

    static std::string s_stranger;
    static std::string s_demoOld;
    static std::string s_demoNew;
    static std::string s_updaterOld;
    static std::string s_updaterNew;
};

std::string UpdateFailureTest::s_stranger;
std::string UpdateFailureTest::s_demoOld;
std::string UpdateFailureTest::s_demoNew;
std::string UpdateFailureTest::s_updaterOld;
std::string UpdateFailureTest::s_updaterNew;

TEST_F(UpdateFailureTest, PayloadAloneGoesToTheInstallerInTheAddOnPass) {
    publishPayload();
    SandboxResult result = runUpdater({});

    EXPECT_TRUE(result.exited && result.exitCode == 0) << result;
    EXPECT_TRUE(linesInOrder(
        result.errLines(), {"INFO: --- 1 UPDATE(S) ---", "INFO: need to update (1 packages):",
                            "INFO: \tmaps-2.0-1.tavpkg", "INFO: pass 1: all but add-ons", "INFO: pass 2: add-ons",
                            "INFO: starting update (1 packages):", "INFO: \tmaps-2.0-1.tavpkg",
                            "INFO: running download hook", "INFO: downloading 1 packages", "INFO: running update hook",
                            "INFO: running postupdate hook", "INFO: install of pkg file for maps-0:2.0-1 succeeded",
                            "INFO: rebooting for upgrades to take full effect", kExitOkLine}))
        << result;
    // rpm is not run for a selection without rpm packages.
    EXPECT_FALSE(result.hasErrLine("INFO: updating package(s)")) << result;
    EXPECT_FALSE(result.hasErrLine("INFO: packages installed OK")) << result;
    EXPECT_TRUE(linesOfLevel(result, "ERROR").empty()) << result;
    EXPECT_TRUE(linesOfLevel(result, "WARNING").empty()) << result;
    EXPECT_EQ(sandbox.fakeCalls("install"), (Calls{{std::string(kPackagesDir) + "maps-2.0-1.tavpkg"}}));
    EXPECT_EQ(sandbox.readDeviceFile(kReceivedPayload), "maps payload 2.0\n");
    EXPECT_EQ(sandbox.fakeCalls("hook"),
              (Calls{{"init", "1.10"}, {"download", "1.10"}, {"update", "1.10", "1"}, {"postupdate", "1.10", "1"}}));
    // An installed payload asks for the reboot as installed rpm packages do.
    EXPECT_EQ(sandbox.fakeCalls("telinit"), (Calls{{"u"}}));
    EXPECT_EQ(rebootCalls(), (Calls{{"-r", "+1", "rebooting after upgrade"}}));
    EXPECT_EQ(sandbox.status(), "REBOOTING\n");
    EXPECT_EQ(sandbox.updateState(), "COMPLETE\n");
    EXPECT_EQ(installed("demo"), "demo-1.0-1");
}

TEST_F(UpdateFailureTest, TestRunHandsThePayloadToTheInstallerInTestMode) {
    publishPayload();
    SandboxResult result = runUpdater({"--test"});

    EXPECT_TRUE(result.exited && result.exitCode == 0) << result;
    EXPECT_TRUE(linesInOrder(
        result.errLines(), {"INFO: pass 2: add-ons", "INFO: testing update (1 packages):", "INFO: \tmaps-2.0-1.tavpkg",
                            "INFO: running test hook", "INFO: running posttest hook",
                            "INFO: test of pkg file for maps-0:2.0-1 succeeded", kExitOkLine}))
        << result;
    EXPECT_FALSE(result.hasErrLine("INFO: testing package(s) update")) << result;
    EXPECT_EQ(sandbox.fakeCalls("install"), (Calls{{"--test", "--", std::string(kPackagesDir) + "maps-2.0-1.tavpkg"}}));
    EXPECT_EQ(sandbox.readDeviceFile(kReceivedPayload), "maps payload 2.0\n");
    EXPECT_EQ(sandbox.fakeCalls("hook"),
              (Calls{{"init", "1.10"}, {"download", "1.10"}, {"test", "1.10", "1"}, {"posttest", "1.10", "1"}}));
    EXPECT_TRUE(sandbox.fakeCalls("shutdown").empty());
    EXPECT_EQ(sandbox.status(), "READY\n");
    EXPECT_EQ(sandbox.updateState(), "AVAILABLE\n");
}

TEST_F(UpdateFailureTest, FailingRpmEndsThePassAndTheRunWithAnError) {
    publish({s_demoNew});
    // Found before the real rpm through the sandbox's PATH.
    sandbox.installScript("/usr/local/sandbox-bin/rpm", recordCall("rpm") + "exit 1\n");
    SandboxResult result = runUpdater({});

    EXPECT_TRUE(result.exited && result.exitCode == 1) << result;
    Lines expected = {"INFO: pass 1: all but add-ons",
                      "INFO: starting update (1 packages):",
                      "INFO: \tdemo-2.0-1.noarch.rpm",
                      "INFO: running update hook",
                      "INFO: updating package(s)",
                      "INFO: running postupdate hook",
                      "ERROR: package installation FAILED (exit code 1)"};
    const Lines retry = failedRetryLines();
    expected.insert(expected.end(), retry.begin(), retry.end());
    EXPECT_TRUE(linesInOrder(result.errLines(), expected)) << result;
    EXPECT_EQ(linesOfLevel(result, "ERROR"), (Lines{"ERROR: package installation FAILED (exit code 1)",
                                                    "ERROR: failed updating, will try updating updater only"}))
        << result;
    EXPECT_FALSE(result.hasErrLine("INFO: pass 2: add-ons")) << result;
    EXPECT_EQ(sandbox.fakeCalls("rpm"),
              (Calls{{"--define=__nofsync nofsync", "-v", "-U", std::string(kPackagesDir) + "demo-2.0-1.noarch.rpm"}}));
    EXPECT_EQ(sandbox.fakeCalls("hook"),
              (Calls{{"init", "1.10"}, {"download", "1.10"}, {"update", "1.10", "1"}, {"postupdate", "1.10", "1"}}));
    EXPECT_TRUE(sandbox.fakeCalls("telinit").empty());
    EXPECT_TRUE(sandbox.fakeCalls("shutdown").empty());
    EXPECT_EQ(sandbox.status(), "READY\n");
    // The failed pass counts as started: rpm may have installed part of it.
    EXPECT_EQ(sandbox.updateState(), "PENDING\n");
    EXPECT_EQ(installed("demo"), "demo-1.0-1");
}

TEST_F(UpdateFailureTest, PackageSignedByAnUntrustedKeyIsRefusedBeforeTheUpdate) {
    const std::string foreign = build(RpmPackageDef("demo", "2.0", "1"), false);
    ASSERT_TRUE(signPackage(foreign, s_keys->home(), s_stranger));
    publish({foreign});
    SandboxResult result = runUpdater({});

    EXPECT_TRUE(result.exited && result.exitCode == 1) << result;
    Lines expected = {"INFO: pass 1: all but add-ons", "INFO: running download hook", "INFO: downloading 1 packages",
                      "INFO: verifying package signatures",
                      // rpm's own verdict, with the short ID of the key it lacks.
                      "WARNING: rpmlib: demo-2.0-1.noarch.rpm: Header V4 RSA/SHA512 Signature, key ID " +
                          GpgKeys::keyIdOf(s_stranger).substr(8) + ": NOKEY",
                      "ERROR: failed verifying package 'demo-2.0-1.noarch.rpm'"};
    const Lines retry = failedRetryLines();
    expected.insert(expected.end(), retry.begin(), retry.end());
    EXPECT_TRUE(linesInOrder(result.errLines(), expected)) << result;
    EXPECT_EQ(linesOfLevel(result, "ERROR"), (Lines{"ERROR: failed verifying package 'demo-2.0-1.noarch.rpm'",
                                                    "ERROR: failed updating, will try updating updater only"}))
        << result;
    EXPECT_FALSE(result.hasErrLine("INFO: running update hook")) << result;
    EXPECT_EQ(sandbox.fakeCalls("hook"), (Calls{{"init", "1.10"}, {"download", "1.10"}}));
    EXPECT_TRUE(sandbox.fakeCalls("shutdown").empty());
    EXPECT_EQ(installed("demo"), "demo-1.0-1");
    EXPECT_EQ(sandbox.status(), "READY\n");
    // The refused pass counts as started, like one where rpm failed.
    EXPECT_EQ(sandbox.updateState(), "PENDING\n");
}

TEST_F(UpdateFailureTest, UnsatisfiedDependencyLeavesTheUpdaterToUpdateAlone) {
    RpmPackageDef demo("demo", "2.0", "1");
    demo.requires = {"ghost >= 1.0"};
    publish({build(demo), s_updaterNew});
    SandboxResult result = runUpdater({});

    // The analysis finds the gap; nothing is installed before the retry.
    EXPECT_TRUE(linesInOrder(result.errLines(),
                             {"ERROR: unsatisfied non-file dependencies:", "ERROR: \tghost >= 0:1.0",
                              "ERROR: cannot update", "ERROR: failed updating, will try updating updater only"}))
        << result;
    EXPECT_EQ(linesOfLevel(result, "ERROR").size(), 4u) << result;
    expectUpdaterUpdatedAlone(result);
}

TEST_F(UpdateFailureTest, UpdateForANewerUpdaterLeavesTheUpdaterToUpdateFirst) {
    RpmPackageDef demo("demo", "2.0", "1");
    demo.requires = {"updater-running >= 2.0"};
    publish({build(demo), s_updaterNew});
    SandboxResult result = runUpdater({});

    EXPECT_TRUE(linesInOrder(result.errLines(), {"ERROR: newer updater required to install: updater-running >= 0:2.0",
                                                 "ERROR: failed updating, will try updating updater only"}))
        << result;
    EXPECT_EQ(linesOfLevel(result, "ERROR").size(), 2u) << result;
    expectUpdaterUpdatedAlone(result);
}

// The plugin add-ons wait for pass 2, but demo 2.0, installed in pass 1, replaces the plugin
// versions before 1.1: pass 2 no longer finds the plugin to update, so one of the three
// updates the analysis found never came.
TEST_F(UpdateFailureTest, UpdateLostBetweenThePassesMarksTheSystemCorrupted) {
    RpmPackageDef plugin("plugin", "1.0", "1");
    plugin.group = "Plugins";
    installOnDevice({build(RpmPackageDef("helper", "1.0", "1"), false), build(plugin, false)});
    plugin.version = "1.1";
    RpmPackageDef demo("demo", "2.0", "1");
    demo.obsoletes = {"plugin < 1.1"};
    publish({build(demo), build(RpmPackageDef("helper", "2.0", "1")), build(plugin)});
    sandbox.writeDeviceFile(kDefaultsFile,
                            defaultsWithPackages("<addons><group><name>Plugins</name></group></addons>"));
    SandboxResult result = runUpdater({});

    EXPECT_TRUE(result.exited && result.exitCode == 2) << result;
    EXPECT_TRUE(linesInOrder(
        result.errLines(),
        {"INFO: --- 3 UPDATE(S) ---", "INFO: need to update (3 packages):", "INFO: \tdemo-2.0-1.noarch.rpm",
         "INFO: \thelper-2.0-1.noarch.rpm", "INFO: \tplugin-1.1-1.noarch.rpm", "INFO: pass 1: all but add-ons",
         "INFO: starting update (2 packages):", "INFO: \tdemo-2.0-1.noarch.rpm", "INFO: \thelper-2.0-1.noarch.rpm",
         "INFO: packages installed OK", "INFO: pass 2: add-ons"}))
        << result;
    // The check is the run's last word before the exit line; its text ends with a newline of
    // its own, so an empty line follows it.
    const Lines lines = result.errLines();
    ASSERT_GE(lines.size(), 3u) << result;
    EXPECT_EQ(Lines(lines.end() - 3, lines.end()),
              (Lines{"FATAL: failed passing all updates but update process succeeded, SYSTEM MAY BE CORRUPTED", "",
                     kExitFatalLine}))
        << result;
    EXPECT_TRUE(linesOfLevel(result, "ERROR").empty()) << result;
    EXPECT_EQ(installed("demo"), "demo-2.0-1");
    EXPECT_EQ(installed("helper"), "helper-2.0-1");
    EXPECT_EQ(installed("plugin"), "");
    EXPECT_EQ(sandbox.fakeCalls("hook"),
              (Calls{{"init", "1.10"}, {"download", "1.10"}, {"update", "1.10", "2"}, {"postupdate", "1.10", "2"}}));
    // A system that may be corrupted is not rebooted; its status stops the next runs.
    EXPECT_TRUE(sandbox.fakeCalls("telinit").empty());
    EXPECT_TRUE(sandbox.fakeCalls("shutdown").empty());
    EXPECT_EQ(sandbox.status(), "CORRUPTED\n");
    EXPECT_EQ(sandbox.updateState(), "CORRUPTED\n");
}

}  // namespace
}  // namespace system_test
