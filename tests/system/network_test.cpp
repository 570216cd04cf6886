// The network side of the updater binary on a simulated device: the identity it sends, the
// credentials it answers with, the proxy file, retries, redirects, the cache and HTTPS. The
// device's own files (cpuinfo, EEPROM, configuration, proxy and credentials files, certificate
// store) sit at their fixed paths; the servers are real and listen on 127.0.0.1 only.
#include <dirent.h>

#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <neon/ne_utils.h>

#include "base/handles.h"
#include "base/version.h"
#include "fixtures/http_server.h"
#include "fixtures/log_capture.h"
#include "fixtures/repo_builder.h"
#include "fixtures/temp_dir.h"
#include "network/device_identity.h"
#include "network/local_network.h"
#include "system/updater_system_test.h"

namespace system_test {
namespace {

using Lines = std::vector<std::string>;

constexpr char kRepomdPath[] = "/repo/repodata/repomd.xml";
constexpr char kCacheDir[] = "/var/cache/updater/main";
constexpr char kNoUpdatesLine[] = "INFO: --- 0 UPDATE(S) ---";
// What neon reports when the server closes the connection without an answer.
constexpr char kDroppedText[] = "Could not read status line: connection was closed by server";
constexpr char kRepomdFailedLine[] = "ERROR: failed getting repository resource 'repodata/repomd.xml'";

// A board of its own, so that nothing below matches the sandbox's standard identity by chance.
constexpr char kSerial[] = "00000000C0FFEE42";
constexpr char kRevision[] = "0300";
constexpr char kEepromBlock[] = "NET-TEST-EEPROM-0042!";  // one 21-byte block
const std::string kDefaultUser = std::string("PRODUCT-") + kRevision;

// "neon/<version>", the token neon appends to every user agent.
std::string neonToken() {
    std::string text = ne_version_string();  // "neon 0.32.5: Library build, ..."
    return "neon/" + text.substr(5, text.find(':') - 5);
}

// A documentation address on none of this machine's networks; empty when all are local.
std::string remoteLiteral() {
    LogCapture quiet;
    for (const char* candidate : {"203.0.113.1", "198.51.100.1", "192.0.2.1"}) {
        std::vector<NeInetAddrPtr> local;
        if (findLocalAddresses(candidate, local) && local.empty()) return candidate;
    }
    return "";
}

std::set<std::string> listDir(const std::string& path) {
    std::set<std::string> names;
    DirPtr dir(opendir(path.c_str()));
    while (dir) {
        const dirent* entry = readdir(dir.get());
        if (!entry) break;
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.insert(name);
    }
    return names;
}

class NetworkTest : public UpdaterSystemTest {
protected:
    void SetUp() override {
        UpdaterSystemTest::SetUp();
        sandbox.writeDeviceFile("/proc/cpuinfo", std::string("Hardware\t: tresca\nRevision\t: ") + kRevision +
                                                     "\nSerial\t\t: " + kSerial + "\n");
        sandbox.writeDeviceFile("/sys/bus/i2c/drivers/tav-eeprom/1-0052/data", kEepromBlock);
        // An empty repository: a check of it reports no updates and succeeds.
        ASSERT_TRUE(RepoBuilder(server.root() + "/repo").create());
        configure(server.url("/repo/"));
    }

    void configure(const std::string& url, const std::string& logLevel = "info", const std::string& extra = "") {
        sandbox.writeConfig(DeviceSandbox::configXml(
            DeviceSandbox::repositoryXml("main", url) +
                "  <user-agent><base>BASE</base><prodname>PRODUCT</prodname></user-agent>\n" + extra,
            logLevel));
    }

    // Metadata signatures have tests of their own; here only the transfers matter.
    SandboxResult check() { return runUpdater({"--check-only", "--no-md-sig-check"}); }

    static ::testing::AssertionResult succeeded(const SandboxResult& result) {
        if (result.exited && result.exitCode == 0 && linesInOrder(result.errLines(), {kNoUpdatesLine, kExitOkLine}))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "the check did not succeed: " << result;
    }

    HttpTestServer server;
};

TEST_F(NetworkTest, UserAgentFromTheDeviceIdentityAndCacheBypassForTheIndex) {
    SandboxResult result = check();
    ASSERT_TRUE(succeeded(result));

    std::vector<HttpRequest> requests = server.requests();
    ASSERT_EQ(requests.size(), 2u) << result;
    for (const HttpRequest& request : requests) {
        EXPECT_EQ(request.header("User-Agent"),
                  std::string("BASE/") + kUpdaterVersion + " (PRODUCT-" + kSerial + ") " + neonToken());
        EXPECT_FALSE(request.viaProxy);
    }
    // The index says which lists are current: it is never taken from an intermediate cache.
    EXPECT_EQ(requests[0].path, kRepomdPath);
    EXPECT_EQ(requests[0].header("Cache-Control"), "no-cache");
    EXPECT_EQ(requests[0].header("Pragma"), "no-cache");
    // A list is checked against its checksum, so its first download may come from a cache.
    EXPECT_FALSE(requests[1].hasHeader("Cache-Control")) << requests[1].path;
    EXPECT_FALSE(requests[1].hasHeader("Pragma")) << requests[1].path;
}

TEST_F(NetworkTest, DigestWithTheCredentialsFileOrTheDefaultsFromTheEeprom) {
    // The password the server recorded for this board: the device derives it from its EEPROM.
    std::string devicePassword;
    {
        LogCapture quiet;
        DeviceIdentity board{kSerial, kRevision, HardwareType::Tresca};
        ASSERT_TRUE(defaultPassword(board, devicePassword, sandbox.hostPath("/sys/bus/i2c/drivers")));
    }
    const std::string credentials =
        "<credits xmlns:xlink='http://www.w3.org/1999/xlink'>"
        "<creditentials xlink:href='" +
        server.url("/repo/") + "' realm='updates' username='fileuser' password='filepw'/></credits>\n";
    struct Case {
        const char* name;
        bool withFile;
        std::string user;
        std::string password;
    };
    for (const Case& c : {Case{"entry of the credentials file", true, "fileuser", "filepw"},
                          Case{"default credentials", false, kDefaultUser, devicePassword}}) {
        SCOPED_TRACE(c.name);
        if (c.withFile)
            sandbox.writeDeviceFile("/etc/orvane/tavpasswd.xml", credentials);
        else
            sandbox.removeDeviceFile("/etc/orvane/tavpasswd.xml");
        // The most verbose level: even then no password may reach the output.
        configure(server.url("/repo/"), "trace");
        ASSERT_TRUE(server.addDigestRealm("/repo/", "updates", {{c.user, c.password}}));
        ASSERT_TRUE(server.clearRequests());
        sandbox.removeDeviceFile(kCacheDir);

        SandboxResult result = check();
        EXPECT_TRUE(succeeded(result));
        // The index meets the challenge; then it and the list go with the credentials.
        std::vector<HttpRequest> requests = server.requests();
        ASSERT_EQ(requests.size(), 3u) << result;
        EXPECT_EQ(requests[0].status, 401);
        for (size_t i = 1; i < requests.size(); ++i) {
            EXPECT_EQ(requests[i].status, 200) << requests[i].path;
            EXPECT_EQ(requests[i].authUser, c.user) << requests[i].path;
        }
        for (const std::string& secret : {std::string("filepw"), devicePassword}) {
            EXPECT_EQ(result.err.find(secret), std::string::npos) << result;
            EXPECT_EQ(result.out.find(secret), std::string::npos) << result;
        }
    }

    // Without a readable EEPROM the device has no default credentials to offer.
    sandbox.removeDeviceFile("/sys/bus/i2c/drivers/tav-eeprom");
    configure(server.url("/repo/"));
    SandboxResult result = check();
    EXPECT_TRUE(result.exited && result.exitCode == 1) << result;
    EXPECT_TRUE(linesInOrder(result.errLines(),
                             {"WARNING: cannot recover default authentication credentials",
                              "ERROR: failed fetching 'repodata/repomd.xml' (authentication failed on server)",
                              kRepomdFailedLine, kNoRepositoryDataLine}))
        << result;
}

TEST_F(NetworkTest, ProxyFromTheProxyFileWithItsCredentialsUnlessTheServerIsLocal) {
    const std::string remote = remoteLiteral();
    if (remote.empty()) GTEST_SKIP() << "every documentation network is local on this machine";
    // The test server is the proxy as well: it serves absolute-URI requests for any host from
    // its own document root, and logs whether a request came through it. The remote server is
    // an address literal: the device decides that it is not local without asking a name server
    // (a name would be looked up before the proxy is chosen, and the query would leave this
    // machine), and neon leaves the connection to the proxy.
    ASSERT_TRUE(server.enableProxy({{"puser", "ppass"}}, {"Basic"}));
    struct Case {
        const char* name;
        std::string url;
        std::string bypassAttribute;
        bool viaProxy;
    };
    for (const Case& c :
         {Case{"remote server", "http://" + remote + "/repo/", "", true},
          Case{"local server", server.url("/repo/"), "", false},
          Case{"local server, bypass off", server.url("/repo/"), " bypassLocalNetwork=\"off\"", true}}) {
        SCOPED_TRACE(c.name);
        configure(c.url, "trace");
        sandbox.writeDeviceFile("/etc/network/tavproxy.conf",
                                "<proxyconf>\n  <proxy server=\"127.0.0.1\" port=\"" + std::to_string(server.port()) +
                                    "\"" + c.bypassAttribute +
                                    " username=\"puser\" password=\"ppass\"/>\n</proxyconf>\n");
        ASSERT_TRUE(server.clearRequests());
        sandbox.removeDeviceFile(kCacheDir);

        SandboxResult result = check();
        EXPECT_TRUE(succeeded(result));
        EXPECT_TRUE(result.hasErrLine("INFO: using HTTP proxy '127.0.0.1' port " + std::to_string(server.port())))
            << result;
        EXPECT_EQ(result.err.find("ppass"), std::string::npos) << result;
        std::vector<HttpRequest> requests = server.requests();
        ASSERT_FALSE(requests.empty());
        for (const HttpRequest& request : requests) EXPECT_EQ(request.viaProxy, c.viaProxy) << request.target;
        std::string repomdUrl = c.url + "repodata/repomd.xml";
        if (c.viaProxy) {
            // Asked without credentials first; the proxy's 407 brings those of the proxy file.
            EXPECT_EQ(requests.front().status, 407);
            EXPECT_EQ(requests.front().target, repomdUrl);
            EXPECT_EQ(requests.back().status, 200);
            EXPECT_EQ(requests.back().proxyUser, "puser");
        } else {
            EXPECT_EQ(requests.front().target, kRepomdPath);
            for (const HttpRequest& request : requests) EXPECT_EQ(request.status, 200) << request.target;
        }
    }
}

TEST_F(NetworkTest, DroppedConnectionsAreRetriedTwiceButNotFoundIsFinal) {
    const std::string failed = "failed fetching 'repodata/repomd.xml' (";
    const std::string retrying = "WARNING: " + failed + kDroppedText + "); retrying";
    struct Case {
        const char* name;
        int closeTimes;  // connections dropped before the index is served ...
        int status;      // ... or the status answered instead
        size_t requests;
        Lines lines;  // every warning and error, in order
        bool success;
    };
    for (const Case& c : {
             Case{"always dropped",
                  -1,
                  0,
                  3,
                  {retrying, retrying, "ERROR: " + failed + kDroppedText + ")", kRepomdFailedLine,
                   kNoRepositoryDataLine},
                  false},
             Case{"dropped once", 1, 0, 2, {retrying}, true},
             Case{"not found",
                  0,
                  404,
                  1,
                  {"ERROR: " + failed + "404 Not Found)", kRepomdFailedLine, kNoRepositoryDataLine},
                  false},
         }) {
        SCOPED_TRACE(c.name);
        if (c.status)
            ASSERT_TRUE(server.setStatus(kRepomdPath, c.status));
        else
            ASSERT_TRUE(server.setCloseConnection(kRepomdPath, c.closeTimes));
        ASSERT_TRUE(server.clearRequests());

        SandboxResult result = check();
        EXPECT_TRUE(c.success ? succeeded(result) : result.hasErrLine(kExitErrorLine)) << result;
        EXPECT_EQ(server.requestsFor(kRepomdPath).size(), c.requests);
        Lines problems;
        for (const std::string& line : result.errLines())
            if (line.rfind("WARNING: ", 0) == 0 || line.rfind("ERROR: ", 0) == 0) problems.push_back(line);
        EXPECT_EQ(problems, c.lines) << result;
        // A retry that succeeds says so.
        EXPECT_EQ(result.hasErrLine("INFO: fetched 'repodata/repomd.xml' in retry 1"), c.success) << result;
    }
}

TEST_F(NetworkTest, FiveRedirectsAreFollowedAndASixthIsRefused) {
    // The chain alternates between the server's two ports and ends at a mirror of the index.
    server.addFile("mirror/repodata/repomd.xml", readFile(server.root() + kRepomdPath));
    ASSERT_TRUE(server.setRedirectChain(kRepomdPath, 5, "/mirror/repodata/repomd.xml", 302, RedirectPort::Alternate));
    SandboxResult result = check();
    EXPECT_TRUE(succeeded(result));
    EXPECT_EQ(server.requestsFor(kRepomdPath).size(), 5u);
    EXPECT_EQ(server.requestsFor("/mirror/repodata/repomd.xml").size(), 1u);
    // The index bypasses caches all along the chain.
    for (const char* path : {kRepomdPath, "/mirror/repodata/repomd.xml"})
        for (const HttpRequest& request : server.requestsFor(path))
            EXPECT_EQ(request.header("Cache-Control"), "no-cache") << request.target;

    ASSERT_TRUE(server.setRedirectChain(kRepomdPath, 6, "/mirror/repodata/repomd.xml", 302, RedirectPort::Alternate));
    ASSERT_TRUE(server.clearRequests());
    result = check();
    EXPECT_TRUE(result.exited && result.exitCode == 1) << result;
    EXPECT_TRUE(linesInOrder(result.errLines(), {"ERROR: maximum number of redirects (5) exceeded", kRepomdFailedLine,
                                                 kNoRepositoryDataLine, kExitErrorLine}))
        << result;
    EXPECT_EQ(server.requestsFor(kRepomdPath).size(), 6u);
    EXPECT_TRUE(server.requestsFor("/mirror/repodata/repomd.xml").empty());
}

TEST_F(NetworkTest, FailedDownloadLeavesTheCachedIndexAndNoTemporaryFile) {
    const std::string cachedIndex = std::string(kCacheDir) + "/repomd.xml";
    sandbox.writeDeviceFile(cachedIndex, "index of an earlier run\n");
    // The fetched index waits as repomd.xml.new until it is accepted.
    sandbox.writeDeviceFile(cachedIndex + ".new.tmp", "left over by an interrupted run");
    // The answer breaks off after some bytes, on every attempt.
    const std::string index = readFile(server.root() + kRepomdPath);
    HttpRoute route;
    route.truncateAfter = static_cast<long long>(index.size() / 2);
    ASSERT_TRUE(server.setRoute(kRepomdPath, route));

    SandboxResult result = check();
    EXPECT_TRUE(result.exited && result.exitCode == 1) << result;
    EXPECT_TRUE(result.hasErrLine(kRepomdFailedLine)) << result;
    EXPECT_EQ(server.requestsFor(kRepomdPath).size(), 3u);
    EXPECT_EQ(sandbox.readDeviceFile(cachedIndex), "index of an earlier run\n");
    EXPECT_EQ(listDir(sandbox.hostPath(kCacheDir)), std::set<std::string>{"repomd.xml"});

    // Once the server answers in full, the new index replaces the old one.
    ASSERT_TRUE(server.removeRoute(kRepomdPath));
    EXPECT_TRUE(succeeded(check()));
    EXPECT_EQ(sandbox.readDeviceFile(cachedIndex), index);
    EXPECT_EQ(listDir(sandbox.hostPath(kCacheDir)), (std::set<std::string>{"primary.xml.gz", "repomd.xml"}));
}

TEST_F(NetworkTest, HttpsTrustsTheCertificateAuthoritiesOfTheSystemStore) {
    TempDir certificates("net-test-ca");
    TestCertificates ca = makeTestCertificates(certificates.path());
    ASSERT_FALSE(ca.caHash.empty());
    HttpTestServer tls(server.root());
    tls.enableTls(ca.serverCert, ca.serverKey);
    configure(tls.tlsUrl("/repo/"));

    SandboxResult result = check();
    EXPECT_TRUE(result.exited && result.exitCode == 1) << result;
    EXPECT_TRUE(linesInOrder(result.errLines(), {"ERROR: failed fetching 'repodata/repomd.xml' (Server certificate "
                                                 "verification failed: issuer is not trusted)",
                                                 kRepomdFailedLine, kNoRepositoryDataLine}))
        << result;
    EXPECT_TRUE(tls.requests().empty());

    // OpenSSL's default directory on Debian, /usr/lib/ssl/certs, links to /etc/ssl/certs,
    // where a certificate authority is found by the "<subject hash>.0" name.
    sandbox.writeDeviceFile("/etc/ssl/certs/" + ca.caHash + ".0", readFile(ca.caCert));
    result = check();
    EXPECT_TRUE(succeeded(result));
    std::vector<HttpRequest> requests = tls.requestsFor(kRepomdPath);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].listener, "tls");
}

TEST_F(NetworkTest, AnIndexWithoutEndIsCutAtItsLimitAndTheCacheKept) {
    const std::string cachedIndex = std::string(kCacheDir) + "/repomd.xml";
    sandbox.writeDeviceFile(cachedIndex, "index of an earlier run\n");
    ASSERT_TRUE(server.setEndless(kRepomdPath, 64LL * 1024 * 1024));

    SandboxResult result = check();
    EXPECT_TRUE(result.exited && result.exitCode == 1) << result;
    EXPECT_TRUE(result.hasErrLine(kRepomdFailedLine)) << result;
    EXPECT_EQ(server.requestsFor(kRepomdPath).size(), 1u);
    EXPECT_EQ(sandbox.readDeviceFile(cachedIndex), "index of an earlier run\n");
    EXPECT_EQ(listDir(sandbox.hostPath(kCacheDir)), std::set<std::string>{"repomd.xml"});
}

TEST_F(NetworkTest, ATrickleIsAbortedByTheRateFloorOfTheConfiguration) {
    configure(server.url("/repo/"), "info", "  <network><stall bytes-per-second=\"1000\" seconds=\"1\"/></network>\n");
    HttpRoute trickle;
    trickle.hasBody = true;
    trickle.body = std::string(100000, 't');
    trickle.trickleChunk = 10;
    trickle.trickleInterval = 0.1;
    ASSERT_TRUE(server.setRoute(kRepomdPath, trickle));

    SandboxResult result = check();
    EXPECT_TRUE(result.exited && result.exitCode == 1) << result;
    EXPECT_TRUE(result.hasErrLine(kRepomdFailedLine)) << result;
    // Aborted and retried as a dropped connection is.
    EXPECT_EQ(server.requestsFor(kRepomdPath).size(), 3u);
}

TEST_F(NetworkTest, ARedirectFromHttpsToPlainHttpIsRefused) {
    TempDir certificates("net-test-ca");
    TestCertificates ca = makeTestCertificates(certificates.path());
    ASSERT_FALSE(ca.caHash.empty());
    sandbox.writeDeviceFile("/etc/ssl/certs/" + ca.caHash + ".0", readFile(ca.caCert));
    HttpTestServer tls(server.root());
    tls.enableTls(ca.serverCert, ca.serverKey);
    configure(tls.tlsUrl("/repo/"));
    ASSERT_TRUE(tls.setRedirect(kRepomdPath, server.url(kRepomdPath)));

    SandboxResult result = check();
    EXPECT_TRUE(result.exited && result.exitCode == 1) << result;
    EXPECT_TRUE(result.hasErrLine(kRepomdFailedLine)) << result;
    EXPECT_EQ(tls.requestsFor(kRepomdPath).size(), 1u);
    EXPECT_TRUE(server.requests().empty());
}

}  // namespace
}  // namespace system_test
