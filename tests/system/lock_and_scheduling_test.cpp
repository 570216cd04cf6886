// The instance lock, background mode, the random wait before connecting and the termination
// signals around them, seen from outside the updater binary.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "system/updater_system_test.h"

namespace system_test {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

// The longest waits are over a billion seconds: a run never ends its wait before the test
// has seen it.
constexpr char kLongWait[] = "1000000000";

constexpr char kLockBusyError[] =
    "ERROR: failed acquiring lock file '/var/lock/updater' (Resource temporarily unavailable)";
constexpr char kGotLockLine[] = "INFO: other instance terminated, got cache lock";

std::string countdownLine(int seconds) {
    return "INFO: cache lock held by another instance, will timeout in " + std::to_string(seconds) + " secs";
}

class LockTest : public UpdaterSystemTest {};

TEST_F(LockTest, LockHeldByAnotherInstanceFailsAfterTheTimeout) {
    sandbox.writeDeviceFile("/var/lock/updater", lockFileContent(4242));
    FileWriteLock other(lockPath());
    ASSERT_TRUE(other.held());

    SandboxResult result = runUpdater({"--lock-timeout", "1"});
    EXPECT_TRUE(result.exited && result.exitCode == 1) << result;
    EXPECT_EQ(result.errLinesStartingWith("INFO: cache lock held"), Lines{countdownLine(1)}) << result;
    EXPECT_TRUE(linesInOrder(result.errLines(), {countdownLine(1), kLockBusyError, kExitErrorLine}));
    EXPECT_FALSE(result.hasErrLine(kGotLockLine)) << result;
    EXPECT_FALSE(result.hasErrLine(kBannerLine)) << result;
    // The loser changes nothing: not the holder's lock file, not the status, no hook.
    EXPECT_EQ(sandbox.readDeviceFile("/var/lock/updater"), lockFileContent(4242));
    EXPECT_FALSE(sandbox.deviceFileExists("/var/lib/updater/status"));
    EXPECT_TRUE(sandbox.fakeCalls("hook").empty());
    EXPECT_FALSE(sandbox.deviceFileExists("/var/log/updater/lastlog"));
}

TEST_F(LockTest, NegativeTimeoutFailsAtTheFirstRefusal) {
    FileWriteLock other(lockPath());
    ASSERT_TRUE(other.held());
    SandboxResult result = runUpdater({"--lock-timeout", "-1"});
    EXPECT_TRUE(result.exited && result.exitCode == 1) << result;
    EXPECT_TRUE(result.errLinesStartingWith("INFO: cache lock held").empty()) << result;
    EXPECT_TRUE(result.hasErrLine(kLockBusyError)) << result;
}

TEST_F(LockTest, LockReleasedWhileWaitingIsTaken) {
    FileWriteLock other(lockPath());
    ASSERT_TRUE(other.held());
    auto process = sandbox.start({"--max-wait-time", "-1", "--lock-timeout", "25"});
    // The second progress line comes at the eleventh attempt, about ten seconds in.
    ASSERT_TRUE(process->waitForErrText(countdownLine(15), 60s)) << process->currentErr();
    other.release();
    SandboxResult result = process->wait();

    EXPECT_TRUE(reachedUpdate(result));
    EXPECT_EQ(result.errLinesStartingWith("INFO: cache lock held"), (Lines{countdownLine(25), countdownLine(15)}))
        << result;
    EXPECT_TRUE(linesInOrder(result.errLines(), {countdownLine(25), countdownLine(15), kGotLockLine, kBannerLine}));
    EXPECT_FALSE(result.errContains("failed acquiring lock file")) << result;
    EXPECT_EQ(sandbox.readDeviceFile("/var/lock/updater"), lockFileContent(process->pid()));
}

TEST_F(LockTest, LeftoverLockFileIsTakenAtOnceAndRewritten) {
    sandbox.writeDeviceFile("/var/lock/updater", "content left by a process that died long ago\n");
    auto process = sandbox.start({"--max-wait-time", "-1"});
    SandboxResult result = process->wait();
    EXPECT_TRUE(reachedUpdate(result));
    EXPECT_TRUE(result.errLinesStartingWith("INFO: cache lock held").empty()) << result;
    EXPECT_FALSE(result.hasErrLine(kGotLockLine)) << result;
    EXPECT_EQ(sandbox.readDeviceFile("/var/lock/updater"), lockFileContent(process->pid()));
}

// ---- the random wait -----------------------------------------------------------------------

class RandomWaitTest : public UpdaterSystemTest {
protected:
    void SetUp() override {
        sandbox.writeConfig(DeviceSandbox::configXml(DeviceSandbox::repositoryXml("main", kUnreachableUrl)));
    }

    bool waitForStatus(const std::string& word) {
        return waitUntil([&] { return sandbox.status() == word + "\n"; }, 30s);
    }

    // The status says DELAYING and the process sleeps: a signal now interrupts the wait. (One
    // arriving between the status write and the sleep would only be seen after the whole wait.)
    bool waitForDelaying(SandboxProcess& process) { return waitForStatus("DELAYING") && process.waitForSleep(); }
};

TEST_F(RandomWaitTest, LockIsHeldWithThePidWrittenDuringTheWait) {
    auto process = sandbox.start({"--max-wait-time", kLongWait});
    ASSERT_TRUE(waitForDelaying(*process)) << process->currentErr();

    EXPECT_EQ(sandbox.readDeviceFile("/var/lock/updater"), lockFileContent(process->pid()));
    EXPECT_EQ(fileLockHolder(lockPath()), process->pid());
    // A second instance cannot get in meanwhile.
    SandboxResult second = runUpdater({"--lock-timeout", "-1"});
    EXPECT_TRUE(second.hasErrLine(kLockBusyError)) << second;
    EXPECT_EQ(sandbox.readDeviceFile("/var/lock/updater"), lockFileContent(process->pid()));

    process->signal(SIGTERM);
    SandboxResult result = process->wait();
    EXPECT_TRUE(result.signalled && result.signal == SIGTERM) << result;
}

TEST_F(RandomWaitTest, WaitLineComesBeforeTheDelayingStatus) {
    auto process = sandbox.start({"--max-wait-time", kLongWait});
    ASSERT_TRUE(waitForDelaying(*process)) << process->currentErr();
    SandboxResult snapshot;
    snapshot.err = process->currentErr();
    Lines waiting = snapshot.errLinesStartingWith("INFO: waiting ");
    ASSERT_EQ(waiting.size(), 1u) << snapshot;
    // "waiting N secs before connection" with 0 <= N <= the maximum.
    const std::string prefix = "INFO: waiting ", suffix = " secs before connection";
    ASSERT_GT(waiting[0].size(), prefix.size() + suffix.size());
    EXPECT_EQ(waiting[0].substr(waiting[0].size() - suffix.size()), suffix);
    std::string number = waiting[0].substr(prefix.size(), waiting[0].size() - prefix.size() - suffix.size());
    ASSERT_EQ(number.find_first_not_of("0123456789"), std::string::npos) << number;
    EXPECT_LE(std::stoll(number), std::stoll(kLongWait));
    EXPECT_TRUE(linesInOrder(snapshot.errLines(), {kBannerLine, "INFO: running init hook",
                                                   repositoryLine("main", kUnreachableUrl), waiting[0]}));
    process->signal(SIGTERM);
    process->wait();
}

TEST_F(RandomWaitTest, ZeroMaxWaitTimeKeepsTheDefaultOfTenMinutes) {
    auto process = sandbox.start({"--max-wait-time", "0"});
    // The wait may be short: look for its line, not for the status.
    ASSERT_TRUE(process->waitForErrText("INFO: waiting ")) << process->currentErr();
    SandboxResult snapshot;
    snapshot.err = process->currentErr();
    Lines waiting = snapshot.errLinesStartingWith("INFO: waiting ");
    ASSERT_EQ(waiting.size(), 1u) << snapshot;
    long long seconds = std::stoll(waiting[0].substr(std::string("INFO: waiting ").size()));
    EXPECT_LE(seconds, 600);
}

struct TerminationCase {
    int signal;
    const char* description;
};

std::ostream& operator<<(std::ostream& out, const TerminationCase& termination) {
    return out << "SIG" << sigabbrev_np(termination.signal);
}

class TerminationDuringWaitTest : public RandomWaitTest, public ::testing::WithParamInterface<TerminationCase> {};

TEST_P(TerminationDuringWaitTest, SignalEndsTheRunAndKillsTheProcess) {
    auto process = sandbox.start({"--max-wait-time", kLongWait});
    ASSERT_TRUE(waitForDelaying(*process)) << process->currentErr();
    process->signal(GetParam().signal);
    SandboxResult result = process->wait();

    EXPECT_TRUE(result.signalled && result.signal == GetParam().signal) << result;
    ASSERT_FALSE(result.errLines().empty()) << result;
    EXPECT_TRUE(linesInOrder(result.errLines(), {"ERROR: wait interrupted", kExitErrorLine,
                                                 "ERROR: terminated by signal #" + std::to_string(GetParam().signal) +
                                                     ": " + GetParam().description}));
    EXPECT_EQ(result.errLines().back(),
              "ERROR: terminated by signal #" + std::to_string(GetParam().signal) + ": " + GetParam().description)
        << result;
    EXPECT_FALSE(result.hasErrLine(kNoRepositoryDataLine)) << result;
    EXPECT_EQ(sandbox.status(), "READY\n");
}

INSTANTIATE_TEST_SUITE_P(Signals, TerminationDuringWaitTest,
                         ::testing::Values(TerminationCase{SIGTERM, "Terminated"}, TerminationCase{SIGINT, "Interrupt"},
                                           TerminationCase{SIGHUP, "Hangup"}),
                         [](const ::testing::TestParamInfo<TerminationCase>& param) {
                             return std::string(sigabbrev_np(param.param.signal));
                         });

TEST_F(LockTest, TerminationDuringTheLockWaitGivesUpWithoutTheLockError) {
    FileWriteLock other(lockPath());
    ASSERT_TRUE(other.held());
    auto process = sandbox.start({"--max-wait-time", "-1", "--lock-timeout", "100"});
    ASSERT_TRUE(process->waitForErrText(countdownLine(100), 30s)) << process->currentErr();
    process->signal(SIGTERM);
    SandboxResult result = process->wait();

    EXPECT_TRUE(result.signalled && result.signal == SIGTERM) << result;
    EXPECT_FALSE(result.errContains("failed acquiring lock file")) << result;
    EXPECT_TRUE(linesInOrder(result.errLines(),
                             {countdownLine(100), kExitErrorLine, "ERROR: terminated by signal #15: Terminated"}));
    EXPECT_FALSE(sandbox.deviceFileExists("/var/lib/updater/status"));
}

// ---- background mode -----------------------------------------------------------------------

class BackgroundTest : public RandomWaitTest {};

TEST_F(BackgroundTest, ParentReportsTheChildWhichHoldsTheLock) {
    sandbox.makeDeviceDir("/var/log/sandbox");
    SandboxResult parent = sandbox.run({"-b", "--max-wait-time", kLongWait, "--log-to", "/var/log/sandbox/bg.log"});
    ASSERT_TRUE(parent.exited && parent.exitCode == 0) << parent;
    Lines lines = parent.errLines();
    ASSERT_EQ(lines.size(), 4u) << parent;
    EXPECT_EQ(lines[0], modeLine("update"));
    EXPECT_EQ(lines[1], "INFO: updater switched to background");
    const std::string prefix = "INFO: --- BACKGROUND PID ", suffix = " ---";
    ASSERT_EQ(lines[2].rfind(prefix, 0), 0u) << parent;
    ASSERT_GT(lines[2].size(), prefix.size() + suffix.size());
    EXPECT_EQ(lines[3], kExitOkLine);
    pid_t child = std::stoi(lines[2].substr(prefix.size()));
    ASSERT_GT(child, 1);
    EXPECT_EQ(lines[2], prefix + std::to_string(child) + suffix);

    // The child took the lock and waits; the test process adopted it when the parent ended.
    SandboxProcess daemon(child, "", "");
    ASSERT_TRUE(waitForDelaying(daemon));
    EXPECT_EQ(sandbox.readDeviceFile("/var/lock/updater"), lockFileContent(child));
    EXPECT_EQ(fileLockHolder(lockPath()), child);

    daemon.signal(SIGTERM);
    SandboxResult ended = daemon.wait();
    EXPECT_TRUE(ended.signalled && ended.signal == SIGTERM) << ended;
    EXPECT_EQ(sandbox.status(), "READY\n");

    // The child's messages went to its logs only, never to the parent's standard error.
    EXPECT_EQ(parent.err, readFile(sandbox.root() + "/.capture/1.err"));
    Lines lastlog = splitLines(sandbox.readDeviceFile("/var/log/updater/lastlog"));
    EXPECT_TRUE(linesInOrder(lastlog, {kBannerLine, modeLine("update"), "ERROR: wait interrupted", kExitErrorLine}));
    // The --log-to file has the parent's lines up to the PID and the child's, not the parent's
    // exit line. Parent and child write after the fork at once: the PID line and the child's
    // first lines may come in either order.
    Lines logTo = splitLines(sandbox.readDeviceFile("/var/log/sandbox/bg.log"));
    EXPECT_TRUE(linesInOrder(logTo, {lines[0], lines[1], kBannerLine, "ERROR: wait interrupted", kExitErrorLine,
                                     "ERROR: terminated by signal #15: Terminated"}));
    EXPECT_EQ(std::count(logTo.begin(), logTo.end(), lines[2]), 1);
    EXPECT_EQ(std::count(logTo.begin(), logTo.end(), std::string(kExitOkLine)), 0);
}

TEST_F(BackgroundTest, CorruptedSystemIsRefusedBeforeForking) {
    sandbox.setStatus("CORRUPTED");
    SandboxResult result = sandbox.run({"-b", "--max-wait-time", "-1"});
    EXPECT_TRUE(result.exited && result.exitCode == 2) << result;
    EXPECT_TRUE(linesInOrder(result.errLines(), {"FATAL: system is corrupted cannot update", kExitFatalLine}));
    EXPECT_TRUE(result.errLinesStartingWith("INFO: --- BACKGROUND PID").empty()) << result;
    EXPECT_FALSE(result.hasErrLine("INFO: updater switched to background")) << result;
    // The parent took the lock to judge the status, but never wrote its PID.
    EXPECT_EQ(sandbox.readDeviceFile("/var/lock/updater"), "");
    EXPECT_EQ(sandbox.status(), "CORRUPTED\n");
}

TEST_F(BackgroundTest, UnreadableStatusIsRefusedBeforeForking) {
    sandbox.makeDeviceDir("/var/lib/updater/status");
    SandboxResult result = sandbox.run({"--background", "--max-wait-time", "-1"});
    EXPECT_TRUE(result.exited && result.exitCode == 1) << result;
    EXPECT_TRUE(result.hasErrLine(kCannotRecoverStatusLine)) << result;
    EXPECT_TRUE(result.errLinesStartingWith("INFO: --- BACKGROUND PID").empty()) << result;
    EXPECT_EQ(sandbox.readDeviceFile("/var/lock/updater"), "");
}

TEST_F(BackgroundTest, QuietParentPrintsNothing) {
    SandboxResult parent = sandbox.run({"-b", "-q", "--max-wait-time", kLongWait});
    ASSERT_TRUE(parent.exited && parent.exitCode == 0) << parent;
    EXPECT_EQ(parent.err, "");
    ASSERT_TRUE(waitForStatus("DELAYING"));
    pid_t child = fileLockHolder(lockPath());
    ASSERT_GT(child, 1);
    SandboxProcess daemon(child, "", "");
    ASSERT_TRUE(daemon.waitForSleep());
    daemon.signal(SIGTERM);
    EXPECT_TRUE(daemon.wait().signalled);
}

}  // namespace
}  // namespace system_test
