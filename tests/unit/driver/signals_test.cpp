// Signal dispositions: the catch/ignore/restore registry, its rpmlib bookkeeping, the
// recorded termination request and its re-raising. Anything that delivers a signal runs
// in a forked child, so the request flag of the test process stays clear.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "base/logger.h"
#include "driver/signals.h"
#include "log_capture.h"
#include "rpmdb/rpm_compat.h"
#include "temp_dir.h"

namespace {

struct sigaction currentAction(int signum) {
    struct sigaction action;
    sigaction(signum, nullptr, &action);
    return action;
}

bool isCaught(int signum) {
    struct sigaction action = currentAction(signum);
    return (action.sa_flags & SA_SIGINFO) && (action.sa_flags & SA_RESTART) && action.sa_sigaction != nullptr;
}

bool isIgnored(int signum) {
    struct sigaction action = currentAction(signum);
    return !(action.sa_flags & SA_SIGINFO) && action.sa_handler == SIG_IGN;
}

// Runs body in a forked child and returns its wait status; body returns the exit code.
int inChild(const std::function<int()>& body) {
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = -1;
    waitpid(pid, &status, 0);
    return status;
}

void ownHandler(int) {}

class SignalsTest : public ::testing::Test {
protected:
    void TearDown() override {
        for (int signum : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE}) EXPECT_TRUE(restoreSignalHandler(signum));
    }
    bool logged(const std::string& line) const { return m_log.has(line); }

    LogCapture m_log;
    TempDir m_dir;
};

TEST_F(SignalsTest, RestorePutsBackTheExactPreviousAction) {
    struct sigaction custom;
    memset(&custom, 0, sizeof custom);
    custom.sa_handler = ownHandler;
    sigemptyset(&custom.sa_mask);
    sigaddset(&custom.sa_mask, SIGUSR2);
    custom.sa_flags = SA_NODEFER;
    struct sigaction original;
    ASSERT_EQ(sigaction(SIGTERM, &custom, &original), 0);
    struct sigaction before = currentAction(SIGTERM);

    ASSERT_TRUE(setSignalHandler(SIGTERM, false));
    EXPECT_TRUE(isCaught(SIGTERM));
    EXPECT_FALSE(isSignalIgnored(SIGTERM));
    ASSERT_TRUE(setSignalHandler(SIGTERM, false));
    ASSERT_TRUE(setSignalHandler(SIGTERM, true));
    EXPECT_TRUE(isIgnored(SIGTERM));
    EXPECT_TRUE(isSignalIgnored(SIGTERM));
    ASSERT_TRUE(setSignalHandler(SIGTERM, false));

    // However often it changed, restoring goes back to what was there before.
    ASSERT_TRUE(restoreSignalHandler(SIGTERM));
    EXPECT_TRUE(restoreSignalHandler(SIGTERM));
    struct sigaction after = currentAction(SIGTERM);
    sigaction(SIGTERM, &original, nullptr);
    EXPECT_EQ(after.sa_handler, ownHandler);
    EXPECT_EQ(after.sa_flags, before.sa_flags);
    EXPECT_TRUE(sigismember(&after.sa_mask, SIGUSR2));
    EXPECT_FALSE(sigismember(&after.sa_mask, SIGUSR1));
    EXPECT_FALSE(isSignalIgnored(SIGTERM));
    // rpmlib's registration was released as often as it was taken.
    EXPECT_EQ(rpmcompat::rpmsqEnable(SIGTERM, nullptr), 1);
    EXPECT_EQ(rpmcompat::rpmsqEnable(-SIGTERM, nullptr), 0);
}

TEST_F(SignalsTest, SignalAlreadyHeldByRpmlibIsRefused) {
    ASSERT_EQ(rpmcompat::rpmsqEnable(SIGINT, nullptr), 1);
    EXPECT_FALSE(setSignalHandler(SIGINT, false));
    EXPECT_TRUE(logged("ERROR: handler for signal 2 was already installed in rpmlib"));
    EXPECT_EQ(currentAction(SIGINT).sa_handler, SIG_DFL);
    EXPECT_EQ(rpmcompat::rpmsqEnable(-SIGINT, nullptr), 0);
}

TEST_F(SignalsTest, HangupStaysIgnoredAcrossPhases) {
    ASSERT_TRUE(installSignalHandlers());
    for (int signum : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) EXPECT_TRUE(isCaught(signum)) << signum;
    EXPECT_TRUE(isIgnored(SIGPIPE));

    ASSERT_TRUE(ignoreSighup());
    ASSERT_TRUE(enableTerminationSignals());
    EXPECT_EQ(currentAction(SIGTERM).sa_handler, SIG_DFL);
    EXPECT_TRUE(isIgnored(SIGHUP));
    EXPECT_TRUE(isIgnored(SIGPIPE));
    ASSERT_TRUE(disableTerminationSignals());
    EXPECT_TRUE(isCaught(SIGTERM));
    EXPECT_TRUE(isIgnored(SIGHUP));
}

TEST_F(SignalsTest, FirstCaughtSignalWinsAndIgnoredHangupDoesNothing) {
    int status = inChild([] {
        if (terminationRequested() || requestedSignal() != 0) return 10;
        if (!installSignalHandlers() || !ignoreSighup()) return 11;
        raise(SIGHUP);
        if (terminationRequested()) return 12;
        raise(SIGINT);
        raise(SIGTERM);
        if (!terminationRequested() || requestedSignal() != SIGINT) return 13;
        return 0;
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(SignalsTest, ReraiseEndsTheProcessByTheRecordedSignal) {
    int status = inChild([] {
        reraiseTerminationSignal();  // nothing recorded: nothing happens
        if (!disableTerminationSignals()) return 10;
        raise(SIGTERM);
        if (!enableTerminationSignals()) return 11;
        reraiseTerminationSignal();
        return 12;
    });
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
    EXPECT_TRUE(logged("ERROR: terminated by signal #15: Terminated"));
}

}  // namespace
