// The device sandbox keeps every write of a sandboxed program inside the test's root directory:
// a program that writes to every fixed path of the device leaves the machine unchanged.
#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/paths.h"
#include "fixtures/device_sandbox.h"

namespace {

// What a host path looks like: enough to see any change made to it.
struct HostState {
    bool exists = false;
    mode_t mode = 0;
    off_t size = 0;
    long long mtimeNs = 0;
    std::string content;  // regular files: their content; symbolic links: the target; dirs: the names

    bool operator==(const HostState& other) const {
        return exists == other.exists && mode == other.mode && size == other.size && mtimeNs == other.mtimeNs &&
               content == other.content;
    }
};

std::ostream& operator<<(std::ostream& out, const HostState& state) {
    if (!state.exists) return out << "(absent)";
    return out << "mode " << std::oct << state.mode << std::dec << ", size " << state.size << ", mtime "
               << state.mtimeNs << ", content '" << state.content << "'";
}

HostState hostState(const std::string& path) {
    HostState state;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return state;
    state.exists = true;
    state.mode = st.st_mode;
    state.size = S_ISDIR(st.st_mode) ? 0 : st.st_size;
    state.mtimeNs = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    if (S_ISREG(st.st_mode)) {
        state.content = readFile(path);
    } else if (S_ISLNK(st.st_mode)) {
        char target[4096];
        ssize_t length = readlink(path.c_str(), target, sizeof target);
        if (length > 0) state.content.assign(target, static_cast<size_t>(length));
    }
    return state;
}

// The path and every parent directory up to the root.
std::vector<std::string> withParents(const std::string& path) {
    std::vector<std::string> all;
    std::string current = path;
    while (current.size() > 1 && current.back() == '/') current.pop_back();
    while (!current.empty() && current != "/") {
        all.push_back(current);
        current = current.substr(0, current.rfind('/'));
    }
    return all;
}

// Fixed files of the device that a sandboxed program writes.
const std::vector<std::string> kFixedFiles = {
    paths::kDefaultsConfigFile, paths::kConfigFile,       paths::kProxyConfigFile,
    paths::kCredentialsFile,    paths::kOsReleaseFile,    paths::kFallbackOsReleaseFile,
    paths::kStatusFile,         paths::kUpdateStateFile,  paths::kLockFile,
    paths::kLastLogFile,        paths::kNoRunFile,        paths::kExternalPackagesFile,
    paths::kHookProgram,        paths::kPayloadInstaller, "/var/lib/rpm/sandbox-marker",
};

// Fixed directories of the device; a file is written into each.
const std::vector<std::string> kFixedDirs = {
    paths::kUsbUpdatesDir,    paths::kLegacyUsbUpdatesDir,
    paths::kCacheDir,         std::string(paths::kI2cDriversDir) + "/Vorlan-EEPROM/0-0050",
    "/usr/local/sandbox-bin", "/var/lib/sandbox-fakes",
};

// Programs replaced by recording fakes, called by name and by absolute path.
const std::vector<std::string> kFakeCalls = {
    "telinit u",
    "shutdown -r +1 sandbox",
    "reboot",
    "systemctl isolate sandbox",
    "/usr/sbin/telinit q",
    "/sbin/shutdown -h now",
    "/usr/sbin/reboot -f",
    "/bin/systemctl reboot",
};

std::string marker(const std::string& devicePath) {
    return "sandbox:" + devicePath + "\n";
}

std::string quoted(const std::string& text) {
    return "'" + text + "'";
}

class SandboxIsolationTest : public ::testing::Test {
protected:
    DeviceSandbox sandbox;
};

TEST_F(SandboxIsolationTest, WritesToEveryFixedPathLandInTheSandboxAndLeaveTheHostUnchanged) {
    std::map<std::string, HostState> before;
    auto watch = [&before](const std::string& path) {
        for (const std::string& each : withParents(path)) before[each] = hostState(each);
    };
    for (const std::string& path : kFixedFiles) watch(path);
    for (const std::string& dir : kFixedDirs) watch(dir + "/sandbox-marker");
    for (const char* path :
         {"/etc/rpm/macros", "/run/lock/updater", "/run/updater.norun", "/run/updater/external.xml",
          "/usr/sbin/telinit", "/usr/sbin/shutdown", "/usr/sbin/reboot", "/usr/bin/systemctl", "/var/lib/rpm"})
        watch(path);
    const std::string hostCpuInfo = readFile(paths::kCpuInfoFile);

    std::string script = "set -e\n";
    for (const std::string& path : kFixedFiles)
        script += "mkdir -p \"$(dirname " + quoted(path) + ")\"\nprintf 'sandbox:%s\\n' " + quoted(path) + " >" +
                  quoted(path) + "\n";
    for (const std::string& dir : kFixedDirs)
        script += "mkdir -p " + quoted(dir) + "\nprintf 'sandbox:%s\\n' " + quoted(dir + "/sandbox-marker") + " >" +
                  quoted(dir + "/sandbox-marker") + "\n";
    script += "echo 'Serial\t\t: sandbox-written' >>/proc/cpuinfo\n";
    script += "echo '# sandbox-written' >>/etc/rpm/macros\n";
    script += "keyring=$(mktemp -d /tmp/updater.XXXXXX)\necho \"keyring=$keyring\"\n";
    for (const std::string& call : kFakeCalls) script += call + "\n";
    script += "echo \"dbpath=$(rpm --eval %_dbpath)\"\nrpm -qa\necho done\n";

    SandboxResult result = sandbox.runCommand({"/bin/sh", "-c", script});
    ASSERT_TRUE(result.exited && result.exitCode == 0) << result;
    ASSERT_NE(result.out.find("done\n"), std::string::npos) << result;

    // Every write is in the sandbox root.
    for (const std::string& path : kFixedFiles)
        EXPECT_EQ(sandbox.readDeviceFile(path), marker(path)) << "in the sandbox: " << path;
    for (const std::string& dir : kFixedDirs)
        EXPECT_EQ(sandbox.readDeviceFile(dir + "/sandbox-marker"), marker(dir + "/sandbox-marker"))
            << "in the sandbox: " << dir;
    EXPECT_EQ(readFile(sandbox.root() + "/run/lock/updater"), marker(paths::kLockFile));
    EXPECT_EQ(readFile(sandbox.root() + "/run/updater.norun"), marker(paths::kNoRunFile));
    EXPECT_EQ(readFile(sandbox.root() + "/media/usb1/updates/sandbox-marker"),
              marker(std::string(paths::kLegacyUsbUpdatesDir) + "/sandbox-marker"));
    EXPECT_NE(readFile(sandbox.root() + "/proc/cpuinfo").find("sandbox-written"), std::string::npos);

    std::string keyring;
    for (const std::string& line : result.outLines())
        if (line.rfind("keyring=", 0) == 0) keyring = line.substr(8);
    ASSERT_EQ(keyring.rfind("/tmp/updater.", 0), 0u) << result;
    EXPECT_TRUE(fileExists(sandbox.root() + keyring)) << keyring;
    EXPECT_FALSE(fileExists(keyring)) << keyring;

    // The rpm database of the device is the one in the sandbox.
    EXPECT_NE(result.out.find("dbpath=/var/lib/rpm\n"), std::string::npos) << result;
    EXPECT_EQ(sandbox.readDeviceFile("/etc/rpm/macros"), "%_dbpath /var/lib/rpm\n# sandbox-written\n");

    // The host is unchanged.
    for (const auto& [path, state] : before) EXPECT_EQ(hostState(path), state) << "on the host: " << path;
    EXPECT_EQ(readFile(paths::kCpuInfoFile).find("sandbox-written"), std::string::npos);
    EXPECT_EQ(hostCpuInfo.find("sandbox-written"), std::string::npos);

    // The fakes recorded every call, by name and by path.
    using Calls = std::vector<std::vector<std::string>>;
    EXPECT_EQ(sandbox.fakeCalls("telinit"), (Calls{{"u"}, {"q"}}));
    EXPECT_EQ(sandbox.fakeCalls("shutdown"), (Calls{{"-r", "+1", "sandbox"}, {"-h", "now"}}));
    EXPECT_EQ(sandbox.fakeCalls("reboot"), (Calls{{}, {"-f"}}));
    EXPECT_EQ(sandbox.fakeCalls("systemctl"), (Calls{{"isolate", "sandbox"}, {"reboot"}}));
}

TEST_F(SandboxIsolationTest, DeviceSeesTheSandboxFilesNotTheHostOnes) {
    sandbox.writeDeviceFile("/etc/updater.conf", "sandbox configuration\n");
    sandbox.writeDeviceFile("/var/run/updater.norun", "");
    sandbox.removeDeviceFile("/etc/os-release");
    SandboxResult result =
        sandbox.runCommand({"/bin/sh", "-c",
                            "cat /etc/updater.conf; test -e /var/run/updater.norun && echo norun; "
                            "test -e /etc/os-release || echo no-os-release; cat /usr/lib/os-release; "
                            "grep ^Hardware /proc/cpuinfo; ls /sys/bus/i2c/drivers; ls /var/lib/updater | wc -l; "
                            "test -d /var/cache/updater && echo cache; test -d /var/log/updater && echo log; "
                            "test -d /var/lock && echo lock; echo \"$PATH\"; echo \"$HOME\"; pwd"});
    ASSERT_TRUE(result.exited && result.exitCode == 0) << result;
    EXPECT_EQ(result.outLines(), (std::vector<std::string>{
                                     "sandbox configuration",
                                     "norun",
                                     "no-os-release",
                                     "NAME=\"Sandbox Device Linux\"",
                                     "ID=sandbox",
                                     "VERSION_ID=1.0",
                                     "PRETTY_NAME=\"Sandbox Device Linux 1.0\"",
                                     "Hardware\t: tresca",
                                     "tav-eeprom",
                                     "0",
                                     "cache",
                                     "log",
                                     "lock",
                                     "/usr/local/sandbox-bin:/usr/local/sbin:/usr/local/bin:"
                                     "/usr/sbin:/usr/bin:/sbin:/bin",
                                     "/root",
                                     "/",
                                 }));
}

TEST_F(SandboxIsolationTest, FakesExitWithTheChosenCodeAndPassEnvironment) {
    sandbox.setFakeExit("telinit", 3);
    sandbox.setEnv("SANDBOX_TEST_VALUE", "a b");
    SandboxResult result = sandbox.runCommand(
        {"/bin/sh", "-c",
         "telinit u; echo \"telinit=$?\"; shutdown; echo \"shutdown=$?\"; echo \"$SANDBOX_TEST_VALUE\""});
    ASSERT_TRUE(result.exited && result.exitCode == 0) << result;
    EXPECT_EQ(result.outLines(), (std::vector<std::string>{"telinit=3", "shutdown=0", "a b"}));
}

TEST_F(SandboxIsolationTest, ScriptRefusesToRunOutsideAPrivateMountNamespace) {
    // Called directly, without unshare, it would mount over the host: it must refuse.
    TempDir capture("sandbox-capture");
    std::string command =
        DeviceSandbox::sandboxScript() + " " + sandbox.root() + " -- /bin/true >" + capture.path() + "/out 2>&1";
    int status = system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 125) << readFile(capture.path() + "/out");
    EXPECT_NE(readFile(capture.path() + "/out").find("not in a private mount namespace"), std::string::npos);
}

TEST_F(SandboxIsolationTest, TeardownKillsProcessesLeftInTheSandbox) {
    pid_t sleeper = 0;
    {
        DeviceSandbox other;
        auto process = other.startCommand({"/bin/sh", "-c", "setsid sleep 1000 & echo $!; wait"});
        ASSERT_TRUE(waitUntil([&] { return !process->currentOut().empty(); }, std::chrono::seconds(30)));
        sleeper = std::stoi(process->currentOut());
        ASSERT_TRUE(fileExists("/proc/" + std::to_string(sleeper) + "/exe"));
        other.killAll();
        SandboxResult result = process->wait(std::chrono::seconds(30));
        EXPECT_TRUE(result.signalled && result.signal == SIGKILL) << result;
    }
    EXPECT_FALSE(fileExists("/proc/" + std::to_string(sleeper) + "/exe"));
}

}  // namespace
