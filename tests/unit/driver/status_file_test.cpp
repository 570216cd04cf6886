// The status and update-state files: reading rules, atomic and durable replacement,
// the start-up refusals and the update-state cache.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "base/logger.h"
#include "driver/status_file.h"
#include "log_capture.h"
#include "temp_dir.h"

namespace {

class StatusFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        resetCachedUpdateState();
        m_where.statusFile = m_status.c_str();
        m_where.updateStateFile = m_state.c_str();
    }
    void TearDown() override { resetCachedUpdateState(); }
    bool logged(const std::string& line) const { return m_log.has(line); }
    std::set<std::string> dirEntries() const {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(m_dir.path()))
            names.insert(entry.path().filename().string());
        return names;
    }
    bool loadsAs(const std::string& content, UpdateStatus expected) {
        writeFile(m_status, content);
        UpdateStatus status = STATUS_REBOOTING;
        return loadStatus(status, m_where) && status == expected;
    }
    bool refuses(const std::string& content) {
        writeFile(m_status, content);
        UpdateStatus status;
        return !loadStatus(status, m_where);
    }

    LogCapture m_log;
    TempDir m_dir;
    std::string m_status = m_dir / "status", m_state = m_dir / "update-state";
    StatusPaths m_where;
};

TEST_F(StatusFileTest, ReadingRules) {
    UpdateStatus status = STATUS_REBOOTING;
    ASSERT_TRUE(loadStatus(status, m_where));
    EXPECT_EQ(status, STATUS_READY);

    EXPECT_TRUE(loadsAs(" \n\tPKGSDONE trailing words", STATUS_PKGSDONE));
    EXPECT_TRUE(refuses("ready\n"));
    EXPECT_TRUE(logged("ERROR: unknown status 'ready'"));
    EXPECT_TRUE(refuses(""));
    EXPECT_TRUE(refuses(" \n \n"));
    EXPECT_TRUE(logged("DEBUG: failed reading from status file"));

    std::string longWord(31, 'A');
    EXPECT_TRUE(refuses(longWord + "BCDEF\n"));
    EXPECT_TRUE(logged("ERROR: unknown status '" + longWord + "'"));

    EXPECT_TRUE(refuses(std::string("\x01\xff\x00\x00READY\x80\x7f", 11) + std::string(5000, '\xee')));
}

TEST_F(StatusFileTest, SaveReplacesTheFileWithOneLine) {
    for (int value = STATUS_READY; value <= STATUS_REBOOTING; ++value) {
        SCOPED_TRACE(value);
        auto status = static_cast<UpdateStatus>(value);
        ASSERT_TRUE(saveStatus(status, value % 2 == 0, m_where));
        EXPECT_EQ(readFile(m_status), std::string(statusName(status)) + "\n");
        EXPECT_TRUE(loadsAs(readFile(m_status), status));
        struct stat st;
        ASSERT_EQ(stat(m_status.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0644u);
    }
    EXPECT_TRUE(logged("TRACE: synced status dir"));
    // CORRUPTED was among them and carried the update state along.
    EXPECT_EQ(dirEntries(), (std::set<std::string>{"status", "update-state"}));
    EXPECT_EQ(readFile(m_state), "CORRUPTED\n");

    EXPECT_FALSE(saveStatus(static_cast<UpdateStatus>(9), false, m_where));
    EXPECT_FALSE(saveStatus(static_cast<UpdateStatus>(-1), true, m_where));
    EXPECT_TRUE(logged("ERROR: invalid status value 9"));
    EXPECT_TRUE(logged("ERROR: invalid status value -1"));
    EXPECT_EQ(readFile(m_status), "REBOOTING\n");
}

TEST_F(StatusFileTest, FailedSaveLeavesNoTemporaryFile) {
    // A directory in the status file's place makes the final rename fail.
    makeDirs(m_status + "/occupied");
    EXPECT_FALSE(saveStatus(STATUS_CORRUPTED, true, m_where));
    EXPECT_TRUE(logged("DEBUG: failed saving status: Is a directory"));
    EXPECT_EQ(dirEntries(), (std::set<std::string>{"status", "update-state"}));
    EXPECT_EQ(readFile(m_state), "CORRUPTED\n");

    // Without a temporary file nothing else happens, not even the update state.
    resetCachedUpdateState();
    std::string missing = m_dir / "missing/status";
    std::string otherState = m_dir / "other-state";
    StatusPaths nowhere{missing.c_str(), otherState.c_str()};
    EXPECT_FALSE(saveStatus(STATUS_CORRUPTED, false, nowhere));
    EXPECT_TRUE(logged("DEBUG: failed creating status temporary file: No such file or directory"));
    EXPECT_FALSE(fileExists(otherState));
}

TEST_F(StatusFileTest, StartIsRefusedAfterAnInterruptedUpdate) {
    RunResult result = RUN_OK;
    for (UpdateStatus status :
         {STATUS_READY, STATUS_DELAYING, STATUS_ANALYZING, STATUS_DOWNLOADING, STATUS_TESTING, STATUS_PKGSDONE})
        EXPECT_TRUE(checkStatusAtStart(status, result, m_where)) << status;

    EXPECT_FALSE(checkStatusAtStart(STATUS_REBOOTING, result, m_where));
    EXPECT_EQ(result, RUN_ERROR);
    EXPECT_TRUE(logged("INFO: machine is rebooting after update, cannot start"));

    EXPECT_FALSE(checkStatusAtStart(STATUS_UPDATING, result, m_where));
    EXPECT_EQ(result, RUN_FATAL);
    EXPECT_TRUE(logged("FATAL: a previous update was interrupted; SYSTEM MAY BE CORRUPTED! Aborting"));
    EXPECT_EQ(readFile(m_status), "CORRUPTED\n");
    EXPECT_EQ(readFile(m_state), "CORRUPTED\n");

    UpdateStatus status;
    ASSERT_TRUE(loadStatus(status, m_where));
    result = RUN_OK;
    EXPECT_FALSE(checkStatusAtStart(status, result, m_where));
    EXPECT_EQ(result, RUN_FATAL);
    EXPECT_TRUE(logged("FATAL: system is corrupted cannot update"));
}

TEST_F(StatusFileTest, UpdateStateIsWrittenOnlyWhenItChanges) {
    EXPECT_EQ(loadUpdateState(m_where), STATE_NONE);
    EXPECT_FALSE(saveUpdateState(STATE_NONE, m_where));
    EXPECT_TRUE(logged("WARNING: ignoring request to save NONE as update state"));
    EXPECT_FALSE(fileExists(m_state));

    EXPECT_TRUE(saveUpdateState(STATE_PENDING, m_where));
    EXPECT_EQ(readFile(m_state), "PENDING\n");
    writeFile(m_state, "changed behind our back\n");
    EXPECT_TRUE(saveUpdateState(STATE_PENDING, m_where));
    EXPECT_EQ(readFile(m_state), "changed behind our back\n");
    EXPECT_TRUE(saveUpdateState(STATE_COMPLETE, m_where));
    EXPECT_EQ(readFile(m_state), "COMPLETE\n");

    // Reading caches too; an unknown word clears the cache.
    writeFile(m_state, "AVAILABLE\nkept");
    EXPECT_EQ(loadUpdateState(m_where), STATE_AVAILABLE);
    EXPECT_TRUE(saveUpdateState(STATE_AVAILABLE, m_where));
    EXPECT_EQ(readFile(m_state), "AVAILABLE\nkept");
    writeFile(m_state, "COMPLETED\n");
    EXPECT_EQ(loadUpdateState(m_where), STATE_NONE);
    EXPECT_TRUE(logged("WARNING: unknown update state 'COMPLETED'"));
    EXPECT_TRUE(saveUpdateState(STATE_AVAILABLE, m_where));
    EXPECT_EQ(readFile(m_state), "AVAILABLE\n");

    std::string missing = m_dir / "missing/update-state";
    StatusPaths nowhere{m_status.c_str(), missing.c_str()};
    EXPECT_FALSE(saveUpdateState(STATE_PENDING, nowhere));
    EXPECT_TRUE(logged("WARNING: failed writing to update state file: No such file or directory"));
    EXPECT_TRUE(saveUpdateState(STATE_PENDING, m_where));  // the failure did not update the cache
    EXPECT_EQ(readFile(m_state), "PENDING\n");
    EXPECT_EQ(dirEntries(), (std::set<std::string>{"update-state"}));
}

// A writer killed at random moments, mostly between mkstemp and rename, since the fsync
// dominates: the status file always holds one complete word.
TEST_F(StatusFileTest, KilledWriterLeavesOldOrNewContent) {
    ASSERT_TRUE(saveStatus(STATUS_ANALYZING, false, m_where));
    std::mt19937 random(std::random_device{}());
    int leftovers = 0;
    for (int round = 0; round < 40 || (leftovers == 0 && round < 1000); ++round) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            Logger::instance().reset();
            Logger::instance().setStderr(false);
            for (unsigned n = 0;; ++n) (void)saveStatus(n % 2 ? STATUS_DOWNLOADING : STATUS_ANALYZING, false, m_where);
        }
        usleep(random() % 4000);
        kill(pid, SIGKILL);
        ASSERT_EQ(waitpid(pid, nullptr, 0), pid);

        std::string content = readFile(m_status);
        ASSERT_TRUE(content == "ANALYZING\n" || content == "DOWNLOADING\n") << "'" << content << "'";
        for (const std::string& name : dirEntries()) {
            if (name == "status") continue;
            ASSERT_EQ(name.size(), std::string("status.XXXXXX").size()) << name;
            ASSERT_EQ(name.compare(0, 7, "status."), 0) << name;
            ++leftovers;
            unlink((m_dir / name).c_str());
        }
    }
    EXPECT_GT(leftovers, 0);
}

}  // namespace
