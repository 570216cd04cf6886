// Instances started at the same moment on one device: the instance lock lets one in at a time,
// the other waits for it or gives up at its timeout with the lock messages, and the status and
// the cache stay whole for the runs that follow. Instances that meet run under one driver
// shell, so that they share the device's file systems as on the device itself (two sandboxes
// over one tree would each have their own overlay of /var).
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "system/signed_update_fixture.h"

namespace system_test {
namespace {

using namespace std::chrono_literals;

constexpr int kPairs = 20;
constexpr char kHoldersLog[] = "/run/sandbox-holders";
constexpr char kWaitingText[] = "INFO: cache lock held by another instance";
constexpr char kGotLockLine[] = "INFO: other instance terminated, got cache lock";
constexpr char kNeedUpdateLine[] = "INFO: need to update (1 packages):";
constexpr char kLockBusyError[] =
    "ERROR: failed acquiring lock file '/var/lock/updater' (Resource temporarily unavailable)";

std::string countdownLine(int seconds) {
    return std::string(kWaitingText) + ", will timeout in " + std::to_string(seconds) + " secs";
}

// The init hook runs while its updater holds the instance lock: it notes its updater's PID with
// the PID the lock file holds, then stays until the test lets go of the hold of its pair. Each
// note is one appended write, so the log keeps the order in which the hooks came and went.
constexpr char kHook[] =
    "printf 'enter %s %s\\n' \"$PPID\" \"$(tr -d ' ' </var/lock/updater)\" >>/run/sandbox-holders\n"
    "flock -s /run/sandbox-hold-$SANDBOX_PAIR true\n"
    "printf 'leave %s\\n' \"$PPID\" >>/run/sandbox-holders\n";

// sh -c DRIVER UPDATER COUNT ARG...: COUNT pairs of updaters with the arguments, one pair after
// the other. Both of pair P say they are ready, then wait at /run/sandbox-gate-P until the test
// opens it for both at once; their standard error, PID and exit code land in /run/sandbox-pair-P.
// Result files appear whole (written aside, then renamed): the test polls for them.
constexpr char kPairDriver[] =
    "count=$1; shift\n"
    "pair=1\n"
    "while [ $pair -le $count ]; do\n"
    "    dir=/run/sandbox-pair-$pair\n"
    "    mkdir $dir\n"
    "    for n in 1 2; do\n"
    "        (touch $dir/$n.ready; flock -s /run/sandbox-gate-$pair true\n"
    "         exec env SANDBOX_PAIR=$pair \"$0\" \"$@\") 2>$dir/$n.err &\n"
    "        echo $! >$dir/$n.pid.new; mv $dir/$n.pid.new $dir/$n.pid\n"
    "    done\n"
    "    for n in 1 2; do wait $(cat $dir/$n.pid); echo $? >$dir/$n.rc.new; mv $dir/$n.rc.new $dir/$n.rc; done\n"
    "    pair=$((pair + 1))\n"
    "done\n";

// An exclusive flock the test holds on a file the device shares; not inherited by the
// programs the test starts.
class HostFlock {
public:
    explicit HostFlock(const std::string& path) : m_fd(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
        EXPECT_TRUE(m_fd >= 0 && flock(m_fd, LOCK_EX) == 0) << path;
    }
    ~HostFlock() { release(); }
    HostFlock(const HostFlock&) = delete;
    HostFlock& operator=(const HostFlock&) = delete;
    void release() {
        if (m_fd >= 0) close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd;
};

// The device has demo 1.0-1, its repository offers 2.0-1.
class ConcurrentStartTest : public DemoUpdateTest {
protected:
    void SetUp() override {
        DemoUpdateTest::SetUp();
        publish({s_newDemo});
    }

    // How an updater run by a driver shell ended: its exit code as the shell's wait gave it.
    SandboxResult ended(const std::string& dir, const std::string& name) const {
        SandboxResult result;
        const std::string rc = sandbox.readDeviceFile(dir + "/" + name + ".rc");
        result.exitCode = rc.empty() ? -1 : std::stoi(rc);
        result.exited = result.exitCode >= 0 && result.exitCode < 128;
        result.err = sandbox.readDeviceFile(dir + "/" + name + ".err");
        return result;
    }
    std::string pidOf(const std::string& dir, const std::string& name) const {
        return splitLines(sandbox.readDeviceFile(dir + "/" + name + ".pid")).at(0);
    }
};

struct PairCase {
    const char* name;
    int lockTimeout;
    bool loserWaits;  // the loser gets the lock once the winner is done; else it gives up first
};

std::ostream& operator<<(std::ostream& out, const PairCase& pair) {
    return out << pair.name;
}

class ConcurrentStartPairTest : public ConcurrentStartTest, public ::testing::WithParamInterface<PairCase> {};

TEST_P(ConcurrentStartPairTest, OneInstanceHoldsTheLockAtATime) {
    const PairCase& pair = GetParam();
    sandbox.installScript("/usr/lib/updater/hook", kHook);
    std::vector<std::unique_ptr<HostFlock>> gates;
    std::vector<std::unique_ptr<HostFlock>> holds;
    for (int p = 1; p <= kPairs; ++p) {
        gates.push_back(std::make_unique<HostFlock>(sandbox.hostPath("/run/sandbox-gate-" + std::to_string(p))));
        holds.push_back(std::make_unique<HostFlock>(sandbox.hostPath("/run/sandbox-hold-" + std::to_string(p))));
    }
    auto driver = sandbox.startCommand({"/bin/sh", "-c", kPairDriver, sandbox.installUpdaterCopy(),
                                        std::to_string(kPairs), "--max-wait-time", "-1", "--check-only",
                                        "--lock-timeout", std::to_string(pair.lockTimeout)});
    Lines expectedLog;
    for (int p = 1; p <= kPairs; ++p) {
        SCOPED_TRACE("pair " + std::to_string(p));
        const std::string dir = "/run/sandbox-pair-" + std::to_string(p);
        auto has = [&](const char* file) { return sandbox.deviceFileExists(dir + file); };
        ASSERT_TRUE(
            waitUntil([&] { return has("/1.ready") && has("/2.ready") && has("/1.pid") && has("/2.pid"); }, 30s))
            << driver->currentErr();
        gates[p - 1]->release();

        // One takes the lock and stays in its init hook; the other finds the lock taken.
        auto waits = [&](const char* n) { return ended(dir, n).errContains(kWaitingText); };
        ASSERT_TRUE(waitUntil([&] { return waits("1") || waits("2"); }, 30s)) << driver->currentErr();
        const std::string loser = waits("1") ? "1" : "2";
        const std::string winner = loser == "1" ? "2" : "1";
        // The driver collects exit codes in order: a loser that gives up shows it by its last line.
        if (!pair.loserWaits) {
            ASSERT_TRUE(waitUntil([&] { return ended(dir, loser).hasErrLine(kExitErrorLine); }, 30s));
        }
        holds[p - 1]->release();
        ASSERT_TRUE(waitUntil([&] { return has("/1.rc") && has("/2.rc"); }, 60s)) << driver->currentErr();
        const SandboxResult won = ended(dir, winner);
        const SandboxResult lost = ended(dir, loser);
        const std::string winnerPid = pidOf(dir, winner);
        const std::string loserPid = pidOf(dir, loser);

        EXPECT_TRUE(won.exited && won.exitCode == 0) << won;
        EXPECT_TRUE(won.hasErrLine(kNeedUpdateLine)) << won;
        EXPECT_FALSE(won.errContains(kWaitingText)) << won;
        expectedLog.insert(expectedLog.end(), {"enter " + winnerPid + " " + winnerPid, "leave " + winnerPid});
        if (pair.loserWaits) {
            EXPECT_TRUE(lost.exited && lost.exitCode == 0) << lost;
            EXPECT_EQ(lost.errLinesStartingWith(kWaitingText), Lines{countdownLine(pair.lockTimeout)}) << lost;
            EXPECT_TRUE(linesInOrder(lost.errLines(), {countdownLine(pair.lockTimeout), kGotLockLine, kBannerLine,
                                                       kNeedUpdateLine, kExitOkLine}))
                << lost;
            expectedLog.insert(expectedLog.end(), {"enter " + loserPid + " " + loserPid, "leave " + loserPid});
        } else {
            EXPECT_TRUE(lost.exited && lost.exitCode == 1) << lost;
            EXPECT_EQ(lost.errLines(), (Lines{countdownLine(pair.lockTimeout), kLockBusyError, kExitErrorLine}))
                << lost;
        }
    }
    SandboxResult done = driver->wait();
    EXPECT_TRUE(done.exited && done.exitCode == 0) << done;
    // The hooks never overlapped, and each saw its own updater's PID in the lock file.
    EXPECT_EQ(splitLines(sandbox.readDeviceFile(kHoldersLog)), expectedLog);
    EXPECT_EQ(sandbox.status(), "READY\n");
    EXPECT_EQ(sandbox.updateState(), "AVAILABLE\n");
    SandboxResult cached = runUpdater({"--cache-only", "--check-only"});
    EXPECT_TRUE(cached.exited && cached.exitCode == 0) << cached;
    EXPECT_TRUE(cached.hasErrLine(kNeedUpdateLine)) << cached;
    EXPECT_EQ(linesOfLevel(cached, "ERROR"), Lines{}) << cached;
    EXPECT_EQ(sandbox.status(), "READY\n");
}

INSTANTIATE_TEST_SUITE_P(Pairs, ConcurrentStartPairTest,
                         ::testing::Values(PairCase{"SecondWaits", 30, true}, PairCase{"SecondTimesOut", 1, false}),
                         [](const ::testing::TestParamInfo<PairCase>& param) { return std::string(param.param.name); });

// sh -c SCRIPT UPDATER: a whole update whose rpm stays held, and once the test opens
// /run/sandbox-second a start in the background beside it.
constexpr char kInstallAndStartBeside[] =
    "\"$0\" --max-wait-time -1 2>/run/sandbox-bg/installing.err &\n"
    "installing=$!\n"
    "flock -s /run/sandbox-second true\n"
    "\"$0\" --max-wait-time -1 --lock-timeout -1 -b 2>/run/sandbox-bg/second.err\n"
    "echo $? >/run/sandbox-bg/second.rc\n"
    "wait $installing\n"
    "echo $? >/run/sandbox-bg/installing.rc\n";

// A start in the background looks at the status before it forks, without the lock: an update
// another instance is installing must not pass for an interrupted one there.
TEST_F(ConcurrentStartTest, BackgroundStartWhileAnotherInstanceInstallsLeavesTheUpdateAlone) {
    sandbox.installScript("/usr/local/sandbox-bin/rpm",
                          "touch /run/sandbox-rpm.ready\nflock -s /run/sandbox-hold true\nexec /usr/bin/rpm \"$@\"\n");
    sandbox.makeDeviceDir("/run/sandbox-bg");
    HostFlock hold(sandbox.hostPath("/run/sandbox-hold"));
    HostFlock second(sandbox.hostPath("/run/sandbox-second"));
    auto driver = sandbox.startCommand({"/bin/sh", "-c", kInstallAndStartBeside, sandbox.installUpdaterCopy()});
    ASSERT_TRUE(waitUntil([&] { return sandbox.deviceFileExists("/run/sandbox-rpm.ready"); }, 60s))
        << sandbox.readDeviceFile("/run/sandbox-bg/installing.err");
    ASSERT_EQ(sandbox.status(), "UPDATING\n");

    second.release();
    ASSERT_TRUE(waitUntil([&] { return sandbox.deviceFileExists("/run/sandbox-bg/second.rc"); }, 60s));
    const SandboxResult parent = ended("/run/sandbox-bg", "second");
    EXPECT_TRUE(parent.exited && parent.exitCode == 0) << parent;
    const std::string prefix = "INFO: --- BACKGROUND PID ";
    const Lines started = parent.errLinesStartingWith(prefix);
    EXPECT_EQ(started.size(), 1u) << parent;
    if (started.size() == 1) {
        EXPECT_EQ(parent.errLines(),
                  (Lines{modeLine("update"), "INFO: updater switched to background", started[0], kExitOkLine}));
        // The child finds the lock taken and gives up, as any second instance does.
        SandboxProcess child(std::stoi(started[0].substr(prefix.size())), "", "");
        SandboxResult childEnd = child.wait();
        EXPECT_TRUE(childEnd.exited && childEnd.exitCode == 1) << childEnd;
    }
    EXPECT_EQ(sandbox.status(), "UPDATING\n");
    EXPECT_FALSE(sandbox.deviceFileExists("/var/lib/updater/update-state"));

    hold.release();
    SandboxResult done = driver->wait();
    ASSERT_TRUE(done.exited && done.exitCode == 0) << done;
    const SandboxResult installing = ended("/run/sandbox-bg", "installing");
    EXPECT_TRUE(installing.exited && installing.exitCode == 0) << installing;
    EXPECT_EQ(linesOfLevel(installing, "WARNING"), Lines{}) << installing;
    EXPECT_EQ(installed("demo"), "demo-2.0-1");
    EXPECT_EQ(sandbox.status(), "REBOOTING\n");
    EXPECT_EQ(sandbox.updateState(), "COMPLETE\n");
}

// A background start whose parent reads UPDATING while another instance installs, and that
// instance ends right after the read (gdb holds the parent there while the test plays the other
// instance's end): the decision rests on the lock the parent failed to take before it read, so
// a sound device is never marked CORRUPTED.
TEST_F(ConcurrentStartTest, BackgroundStartRacingTheEndOfAnotherInstanceLeavesTheStatusAlone) {
    sandbox.writeDeviceFile("/var/lock/updater", "");
    auto other = std::make_unique<FileWriteLock>(lockPath());
    ASSERT_TRUE(other->held());
    sandbox.setStatus("UPDATING");
    // Once the parent has read the status, the other instance records its end (inside the
    // sandbox, whose view of /var is its own) and the test releases its lock.
    constexpr char kHold[] =
        "shell echo READY >/var/lib/updater/status.new && mv /var/lib/updater/status.new /var/lib/updater/status"
        " && touch /run/sandbox-read; while [ ! -e /run/sandbox-go ]; do sleep 0.05; done";
    auto parent = sandbox.startCommand(
        traced({"gdb", "-q", "-batch", "-nx",
                // A login shell of Debian's may point gdb at a
                // debug-info server: the test stays off the network.
                "-iex", "set debuginfod enabled off", "-ex", "break loadStatus", "-ex", "run", "-ex", "finish", "-ex",
                kHold, "-ex", "continue", "--args", sandbox.installUpdaterCopy(), "--max-wait-time", "-1",
                "--check-only", "-b", "--lock-timeout", "60"}));
    ASSERT_TRUE(waitUntil([&] { return sandbox.deviceFileExists("/run/sandbox-read"); }, 60s)) << parent->currentOut();
    other.reset();
    sandbox.writeDeviceFile("/run/sandbox-go", "");

    SandboxResult ended = parent->wait();
    EXPECT_NE(ended.out.find("exited normally"), std::string::npos) << ended;
    const std::string prefix = "INFO: --- BACKGROUND PID ";
    const Lines started = ended.errLinesStartingWith(prefix);
    ASSERT_EQ(started.size(), 1u) << ended;
    SandboxProcess child(std::stoi(started[0].substr(prefix.size())), "", "");
    SandboxResult childEnd = child.wait();
    EXPECT_TRUE(childEnd.exited && childEnd.exitCode == 0) << childEnd;
    EXPECT_EQ(sandbox.status(), "READY\n");
    EXPECT_EQ(sandbox.updateState(), "AVAILABLE\n");
}

}  // namespace
}  // namespace system_test
