// Common ground of the system tests of the updater binary: a device with the standard
// configuration and the lines a start-up prints.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/version.h"
#include "fixtures/device_sandbox.h"

namespace system_test {

// The standard device's repository directory is empty: a run that got through the whole
// start-up reaches the first update pass, which finds no index there and ends with this line
// (with "could not load repository data" when it only reads the cache).
constexpr char kNoRepositoryDataLine[] = "ERROR: could not update repository data";
constexpr char kNoCachedRepositoryDataLine[] = "ERROR: could not load repository data";

// Every error line of such a run, in order.
inline std::vector<std::string> emptyRepositoryErrorLines() {
    return {"ERROR: failed copying file '/var/lib/sandbox-repo/repodata/repomd.xml' (No such file or directory)",
            "ERROR: failed getting repository resource 'repodata/repomd.xml'", kNoRepositoryDataLine};
}

inline const std::string kBannerLine =
    std::string("INFO: updater version ") + kUpdaterVersion + ", product sandbox-device";
constexpr char kExitOkLine[] = "INFO: --- EXIT OK ---";
constexpr char kExitErrorLine[] = "INFO: --- EXIT ERROR ---";
constexpr char kExitFatalLine[] = "INFO: --- EXIT FATAL ---";
constexpr char kCannotRecoverStatusLine[] = "ERROR: cannot recover status, aborting";

inline std::string modeLine(const std::string& mode) {
    return "INFO: --- MODE " + mode + " ---";
}

inline std::string repositoryLine(const std::string& id, const std::string& uri) {
    return "INFO: updating packages from repository '" + id + "' (URI '" + uri + "')";
}

// The content of the lock file while a process holds it: the PID right-aligned in 10
// characters and a newline.
inline std::string lockFileContent(pid_t pid) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%10i\n", static_cast<int>(pid));
    return buffer;
}

// A repository whose server is never reached before the random wait is over.
constexpr char kUnreachableUrl[] = "http://127.0.0.1:1/";

// A command run under a tracer (strace, gdb): LeakSanitizer cannot work under ptrace, so a
// sanitizer build's leak check is off for it (and for the processes it starts).
inline std::vector<std::string> traced(std::vector<std::string> argv) {
    argv.insert(argv.begin(), {"/bin/sh", "-c", "ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" exec \"$@\"", "sh"});
    return argv;
}

// A run that passed every start-up check and got to the update passes.
inline ::testing::AssertionResult reachedUpdate(const SandboxResult& result) {
    if (result.exited && result.exitCode == 1 &&
        (result.hasErrLine(kNoRepositoryDataLine) || result.hasErrLine(kNoCachedRepositoryDataLine)))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the run did not get through the start-up: " << result;
}

// Lines of standard error that begin with a level word.
inline std::vector<std::string> linesOfLevel(const SandboxResult& result, const std::string& word) {
    return result.errLinesStartingWith(word + ": ");
}

class UpdaterSystemTest : public ::testing::Test {
protected:
    void SetUp() override { sandbox.writeStandardConfig(); }

    // The updater with the given arguments; never waits randomly before connecting.
    SandboxResult runUpdater(std::vector<std::string> args) {
        args.insert(args.begin(), {"--max-wait-time", "-1"});
        return sandbox.run(args);
    }

    std::string lockPath() const { return sandbox.hostPath("/var/lock/updater"); }

    DeviceSandbox sandbox;
};

}  // namespace system_test
