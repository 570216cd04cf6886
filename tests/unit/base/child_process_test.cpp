// The runner of external programs: output logging, end statuses and the environment the
// child gets (standard streams, SIGPIPE, session).
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/child_process.h"
#include "base/logger.h"
#include "log_capture.h"
#include "temp_dir.h"

namespace {

class ChildProcessTest : public ::testing::Test {
protected:
    static ChildProcess shell(const std::string& script) {
        ChildProcess child("/bin/sh");
        child.addArg("-c");
        child.addArg(script);
        return child;
    }
    std::vector<std::string> logLines() const { return m_log.lines(); }
    // The logged output lines of the child, without their "INFO:   " prefix.
    std::vector<std::string> output() const {
        std::vector<std::string> lines;
        for (const std::string& line : logLines())
            if (line.compare(0, 8, "INFO:   ") == 0) lines.push_back(line.substr(8));
        return lines;
    }
    int count(const std::string& wanted) const {
        int n = 0;
        for (const std::string& line : logLines()) n += line == wanted;
        return n;
    }

    LogCapture m_log;
    TempDir m_dir;
};

TEST_F(ChildProcessTest, OutputIsLoggedLineByLine) {
    ChildProcess silent = shell("true");
    ASSERT_TRUE(silent.run());
    EXPECT_TRUE(silent.exited());
    EXPECT_EQ(silent.exitCode(), 0);
    EXPECT_EQ(count("INFO: /bin/sh output:"), 0);
    EXPECT_EQ(count("DEBUG: child '/bin/sh' exited with code 0"), 1);

    ChildProcess talker = shell("printf 'first\\n\\nsecond\\n'; echo 'to stderr' >&2; exit 3");
    ASSERT_TRUE(talker.run());
    EXPECT_EQ(talker.exitCode(), 3);
    EXPECT_EQ(talker.pid(), 0);
    EXPECT_EQ(count("INFO: /bin/sh output:"), 1);
    EXPECT_EQ(output(), (std::vector<std::string>{"first", "second", "to stderr"}));
}

TEST_F(ChildProcessTest, LongLineArrivesInBufferSizedPieces) {
    ChildProcess child = shell("printf '%3000s\\n' '' | tr ' ' x");
    ASSERT_TRUE(child.run());
    std::vector<std::string> lines = output();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], std::string(1023, 'x'));
    EXPECT_EQ(lines[1], std::string(1023, 'x'));
    EXPECT_EQ(lines[2], std::string(954, 'x'));
}

TEST_F(ChildProcessTest, EndStatusesAreFreshForEachRun) {
    // Killed on the first run, exits normally on the second.
    std::string marker = m_dir / "ran-once";
    ChildProcess child = shell("if [ -e " + marker + " ]; then exit 0; fi; touch " + marker + "; kill -9 $$");
    ASSERT_TRUE(child.run());
    EXPECT_FALSE(child.exited());
    EXPECT_TRUE(child.signalled());
    EXPECT_EQ(child.exitCode(), 9);
    EXPECT_EQ(count("ERROR: child '/bin/sh' terminated by signal 9"), 1);

    ASSERT_TRUE(child.run());
    EXPECT_TRUE(child.exited());
    EXPECT_FALSE(child.signalled());
    EXPECT_EQ(child.exitCode(), 0);
    EXPECT_EQ(count("WARNING: Did not wait on previously spawned helper"), 0);
}

TEST_F(ChildProcessTest, MissingProgramLooksLikeExitCodeOne) {
    std::string program = m_dir / "no-such-program";
    ChildProcess child(program);
    EXPECT_EQ(child.args(), std::vector<std::string>{"no-such-program"});
    ASSERT_TRUE(child.run());
    EXPECT_TRUE(child.exited());
    EXPECT_EQ(child.exitCode(), 1);
    EXPECT_EQ(output(), std::vector<std::string>{program + ": No such file or directory"});
}

TEST_F(ChildProcessTest, ChildGetsNullStdinAndDefaultSigpipe) {
    struct sigaction ignore, previous;
    memset(&ignore, 0, sizeof ignore);
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGPIPE, &ignore, &previous), 0);
    ChildProcess child = shell("readlink /proc/self/fd/0; exec grep '^SigIgn:' /proc/self/status");
    bool started = child.run();
    sigaction(SIGPIPE, &previous, nullptr);
    ASSERT_TRUE(started);

    std::vector<std::string> lines = output();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "/dev/null");
    unsigned long long ignored = std::stoull(lines[1].substr(lines[1].find_first_not_of("SigIgn:\t ")), nullptr, 16);
    EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u) << lines[1];
}

TEST_F(ChildProcessTest, BackgroundChildIsDetachedUntilWaitedFor) {
    std::string report = m_dir / "report";
    ChildProcess child = shell("fds=$(readlink /proc/$$/fd/0 /proc/$$/fd/1 /proc/$$/fd/2); echo \"$fds\" > " + report +
                               "; [ $(cut -d' ' -f6 /proc/$$/stat) = $$ ] || exit 5; exit 7");
    ASSERT_TRUE(child.runBackground());
    pid_t pid = child.pid();
    EXPECT_GT(pid, 0);
    EXPECT_EQ(count("DEBUG: started background child '/bin/sh' with PID " + std::to_string(pid)), 1);
    ASSERT_TRUE(child.wait());
    EXPECT_TRUE(child.exited());
    EXPECT_EQ(child.exitCode(), 7);
    EXPECT_EQ(readFile(report), "/dev/null\n/dev/null\n/dev/null\n");
    EXPECT_FALSE(child.wait());

    // Starting again while a child is pending forgets the old one, with a warning.
    ASSERT_TRUE(child.runBackground());
    pid_t forgotten = child.pid();
    ASSERT_TRUE(child.run());
    EXPECT_EQ(count("WARNING: Did not wait on previously spawned helper"), 1);
    EXPECT_EQ(waitpid(forgotten, nullptr, 0), forgotten);
}

}  // namespace
