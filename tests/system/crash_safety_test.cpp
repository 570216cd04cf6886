// A whole update killed with SIGKILL at each step that leaves its mark in the status file: the
// status stays one complete word, the rpm database is old or new but never half, no temporary
// file stays beside the status, and the next start accepts or refuses exactly as the start-up
// status rules say. What it accepts, it completes from the cache the killed run left.
#include <dirent.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "system/signed_update_fixture.h"

namespace system_test {
namespace {

using namespace std::chrono_literals;

constexpr char kDemoPath[] = "/demo-2.0-1.noarch.rpm";
constexpr char kCachedMaps[] = "/var/cache/updater/main/packages/maps-2.0-1.tavpkg";
constexpr char kInterruptedLine[] = "FATAL: a previous update was interrupted; SYSTEM MAY BE CORRUPTED! Aborting";
constexpr char kCorruptedLine[] = "FATAL: system is corrupted cannot update";

using DirPtr = std::unique_ptr<DIR, int (*)(DIR*)>;
// All that /var/lib/updater may hold after a kill.
const std::set<std::string> kStateDirEntries{".", "..", "accepted-index", "last-run.json", "status", "update-state"};

// /run/sandbox-kill holds "POINT N": the Nth time a wrapper reaches POINT it notes the status it
// sees and kills the updater. ChildProcess execs the program itself, so the wrapper's parent is
// the updater; anything else is noted instead of killed.
constexpr char kKillPoint[] =
    "killPoint() {\n"
    "    [ -e /run/sandbox-kill ] || return 0\n"
    "    read -r point nth </run/sandbox-kill\n"
    "    [ \"$point\" = \"$1\" ] || return 0\n"
    "    count=$(($(cat \"/run/sandbox-kill.$1\" 2>/dev/null || echo 0) + 1))\n"
    "    echo $count >\"/run/sandbox-kill.$1\"\n"
    "    [ $count = \"$nth\" ] || return 0\n"
    "    rm /run/sandbox-kill\n"
    "    parent=$(cat /proc/$PPID/comm)\n"
    "    [ \"$parent\" = updater ] || { echo \"$parent\" >/run/sandbox-kill.error; return 0; }\n"
    "    cat /var/lib/updater/status >/run/sandbox-kill.seen\n"
    "    kill -9 $PPID\n"
    "    exit 0\n"
    "}\n";

// Records the call the way the sandbox's fakes do, so that fakeCalls(name) reads it.
std::string recordCall(const std::string& name) {
    return "line=" + name +
           "\nfor arg; do line=$(printf '%s\\t%s' \"$line\" \"$arg\"); done\n"
           "printf '%s\\n' \"$line\" >>/var/lib/sandbox-fakes/" +
           name + ".calls\n";
}

struct KillPoint {
    const char* name;
    const char* at;      // "POINT N" for the wrappers; null: killed by the test while demo downloads
    const char* status;  // what the status file says at that moment
    bool refused;        // by the next start
    Lines installed;     // demo and sandbox-release after the kill
};

std::ostream& operator<<(std::ostream& out, const KillPoint& point) {
    return out << point.name;
}

const Lines kOld{"demo-1.0-1", "sandbox-release-1.0-1"};
const Lines kDemoNew{"demo-2.0-1", "sandbox-release-1.0-1"};
const Lines kNew{"demo-2.0-1", "sandbox-release-2.0-1"};

// The device has demo and sandbox-release 1.0-1; the vendor offers both at 2.0-1 and the add-on
// payload maps. Pass 1 installs demo; pass 2 sandbox-release with rpm, then maps with the
// payload installer. Every program the updater runs is a wrapper that can be a kill point.
class CrashSafetyTest : public SignedUpdateTest, public ::testing::WithParamInterface<KillPoint> {
protected:
    static void SetUpTestSuite() {
        SignedUpdateTest::SetUpTestSuite();
        for (const char* name : {"demo", "sandbox-release"}) {
            s_old.push_back(build(RpmPackageDef(name, "1.0", "1"), false));
            s_new.push_back(build(RpmPackageDef(name, "2.0", "1")));
        }
        s_new.push_back(*s_dir / "maps-2.0-1.tavpkg");
        writeFile(s_new.back(), "maps payload 2.0\n");
    }
    static void TearDownTestSuite() {
        s_old.clear();
        s_new.clear();
        SignedUpdateTest::TearDownTestSuite();
    }

    void SetUp() override {
        SignedUpdateTest::SetUp();
        for (const std::string& package : s_old) ASSERT_FALSE(package.empty());
        installOnDevice(s_old);
        std::string sum;
        ASSERT_TRUE(runTool({"sha256sum", s_new.back()}, &sum)) << sum;
        publish(s_new,
                "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                "<tavdata xmlns=\"http://tav.example/metadata/tav\" "
                "xmlns:c=\"http://linux.duke.edu/metadata/common\">\n"
                "  <c:package type=\"tavpkg\"><c:name>maps</c:name><c:arch>noarch</c:arch>"
                "<c:version epoch=\"0\" ver=\"2.0\" rel=\"1\"/><c:checksum type=\"sha256\">" +
                    sum.substr(0, 64) +
                    "</c:checksum><c:location href=\"maps-2.0-1.tavpkg\"/>"
                    "<c:format><group>Maps</group></c:format></c:package>\n</tavdata>\n");
        serveOverHttp();
        sandbox.writeConfig(
            "<?xml version=\"1.0\"?>\n<updater>\n  <log level=\"info\"><logger type=\"stderr\"/></log>\n"
            "  <product><name>sandbox-device</name><packages>\n"
            "    <release><package><name>sandbox-release</name></package></release>\n"
            "    <addons><package><name>maps</name></package></addons>\n"
            "  </packages></product>\n" +
            DeviceSandbox::repositoryXml("main", m_server->url("/")) + "</updater>\n");
        const std::string killPoint = kKillPoint;
        sandbox.installScript("/usr/lib/updater/hook", killPoint + recordCall("hook") + "killPoint \"hook:$1\"\n");
        sandbox.installScript("/usr/libexec/tavpkg/install", killPoint + recordCall("install") + "killPoint install\n");
        sandbox.installScript("/usr/local/sandbox-bin/telinit",
                              killPoint + recordCall("telinit") + "killPoint telinit\n");
        sandbox.installScript("/usr/local/sandbox-bin/rpm", killPoint +
                                                                "killPoint rpm:before\n/usr/bin/rpm \"$@\"\n"
                                                                "code=$?\nkillPoint rpm:after\nexit $code\n");
    }

    // What a kill may leave: one complete status word, no stray file beside it (a status.XXXXXX
    // could only stay after a kill inside the replace itself, which no point here is), and an
    // rpm database that lists each package once, old or new.
    void expectIntact(const std::string& status, const Lines& packages) {
        EXPECT_EQ(sandbox.status(), status + "\n");
        DirPtr dir(opendir(sandbox.hostPath("/var/lib/updater").c_str()), &closedir);
        ASSERT_TRUE(dir);
        std::set<std::string> entries;
        while (const dirent* entry = readdir(dir.get())) entries.insert(entry->d_name);
        EXPECT_TRUE(std::includes(kStateDirEntries.begin(), kStateDirEntries.end(), entries.begin(), entries.end()))
            << ::testing::PrintToString(entries);
        std::string out;
        ASSERT_TRUE(runTool({"rpm", "--dbpath", rpmDb(), "-qa", "--qf", "%{NAME}-%{VERSION}-%{RELEASE}\\n"}, &out))
            << out;
        Lines listed;
        for (const std::string& line : splitLines(out))
            if (line.rfind("gpg-pubkey-", 0) != 0) listed.push_back(line);
        std::sort(listed.begin(), listed.end());
        EXPECT_EQ(listed, packages);
    }

    // A start that was accepted and did the whole update: every rpm new, maps handed to the
    // installer, the reboot asked.
    void expectCompleted(const SandboxResult& result) {
        EXPECT_TRUE(result.exited && result.exitCode == 0) << result;
        EXPECT_TRUE(linesInOrder(result.errLines(), {kBannerLine, modeLine("update"), "INFO: running init hook",
                                                     "INFO: pass 2: add-ons", kExitOkLine}))
            << result;
        for (const char* level : {"FATAL", "ERROR", "WARNING"})
            EXPECT_EQ(linesOfLevel(result, level), Lines{}) << result;
        expectIntact("REBOOTING", kNew);
        ASSERT_FALSE(sandbox.fakeCalls("install").empty());
        EXPECT_EQ(sandbox.fakeCalls("install").back(), std::vector<std::string>{kCachedMaps});
        EXPECT_EQ(rebootCalls(), (Calls{{"-r", "+1", "rebooting after upgrade"}}));
        EXPECT_EQ(sandbox.updateState(), "COMPLETE\n");
    }

    static std::vector<std::string> s_old;
    static std::vector<std::string> s_new;
};

std::vector<std::string> CrashSafetyTest::s_old;
std::vector<std::string> CrashSafetyTest::s_new;

TEST_P(CrashSafetyTest, KilledUpdateLeavesAStateTheNextStartHandles) {
    const KillPoint& point = GetParam();
    if (point.at) {
        sandbox.writeDeviceFile("/run/sandbox-kill", std::string(point.at) + "\n");
    } else {
        // The package comes a byte at a time, far apart: the download is under way until the kill.
        HttpRoute trickle;
        trickle.trickleChunk = 1;
        trickle.trickleInterval = 30;
        ASSERT_TRUE(m_server->setRoute(kDemoPath, trickle));
    }
    auto process = sandbox.start({"--max-wait-time", "-1"});
    if (!point.at) {
        ASSERT_TRUE(waitUntil([&] { return !m_server->requestsFor(kDemoPath).empty(); }, 60s)) << process->currentErr();
        process->signal(SIGKILL);
    }
    SandboxResult killed = process->wait();
    ASSERT_TRUE(killed.signalled && killed.signal == SIGKILL) << killed;
    EXPECT_FALSE(sandbox.deviceFileExists("/run/sandbox-kill.error"))
        << sandbox.readDeviceFile("/run/sandbox-kill.error");
    if (point.at) {
        EXPECT_EQ(sandbox.readDeviceFile("/run/sandbox-kill.seen"), std::string(point.status) + "\n");
    } else {
        ASSERT_TRUE(m_server->removeRoute(kDemoPath));
    }
    expectIntact(point.status, point.installed);

    // The next starts read only the cache the killed run left.
    SandboxResult next = runUpdater({"--cache-only"});
    if (point.refused) {
        EXPECT_TRUE(next.exited && next.exitCode == 2) << next;
        EXPECT_EQ(next.errLines(), (Lines{kBannerLine, modeLine("update"), kInterruptedLine, kExitFatalLine})) << next;
        expectIntact("CORRUPTED", point.installed);
        EXPECT_EQ(sandbox.updateState(), "CORRUPTED\n");
        SandboxResult again = runUpdater({"--cache-only"});
        EXPECT_TRUE(again.exited && again.exitCode == 2) << again;
        EXPECT_EQ(again.errLines(), (Lines{kBannerLine, modeLine("update"), kCorruptedLine, kExitFatalLine})) << again;
        expectIntact("CORRUPTED", point.installed);
        // Once a service has checked the device and cleared both marks, the update completes.
        sandbox.setStatus("READY");
        sandbox.removeDeviceFile("/var/lib/updater/update-state");
        next = runUpdater({"--cache-only"});
    }
    expectCompleted(next);
}

INSTANTIATE_TEST_SUITE_P(
    Kill, CrashSafetyTest,
    ::testing::Values(KillPoint{"InDownloadHook", "hook:download 1", "ANALYZING", false, kOld},
                      KillPoint{"WhilePackageDownloads", nullptr, "DOWNLOADING", false, kOld},
                      KillPoint{"InUpdateHook", "hook:update 1", "DOWNLOADING", false, kOld},
                      KillPoint{"BeforeRpm", "rpm:before 1", "UPDATING", true, kOld},
                      KillPoint{"AfterRpm", "rpm:after 1", "UPDATING", true, kDemoNew},
                      KillPoint{"InPostupdateHook", "hook:postupdate 1", "UPDATING", true, kDemoNew},
                      KillPoint{"InSecondPassDownloadHook", "hook:download 2", "ANALYZING", false, kDemoNew},
                      KillPoint{"InPayloadInstaller", "install 1", "UPDATING", true, kNew},
                      KillPoint{"InTelinitBeforeReboot", "telinit 1", "READY", false, kNew}),
    [](const ::testing::TestParamInfo<KillPoint>& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace system_test
