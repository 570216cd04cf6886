// The passes of a whole update run seen from outside the updater binary: what the rpm-only pass
// and the add-on pass each install, a run restricted to named packages, and termination signals
// while rpm installs (only recorded) and while a package downloads (deadly, and the next run
// takes over from the status left behind).
#include <signal.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "system/signed_update_fixture.h"

namespace system_test {
namespace {

using namespace std::chrono_literals;
using PassLists = std::map<std::string, Lines>;

constexpr char kPass1Line[] = "INFO: pass 1: all but add-ons";
constexpr char kPass2Line[] = "INFO: pass 2: add-ons";
constexpr char kRebootLine[] = "INFO: rebooting for upgrades to take full effect";

constexpr char kDemo[] = "demo-2.0-1.noarch.rpm";
constexpr char kLanguage[] = "lang-de-2.0-1.noarch.rpm";
constexpr char kExtras[] = "sandbox-extras-1.0-1.noarch.rpm";
constexpr char kRelease[] = "sandbox-release-2.0-1.noarch.rpm";

// The rpm the updater runs: it says it has started, waits for the test's go, then the real rpm
// does the installation. Both files are in /run, which the device shares with the test directly:
// a file the test put into an overlay's upper directory could stay unseen inside the device.
constexpr char kRpmReady[] = "/run/sandbox-rpm.ready";
constexpr char kRpmGo[] = "/run/sandbox-rpm.go";
constexpr char kHeldRpm[] =
    "touch /run/sandbox-rpm.ready\n"
    "i=0\n"
    "while [ ! -e /run/sandbox-rpm.go ] && [ $i -lt 1200 ]; do sleep 0.1; i=$((i + 1)); done\n"
    "exec /usr/bin/rpm \"$@\"\n";

// The files each "starting update" list names, keyed by the pass line it came after ("" for a
// run without passes).
PassLists startedByPass(const SandboxResult& result) {
    PassLists started;
    std::string pass;
    bool inList = false;
    for (const std::string& line : result.errLines()) {
        if (line.rfind("INFO: pass ", 0) == 0) pass = line;
        if (line.rfind("INFO: starting update (", 0) == 0) {
            inList = true;
            started[pass];
        } else if (inList && line.rfind("INFO: \t", 0) == 0) {
            started[pass].push_back(line.substr(7));
        } else {
            inList = false;
        }
    }
    return started;
}

// A product with a release package and add-ons, one by name and one by group. The device has
// demo, sandbox-release and lang-de (group Languages) at 1.0-1 and no sandbox-extras; the
// vendor offers 2.0-1 of the three and sandbox-extras 1.0-1.
class UpdatePassesTest : public SignedUpdateTest {
protected:
    static void SetUpTestSuite() {
        SignedUpdateTest::SetUpTestSuite();
        for (const char* name : {"demo", "sandbox-release", "lang-de"}) {
            RpmPackageDef def(name, "1.0", "1");
            if (def.name == "lang-de") def.group = "Languages";
            s_old.push_back(build(def, false));
            def.version = "2.0";
            s_new.push_back(build(def));
        }
        s_new.push_back(build(RpmPackageDef("sandbox-extras", "1.0", "1")));
    }
    static void TearDownTestSuite() {
        s_old.clear();
        s_new.clear();
        SignedUpdateTest::TearDownTestSuite();
    }

    void SetUp() override {
        SignedUpdateTest::SetUp();
        for (const std::string& package : s_old) ASSERT_FALSE(package.empty());
        for (const std::string& package : s_new) ASSERT_FALSE(package.empty());
        sandbox.writeConfig(productConfig(DeviceSandbox::localRepositoryUrl()));
        installOnDevice(s_old);
        publish(s_new);
    }

    static std::string productConfig(const std::string& url) {
        return "<?xml version=\"1.0\"?>\n"
               "<updater>\n"
               "  <log level=\"info\"><logger type=\"stderr\"/></log>\n"
               "  <product>\n"
               "    <name>sandbox-device</name>\n"
               "    <packages>\n"
               "      <release><package><name>sandbox-release</name></package></release>\n"
               "      <addons>\n"
               "        <package><name>sandbox-extras</name></package>\n"
               "        <group><name>Languages</name></group>\n"
               "      </addons>\n"
               "    </packages>\n"
               "  </product>\n" +
               DeviceSandbox::repositoryXml("main", url) + "</updater>\n";
    }

    // demo, lang-de, sandbox-extras and sandbox-release as installed.
    Lines installedPackages() const {
        return {installed("demo"), installed("lang-de"), installed("sandbox-extras"), installed("sandbox-release")};
    }
    static Lines allNew() { return {"demo-2.0-1", "lang-de-2.0-1", "sandbox-extras-1.0-1", "sandbox-release-2.0-1"}; }
    static Calls passHooks(const std::string& count) {
        return {{"download", "1.10"}, {"update", "1.10", count}, {"postupdate", "1.10", count}};
    }
    static Calls concat(Calls first, const Calls& second) {
        first.insert(first.end(), second.begin(), second.end());
        return first;
    }

    // The lines of a run that analyses, installs demo in pass 1 and the rest in pass 2.
    static Lines fullRunLines() {
        return {"INFO: --- 4 UPDATE(S) ---",
                "INFO: --- FIRMWARE 2.0-1 ---",
                "INFO: need to update (4 packages):",
                kPass1Line,
                "INFO: starting update (1 packages):",
                "INFO: running download hook",
                "INFO: downloading 1 packages",
                "INFO: verifying package signatures",
                "INFO: running update hook",
                "INFO: updating package(s)",
                "INFO: running postupdate hook",
                "INFO: packages installed OK",
                kPass2Line,
                "INFO: starting update (3 packages):",
                "INFO: running download hook",
                "INFO: downloading 3 packages",
                "INFO: verifying package signatures",
                "INFO: running update hook",
                "INFO: updating package(s)",
                "INFO: running postupdate hook",
                "INFO: packages installed OK",
                kRebootLine,
                kExitOkLine};
    }
    static PassLists fullRunLists() { return {{kPass1Line, {kDemo}}, {kPass2Line, {kLanguage, kExtras, kRelease}}}; }

    static std::vector<std::string> s_old;
    static std::vector<std::string> s_new;
};

std::vector<std::string> UpdatePassesTest::s_old;
std::vector<std::string> UpdatePassesTest::s_new;

TEST_F(UpdatePassesTest, ReleasePackageAndAddOnsComeInTheSecondPass) {
    SandboxResult result = runUpdater({});

    EXPECT_TRUE(result.exited && result.exitCode == 0) << result;
    EXPECT_TRUE(linesInOrder(result.errLines(), fullRunLines())) << result;
    EXPECT_EQ(startedByPass(result), fullRunLists()) << result;
    EXPECT_TRUE(linesOfLevel(result, "ERROR").empty()) << result;
    EXPECT_TRUE(linesOfLevel(result, "WARNING").empty()) << result;
    EXPECT_EQ(sandbox.fakeCalls("hook"), concat(concat({{"init", "1.10"}}, passHooks("1")), passHooks("3")));
    EXPECT_EQ(installedPackages(), allNew());
    EXPECT_EQ(rebootCalls(), (Calls{{"-r", "+1", "rebooting after upgrade"}}));
    EXPECT_EQ(sandbox.status(), "REBOOTING\n");
    EXPECT_EQ(sandbox.updateState(), "COMPLETE\n");
}

TEST_F(UpdatePassesTest, NamedPackagesAreUpdatedInOnePassWithoutTouchingTheUpdateState) {
    // Written by an earlier run: a run restricted to some packages says nothing about the rest.
    sandbox.writeDeviceFile("/var/lib/updater/update-state", "AVAILABLE\n");
    SandboxResult result = runUpdater({"demo", "sandbox-extras"});

    EXPECT_TRUE(result.exited && result.exitCode == 0) << result;
    EXPECT_TRUE(linesInOrder(result.errLines(), {"INFO: --- 2 UPDATE(S) ---", "INFO: starting update (2 packages):",
                                                 "INFO: packages installed OK", kRebootLine, kExitOkLine}))
        << result;
    EXPECT_EQ(startedByPass(result), (PassLists{{"", {kDemo, kExtras}}})) << result;
    EXPECT_EQ(result.errLinesStartingWith("INFO: pass "), Lines{}) << result;
    EXPECT_EQ(result.errLinesStartingWith("INFO: --- FIRMWARE"), Lines{}) << result;
    EXPECT_EQ(sandbox.fakeCalls("hook"), concat({{"init", "1.10"}}, passHooks("2")));
    EXPECT_EQ(installedPackages(),
              (Lines{"demo-2.0-1", "lang-de-1.0-1", "sandbox-extras-1.0-1", "sandbox-release-1.0-1"}));
    EXPECT_EQ(sandbox.updateState(), "AVAILABLE\n");
    EXPECT_EQ(sandbox.status(), "REBOOTING\n");
}

// While rpm changes the system a termination signal is only recorded: rpm finishes, and the
// request stops the run at the next pass, before that pass changes anything. What pass 1
// installed still needs the reboot; the update state tells that add-ons are still to come.
TEST_F(UpdatePassesTest, TerminationWhileRpmRunsLetsTheInstallationFinish) {
    sandbox.installScript("/usr/local/sandbox-bin/rpm", kHeldRpm);
    auto process = sandbox.start({"--max-wait-time", "-1"});
    ASSERT_TRUE(waitUntil([&] { return sandbox.deviceFileExists(kRpmReady); }, 60s)) << process->currentErr();
    EXPECT_EQ(sandbox.status(), "UPDATING\n");
    process->signal(SIGTERM);
    sandbox.writeDeviceFile(kRpmGo, "");
    SandboxResult result = process->wait();

    EXPECT_TRUE(result.exited && result.exitCode == 0) << result;
    EXPECT_EQ(installed("demo"), "demo-2.0-1");
    EXPECT_TRUE(
        linesInOrder(result.errLines(), {kPass1Line, "INFO: updating package(s)", "INFO: running postupdate hook",
                                         "INFO: packages installed OK", kPass2Line, kRebootLine, kExitOkLine}))
        << result;
    // Pass 2 ends before its list: nothing of it is downloaded, hooked or installed.
    EXPECT_EQ(startedByPass(result), (PassLists{{kPass1Line, {kDemo}}})) << result;
    EXPECT_EQ(result.countErrLines("INFO: running download hook"), 1) << result;
    EXPECT_EQ(sandbox.fakeCalls("hook"), concat({{"init", "1.10"}}, passHooks("1")));
    EXPECT_EQ(installedPackages(), (Lines{"demo-2.0-1", "lang-de-1.0-1", "", "sandbox-release-1.0-1"}));
    EXPECT_EQ(rebootCalls(), (Calls{{"-r", "+1", "rebooting after upgrade"}}));
    EXPECT_EQ(sandbox.status(), "REBOOTING\n");
    EXPECT_EQ(sandbox.updateState(), "PENDING\n");
}

// A download changes nothing on the device, so a termination signal then ends the process at
// once; the DOWNLOADING status it leaves does not stop the next run, which does the whole update.
TEST_F(UpdatePassesTest, TerminationWhileDownloadingIsDeadlyAndTheNextRunCompletes) {
    HttpTestServer& server = serveOverHttp();
    sandbox.writeConfig(productConfig(server.url("/")));
    const std::string demoPath = std::string("/") + kDemo;
    // The package comes a byte at a time, far apart: the download is under way until the signal.
    HttpRoute trickle;
    trickle.trickleChunk = 1;
    trickle.trickleInterval = 30;
    ASSERT_TRUE(server.setRoute(demoPath, trickle));
    auto process = sandbox.start({"--max-wait-time", "-1"});
    ASSERT_TRUE(waitUntil([&] { return !server.requestsFor(demoPath).empty(); }, 60s)) << process->currentErr();
    EXPECT_EQ(sandbox.status(), "DOWNLOADING\n");
    process->signal(SIGTERM);
    SandboxResult first = process->wait();

    EXPECT_TRUE(first.signalled && first.signal == SIGTERM) << first;
    ASSERT_FALSE(first.errLines().empty()) << first;
    EXPECT_EQ(first.errLines().back(), "INFO: downloading 1 packages") << first;
    EXPECT_TRUE(linesOfLevel(first, "ERROR").empty()) << first;
    EXPECT_EQ(sandbox.status(), "DOWNLOADING\n");
    EXPECT_FALSE(sandbox.deviceFileExists("/var/lib/updater/update-state"));
    EXPECT_EQ(sandbox.fakeCalls("hook"), (Calls{{"init", "1.10"}, {"download", "1.10"}}));
    EXPECT_EQ(installed("demo"), "demo-1.0-1");

    ASSERT_TRUE(server.removeRoute(demoPath));
    SandboxResult second = runUpdater({});
    EXPECT_TRUE(second.exited && second.exitCode == 0) << second;
    EXPECT_TRUE(linesInOrder(second.errLines(), fullRunLines())) << second;
    EXPECT_EQ(startedByPass(second), fullRunLists()) << second;
    EXPECT_TRUE(linesOfLevel(second, "ERROR").empty()) << second;
    EXPECT_TRUE(linesOfLevel(second, "FATAL").empty()) << second;
    EXPECT_EQ(
        sandbox.fakeCalls("hook"),
        concat(concat({{"init", "1.10"}, {"download", "1.10"}, {"init", "1.10"}}, passHooks("1")), passHooks("3")));
    EXPECT_EQ(installedPackages(), allNew());
    EXPECT_EQ(server.requestsFor(demoPath).size(), 2u);
    EXPECT_EQ(sandbox.status(), "REBOOTING\n");
    EXPECT_EQ(sandbox.updateState(), "COMPLETE\n");
}

}  // namespace
}  // namespace system_test
