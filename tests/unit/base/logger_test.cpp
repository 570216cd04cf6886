#include "base/logger.h"

#include <syslog.h>

#include <gtest/gtest.h>

#include "fixtures/temp_dir.h"

namespace {

class LoggerTest : public testing::Test {
protected:
    void TearDown() override { Logger::instance().reset(); }

    Logger& m_logger = Logger::instance();
    TempDir m_dir;
};

TEST_F(LoggerTest, GlobalThresholdOnStandardError) {
    m_logger.setLevel(LogLevel::Warn);
    testing::internal::CaptureStderr();
    LOG(Info, "hidden %d", 1);
    LOG(Warn, "shown %d", 2);
    EXPECT_EQ("WARNING: shown 2\n", testing::internal::GetCapturedStderr());

    m_logger.setStderr(false);
    testing::internal::CaptureStderr();
    LOG(Fatal, "silent");
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
}

TEST_F(LoggerTest, FileThresholdNarrowsTheGlobalOne) {
    m_logger.setStderr(false);
    ASSERT_TRUE(m_logger.addFile(m_dir / "errors", LogLevel::Error, true));
    ASSERT_TRUE(m_logger.addFile(m_dir / "all", LogLevel::Trace, true));
    for (int level = 0; level <= 5; ++level) m_logger.log(static_cast<LogLevel>(level), "level %d", level);
    // Lines are on disk as soon as log returns.
    EXPECT_EQ("ERROR: level 4\nFATAL: level 5\n", readFile(m_dir / "errors"));
    EXPECT_EQ("INFO: level 2\nWARNING: level 3\nERROR: level 4\nFATAL: level 5\n", readFile(m_dir / "all"));

    m_logger.setLevel(LogLevel::Trace);
    m_logger.log(static_cast<LogLevel>(9), "odd");
    m_logger.log(static_cast<LogLevel>(0), "fine");
    EXPECT_TRUE(readFile(m_dir / "all").find("FATAL: level 5\nUNKNOWN: odd\nTRACE: fine\n") != std::string::npos);
}

// A block of lines reads as the same lines logged one by one, under the same thresholds;
// a message longer than the formatting buffer comes out whole.
TEST_F(LoggerTest, LinesAtOnceReadAsLinesOneByOne) {
    ASSERT_TRUE(m_logger.addFile(m_dir / "errors", LogLevel::Error, true));
    const std::string longMessage(2000, 'x');
    testing::internal::CaptureStderr();
    m_logger.logLines(LogLevel::Info, {"\tfirst", "", "\tthird"});
    m_logger.logLines(LogLevel::Trace, {"hidden"});
    m_logger.logLines(LogLevel::Error, {"bad"});
    LOG(Info, "%s", longMessage.c_str());
    EXPECT_EQ("INFO: \tfirst\nINFO: \nINFO: \tthird\nERROR: bad\nINFO: " + longMessage + "\n",
              testing::internal::GetCapturedStderr());
    EXPECT_EQ("ERROR: bad\n", readFile(m_dir / "errors"));
}

TEST_F(LoggerTest, OutputsAreKeyedByPathString) {
    m_logger.setStderr(false);
    ASSERT_TRUE(m_logger.addFile(m_dir / "log", LogLevel::Error, true));
    ASSERT_TRUE(m_logger.addFile(m_dir / "log", LogLevel::Info, false));  // threshold only, not reopened
    LOG(Info, "once");
    EXPECT_EQ("INFO: once\n", readFile(m_dir / "log"));

    ASSERT_TRUE(m_logger.addFile(m_dir.path() + "//log", LogLevel::Info, true));
    LOG(Info, "twice");
    EXPECT_EQ("INFO: once\nINFO: twice\nINFO: twice\n", readFile(m_dir / "log"));

    EXPECT_FALSE(m_logger.removeFile(m_dir / "other"));
    EXPECT_TRUE(m_logger.removeFile(m_dir / "log"));
    EXPECT_FALSE(m_logger.removeFile(m_dir / "log"));
    LOG(Info, "thrice");
    EXPECT_EQ("INFO: once\nINFO: twice\nINFO: twice\nINFO: thrice\n", readFile(m_dir / "log"));
}

TEST_F(LoggerTest, AppendOrTruncate) {
    m_logger.setStderr(false);
    writeFile(m_dir / "a", "old\n");
    writeFile(m_dir / "t", "old\n");
    ASSERT_TRUE(m_logger.addFile(m_dir / "a", LogLevel::Info, true));
    ASSERT_TRUE(m_logger.addFile(m_dir / "t", LogLevel::Info, false));
    LOG(Info, "new");
    EXPECT_EQ("old\nINFO: new\n", readFile(m_dir / "a"));
    EXPECT_EQ("INFO: new\n", readFile(m_dir / "t"));

    EXPECT_FALSE(m_logger.addFile(m_dir / "missing/log", LogLevel::Info, true));
    EXPECT_EQ("old\nINFO: new\nERROR: cannot open log file " + m_dir / "missing/log" + ": No such file or directory\n",
              readFile(m_dir / "a"));
}

TEST_F(LoggerTest, ConfigurationWords) {
    const char* words[] = {"trace", "debug", "info", "warn", "error", "fatal"};
    for (int level = 0; level <= 5; ++level) EXPECT_EQ(static_cast<LogLevel>(level), parseLogLevel(words[level]));
    const std::pair<const char*, int> facilities[] = {
        {"daemon", LOG_DAEMON}, {"user", LOG_USER}, {"local0", LOG_LOCAL0}, {"local7", LOG_LOCAL7}};
    for (const auto& [word, code] : facilities) EXPECT_EQ(code, parseSyslogFacility(word));

    testing::internal::CaptureStderr();
    EXPECT_EQ(LogLevel::Info, parseLogLevel("INFO"));
    EXPECT_EQ(LogLevel::Info, parseLogLevel("warning"));
    EXPECT_EQ(LOG_DAEMON, parseSyslogFacility("Daemon"));
    EXPECT_EQ(
        "ERROR: unrecognized logger level 'INFO' using 'info'\n"
        "ERROR: unrecognized logger level 'warning' using 'info'\n"
        "ERROR: unrecognized syslog facility 'Daemon' using 'daemon'\n",
        testing::internal::GetCapturedStderr());
}

}  // namespace
