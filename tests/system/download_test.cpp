// Package downloads of whole update runs against a server that cuts, bloats or restarts what
// it sends: a cut download is resumed by the next run, a package larger than its record
// declares is refused at once.
#include <dirent.h>

#include <csignal>
#include <memory>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "system/signed_update_fixture.h"

namespace system_test {
namespace {

constexpr char kPackagePath[] = "/demo-2.0-1.noarch.rpm";
constexpr char kPartialDir[] = "/var/cache/updater/main/partial";

// The vendor's demo 2.0-1 over HTTP.
class DownloadTest : public DemoUpdateTest {
protected:
    void SetUp() override {
        DemoUpdateTest::SetUp();
        publish({s_newDemo});
        serveOverHttp();
    }

    size_t packageSize() const { return readFile(s_newDemo).size(); }

    // Names in the partial directory of the repository's cache; empty when it is absent.
    std::vector<std::string> partials() const {
        std::vector<std::string> names;
        DIR* dir = opendir(sandbox.hostPath(kPartialDir).c_str());
        while (dir) {
            const dirent* entry = readdir(dir);
            if (!entry) break;
            if (entry->d_name[0] != '.') names.push_back(entry->d_name);
        }
        if (dir) closedir(dir);
        return names;
    }
};

TEST_F(DownloadTest, APackageCutAtHalfIsResumedByTheNextRunAndInstalled) {
    HttpRoute cut;
    cut.truncateAfter = static_cast<long long>(packageSize() / 2);
    ASSERT_TRUE(m_server->setRoute(kPackagePath, cut));
    SandboxResult result = runUpdater({"--no-reboot"});
    EXPECT_TRUE(result.exited && result.exitCode == 1) << result;
    EXPECT_EQ(installed("demo"), "demo-1.0-1");
    EXPECT_EQ(partials().size(), 2u);  // the bytes and their validator

    ASSERT_TRUE(m_server->removeRoute(kPackagePath));
    ASSERT_TRUE(m_server->clearRequests());
    result = runUpdater({"--no-reboot"});
    EXPECT_TRUE(result.exited && result.exitCode == 0) << result;
    EXPECT_EQ(installed("demo"), "demo-2.0-1");
    const std::vector<HttpRequest> requests = m_server->requestsFor(kPackagePath);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].header("Range"), "bytes=" + std::to_string(packageSize() / 2) + "-");
    EXPECT_EQ(requests[0].status, 206);
    EXPECT_TRUE(partials().empty());
}

TEST_F(DownloadTest, ADownloadStoppedBySigtermIsResumedByTheNextRun) {
    HttpRoute slow;
    slow.trickleChunk = 400;
    slow.trickleInterval = 0.2;
    ASSERT_TRUE(m_server->setRoute(kPackagePath, slow));
    std::unique_ptr<SandboxProcess> run = sandbox.start({"--max-wait-time", "-1", "--no-reboot"});
    // Stopped once some bytes are on the storage.
    auto received = [this] {
        for (const std::string& name : partials())
            if (name.size() > 5 && name.compare(name.size() - 5, 5, ".part") == 0)
                return !readFile(sandbox.hostPath(kPartialDir) + "/" + name).empty();
        return false;
    };
    ASSERT_TRUE(waitUntil(received, std::chrono::seconds(30)));
    run->signal(SIGTERM);
    SandboxResult result = run->wait();
    EXPECT_FALSE(result.exited && result.exitCode == 0) << result;
    EXPECT_EQ(installed("demo"), "demo-1.0-1");

    ASSERT_TRUE(m_server->removeRoute(kPackagePath));
    ASSERT_TRUE(m_server->clearRequests());
    result = runUpdater({"--no-reboot"});
    EXPECT_TRUE(result.exited && result.exitCode == 0) << result;
    EXPECT_EQ(installed("demo"), "demo-2.0-1");
    const std::vector<HttpRequest> requests = m_server->requestsFor(kPackagePath);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].status, 206);
}

TEST_F(DownloadTest, APackageLargerThanItsRecordIsRefusedAtOnce) {
    ASSERT_TRUE(m_server->setStatus(kPackagePath, 404));
    SandboxResult missing = runUpdater({"--no-reboot"});
    EXPECT_TRUE(missing.exited && missing.exitCode == 1) << missing;
    const std::string stateAfterAFailedFetch = sandbox.updateState();

    ASSERT_TRUE(m_server->setEndless(kPackagePath, 64LL * 1024 * 1024));
    ASSERT_TRUE(m_server->clearRequests());
    SandboxResult result = runUpdater({"--no-reboot"});
    EXPECT_TRUE(result.exited && result.exitCode == 1) << result;
    // No retry, and no second download past the caches: the size is the repository's word.
    EXPECT_EQ(m_server->requestsFor(kPackagePath).size(), 1u);
    EXPECT_EQ(installed("demo"), "demo-1.0-1");
    EXPECT_EQ(sandbox.updateState(), stateAfterAFailedFetch);
    EXPECT_FALSE(fileExists(sandbox.hostPath("/var/cache/updater/main/packages/demo-2.0-1.noarch.rpm")));
    EXPECT_TRUE(partials().empty());
}

}  // namespace
}  // namespace system_test
