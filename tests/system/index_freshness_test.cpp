// Replayed and stale repository indexes: the device records the signing time of the index it
// accepted and refuses one signed earlier, or older than a configured maximum age, or expired.
// Signatures are dated with gpg's faked system time; the device runs on the real clock, so
// "the clock set forward" is a signature dated back.
#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "system/signed_update_fixture.h"

namespace system_test {
namespace {

constexpr long long kDay = 24 * 3600;
constexpr char kRecord[] = "/var/lib/updater/accepted-index";
constexpr char kCachedIndex[] = "/var/cache/updater/main/repomd.xml";

// The device has demo 1.0-1; an index may offer demo 2.0-1.
class IndexFreshnessTest : public SignedUpdateTest {
protected:
    static void SetUpTestSuite() {
        SignedUpdateTest::SetUpTestSuite();
        s_old = build(RpmPackageDef("demo", "1.0", "1"), false);
        s_new = build(RpmPackageDef("demo", "2.0", "1"));
        ASSERT_FALSE(s_old.empty() || s_new.empty());
    }

    void SetUp() override {
        SignedUpdateTest::SetUp();
        installOnDevice({s_old});
        m_now = static_cast<long long>(time(nullptr));
    }

    // An index offering demo 2.0 or not, signed at now + offset seconds, with more options of
    // the publishing script.
    void publishAt(long long offset, bool withUpdate, std::vector<std::string> options = {}) {
        std::vector<std::string> dated = RepoBuilder::signedAt(m_now + offset);
        options.insert(options.end(), dated.begin(), dated.end());
        publish(withUpdate ? std::vector<std::string>{s_new} : std::vector<std::string>{s_old}, "", options);
    }

    void useMaximumAge(int days) {
        sandbox.writeConfig(
            DeviceSandbox::configXml(DeviceSandbox::repositoryXml("main", DeviceSandbox::localRepositoryUrl()) +
                                     "  <metadata max-age-days=\"" + std::to_string(days) + "\"/>\n"));
    }

    static bool ok(const SandboxResult& result) { return result.exited && result.exitCode == 0; }
    static bool failed(const SandboxResult& result) { return result.exited && result.exitCode == 1; }

    static std::string s_old;
    static std::string s_new;
    long long m_now = 0;
};

std::string IndexFreshnessTest::s_old;
std::string IndexFreshnessTest::s_new;

TEST_F(IndexFreshnessTest, AnOlderIndexIsRefusedAndChangesNothing) {
    publishAt(2 * kDay, false);
    HttpTestServer& server = serveOverHttp();
    SandboxResult first = runUpdater({"--no-reboot"});
    ASSERT_TRUE(ok(first)) << first;
    const std::string record = sandbox.readDeviceFile(kRecord);
    const std::string accepted = sandbox.readDeviceFile(kCachedIndex);
    ASSERT_FALSE(record.empty());
    ASSERT_EQ(sandbox.updateState(), "COMPLETE\n");

    // A replay of an index signed a day earlier, which offered demo 2.0.
    publishAt(kDay, true);
    const std::string replayedPrimary =
        RepoBuilder(sandbox.hostPath(kRepoDir)).listPath("primary").substr(sandbox.hostPath(kRepoDir).size());
    SandboxResult replayed = runUpdater({"--no-reboot"});
    EXPECT_TRUE(failed(replayed)) << replayed;
    EXPECT_EQ(linesOfLevel(replayed, "ERROR").front().rfind("ERROR: refusing repository index signed ", 0), 0u)
        << replayed;
    EXPECT_EQ(installed("demo"), "demo-1.0-1");
    EXPECT_EQ(sandbox.readDeviceFile(kRecord), record);
    EXPECT_EQ(sandbox.readDeviceFile(kCachedIndex), accepted);
    EXPECT_EQ(sandbox.updateState(), "COMPLETE\n");
    EXPECT_TRUE(server.requestsFor(replayedPrimary).empty());
    EXPECT_TRUE(server.requestsFor("/demo-2.0-1.noarch.rpm").empty());

    // The cache still holds the accepted index, which a cache-only run reads.
    SandboxResult cached = runUpdater({"--cache-only", "--check-only"});
    EXPECT_TRUE(ok(cached)) << cached;
}

TEST_F(IndexFreshnessTest, TheConsoleOptionAcceptsAnOlderIndexForOneRun) {
    publishAt(2 * kDay, false);
    ASSERT_TRUE(ok(runUpdater({"--no-reboot"})));
    publishAt(kDay, true);
    ASSERT_TRUE(failed(runUpdater({"--no-reboot", "--check-only"})));

    SandboxResult rollback = runUpdater({"--no-reboot", "--accept-older-metadata"});
    EXPECT_TRUE(ok(rollback)) << rollback;
    EXPECT_EQ(linesOfLevel(rollback, "WARNING").size(), 1u) << rollback;
    EXPECT_EQ(installed("demo"), "demo-2.0-1");
    // From then on that index is the accepted one: the same index is accepted again.
    SandboxResult again = runUpdater({"--no-reboot"});
    EXPECT_TRUE(ok(again)) << again;
    EXPECT_TRUE(linesOfLevel(again, "WARNING").empty()) << again;
}

TEST_F(IndexFreshnessTest, TheSameSigningTimeWithOtherContentIsRefused) {
    publishAt(kDay, false);
    ASSERT_TRUE(ok(runUpdater({"--no-reboot"})));
    const std::string record = sandbox.readDeviceFile(kRecord);
    publishAt(kDay, true);
    SandboxResult result = runUpdater({"--no-reboot"});
    EXPECT_TRUE(failed(result)) << result;
    EXPECT_EQ(installed("demo"), "demo-1.0-1");
    EXPECT_EQ(sandbox.readDeviceFile(kRecord), record);
}

TEST_F(IndexFreshnessTest, AnIndexBeyondTheMaximumAgeIsRefused) {
    useMaximumAge(14);
    publishAt(-20 * kDay, false);
    SandboxResult stale = runUpdater({"--no-reboot"});
    EXPECT_TRUE(failed(stale)) << stale;
    EXPECT_FALSE(sandbox.deviceFileExists(kRecord));

    publishAt(-10 * kDay, false);
    SandboxResult recent = runUpdater({"--no-reboot"});
    EXPECT_TRUE(ok(recent)) << recent;
    EXPECT_TRUE(sandbox.deviceFileExists(kRecord));
}

TEST_F(IndexFreshnessTest, AClockBehindTheRecordSkipsOnlyTheAgeCheck) {
    useMaximumAge(14);
    // Signed in the future: never refused for its time.
    publishAt(30 * kDay, false);
    SandboxResult future = runUpdater({"--no-reboot"});
    EXPECT_TRUE(ok(future)) << future;

    publishAt(31 * kDay, false);
    SandboxResult newer = runUpdater({"--no-reboot"});
    EXPECT_TRUE(ok(newer)) << newer;
    // The clock is behind the recorded index: said once a run, and the index is accepted.
    EXPECT_EQ(linesOfLevel(newer, "WARNING").size(), 1u) << newer;

    publishAt(29 * kDay, false);
    SandboxResult older = runUpdater({"--no-reboot"});
    EXPECT_TRUE(failed(older)) << older;
}

TEST_F(IndexFreshnessTest, AnExpiredIndexIsRefusedAsExpired) {
    publishAt(-3 * kDay, true, {"--sig-expire", "1d"});
    SandboxResult result = runUpdater({"--no-reboot"});
    EXPECT_TRUE(failed(result)) << result;
    const Lines errors = linesOfLevel(result, "ERROR");
    ASSERT_FALSE(errors.empty()) << result;
    EXPECT_EQ(errors.front().rfind("ERROR: repository index expired at ", 0), 0u) << result;
    EXPECT_FALSE(result.hasErrLine("ERROR: invalid metadata signature")) << result;
    EXPECT_EQ(installed("demo"), "demo-1.0-1");

    // Signed again before it expires, the same repository is accepted.
    publishAt(0, true, {"--sig-expire", "14d"});
    EXPECT_TRUE(ok(runUpdater({"--no-reboot"})));
    EXPECT_EQ(installed("demo"), "demo-2.0-1");
}

TEST_F(IndexFreshnessTest, AKillBeforeTheRecordIsRenamedLeavesTheOldRecordWhole) {
    publishAt(kDay, false);
    ASSERT_TRUE(ok(runUpdater({"--no-reboot"})));
    const std::string record = sandbox.readDeviceFile(kRecord);
    publishAt(2 * kDay, false);
    // strace kills the updater when it renames the written temporary record into place.
    const std::string temp = std::string(kRecord) + ".tmp";
    SandboxResult killed =
        sandbox.runCommand({"strace", "-f", "-qq", "-o", "/dev/null", "-P", temp, "-e",
                            "trace=rename,renameat,renameat2", "-e", "inject=rename,renameat,renameat2:signal=KILL",
                            sandbox.installUpdaterCopy(), "--max-wait-time", "-1", "--no-reboot"});
    EXPECT_FALSE(ok(killed)) << killed;
    ASSERT_TRUE(sandbox.deviceFileExists(temp)) << killed;
    EXPECT_EQ(sandbox.readDeviceFile(kRecord), record);

    SandboxResult next = runUpdater({"--no-reboot"});
    EXPECT_TRUE(ok(next)) << next;
    EXPECT_NE(sandbox.readDeviceFile(kRecord), record);
    EXPECT_FALSE(sandbox.deviceFileExists(temp));
}

TEST_F(IndexFreshnessTest, AnUnreadableRecordStopsTheRunUntilRemoved) {
    publishAt(0, true);
    sandbox.writeDeviceFile(kRecord, "signed 17");
    SandboxResult result = runUpdater({"--no-reboot"});
    EXPECT_TRUE(failed(result)) << result;
    EXPECT_EQ(sandbox.readDeviceFile(kRecord), "signed 17");
    EXPECT_EQ(installed("demo"), "demo-1.0-1");

    sandbox.removeDeviceFile(kRecord);
    EXPECT_TRUE(ok(runUpdater({"--no-reboot"})));
    EXPECT_EQ(installed("demo"), "demo-2.0-1");
}

}  // namespace
}  // namespace system_test
