// Start-up pieces that a black box cannot reach: a lock file that cannot be created, a
// random source that fails, and the reboot sequence (not reachable before an update).
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "base/logger.h"
#include "driver/instance_lock.h"
#include "driver/reboot.h"
#include "driver/run_result.h"
#include "driver/status_file.h"
#include "log_capture.h"
#include "temp_dir.h"

namespace {

class StartupPiecesTest : public ::testing::Test {
protected:
    std::string log() const { return m_log.text(); }
    StatusPaths statusPaths() {
        m_statusFile = m_dir / "status";
        m_stateFile = m_dir / "update-state";
        StatusPaths where;
        where.statusFile = m_statusFile.c_str();
        where.updateStateFile = m_stateFile.c_str();
        return where;
    }

    LogCapture m_log;
    TempDir m_dir;
    std::string m_statusFile, m_stateFile;
};

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
