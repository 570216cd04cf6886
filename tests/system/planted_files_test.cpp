// The device's own files against links and files planted in their place, readers polling the
// update state, kills between the write and the rename of a record, and damaged rpm databases.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "system/signed_update_fixture.h"

namespace system_test {
namespace {

using namespace std::chrono_literals;

constexpr char kVictim[] = "/var/lib/victim";
constexpr char kVictimContent[] = "someone else's file\n";
constexpr char kStatusFile[] = "/var/lib/updater/status";
constexpr char kUpdateStateFile[] = "/var/lib/updater/update-state";
constexpr char kRpmDbFile[] = "/var/lib/rpm/rpmdb.sqlite";
constexpr char kMissing[] = "/var/lib/nothing-here";

// The device has demo 1.0-1, its repository offers 2.0-1.
class PlantedFilesTest : public DemoUpdateTest {
protected:
    void SetUp() override {
        DemoUpdateTest::SetUp();
        publish({s_newDemo});
        sandbox.writeDeviceFile(kVictim, kVictimContent);
    }

    // A symbolic link at a device path, pointing to a device path.
    void plantLink(const std::string& at, const std::string& target) {
        sandbox.makeDeviceDir(at.substr(0, at.rfind('/')));
        unlink(sandbox.hostPath(at).c_str());
        ASSERT_EQ(symlink(target.c_str(), sandbox.hostPath(at).c_str()), 0) << at;
    }
    bool isLink(const std::string& devicePath) const {
        struct stat st;
        return lstat(sandbox.hostPath(devicePath).c_str(), &st) == 0 && S_ISLNK(st.st_mode);
    }
    // Replaced whole, as the updater replaces it, so that a reader never sees it half written.
    void replaceDeviceFile(const std::string& devicePath, const std::string& content) {
        const std::string path = sandbox.hostPath(devicePath);
        std::ofstream(path + ".test") << content;
        ASSERT_EQ(std::rename((path + ".test").c_str(), path.c_str()), 0);
    }
    // The updater run under strace, tracing its renames (not those of its children) with the
    // option given.
    std::vector<std::string> underStrace(const std::string& option, std::vector<std::string> args) {
        std::vector<std::string> argv{
            "strace", "-o/dev/null", "-etrace=rename", option, sandbox.installUpdaterCopy(), "--max-wait-time", "-1"};
        argv.insert(argv.end(), args.begin(), args.end());
        return traced(argv);
    }
};

struct PlantCase {
    const char* name;
    const char* at;      // the fixed path the link is planted at
    const char* target;  // what it points to
    int exitCode;        // of a check-only run
};

std::ostream& operator<<(std::ostream& out, const PlantCase& plant) {
    return out << plant.name;
}

class PlantedLinkTest : public PlantedFilesTest, public ::testing::WithParamInterface<PlantCase> {};

// Nothing is written through the link and its target stays as it was. A link at the lock or
// the status file ends the run; one at a log or a replaced record does not.
TEST_P(PlantedLinkTest, NothingIsWrittenThroughIt) {
    const PlantCase& plant = GetParam();
    sandbox.setStatus("READY");
    plantLink(plant.at, plant.target);
    const bool toFile = std::string(plant.target) != kMissing && std::string(plant.target) != kRpmDbFile;
    const std::string before = toFile ? sandbox.readDeviceFile(plant.target) : "";

    SandboxResult result = runUpdater({"--check-only"});
    EXPECT_TRUE(result.exited && result.exitCode == plant.exitCode) << result;
    EXPECT_EQ(result.countErrLines("ERROR: refusing '" + std::string(plant.at) + "': a symbolic link"), 1) << result;
    if (toFile) {
        EXPECT_EQ(sandbox.readDeviceFile(plant.target), before);
    }
    EXPECT_FALSE(sandbox.deviceFileExists(kMissing));
    EXPECT_EQ(installed("demo"), "demo-1.0-1");
    // Records are replaced, links to logs and the lock are left to whoever planted them.
    const std::string at = plant.at;
    EXPECT_EQ(isLink(at), at != kUpdateStateFile);
    if (at == kUpdateStateFile) {
        EXPECT_EQ(sandbox.updateState(), "AVAILABLE\n");
    }
}

std::vector<PlantCase> plantCases() {
    struct Place {
        const char* name;
        const char* path;
        int exitCode;
    };
    struct Target {
        const char* name;
        const char* path;
    };
    const Place places[] = {{"Lock", "/var/lock/updater", 1},
                            {"Status", kStatusFile, 1},
                            {"UpdateState", kUpdateStateFile, 0},
                            {"Lastlog", "/var/log/updater/lastlog", 0}};
    const Target targets[] = {
        {"ToAFile", kVictim}, {"ToTheStatus", kStatusFile}, {"ToTheRpmDb", kRpmDbFile}, {"Dangling", kMissing}};
    static std::vector<std::string> names;
    names.reserve(16);
    std::vector<PlantCase> cases;
    for (const Place& place : places) {
        for (const Target& target : targets) {
            if (place.path == target.path) continue;
            names.push_back(std::string(place.name) + target.name);
            cases.push_back(PlantCase{names.back().c_str(), place.path, target.path, place.exitCode});
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Links, PlantedLinkTest, ::testing::ValuesIn(plantCases()),
                         [](const ::testing::TestParamInfo<PlantCase>& param) {
                             return std::string(param.param.name);
                         });

// A reader polling the update state during runs that change it finds one whole word each time.
// The runs, the reader and the resets between the runs share one sandbox, as on the device.
TEST_F(PlantedFilesTest, UpdateStateReaderAlwaysFindsAWholeWord) {
    constexpr char kScript[] =
        "state=/var/lib/updater/update-state\n"
        "reset() { echo COMPLETE >$state.new && mv $state.new $state; }\n"
        "reset\n"
        "while [ ! -e /run/sandbox-stop ]; do\n"
        "    word=$(cat $state)\n"
        "    case \"$word\" in COMPLETE|AVAILABLE) echo >>/run/sandbox-reads ;; *) echo \"read '$word'\" ;; esac\n"
        "done &\n"
        "for run in 1 2 3 4 5; do\n"
        "    \"$0\" --max-wait-time -1 --check-only 2>/dev/null || echo \"run $run: exit $?\"\n"
        "    [ \"$(cat $state)\" = AVAILABLE ] || echo \"run $run: $(cat $state)\"\n"
        "    reset\n"
        "done\n"
        "touch /run/sandbox-stop\n"
        "wait\n";
    SandboxResult result = sandbox.runCommand({"/bin/sh", "-c", kScript, sandbox.installUpdaterCopy()});
    EXPECT_TRUE(result.exited && result.exitCode == 0) << result;
    EXPECT_EQ(result.out, "");
    EXPECT_FALSE(sandbox.readDeviceFile("/run/sandbox-reads").empty());
}

// Killed after a record's new content was written and synced, before the rename: the record
// keeps its old word, and the next start removes the temporary file and runs as usual. A first
// traced run counts the renames up to the record's; the second is killed at that one.
TEST_F(PlantedFilesTest, KillBeforeTheRenameOfARecordKeepsItsOldWord) {
    // The status is first replaced as the analysis begins, the update state once it is over.
    const std::pair<const char*, const char*> records[] = {{kStatusFile, "READY\n"}, {kUpdateStateFile, "ANALYZING\n"}};
    // A run that finds the index already recorded does not write the record again: each run
    // starts without it, so that both make the same renames.
    auto freshDevice = [&] {
        sandbox.removeDeviceFile("/var/cache/updater/main");
        sandbox.removeDeviceFile("/var/lib/updater/accepted-index");
        sandbox.setStatus("READY");
        replaceDeviceFile(kUpdateStateFile, "COMPLETE\n");
    };
    freshDevice();
    SandboxResult counted = sandbox.runCommand(underStrace("-o/run/sandbox-renames", {"--check-only"}));
    ASSERT_TRUE(counted.exited && counted.exitCode == 0) << counted;
    Lines renames;
    for (const std::string& line : splitLines(sandbox.readDeviceFile("/run/sandbox-renames")))
        if (line.compare(0, 7, "rename(") == 0) renames.push_back(line);
    for (const auto& [record, status] : records) {
        SCOPED_TRACE(record);
        const std::string into = std::string(", \"") + record + "\")";
        auto at = std::find_if(renames.begin(), renames.end(),
                               [&](const std::string& line) { return line.find(into) != std::string::npos; });
        ASSERT_NE(at, renames.end());
        freshDevice();
        const std::string when = std::to_string(at - renames.begin() + 1);
        SandboxResult killed =
            sandbox.runCommand(underStrace("-einject=rename:error=EIO:signal=SIGKILL:when=" + when, {"--check-only"}));
        EXPECT_FALSE(killed.exited && killed.exitCode == 0) << killed;
        EXPECT_EQ(sandbox.status(), status);
        EXPECT_EQ(sandbox.updateState(), "COMPLETE\n");
        std::string left;
        ASSERT_TRUE(runTool({"find", sandbox.hostPath("/var/lib/updater"), "-name", "*.??????"}, &left));
        EXPECT_EQ(splitLines(left).size(), 1u) << left;

        SandboxResult next = runUpdater({"--check-only"});
        EXPECT_TRUE(next.exited && next.exitCode == 0) << next;
        EXPECT_EQ(sandbox.updateState(), "AVAILABLE\n");
        ASSERT_TRUE(runTool({"find", sandbox.hostPath("/var/lib/updater"), "-name", "*.??????"}, &left));
        EXPECT_EQ(left, "");
    }
}

// What a killed run left in its temporary places goes at the next start; nothing else does.
TEST_F(PlantedFilesTest, LeftoversOfAKilledRunAreRemovedAtTheNextStart) {
    sandbox.installScript("/usr/local/sandbox-bin/gpgv", "kill -9 $PPID\n");
    SandboxResult killed = runUpdater({"--check-only"});
    EXPECT_TRUE(killed.signalled) << killed;
    sandbox.installScript("/usr/local/sandbox-bin/gpgv", "exec /usr/bin/gpgv \"$@\"\n");
    std::string keyrings;
    ASSERT_TRUE(runTool({"find", sandbox.hostPath("/tmp"), "-name", "updater.??????"}, &keyrings));
    EXPECT_EQ(splitLines(keyrings).size(), 1u) << keyrings;
    const std::vector<std::string> kept{"/tmp/updater.notmine", "/tmp/updater.OTHER1", "/var/lib/updater/status.bak",
                                        "/var/lib/updater/status.d1rty!"};
    for (const std::string& path : kept) sandbox.writeDeviceFile(path, "kept\n");
    ASSERT_EQ(chown(sandbox.hostPath("/tmp/updater.OTHER1").c_str(), 65534, 65534), 0);
    sandbox.writeDeviceFile("/var/lib/updater/status.Ab12Cd", "UPDATING\n");
    sandbox.writeDeviceFile("/var/lib/updater/update-state.x9Y8z7", "");

    SandboxResult next = runUpdater({"--check-only"});
    EXPECT_TRUE(next.exited && next.exitCode == 0) << next;
    ASSERT_TRUE(runTool({"find", sandbox.hostPath("/tmp"), "-name", "updater.??????"}, &keyrings));
    EXPECT_EQ(splitLines(keyrings), Lines{sandbox.hostPath("/tmp/updater.OTHER1")});
    EXPECT_FALSE(sandbox.deviceFileExists("/var/lib/updater/status.Ab12Cd"));
    EXPECT_FALSE(sandbox.deviceFileExists("/var/lib/updater/update-state.x9Y8z7"));
    for (const std::string& path : kept) EXPECT_TRUE(sandbox.deviceFileExists(path)) << path;
}

// The cache's own directories and files: what the updater did not make there goes, unfollowed,
// and the run goes on.
TEST_F(PlantedFilesTest, LinksInTheCacheAreRemovedUnfollowed) {
    for (const char* name : {"a.rpm", "b.rpm", "c.rpm"})
        sandbox.writeDeviceFile(std::string(kVictim) + "s/" + name, "x");
    plantLink("/var/cache/updater/main/packages", std::string(kVictim) + "s");
    plantLink("/var/cache/updater/main/repomd.xml.tmp", kVictim);
    plantLink("/var/cache/updater/main/primary.xml.gz.tmp", kMissing);
    SandboxResult result = runUpdater({});
    EXPECT_TRUE(result.exited && result.exitCode == 0) << result;
    EXPECT_EQ(installed("demo"), "demo-2.0-1");
    EXPECT_EQ(sandbox.readDeviceFile(kVictim), kVictimContent);
    std::string files;
    ASSERT_TRUE(runTool({"ls", sandbox.hostPath(std::string(kVictim) + "s")}, &files));
    EXPECT_EQ(splitLines(files), (Lines{"a.rpm", "b.rpm", "c.rpm"}));
    EXPECT_FALSE(sandbox.deviceFileExists(kMissing));
    EXPECT_FALSE(isLink("/var/cache/updater/main/packages"));

    // The repository's cache directory itself.
    sandbox.removeDeviceFile("/var/cache/updater/main");
    sandbox.makeDeviceDir("/var/lib/outside");
    plantLink("/var/cache/updater/main", "/var/lib/outside");
    sandbox.setStatus("READY");
    result = runUpdater({"--check-only"});
    EXPECT_TRUE(result.exited && result.exitCode == 0) << result;
    ASSERT_TRUE(runTool({"ls", "-A", sandbox.hostPath("/var/lib/outside")}, &files));
    EXPECT_EQ(files, "");
    EXPECT_FALSE(isLink("/var/cache/updater/main"));
}

// A header the iterator of rpm cannot read: the installed list is not to be had, the run
// fails before installing anything, and the update state stays as it was.
TEST_F(PlantedFilesTest, DamagedHeaderInTheRpmDatabaseFailsTheRun) {
    const std::string other = build(RpmPackageDef("other", "1.0", "1"), false);
    installOnDevice({other});
    std::string out;
    ASSERT_TRUE(runTool({"sqlite3", sandbox.hostPath(kRpmDbFile),
                         "UPDATE Packages SET blob = zeroblob(length(blob)) "
                         "WHERE hnum = (SELECT hnum FROM Name WHERE key = 'other')"},
                        &out))
        << out;
    replaceDeviceFile(kUpdateStateFile, "COMPLETE\n");
    for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"--check-db-headers"}}) {
        sandbox.setStatus("READY");
        SandboxResult result = runUpdater(args);
        EXPECT_TRUE(result.exited && result.exitCode == 1) << result;
        EXPECT_EQ(installed("demo"), "demo-1.0-1");
        EXPECT_EQ(sandbox.updateState(), "COMPLETE\n");
        EXPECT_EQ(sandbox.status(), "READY\n");
    }
}

// An rpm database whose name index is garbage is reported as unreadable, not as a bad signature
// for want of keys.
TEST_F(PlantedFilesTest, GarbageRpmDatabaseIsReportedAsUnreadable) {
    std::string out;
    ASSERT_TRUE(runTool({"sh", "-c",
                         "page=$(sqlite3 \"$0\" \"SELECT rootpage FROM sqlite_master WHERE name = 'Name'\") && "
                         "size=$(sqlite3 \"$0\" 'PRAGMA page_size') && "
                         "dd if=/dev/urandom of=\"$0\" bs=$size seek=$((page - 1)) count=1 conv=notrunc",
                         sandbox.hostPath(kRpmDbFile)},
                        &out))
        << out;
    SandboxResult result = runUpdater({"--check-only"});
    EXPECT_TRUE(result.exited && result.exitCode == 1) << result;
    EXPECT_TRUE(result.hasErrLine("ERROR: cannot read the rpm DB")) << result;
    EXPECT_FALSE(result.hasErrLine("ERROR: invalid metadata signature")) << result;
}

}  // namespace
}  // namespace system_test
