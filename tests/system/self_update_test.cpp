// The updater updating itself for real: the repository publishes the updater's own package,
// made by scripts/build-rpm.sh with packaging/updater.spec as version 2.0, and rpm installs
// it into the sandboxed device.
//
// Compiling the package from source costs over a minute of CPU, and ctest runs every test in
// a process of its own; the package is made from this build's install rules instead
// (build-rpm.sh --prebuilt): the same spec, so the same name, Provides and files.
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "system/signed_update_fixture.h"

namespace system_test {
namespace {

// The directory of the binary under test is the top of its CMake build.
std::string buildDir() {
    const std::string binary = UPDATER_BINARY;
    return binary.substr(0, binary.rfind('/'));
}

// The device has demo 1.0-1, the package of the running updater, 1.10-1, and a base system
// that provides what the updater's package requires (libraries, rpm, gpgv).
class SelfUpdateTest : public SignedUpdateTest {
protected:
    static void SetUpTestSuite() {
        SignedUpdateTest::SetUpTestSuite();
        std::string output;
        ASSERT_TRUE(runTool({std::string(UPDATER_SOURCE_DIR) + "/scripts/build-rpm.sh", "--prebuilt", buildDir(),
                             "--version", "2.0", "--output", *s_dir / "own"},
                            &output))
            << output;
        // The script prints the path of the package last.
        std::string::size_type end = output.find_last_not_of('\n');
        ASSERT_NE(end, std::string::npos) << output;
        std::string::size_type begin = output.rfind('\n', end);
        s_updaterNew = output.substr(begin == std::string::npos ? 0 : begin + 1, end + 1 - (begin + 1));
        ASSERT_TRUE(signPackage(s_updaterNew, s_keys->home(), s_key));

        RpmPackageDef base("device-base", "1.0", "1");
        ASSERT_TRUE(runTool({"rpm", "-qp", "--requires", s_updaterNew}, &output)) << output;
        std::istringstream requires(output);
        for (std::string line; std::getline(requires, line);) {
            // rpm satisfies its own features; the package provides its configuration itself.
            if (line.rfind("rpmlib(", 0) == 0 || line.rfind("config(", 0) == 0) continue;
            base.provides.push_back(line);
        }
        ASSERT_FALSE(base.provides.empty());
        s_base = build(base, false);
        s_demoOld = build(RpmPackageDef("demo", "1.0", "1"), false);
        RpmPackageDef updater("updater", "1.10", "1");
        updater.provides = {"updater-running = 1.10"};
        s_updaterOld = build(updater, false);
    }

    void SetUp() override {
        SignedUpdateTest::SetUp();
        installOnDevice({s_base, s_demoOld, s_updaterOld});
    }

    static std::string s_updaterNew;
    static std::string s_base;
    static std::string s_demoOld;
    static std::string s_updaterOld;
};

std::string SelfUpdateTest::s_updaterNew;
std::string SelfUpdateTest::s_base;
std::string SelfUpdateTest::s_demoOld;
std::string SelfUpdateTest::s_updaterOld;

TEST_F(SelfUpdateTest, FailedUpdateLeavesTheRealUpdaterPackageToInstallItself) {
    RpmPackageDef demo("demo", "2.0", "1");
    demo.requires = {"ghost >= 1.0"};
    publish({build(demo), s_updaterNew});
    const std::string siteConfig = sandbox.readDeviceFile("/etc/updater.conf");
    SandboxResult result = runUpdater({});

    EXPECT_TRUE(result.exited && result.exitCode == 0) << result;
    EXPECT_TRUE(
        linesInOrder(result.errLines(),
                     {"ERROR: unsatisfied non-file dependencies:", "ERROR: \tghost >= 0:1.0", "ERROR: cannot update",
                      "ERROR: failed updating, will try updating updater only", "INFO: --- RETRY UPDATER ONLY ---",
                      "INFO: --- UPDATER 2.0-1 ---", "INFO: \t" + s_updaterNew.substr(s_updaterNew.rfind('/') + 1),
                      "INFO: verifying package signatures", "INFO: updating package(s)", "INFO: packages installed OK",
                      "INFO: rebooting for upgrades to take full effect", kExitOkLine}))
        << result;
    EXPECT_EQ(linesOfLevel(result, "ERROR").size(), 4u) << result;
    EXPECT_EQ(installed("updater"), "updater-2.0-1");
    EXPECT_EQ(installed("demo"), "demo-1.0-1");
    std::string provider;
    runTool({"rpm", "--dbpath", rpmDb(), "-q", "--qf", "%{NAME}-%{VERSION}-%{RELEASE}\\n", "--whatprovides",
             "updater-running"},
            &provider);
    EXPECT_EQ(provider, "updater-2.0-1\n");

    // rpm wrote the package's files on the device, below the sandbox's root.
    EXPECT_TRUE(fileExists(sandbox.hostPath("/usr/sbin/updater")));
    EXPECT_EQ(sandbox.readDeviceFile("/usr/share/resources/default/updater/defaults.conf"),
              readFile(std::string(UPDATER_SOURCE_DIR) + "/data/defaults.conf"));
    EXPECT_TRUE(sandbox.deviceFileExists("/usr/share/man/man8/updater.8") ||
                sandbox.deviceFileExists("/usr/share/man/man8/updater.8.gz"));
    // The device's own site file stays; the packaged example goes beside it.
    EXPECT_EQ(sandbox.readDeviceFile("/etc/updater.conf"), siteConfig);
    EXPECT_EQ(sandbox.readDeviceFile("/etc/updater.conf.rpmnew"),
              readFile(std::string(UPDATER_SOURCE_DIR) + "/data/updater.conf"));

    EXPECT_EQ(rebootCalls(), (Calls{{"-r", "+1", "rebooting after upgrade"}}));
    EXPECT_EQ(sandbox.status(), "REBOOTING\n");
    EXPECT_EQ(sandbox.updateState(), "PENDING\n");
}

}  // namespace
}  // namespace system_test
