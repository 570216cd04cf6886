// Start-up of the updater binary on a simulated device: the refusals, their messages and exit
// statuses, the choice of the repository, the status checks, the "init" hook and the options.
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/version.h"
#include "system/updater_system_test.h"

namespace system_test {
namespace {

using Lines = std::vector<std::string>;
using Calls = std::vector<std::vector<std::string>>;

// ---- a run through the whole start-up ------------------------------------------------------

class StartupTest : public UpdaterSystemTest {};

TEST_F(StartupTest, StandardDeviceGetsThroughTheStartUp) {
    auto process = sandbox.start({"--max-wait-time", "-1"});
    SandboxResult result = process->wait();

    ASSERT_TRUE(reachedUpdate(result));
    EXPECT_TRUE(linesInOrder(result.errLines(), {
                                                    kBannerLine,
                                                    modeLine("update"),
                                                    "INFO: running init hook",
                                                    repositoryLine("main", DeviceSandbox::localRepositoryUrl()),
                                                    kNoRepositoryDataLine,
                                                    kExitErrorLine,
                                                }));
    EXPECT_EQ(result.errLines().back(), kExitErrorLine) << result;
    EXPECT_TRUE(linesOfLevel(result, "FATAL").empty()) << result;
    EXPECT_TRUE(linesOfLevel(result, "WARNING").empty()) << result;
    EXPECT_EQ(linesOfLevel(result, "ERROR"), emptyRepositoryErrorLines()) << result;
    EXPECT_EQ(result.out, "");

    EXPECT_EQ(sandbox.status(), "READY\n");
    EXPECT_EQ(sandbox.fakeCalls("hook"), (Calls{{"init", kUpdaterVersion}}));
    EXPECT_EQ(sandbox.readDeviceFile("/var/lock/updater"), lockFileContent(process->pid()));
    for (const char* program : {"telinit", "shutdown", "reboot", "systemctl", "install"})
        EXPECT_TRUE(sandbox.fakeCalls(program).empty()) << program;
}

TEST_F(StartupTest, ModeLineNamesCheckAndTestRuns) {
    SandboxResult check = runUpdater({"--check-only"});
    EXPECT_TRUE(reachedUpdate(check));
    EXPECT_TRUE(check.hasErrLine(modeLine("check"))) << check;

    SandboxResult test = runUpdater({"-N"});
    EXPECT_TRUE(reachedUpdate(test));
    EXPECT_TRUE(test.hasErrLine(modeLine("test"))) << test;

    // Check-only wins over test.
    SandboxResult both = runUpdater({"-n", "--test"});
    EXPECT_TRUE(reachedUpdate(both));
    EXPECT_TRUE(both.hasErrLine(modeLine("check"))) << both;
}

TEST_F(StartupTest, NoStatusFileStartsAsReady) {
    ASSERT_FALSE(sandbox.deviceFileExists("/var/lib/updater/status"));
    SandboxResult result = runUpdater({});
    EXPECT_TRUE(reachedUpdate(result));
    EXPECT_EQ(sandbox.status(), "READY\n");
}

// ---- the no-run file -----------------------------------------------------------------------

class NoRunFileTest : public UpdaterSystemTest {
protected:
    void expectRefused(const SandboxResult& result) {
        EXPECT_TRUE(result.exited && result.exitCode == 1) << result;
        EXPECT_TRUE(result.hasErrLine("ERROR: running is disabled by \"no run\" file '/var/run/updater.norun'"))
            << result;
        EXPECT_FALSE(result.hasErrLine(kNoRepositoryDataLine)) << result;
        EXPECT_TRUE(result.hasErrLine(kExitErrorLine)) << result;
        // Refused before the lock, the status check and the hook.
        EXPECT_FALSE(sandbox.deviceFileExists("/var/lock/updater"));
        EXPECT_FALSE(sandbox.deviceFileExists("/var/lib/updater/status"));
        EXPECT_TRUE(sandbox.fakeCalls("hook").empty());
    }
};

TEST_F(NoRunFileTest, EmptyFileRefusesTheRun) {
    sandbox.writeDeviceFile("/var/run/updater.norun", "");
    expectRefused(runUpdater({}));
}

TEST_F(NoRunFileTest, DirectoryOrDanglingLinkRefusesTheRunToo) {
    sandbox.makeDeviceDir("/var/run/updater.norun");
    expectRefused(runUpdater({}));

    sandbox.removeDeviceFile("/var/run/updater.norun");
    ASSERT_EQ(symlink("/nonexistent", sandbox.hostPath("/var/run/updater.norun").c_str()), 0);
    expectRefused(runUpdater({}));
}

TEST_F(NoRunFileTest, RemovingTheFileAllowsTheRunAgain) {
    sandbox.writeDeviceFile("/var/run/updater.norun", "maintenance\n");
    expectRefused(runUpdater({}));
    sandbox.removeDeviceFile("/var/run/updater.norun");
    EXPECT_TRUE(reachedUpdate(runUpdater({})));
}

// ---- the os-release veto -------------------------------------------------------------------

struct VetoCase {
    const char* name;
    std::string osRelease;
    std::string reason;
};

std::ostream& operator<<(std::ostream& out, const VetoCase& veto) {
    return out << veto.name;
}

class OsReleaseVetoTest : public UpdaterSystemTest, public ::testing::WithParamInterface<VetoCase> {};

TEST_P(OsReleaseVetoTest, VetoRefusesTheRunWithItsReason) {
    sandbox.writeDeviceFile("/etc/os-release", "NAME=\"Sandbox Device Linux\"\n" + GetParam().osRelease);
    sandbox.setStatus("DOWNLOADING");
    SandboxResult result = runUpdater({});

    EXPECT_TRUE(result.exited && result.exitCode == 1) << result;
    EXPECT_EQ(linesOfLevel(result, "ERROR"), Lines{"ERROR: firmware update is disabled: " + GetParam().reason})
        << result;
    EXPECT_TRUE(result.hasErrLine(kExitErrorLine)) << result;
    // The veto comes after the lock and before the status check and the hook.
    EXPECT_TRUE(sandbox.deviceFileExists("/var/lock/updater"));
    EXPECT_EQ(sandbox.status(), "DOWNLOADING\n");
    EXPECT_TRUE(sandbox.fakeCalls("hook").empty());
}

INSTANTIATE_TEST_SUITE_P(
    Values, OsReleaseVetoTest,
    ::testing::Values(
        VetoCase{"DoubleQuotes", "TAV_NO_UPDATE=\"maintenance window\"\n", "maintenance window"},
        VetoCase{"SingleQuotes", "TAV_NO_UPDATE='single quoted'\n", "single quoted"},
        VetoCase{"Unquoted", "TAV_NO_UPDATE=plain reason\n", "plain reason"},
        VetoCase{"BackslashEscapes", "TAV_NO_UPDATE=\"say \\\"no\\\" \\\\ \\now\"\n", "say \"no\" \\ now"},
        VetoCase{"EmptyValue", "TAV_NO_UPDATE=\n", ""}, VetoCase{"EmptyQuotes", "TAV_NO_UPDATE=\"\"\n", ""},
        VetoCase{"TrailingWhiteSpace", "TAV_NO_UPDATE=\"spaced\"  \t\r\n", "spaced"},
        VetoCase{"UnbalancedQuoteDropsLastCharacter", "TAV_NO_UPDATE=\"abc\n", "ab"},
        VetoCase{"MixedQuotesAreBothDropped", "TAV_NO_UPDATE='mixed\"\n", "mixed"},
        VetoCase{"BackslashAtTheEndEndsTheValue", "TAV_NO_UPDATE=ends here\\\n", "ends here"},
        VetoCase{"LastLineGivesTheReason", "TAV_NO_UPDATE=first\nVERSION=1\nTAV_NO_UPDATE=second\n", "second"},
        VetoCase{"LastLineWithoutNewline", "ID_LIKE=x\nTAV_NO_UPDATE=\"final\"", "final"}),
    [](const ::testing::TestParamInfo<VetoCase>& param) { return std::string(param.param.name); });

class OsReleaseTest : public UpdaterSystemTest {};

TEST_F(OsReleaseTest, LinesThatOnlyLookLikeTheVetoDoNotVeto) {
    sandbox.writeDeviceFile("/etc/os-release",
                            "# TAV_NO_UPDATE=commented\n"
                            "  TAV_NO_UPDATE=indented\n"
                            "TAV_NO_UPDATE_REASON=other variable\n"
                            "tav_no_update=lower case\n"
                            "NAME=TAV_NO_UPDATE=inside\n");
    EXPECT_TRUE(reachedUpdate(runUpdater({})));
}

TEST_F(OsReleaseTest, FallbackFileIsReadWhenTheMainOneIsAbsent) {
    sandbox.removeDeviceFile("/etc/os-release");
    sandbox.writeDeviceFile("/usr/lib/os-release", "ID=sandbox\nTAV_NO_UPDATE=\"from fallback\"\n");
    SandboxResult result = runUpdater({});
    EXPECT_TRUE(result.exited && result.exitCode == 1) << result;
    EXPECT_TRUE(result.hasErrLine("ERROR: firmware update is disabled: from fallback")) << result;
}

TEST_F(OsReleaseTest, FallbackFileIsIgnoredWhenTheMainOneExists) {
    sandbox.writeDeviceFile("/etc/os-release", "ID=sandbox\n");
    sandbox.writeDeviceFile("/usr/lib/os-release", "ID=sandbox\nTAV_NO_UPDATE=\"from fallback\"\n");
    EXPECT_TRUE(reachedUpdate(runUpdater({})));
}

TEST_F(OsReleaseTest, NoOsReleaseFileAtAllLetsTheRunGoOn) {
    sandbox.removeDeviceFile("/etc/os-release");
    sandbox.removeDeviceFile("/usr/lib/os-release");
    EXPECT_TRUE(reachedUpdate(runUpdater({})));
}

TEST_F(OsReleaseTest, VeryLongLinesDoNotCrash) {
    // A veto line of 10 000 characters: the veto holds, with a reason cut to the line buffer.
    sandbox.writeDeviceFile("/etc/os-release", "ID=sandbox\nTAV_NO_UPDATE=" + std::string(10000 - 14, 'x') + "\n");
    SandboxResult result = runUpdater({});
    EXPECT_TRUE(result.exited && result.exitCode == 1) << result;
    Lines veto = result.errLinesStartingWith("ERROR: firmware update is disabled: ");
    ASSERT_EQ(veto.size(), 1u) << result;
    std::string reason = veto[0].substr(std::string("ERROR: firmware update is disabled: ").size());
    EXPECT_FALSE(reason.empty());
    EXPECT_LE(reason.size(), 255u - 14u);
    EXPECT_EQ(reason.find_first_not_of('x'), std::string::npos) << reason;

    // A long line of another variable, then an ordinary file: no veto.
    sandbox.writeDeviceFile("/etc/os-release", "PRETTY_NAME=" + std::string(10000, 'y') + "\nID=sandbox\n");
    EXPECT_TRUE(reachedUpdate(runUpdater({})));
}

// ---- --repo-url and --repo -----------------------------------------------------------------

class RepositoryChoiceTest : public UpdaterSystemTest {
protected:
    // A refusal before the start-up reaches its shutdown steps: no exit line, nothing touched.
    void expectEarlyRefusal(const SandboxResult& result, const std::string& errorLine) {
        EXPECT_TRUE(result.exited && result.exitCode == 1) << result;
        EXPECT_EQ(linesOfLevel(result, "ERROR"), Lines{errorLine}) << result;
        EXPECT_TRUE(linesOfLevel(result, "INFO").empty()) << result;
        EXPECT_FALSE(sandbox.deviceFileExists("/var/lock/updater"));
        EXPECT_TRUE(sandbox.fakeCalls("hook").empty());
    }
};

TEST_F(RepositoryChoiceTest, RepoUrlWithoutColonIsRefused) {
    expectEarlyRefusal(runUpdater({"--repo-url", "main"}), "ERROR: missing ':' in --repo-url option");
}

TEST_F(RepositoryChoiceTest, RepoUrlWithoutIdIsRefused) {
    expectEarlyRefusal(runUpdater({"--repo-url", ":file:///var/lib/other/"}), "ERROR: missing ID in --repo-url option");
}

TEST_F(RepositoryChoiceTest, RepoUrlWithoutUrlIsRefused) {
    expectEarlyRefusal(runUpdater({"--repo-url", "main:"}), "ERROR: missing URL in --repo-url option");
}

TEST_F(RepositoryChoiceTest, RepoUrlSplitsAtTheFirstColonOnly) {
    sandbox.makeDeviceDir("/var/lib/other-repo");
    SandboxResult result = runUpdater({"--repo-url=main:file:///var/lib/other-repo/"});
    EXPECT_TRUE(reachedUpdate(result));
    EXPECT_TRUE(result.hasErrLine(repositoryLine("main", "file:///var/lib/other-repo/"))) << result;
    EXPECT_TRUE(linesOfLevel(result, "WARNING").empty()) << result;
}

TEST_F(RepositoryChoiceTest, RepoUrlForAnUnknownIdOnlyWarns) {
    SandboxResult result = runUpdater({"--repo-url", "nosuch:file:///var/lib/other-repo/"});
    EXPECT_TRUE(reachedUpdate(result));
    EXPECT_EQ(linesOfLevel(result, "WARNING"), Lines{"WARNING: ignoring URL override for non-existing repo 'nosuch'"})
        << result;
    EXPECT_TRUE(result.hasErrLine(repositoryLine("main", DeviceSandbox::localRepositoryUrl()))) << result;
}

TEST_F(RepositoryChoiceTest, RepoChoosesARepositoryDisabledInTheConfiguration) {
    sandbox.makeDeviceDir("/var/lib/spare-repo");
    sandbox.writeConfig(
        DeviceSandbox::configXml(DeviceSandbox::repositoryXml("main", DeviceSandbox::localRepositoryUrl()) +
                                 DeviceSandbox::repositoryXml("spare", "file:///var/lib/spare-repo/", false)));
    SandboxResult result = runUpdater({"--repo", "spare"});
    EXPECT_TRUE(reachedUpdate(result));
    EXPECT_TRUE(result.hasErrLine(repositoryLine("spare", "file:///var/lib/spare-repo/"))) << result;
    EXPECT_FALSE(result.hasErrLine(repositoryLine("main", DeviceSandbox::localRepositoryUrl()))) << result;
}

TEST_F(RepositoryChoiceTest, RepoWithAnUnknownIdIsRefused) {
    expectEarlyRefusal(runUpdater({"-r", "nosuch"}), "ERROR: no repository with ID 'nosuch'");
}

TEST_F(RepositoryChoiceTest, TwoEnabledRepositoriesAreRefusedUnlessOneIsChosen) {
    sandbox.makeDeviceDir("/var/lib/second-repo");
    sandbox.writeConfig(
        DeviceSandbox::configXml(DeviceSandbox::repositoryXml("main", DeviceSandbox::localRepositoryUrl()) +
                                 DeviceSandbox::repositoryXml("second", "file:///var/lib/second-repo/", true)));
    expectEarlyRefusal(runUpdater({}), "ERROR: only one active repository supported");

    SandboxResult chosen = runUpdater({"--repo", "second"});
    EXPECT_TRUE(reachedUpdate(chosen));
    EXPECT_TRUE(chosen.hasErrLine(repositoryLine("second", "file:///var/lib/second-repo/"))) << chosen;
}

TEST_F(RepositoryChoiceTest, NoEnabledRepositoryEndsTheRunAfterTheHook) {
    sandbox.writeConfig(
        DeviceSandbox::configXml(DeviceSandbox::repositoryXml("main", DeviceSandbox::localRepositoryUrl(), false)));
    sandbox.setStatus("PKGSDONE");
    SandboxResult result = runUpdater({});
    EXPECT_TRUE(result.exited && result.exitCode == 1) << result;
    EXPECT_TRUE(linesInOrder(
        result.errLines(), {"INFO: running init hook", "ERROR: no active repository, nothing to do", kExitErrorLine}));
    EXPECT_FALSE(result.hasErrLine(kNoRepositoryDataLine)) << result;
    EXPECT_EQ(sandbox.status(), "READY\n");
}

// ---- the status file at start --------------------------------------------------------------

class StatusAtStartTest : public UpdaterSystemTest {
protected:
    void expectUnrecoverable(const SandboxResult& result) {
        EXPECT_TRUE(result.exited && result.exitCode == 1) << result;
        EXPECT_TRUE(linesInOrder(result.errLines(), {kCannotRecoverStatusLine, kExitErrorLine}));
        EXPECT_FALSE(result.hasErrLine(kNoRepositoryDataLine)) << result;
        EXPECT_TRUE(sandbox.fakeCalls("hook").empty());
    }
};

TEST_F(StatusAtStartTest, DirectoryAtTheStatusPathCannotBeRecovered) {
    sandbox.makeDeviceDir("/var/lib/updater/status");
    expectUnrecoverable(runUpdater({}));
}

TEST_F(StatusAtStartTest, BinaryBytesCannotBeRecovered) {
    const std::string binary("\x01\x02\xff\xfe\x80READY\x7f\x00\x10\x11", 14);
    sandbox.writeDeviceFile("/var/lib/updater/status", binary);
    SandboxResult result = runUpdater({});
    expectUnrecoverable(result);
    EXPECT_EQ(sandbox.status(), binary);
}

TEST_F(StatusAtStartTest, UnknownOrLowerCaseWordsCannotBeRecovered) {
    sandbox.setStatus("ready");
    SandboxResult lower = runUpdater({});
    expectUnrecoverable(lower);
    EXPECT_TRUE(lower.hasErrLine("ERROR: unknown status 'ready'")) << lower;
    EXPECT_EQ(sandbox.status(), "ready\n");

    sandbox.setStatus("SLEEPING");
    SandboxResult unknown = runUpdater({});
    expectUnrecoverable(unknown);
    EXPECT_TRUE(unknown.hasErrLine("ERROR: unknown status 'SLEEPING'")) << unknown;
}

TEST_F(StatusAtStartTest, LongWordIsReadAsItsFirst31Characters) {
    sandbox.setStatus("READY" + std::string(40, 'Z'));
    SandboxResult result = runUpdater({});
    expectUnrecoverable(result);
    EXPECT_TRUE(result.hasErrLine("ERROR: unknown status 'READY" + std::string(26, 'Z') + "'")) << result;
}

TEST_F(StatusAtStartTest, EmptyFileCannotBeRecovered) {
    for (const char* content : {"", "\n", " \n\t\n"}) {
        sandbox.writeDeviceFile("/var/lib/updater/status", content);
        expectUnrecoverable(runUpdater({}));
    }
}

class StatusAcceptedTest : public UpdaterSystemTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(StatusAcceptedTest, InterruptedHarmlessStepsLetTheRunStartAgain) {
    sandbox.setStatus(GetParam());
    SandboxResult result = runUpdater({});
    EXPECT_TRUE(reachedUpdate(result));
    EXPECT_EQ(sandbox.status(), "READY\n");
    EXPECT_EQ(sandbox.fakeCalls("hook"), (Calls{{"init", kUpdaterVersion}}));
}

INSTANTIATE_TEST_SUITE_P(Values, StatusAcceptedTest,
                         ::testing::Values("READY", "DELAYING", "ANALYZING", "DOWNLOADING", "TESTING", "PKGSDONE"));

TEST_F(StatusAtStartTest, WordWithoutNewlineOrWithWhiteSpaceIsRead) {
    sandbox.writeDeviceFile("/var/lib/updater/status", "  ANALYZING");
    EXPECT_TRUE(reachedUpdate(runUpdater({})));
    sandbox.writeDeviceFile("/var/lib/updater/status", "\n\tTESTING trailing words\n");
    EXPECT_TRUE(reachedUpdate(runUpdater({})));
}

TEST_F(StatusAtStartTest, InterruptedUpdateMarksTheSystemCorruptedAndRefusesForGood) {
    sandbox.setStatus("UPDATING");
    SandboxResult first = runUpdater({});
    EXPECT_TRUE(first.exited && first.exitCode == 2) << first;
    EXPECT_TRUE(
        linesInOrder(first.errLines(),
                     {"FATAL: a previous update was interrupted; SYSTEM MAY BE CORRUPTED! Aborting", kExitFatalLine}));
    EXPECT_EQ(sandbox.status(), "CORRUPTED\n");
    EXPECT_EQ(sandbox.updateState(), "CORRUPTED\n");
    EXPECT_TRUE(sandbox.fakeCalls("hook").empty());
    EXPECT_FALSE(first.hasErrLine(kNoRepositoryDataLine)) << first;

    SandboxResult second = runUpdater({});
    EXPECT_TRUE(second.exited && second.exitCode == 2) << second;
    EXPECT_TRUE(linesInOrder(second.errLines(), {"FATAL: system is corrupted cannot update", kExitFatalLine}));
    EXPECT_EQ(sandbox.status(), "CORRUPTED\n");
    EXPECT_EQ(sandbox.updateState(), "CORRUPTED\n");
    EXPECT_TRUE(sandbox.fakeCalls("hook").empty());
}

TEST_F(StatusAtStartTest, RebootingRefusesTheRunAndKeepsTheStatus) {
    sandbox.setStatus("REBOOTING");
    SandboxResult result = runUpdater({});
    EXPECT_TRUE(result.exited && result.exitCode == 1) << result;
    EXPECT_TRUE(
        linesInOrder(result.errLines(), {"INFO: machine is rebooting after update, cannot start", kExitErrorLine}));
    EXPECT_EQ(sandbox.status(), "REBOOTING\n");
    EXPECT_TRUE(sandbox.fakeCalls("hook").empty());
    EXPECT_TRUE(sandbox.fakeCalls("shutdown").empty());
}

// ---- the "init" hook -----------------------------------------------------------------------

class InitHookTest : public UpdaterSystemTest {};

TEST_F(InitHookTest, FailingHookEndsTheRunWithAnError) {
    sandbox.setFakeExit("hook", 3);
    sandbox.setStatus("ANALYZING");
    SandboxResult result = runUpdater({});
    EXPECT_TRUE(result.exited && result.exitCode == 1) << result;
    EXPECT_TRUE(linesInOrder(result.errLines(),
                             {"INFO: running init hook", "ERROR: hook failed (exit code 3)", kExitErrorLine}));
    EXPECT_FALSE(result.hasErrLine(kNoRepositoryDataLine)) << result;
    EXPECT_EQ(sandbox.fakeCalls("hook"), (Calls{{"init", kUpdaterVersion}}));
    EXPECT_EQ(sandbox.status(), "READY\n");
}

TEST_F(InitHookTest, MissingHookCountsAsAFailureWithCodeOne) {
    sandbox.removeDeviceFile("/usr/lib/updater/hook");
    SandboxResult result = runUpdater({});
    EXPECT_TRUE(result.exited && result.exitCode == 1) << result;
    EXPECT_TRUE(result.hasErrLine("ERROR: hook failed (exit code 1)")) << result;
    EXPECT_FALSE(result.hasErrLine(kNoRepositoryDataLine)) << result;
    EXPECT_EQ(sandbox.status(), "READY\n");
}

TEST_F(InitHookTest, HookKilledBySignalIsAnInterruption) {
    sandbox.installScript("/usr/lib/updater/hook", "kill -KILL $$\n");
    SandboxResult result = runUpdater({});
    EXPECT_TRUE(result.exited && result.exitCode == 1) << result;
    EXPECT_TRUE(result.hasErrLine("ERROR: hook was interrupted")) << result;
    EXPECT_FALSE(result.hasErrLine(kNoRepositoryDataLine)) << result;
    EXPECT_EQ(sandbox.status(), "READY\n");
}

TEST_F(InitHookTest, HookOutputIsLoggedLineByLine) {
    sandbox.installScript("/usr/lib/updater/hook", "echo \"hook says $1 $2\"\necho\necho 'on stderr' >&2\n");
    SandboxResult result = runUpdater({});
    EXPECT_TRUE(reachedUpdate(result));
    EXPECT_TRUE(linesInOrder(result.errLines(), {"INFO: running init hook", "INFO: /usr/lib/updater/hook output:",
                                                 "INFO:   hook says init 1.10", "INFO:   on stderr",
                                                 repositoryLine("main", DeviceSandbox::localRepositoryUrl())}));
    EXPECT_EQ(result.countErrLines("INFO:   "), 0) << result;
}

TEST_F(InitHookTest, HookDoesNotInheritTheLockDescriptor) {
    sandbox.installScript("/usr/lib/updater/hook",
                          "for fd in /proc/$$/fd/*; do readlink \"$fd\"; done >/var/lib/sandbox-fakes/hook-fds\n"
                          "exit 0\n");
    SandboxResult result = runUpdater({});
    EXPECT_TRUE(reachedUpdate(result));
    std::string descriptors = sandbox.readDeviceFile("/var/lib/sandbox-fakes/hook-fds");
    EXPECT_FALSE(descriptors.empty());
    EXPECT_EQ(descriptors.find("/lock/updater"), std::string::npos) << descriptors;
}

// ---- quiet runs and logging ----------------------------------------------------------------

class LoggingTest : public UpdaterSystemTest {};

TEST_F(LoggingTest, QuietRunPrintsNoStartUpInformation) {
    SandboxResult result = runUpdater({"--quiet"});
    EXPECT_TRUE(reachedUpdate(result));
    // The hook runner announces the hook whatever the options; nothing else informs.
    for (const std::string& line : linesOfLevel(result, "INFO")) EXPECT_EQ(line, "INFO: running init hook") << result;
    EXPECT_FALSE(result.hasErrLine(kExitErrorLine)) << result;
    EXPECT_FALSE(result.hasErrLine(kBannerLine)) << result;
    EXPECT_FALSE(result.hasErrLine(modeLine("update"))) << result;
}

TEST_F(LoggingTest, QuietRefusalPrintsTheErrorButNoExitLine) {
    sandbox.writeDeviceFile("/var/run/updater.norun", "");
    SandboxResult result = runUpdater({"-q"});
    EXPECT_TRUE(result.exited && result.exitCode == 1) << result;
    EXPECT_EQ(result.errLines(), Lines{"ERROR: running is disabled by \"no run\" file '/var/run/updater.norun'"})
        << result;
}

TEST_F(LoggingTest, LogToFileIsAppendedAndFollowsTheGlobalThreshold) {
    sandbox.removeDeviceFile("/usr/share/resources/default/updater/defaults.conf");
    sandbox.writeDeviceFile("/var/log/sandbox/trace.log", "line of an earlier run\n");
    SandboxResult first = runUpdater({"--log-to", "/var/log/sandbox/trace.log", "--log-level", "debug"});
    EXPECT_TRUE(reachedUpdate(first));
    std::string afterFirst = sandbox.readDeviceFile("/var/log/sandbox/trace.log");

    SandboxResult second = runUpdater({"--log-to", "/var/log/sandbox/trace.log"});
    EXPECT_TRUE(reachedUpdate(second));
    std::string afterSecond = sandbox.readDeviceFile("/var/log/sandbox/trace.log");

    ASSERT_EQ(afterFirst.rfind("line of an earlier run\n", 0), 0u) << afterFirst;
    ASSERT_EQ(afterSecond.rfind(afterFirst, 0), 0u) << "the second run must append:\n" << afterSecond;
    Lines firstLines = splitLines(afterFirst.substr(std::string("line of an earlier run\n").size()));
    Lines secondLines = splitLines(afterSecond.substr(afterFirst.size()));

    // Every line is "LEVELWORD: message".
    for (const Lines* lines : {&firstLines, &secondLines})
        for (const std::string& line : *lines)
            EXPECT_TRUE(line.rfind("TRACE: ", 0) == 0 || line.rfind("DEBUG: ", 0) == 0 ||
                        line.rfind("INFO: ", 0) == 0 || line.rfind("WARNING: ", 0) == 0 ||
                        line.rfind("ERROR: ", 0) == 0 || line.rfind("FATAL: ", 0) == 0)
                << line;

    // At debug level the file gets the configuration reading and the rest of the run.
    EXPECT_TRUE(
        linesInOrder(firstLines, {"DEBUG: missing or incorrect defaults file "
                                  "'/usr/share/resources/default/updater/defaults.conf'",
                                  "DEBUG: initialized OK", kBannerLine, kNoRepositoryDataLine, kExitErrorLine}));
    // The same lines as standard error, which has the same threshold here.
    EXPECT_EQ(firstLines, first.errLines());
    // At the default level nothing below info.
    EXPECT_EQ(secondLines, second.errLines());
    for (const std::string& line : secondLines) EXPECT_NE(line.rfind("DEBUG: ", 0), 0u) << line;
}

TEST_F(LoggingTest, LastLogHoldsTheLastRunFromTheLockOnAtInfoLevel) {
    sandbox.writeDeviceFile("/var/log/updater/lastlog", "stale content of an older run\n");
    SandboxResult first = runUpdater({"--log-level", "debug"});
    EXPECT_TRUE(reachedUpdate(first));
    SandboxResult second = runUpdater({"--log-level", "debug", "--repo-url", "nosuch:file:///x"});
    EXPECT_TRUE(reachedUpdate(second));

    Lines lastlog = splitLines(sandbox.readDeviceFile("/var/log/updater/lastlog"));
    // Only the second run, from the banner on, without the debug lines standard error shows.
    Lines expected;
    bool started = false;
    for (const std::string& line : second.errLines()) {
        if (line == kBannerLine) started = true;
        if (started && line.rfind("DEBUG: ", 0) != 0 && line.rfind("TRACE: ", 0) != 0) expected.push_back(line);
    }
    ASSERT_FALSE(expected.empty()) << second;
    EXPECT_EQ(lastlog, expected);
    EXPECT_TRUE(linesOfLevel(second, "DEBUG").size() > 0) << second;
    // The warning of the second run came before the lock and is not in it.
    EXPECT_TRUE(second.hasErrLine("WARNING: ignoring URL override for non-existing repo 'nosuch'")) << second;
}

TEST_F(LoggingTest, LogLevelErrorShowsOnlyErrors) {
    SandboxResult result = runUpdater({"--log-level", "error"});
    EXPECT_TRUE(reachedUpdate(result));
    EXPECT_EQ(result.errLines(), emptyRepositoryErrorLines()) << result;
    // The last-run log keeps its own info threshold only below the global one.
    EXPECT_EQ(splitLines(sandbox.readDeviceFile("/var/log/updater/lastlog")), emptyRepositoryErrorLines());
}

TEST_F(LoggingTest, UnknownLogLevelFallsBackToInfo) {
    SandboxResult result = runUpdater({"--log-level", "loud"});
    EXPECT_TRUE(reachedUpdate(result));
    EXPECT_TRUE(result.hasErrLine("ERROR: unrecognized logger level 'loud' using 'info'")) << result;
    EXPECT_TRUE(result.hasErrLine(kBannerLine)) << result;
    EXPECT_TRUE(linesOfLevel(result, "DEBUG").empty()) << result;
}

TEST_F(LoggingTest, ConfigurationWithoutAnyOutputEnablesStandardError) {
    sandbox.writeConfig("<updater>\n" + DeviceSandbox::repositoryXml("main", DeviceSandbox::localRepositoryUrl()) +
                        "</updater>\n");
    SandboxResult result = runUpdater({});
    EXPECT_TRUE(reachedUpdate(result));
    EXPECT_TRUE(result.hasErrLine("ERROR: no log output! enabling stderr")) << result;
    EXPECT_TRUE(result.hasErrLine(kBannerLine)) << result;
}

// ---- options and configuration files -------------------------------------------------------

class OptionsTest : public UpdaterSystemTest {
protected:
    // Refused by the option parser: an error exit with a message naming the faulty option or
    // value, and nothing of the device touched.
    void expectRejectedOption(const SandboxResult& result, const std::string& faulty) {
        EXPECT_TRUE(result.exited && result.exitCode == 1) << result;
        EXPECT_TRUE(result.errContains(faulty)) << result;
        EXPECT_FALSE(sandbox.deviceFileExists("/var/lock/updater"));
        EXPECT_FALSE(sandbox.deviceFileExists("/var/lib/updater/status"));
        EXPECT_TRUE(sandbox.fakeCalls("hook").empty());
    }
};

TEST_F(OptionsTest, MalformedNumberIsRejected) {
    expectRejectedOption(sandbox.run({"--max-wait-time", "abc"}), "abc");
    expectRejectedOption(sandbox.run({"--lock-timeout=12x"}), "12x");
}

TEST_F(OptionsTest, UnknownOptionIsRejected) {
    expectRejectedOption(sandbox.run({"--no-such-option"}), "no-such-option");
}

TEST_F(OptionsTest, MissingArgumentIsRejected) {
    expectRejectedOption(sandbox.run({"--repo"}), "repo");
}

TEST_F(OptionsTest, HelpListsEveryOption) {
    SandboxResult result = sandbox.run({"--help"});
    EXPECT_TRUE(result.exited && result.exitCode == 0) << result;
    // The help texts are wrapped: compare with every run of white space made one blank.
    std::string help;
    for (char c : result.out) {
        bool blank = c == ' ' || c == '\n' || c == '\t';
        if (!blank)
            help += c;
        else if (!help.empty() && help.back() != ' ')
            help += ' ';
    }
    for (const char* option : {"--quiet",
                               "--log-level",
                               "--repo",
                               "--repo-url",
                               "--log-to-stderr",
                               "--log-to",
                               "--check-only",
                               "--test",
                               "--no-sig-check",
                               "--no-pkg-sig-check",
                               "--no-md-sig-check",
                               "--ignore-recommends",
                               "--no-reboot",
                               "--background",
                               "--cache-only",
                               "--no-cache-clean",
                               "--check-db-headers",
                               "--max-wait-time",
                               "--lock-timeout",
                               "--cache-dir",
                               "--conf-file",
                               "--help",
                               "--usage"})
        EXPECT_NE(help.find(option), std::string::npos) << option << "\n" << result;
    for (const char* text :
         {"Do not output messages if nothing to be done.", "Override the URL for a specific repository ID.",
          "Background and detach process after initialization.",
          "Specify a configuration file other than the default '/etc/updater.conf'.", "Help options:", "repo-id:url"})
        EXPECT_NE(help.find(text), std::string::npos) << text << "\n" << result;
    EXPECT_FALSE(sandbox.deviceFileExists("/var/lock/updater"));
}

TEST_F(OptionsTest, RandomBytesAsConfigurationAreRefused) {
    std::mt19937 generator(20240601);
    std::string noise(1 << 20, '\0');
    for (char& byte : noise) byte = static_cast<char>(generator() & 0xff);
    sandbox.writeConfig(noise);
    SandboxResult result = runUpdater({});
    SandboxResult shown = result;
    shown.err = shown.err.substr(0, 4000);  // a parser may have printed much of the noise
    EXPECT_TRUE(result.exited && result.exitCode == 1) << shown;
    EXPECT_TRUE(result.hasErrLine("ERROR: failed parsing configuration file '/etc/updater.conf'")) << shown;
    EXPECT_FALSE(result.hasErrLine(kExitErrorLine));
    EXPECT_FALSE(sandbox.deviceFileExists("/var/lock/updater"));
}

TEST_F(OptionsTest, MissingConfigurationIsRefused) {
    sandbox.removeDeviceFile("/etc/updater.conf");
    SandboxResult result = runUpdater({});
    EXPECT_TRUE(result.exited && result.exitCode == 1) << result;
    EXPECT_TRUE(linesInOrder(result.errLines(), {"ERROR: could not open configuration file '/etc/updater.conf'",
                                                 "ERROR: failed parsing configuration file '/etc/updater.conf'"}));
    EXPECT_FALSE(result.hasErrLine(kExitErrorLine)) << result;
}

TEST_F(OptionsTest, ConfFileOptionReadsAnotherFile) {
    sandbox.removeDeviceFile("/etc/updater.conf");
    sandbox.makeDeviceDir("/var/lib/other-repo");
    sandbox.writeDeviceFile("/etc/updater-alt.conf", DeviceSandbox::configXml(DeviceSandbox::repositoryXml(
                                                         "alt", "file:///var/lib/other-repo/")));
    SandboxResult result = runUpdater({"--conf-file", "/etc/updater-alt.conf"});
    EXPECT_TRUE(reachedUpdate(result));
    EXPECT_TRUE(result.hasErrLine(repositoryLine("alt", "file:///var/lib/other-repo/"))) << result;

    SandboxResult bad = runUpdater({"--conf-file", "/etc/absent.conf"});
    EXPECT_TRUE(bad.exited && bad.exitCode == 1) << bad;
    EXPECT_TRUE(bad.hasErrLine("ERROR: failed parsing configuration file '/etc/absent.conf'")) << bad;
}

TEST_F(OptionsTest, DefaultsFileRepositoryIsUsed) {
    sandbox.writeDeviceFile(
        "/usr/share/resources/default/updater/defaults.conf",
        DeviceSandbox::configXml(DeviceSandbox::repositoryXml("main", "file:///var/lib/default-repo/")));
    sandbox.makeDeviceDir("/var/lib/default-repo");
    sandbox.writeConfig(DeviceSandbox::configXml(""));
    SandboxResult result = runUpdater({});
    EXPECT_TRUE(reachedUpdate(result));
    EXPECT_TRUE(result.hasErrLine(repositoryLine("main", "file:///var/lib/default-repo/"))) << result;
}

TEST_F(OptionsTest, NegativeMaxWaitTimeMeansNoWaitEvenForARemoteRepository) {
    sandbox.writeConfig(DeviceSandbox::configXml(DeviceSandbox::repositoryXml("main", kUnreachableUrl)));
    SandboxResult result = sandbox.run({"--max-wait-time", "-5"});
    EXPECT_TRUE(reachedUpdate(result));
    EXPECT_TRUE(result.errLinesStartingWith("INFO: waiting ").empty()) << result;
    EXPECT_EQ(sandbox.status(), "READY\n");
}

TEST_F(OptionsTest, CacheOnlyNeverWaits) {
    sandbox.writeConfig(DeviceSandbox::configXml(DeviceSandbox::repositoryXml("main", kUnreachableUrl)));
    SandboxResult result = sandbox.run({"--cache-only", "--max-wait-time", "100000"});
    EXPECT_TRUE(reachedUpdate(result));
    EXPECT_TRUE(result.errLinesStartingWith("INFO: waiting ").empty()) << result;
}

TEST_F(OptionsTest, LocalRepositoryNeverWaits) {
    SandboxResult result = sandbox.run({"--max-wait-time", "100000"});
    EXPECT_TRUE(reachedUpdate(result));
    EXPECT_TRUE(result.errLinesStartingWith("INFO: waiting ").empty()) << result;
}

TEST_F(StartupTest, ExternalPackagesFileIsLoadedWhenPresent) {
    const std::string path = "/var/run/updater/external.xml";
    SandboxResult absent = runUpdater({});
    ASSERT_TRUE(reachedUpdate(absent));
    EXPECT_FALSE(absent.errContains("external packages")) << absent;

    sandbox.writeDeviceFile(path,
                            "<metadata xmlns=\"http://linux.duke.edu/metadata/common\">"
                            "<package type=\"rpm\"><name>vendor-tool</name><arch>noarch</arch>"
                            "<version epoch=\"0\" ver=\"1.0\" rel=\"1\"/><checksum type=\"sha256\">00</checksum>"
                            "<location href=\"vendor-tool.rpm\"/></package></metadata>");
    SandboxResult loaded = runUpdater({});
    ASSERT_TRUE(reachedUpdate(loaded));
    EXPECT_TRUE(loaded.hasErrLine("INFO: loaded external packages from " + path)) << loaded;

    sandbox.writeDeviceFile(path, "<metadata xmlns=\"http://linux.duke.edu/metadata/common\"><package");
    SandboxResult broken = runUpdater({});
    ASSERT_TRUE(reachedUpdate(broken));
    EXPECT_TRUE(broken.hasErrLine("WARNING: failed to load external packages from " + path)) << broken;
}

}  // namespace
}  // namespace system_test
