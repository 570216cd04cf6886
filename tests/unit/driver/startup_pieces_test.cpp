// The start-up's own decisions that a black box cannot reach: the os-release veto parsing,
// the hook results, the instance lock between processes, the random wait and the reboot.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "config/logger.h"
#include "driver/hook.h"
#include "driver/instance_lock.h"
#include "driver/reboot.h"
#include "driver/run_result.h"
#include "driver/status_file.h"
#include "driver/update_veto.h"
#include "temp_dir.h"

namespace {

class StartupPiecesTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(Logger::instance().addFile(m_dir / "log", LogLevel::Trace, false)); }
    void TearDown() override { Logger::instance().reset(); }
    std::string log() const { return readFile(m_dir / "log"); }
    StatusPaths statusPaths() {
        m_statusFile = m_dir / "status";
        m_stateFile = m_dir / "update-state";
        StatusPaths where;
        where.statusFile = m_statusFile.c_str();
        where.updateStateFile = m_stateFile.c_str();
        return where;
    }

    TempDir m_dir;
    std::string m_statusFile, m_stateFile;
};

TEST(UpdateVetoValue, QuotesEscapesAndBlanks) {
    EXPECT_EQ(unquoteVetoValue("\"maintenance window\"\n"), "maintenance window");
    EXPECT_EQ(unquoteVetoValue("'single'  \t\n"), "single");
    EXPECT_EQ(unquoteVetoValue("plain text"), "plain text");
    // The first and last characters go whatever the last one is.
    EXPECT_EQ(unquoteVetoValue("\"unbalanced"), "unbalance");
    EXPECT_EQ(unquoteVetoValue("\""), "");
    EXPECT_EQ(unquoteVetoValue("a\\\"b\\\\c"), "a\"b\\c");
    EXPECT_EQ(unquoteVetoValue("ends with \\"), "ends with ");
    EXPECT_EQ(unquoteVetoValue("\n"), "");
}

TEST_F(StartupPiecesTest, VetoReadsLastLineAndFallsBackOnlyWhenMissing) {
    std::string primary = m_dir / "os-release", fallback = m_dir / "usr-os-release";
    std::string reason;
    EXPECT_FALSE(readUpdateVeto(reason, primary.c_str(), fallback.c_str()));

    writeFile(fallback, "NAME=x\nTAV_NO_UPDATE=\"from fallback\"\n");
    ASSERT_TRUE(readUpdateVeto(reason, primary.c_str(), fallback.c_str()));
    EXPECT_EQ(reason, "from fallback");

    // An existing primary file hides the fallback, veto or not.
    writeFile(primary, "NAME=device\n");
    EXPECT_FALSE(readUpdateVeto(reason, primary.c_str(), fallback.c_str()));

    writeFile(primary, "TAV_NO_UPDATE=first\nID=x\nTAV_NO_UPDATE=\n");
    ASSERT_TRUE(readUpdateVeto(reason, primary.c_str(), fallback.c_str()));
    EXPECT_EQ(reason, "");

    // Only the start of a line carries the key, however long the line before it.
    std::string longLine(10000, 'x');
    writeFile(primary, "PRETTY=" + longLine.substr(0, 248) + "TAV_NO_UPDATE=no\n" + longLine + "\n");
    EXPECT_FALSE(readUpdateVeto(reason, primary.c_str(), fallback.c_str()));
}

TEST_F(StartupPiecesTest, HookResults) {
    std::string hook = m_dir / "hook";
    writeFile(hook, "#!/bin/sh\necho \"args: $*\"\nexit 0\n", 0755);
    std::string count = "3";
    EXPECT_EQ(runHook("update", &count, hook.c_str()), RUN_OK);
    EXPECT_NE(log().find("INFO: running update hook"), std::string::npos);
    EXPECT_NE(log().find("INFO:   args: update 1.10 3"), std::string::npos);

    writeFile(hook, "#!/bin/sh\nexit 4\n", 0755);
    EXPECT_EQ(runHook("init", nullptr, hook.c_str()), RUN_RETRY_UPDATER);
    EXPECT_NE(log().find("ERROR: hook failed (exit code 4)"), std::string::npos);

    writeFile(hook, "#!/bin/sh\nkill -9 $$\n", 0755);
    EXPECT_EQ(runHook("init", nullptr, hook.c_str()), RUN_ERROR);
    EXPECT_NE(log().find("ERROR: hook was interrupted"), std::string::npos);

    // A missing hook cannot be executed by the child, which then exits with code 1.
    EXPECT_EQ(runHook("init", nullptr, (m_dir / "missing").c_str()), RUN_RETRY_UPDATER);
    EXPECT_NE(log().find("ERROR: hook failed (exit code 1)"), std::string::npos);
}

TEST_F(StartupPiecesTest, LockIsExclusiveAndNamesItsHolder) {
    std::string lockPath = m_dir / "updater";
    writeFile(lockPath, "stale content from a dead process\n");

    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        UniqueFd lock;
        bool got = acquireInstanceLock(0, lock, lockPath.c_str());
        char answer = got ? 'y' : 'n';
        (void)!write(ready[1], &answer, 1);
        pause();
        _exit(0);
    }
    char answer = 0;
    ASSERT_EQ(read(ready[0], &answer, 1), 1);
    ASSERT_EQ(answer, 'y');
    char expected[32];
    snprintf(expected, sizeof expected, "%10i\n", static_cast<int>(holder));
    EXPECT_EQ(readFile(lockPath), expected);

    UniqueFd lock;
    EXPECT_FALSE(acquireInstanceLock(1, lock, lockPath.c_str()));
    EXPECT_FALSE(lock.valid());
    std::string text = log();
    EXPECT_NE(text.find("INFO: cache lock held by another instance, will timeout in 1 secs"), std::string::npos);
    EXPECT_NE(text.find("ERROR: failed acquiring lock file '" + lockPath + "' ("), std::string::npos);

    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    close(ready[0]);
    close(ready[1]);

    // The record lock died with its holder: taken at once, the file rewritten.
    ASSERT_TRUE(acquireInstanceLock(0, lock, lockPath.c_str()));
    snprintf(expected, sizeof expected, "%10i\n", static_cast<int>(getpid()));
    EXPECT_EQ(readFile(lockPath), expected);
    EXPECT_TRUE(fcntl(lock.get(), F_GETFD) & FD_CLOEXEC);
}

TEST_F(StartupPiecesTest, LockFileThatCannotBeCreated) {
    UniqueFd lock;
    std::string path = m_dir / "no-such-dir/updater";
    EXPECT_FALSE(acquireInstanceLock(5, lock, path.c_str()));
    EXPECT_NE(log().find("ERROR: failed creating lock file '" + path + "' (No such file or directory)."),
              std::string::npos);
}

TEST_F(StartupPiecesTest, RandomWaitNeedsRandomData) {
    StatusPaths where = statusPaths();
    std::string source = m_dir / "random";
    writeFile(source, "ab");  // too short for a seed
    EXPECT_FALSE(randomWait(10, source.c_str(), where));
    EXPECT_NE(log().find("ERROR: could not gather random data"), std::string::npos);
    EXPECT_FALSE(randomWait(10, (m_dir / "missing").c_str(), where));

    // With a 1-second maximum any draw below rand()'s maximum waits 0 seconds.
    writeFile(source, std::string("\0\0\0\0", 4));
    ASSERT_TRUE(randomWait(1, source.c_str(), where));
    EXPECT_EQ(readFile(m_statusFile), "DELAYING\n");
    EXPECT_NE(log().find("INFO: waiting "), std::string::npos);
}

TEST_F(StartupPiecesTest, RebootRunsTelinitThenShutdownAndRecordsRebooting) {
    StatusPaths where = statusPaths();
    std::string bin = m_dir / "bin";
    std::string record = m_dir / "calls";
    for (const char* name : {"telinit", "shutdown"})
        writeFile(bin + "/" + name,
                  std::string("#!/bin/sh\necho \"${0##*/} $*\" >> ") + record + "\nexit ${FAKE_EXIT:-0}\n", 0755);
    const char* oldPath = getenv("PATH");
    std::string savedPath = oldPath ? oldPath : "";
    // Only the fakes can be found: the real programs are never reachable from here.
    setenv("PATH", bin.c_str(), 1);

    EXPECT_EQ(runRebootSequence(where), RUN_OK);
    EXPECT_EQ(readFile(m_statusFile), "REBOOTING\n");
    // shutdown runs in the background: wait for its record.
    for (int i = 0; i < 200 && readFile(record).find("shutdown") == std::string::npos; ++i) usleep(10000);
    EXPECT_EQ(readFile(record), "telinit u\nshutdown -r +1 rebooting after upgrade\n");

    setenv("FAKE_EXIT", "3", 1);
    EXPECT_EQ(runRebootSequence(where), RUN_OK);
    EXPECT_NE(log().find("WARNING: failed re-execing init (exit code 3)"), std::string::npos);
    unsetenv("FAKE_EXIT");

    setenv("PATH", savedPath.c_str(), 1);
}

}  // namespace
