// Sanitizer reports of sandboxed programs fail the test, also those of background children
// whose standard error is /dev/null: the sanitizer options reach the device with a log path
// there, and the sandbox's teardown turns every report it finds into a test failure.
#include <cstdlib>
#include <optional>
#include <string>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include "fixtures/device_sandbox.h"

namespace {

// Sets an environment variable for the scope, unless the test runs with it already (a
// sanitizer build), and restores the previous state.
class ScopedDefaultEnv {
public:
    ScopedDefaultEnv(const char* name, const char* value) : m_name(name) {
        if (const char* old = getenv(name)) {
            m_old = old;
            return;
        }
        setenv(name, value, 1);
    }
    ~ScopedDefaultEnv() {
        if (!m_old) unsetenv(m_name);
    }

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

TEST(SanitizerReportTest, OptionsReachTheDeviceAndEveryReportThereFailsTheTest) {
    ScopedDefaultEnv asan("ASAN_OPTIONS", "exitcode=23");
    ScopedDefaultEnv ubsan("UBSAN_OPTIONS", "exitcode=23");
    {
        DeviceSandbox sandbox;
        SandboxResult result = sandbox.runCommand({"/bin/sh", "-c", "echo \"$ASAN_OPTIONS\"; echo \"$UBSAN_OPTIONS\""});
        ASSERT_TRUE(result.exited && result.exitCode == 0) << result;
        for (const std::string& line : result.outLines())
            EXPECT_NE(line.find(":log_path=/var/log/sanitizer/report"), std::string::npos) << line;
        EXPECT_EQ(result.outLines().size(), 2u) << result;
    }
    // A detached child that reports after its parent ended, as a background updater would.
    EXPECT_NONFATAL_FAILURE(
        {
            DeviceSandbox sandbox;
            SandboxResult result = sandbox.runCommand(
                {"/bin/sh", "-c",
                 "(exec </dev/null >/dev/null 2>&1; sleep 0.2; "
                 "cd /var/log/sanitizer && echo 'ERROR: AddressSanitizer: heap-use-after-free' >.report && "
                 "mv .report report.42) & "});
            ASSERT_TRUE(result.exited && result.exitCode == 0) << result;
            ASSERT_TRUE(waitUntil([&] { return sandbox.deviceFileExists("/var/log/sanitizer/report.42"); },
                                  std::chrono::seconds(30)));
        },
        "ERROR: AddressSanitizer: heap-use-after-free");
}

}  // namespace
