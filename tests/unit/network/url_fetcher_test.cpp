#include "network/url_fetcher.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

#include <gtest/gtest.h>
#include <neon/ne_redirect.h>
#include <neon/ne_socket.h>

#include "base/version.h"
#include "fixtures/http_server.h"
#include "fixtures/log_capture.h"
#include "fixtures/temp_dir.h"
#include "network/local_network.h"

namespace {

const std::string kSerial = "00A1B2C3";
const std::string kBlock = "core-seria C1.04xyzwv";  // one 21-byte EEPROM block
const std::string kDefaultUser = "PRODUCT-2.1";

FetcherConfig baseConfig() {
    FetcherConfig config;
    config.userAgentBase = "BASE";
    config.userAgentProduct = "PRODUCT";
    return config;
}

// Points SSL_CERT_FILE and SSL_CERT_DIR, which OpenSSL's default paths honour, at a test CA
// for the lifetime of the object.
class TrustedCa {
public:
    TrustedCa(const std::string& caFile, const std::string& emptyDir) {
        setenv("SSL_CERT_FILE", caFile.c_str(), 1);
        setenv("SSL_CERT_DIR", emptyDir.c_str(), 1);
    }
    ~TrustedCa() {
        unsetenv("SSL_CERT_FILE");
        unsetenv("SSL_CERT_DIR");
    }
};

// A documentation address that lies on none of this machine's networks; empty when all do.
std::string remoteLiteral() {
    for (const char* candidate : {"203.0.113.1", "198.51.100.1", "192.0.2.1"}) {
        std::vector<NeInetAddrPtr> local;
        if (findLocalAddresses(candidate, local) && local.empty()) return candidate;
    }
    return "";
}

class URLFetcherTest : public testing::Test {
protected:
    URLFetcherTest() {
        ne_sock_init();
        URLFetcher::resetClassForTesting();
        writeFile(m_dir / "cpuinfo", "Serial\t\t: " + kSerial + "\nRevision\t: 2.1\nHardware\t: Mirest\n");
        writeFile(m_dir / "i2c/Vorlan-EEPROM/0-0050/data", kBlock);
    }
    ~URLFetcherTest() override {
        URLFetcher::resetClassForTesting();
        ne_sock_exit();
    }

    void init(const FetcherConfig& config = baseConfig()) {
        URLFetcher::resetClassForTesting();
        URLFetcher::initClass(config, m_dir / "cpuinfo", m_dir / "i2c", m_dir / "tavpasswd.xml");
    }
    void credentialsFile(const std::string& entries) {
        writeFile(m_dir / "tavpasswd.xml",
                  "<credits xmlns:xlink='http://www.w3.org/1999/xlink'>" + entries + "</credits>");
    }
    std::string entry(const std::string& uri, const std::string& user, const std::string& password,
                      const std::string& realm = "updates") {
        return "<creditentials xlink:href='" + uri + "' realm='" + realm + "' username='" + user + "' password='" +
               password + "'/>";
    }
    std::string defaultPasswordOfDevice() {
        std::string password;
        EXPECT_TRUE(defaultPassword({kSerial, "2.1", HardwareType::Mirest}, password, m_dir / "i2c"));
        return password;
    }

    std::unique_ptr<URLFetcher> fetcher(const std::string& url) {
        NeUri uri;
        EXPECT_TRUE(uri.parse(url.c_str())) << url;
        return std::make_unique<URLFetcher>(uri.get());
    }
    // Fetches into a fresh output file and reads it back into m_content.
    bool fetch(URLFetcher& fetcher, const std::string& path, bool bypassCache = false) {
        UniqueFd fd(open((m_dir / "out").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        EXPECT_TRUE(fd.valid());
        Transfer transfer;
        transfer.fd = fd.get();
        bool result = fetcher.get(path, transfer, bypassCache, path.substr(1));
        m_content = readFile(m_dir / "out");
        return result;
    }
    // A configuration with the test server (or another port) as the proxy.
    FetcherConfig proxyConfig(unsigned port, bool bypassLocalNetwork) {
        FetcherConfig config = baseConfig();
        config.proxyServer = "127.0.0.1";
        config.proxyPort = static_cast<int>(port);
        config.bypassLocalNetwork = bypassLocalNetwork;
        return config;
    }
    int count(const std::string& line) const { return m_log.count(line); }

    LogCapture m_log;
    TempDir m_dir;
    HttpTestServer m_server;
    std::string m_content;
};

TEST_F(URLFetcherTest, UserAgentAndCacheBypassHeaders) {
    init();
    FetcherConfig other = baseConfig();
    other.userAgentBase = "OTHER";
    URLFetcher::initClass(other, m_dir / "cpuinfo", m_dir / "i2c", m_dir / "tavpasswd.xml");  // once per process
    m_server.addFile("index", "x");
    auto f = fetcher(m_server.url());
    ASSERT_TRUE(f->valid());
    EXPECT_TRUE(fetch(*f, "/index", true));
    EXPECT_EQ("x", m_content);
    EXPECT_TRUE(fetch(*f, "/index", false));
    std::vector<HttpRequest> requests = m_server.requests();
    ASSERT_EQ(2u, requests.size());
    // neon appends its own product token.
    EXPECT_EQ(
        0u,
        requests[0].header("User-Agent").find(std::string("BASE/") + kUpdaterVersion + " (PRODUCT-" + kSerial + ")"))
        << requests[0].header("User-Agent");
    EXPECT_FALSE(requests[0].viaProxy);
    EXPECT_EQ("no-cache", requests[0].header("Cache-Control"));
    EXPECT_EQ("no-cache", requests[0].header("Pragma"));
    EXPECT_FALSE(requests[1].hasHeader("Cache-Control"));
    EXPECT_FALSE(requests[1].hasHeader("Pragma"));
}

TEST_F(URLFetcherTest, NotFoundIsNotRetriedAndWritesNothing) {
    init();
    auto f = fetcher(m_server.url());
    EXPECT_FALSE(fetch(*f, "/missing"));
    EXPECT_EQ("", m_content);
    EXPECT_FALSE(f->redirected());
    EXPECT_EQ(1u, m_server.requests().size());
    EXPECT_TRUE(m_log.has("ERROR: failed fetching 'missing' (404 Not Found)")) << m_log.text();
}

TEST_F(URLFetcherTest, TransientFailuresAreRetriedTwice) {
    init();
    m_server.addFile("flaky", "data");
    ASSERT_TRUE(m_server.setCloseConnection("/flaky", -1));
    auto f = fetcher(m_server.url());
    EXPECT_FALSE(fetch(*f, "/flaky"));
    EXPECT_EQ("", m_content);
    EXPECT_EQ(3u, m_server.requestsFor("/flaky").size());
    int warnings = 0, errors = 0;
    for (const std::string& line : m_log.lines()) {
        warnings += line.rfind("WARNING: failed fetching 'flaky' (", 0) == 0 && line.find("; retrying") != line.npos;
        errors += line.rfind("ERROR: failed fetching 'flaky' (", 0) == 0;
    }
    EXPECT_EQ(2, warnings);
    EXPECT_EQ(1, errors);

    m_server.addFile("once", "data");
    ASSERT_TRUE(m_server.setCloseConnection("/once", 1));
    EXPECT_TRUE(fetch(*f, "/once"));
    EXPECT_EQ("data", m_content);
    EXPECT_EQ(2u, m_server.requestsFor("/once").size());
    EXPECT_TRUE(m_log.has("INFO: fetched 'once' in retry 1"));

    RefusedPort refused;
    EXPECT_FALSE(fetch(*fetcher(refused.url()), "/file"));
    EXPECT_EQ(2, count("WARNING: failed fetching 'file' (could not connect to server); retrying"));

    // A read that times out once.
    m_server.addFile("slow", "late");
    ASSERT_TRUE(m_server.setDelay("/slow", 4, 1));
    auto slow = fetcher(m_server.url());
    slow->setTimeouts(1, 5);
    EXPECT_TRUE(fetch(*slow, "/slow"));
    EXPECT_EQ("late", m_content);
    EXPECT_EQ(1, count("WARNING: failed fetching 'slow' (connection timed out); retrying"));

    // An answer that breaks off after some bytes: a retry must not append to them.
    HttpRoute route;
    route.hasBody = true;
    route.body = "complete body";
    route.truncateAfter = 4;
    ASSERT_TRUE(m_server.setRoute("/part", route));
    EXPECT_FALSE(fetch(*f, "/part"));
    EXPECT_EQ(3u, m_server.requestsFor("/part").size());
    EXPECT_EQ("comp", m_content);
}

TEST_F(URLFetcherTest, WriteFailureAbortsAndCannotRewind) {
    init();
    m_server.addFile("file", "data");
    auto f = fetcher(m_server.url());
    // A read-only descriptor: the write fails, and so does the truncation before a retry.
    writeFile(m_dir / "readonly", "");
    UniqueFd fd(open((m_dir / "readonly").c_str(), O_RDONLY | O_CLOEXEC));
    Transfer transfer;
    transfer.fd = fd.get();
    EXPECT_FALSE(f->get("/file", transfer, false, "file"));
    EXPECT_EQ(1u, m_server.requests().size());
    EXPECT_TRUE(m_log.has("ERROR: failed rewinding, cannot retry")) << m_log.text();
}

TEST_F(URLFetcherTest, RedirectIsLeftToTheCaller) {
    init();
    ASSERT_TRUE(m_server.setRedirectChain("/old", 1, "/new?x=1", 302, RedirectPort::Alternate));
    auto f = fetcher(m_server.url());
    EXPECT_FALSE(fetch(*f, "/old"));
    EXPECT_TRUE(f->redirected());
    EXPECT_EQ("", m_content);
    const ne_uri* target = ne_redirect_location(f->session());
    ASSERT_NE(nullptr, target);
    EXPECT_EQ(m_server.secondPort(), target->port);
    EXPECT_STREQ("/new", target->path);
    EXPECT_STREQ("x=1", target->query);
    EXPECT_EQ(1u, m_server.requests().size());
    for (const std::string& line : m_log.lines()) EXPECT_EQ(std::string::npos, line.find("failed fetching")) << line;

    // The next get starts without the flag.
    m_server.addFile("new", "n");
    EXPECT_TRUE(fetch(*f, "/new"));
    EXPECT_FALSE(f->redirected());
}

TEST_F(URLFetcherTest, DigestWithEntriesOfTheCredentialsFile) {
    std::string base = m_server.url();
    credentialsFile(entry(base + "repo/", "wrong", "nope") + entry(base + "repo/", "fileuser", "filepw") +
                    entry(m_server.secondUrl("/repo/"), "otherport", "x"));
    init();
    m_server.addFile("repo/file", "secret data");
    ASSERT_TRUE(m_server.addDigestRealm("/repo/", "updates", {{"fileuser", "filepw"}}));
    auto f = fetcher(base);
    EXPECT_TRUE(fetch(*f, "/repo/file"));
    EXPECT_EQ("secret data", m_content);
    std::vector<HttpRequest> requests = m_server.requests();
    ASSERT_EQ(3u, requests.size());
    EXPECT_EQ("fileuser", requests[2].authUser);
    EXPECT_EQ(std::string::npos, m_log.text().find("filepw"));
    EXPECT_EQ(std::string::npos, m_log.text().find("authentication for 'otherport'"));
}

TEST_F(URLFetcherTest, DigestWithDefaultCredentialsAfterTheEntriesOfTheFile) {
    credentialsFile(entry(m_server.url("/repo/"), "stale", "old") + entry(m_server.url("/other/"), "elsewhere", "x"));
    init();
    std::string password = defaultPasswordOfDevice();
    m_server.addFile("repo/file", "for the device");
    ASSERT_TRUE(m_server.addDigestRealm("/repo/", "updates", {{kDefaultUser, password}}));
    auto f = fetcher(m_server.url());
    EXPECT_TRUE(fetch(*f, "/repo/file"));
    EXPECT_EQ("for the device", m_content);
    std::vector<HttpRequest> requests = m_server.requests();
    ASSERT_EQ(3u, requests.size());
    EXPECT_TRUE(m_log.has("DEBUG: trying user authentication for 'stale' in attempt 0"));
    EXPECT_EQ(kDefaultUser, requests[2].authUser);
    EXPECT_FALSE(m_log.has("DEBUG: trying user authentication for 'elsewhere' in attempt 1"));
    EXPECT_EQ(std::string::npos, m_log.text().find(password));

    // Offered once; then the authentication fails.
    m_server.addFile("secret/file", "x");
    ASSERT_TRUE(m_server.addDigestRealm("/secret/", "updates", {{"someone", "else"}}));
    EXPECT_FALSE(fetch(*f, "/secret/file"));
    EXPECT_EQ(2u, m_server.requestsFor("/secret/file").size());
    EXPECT_TRUE(m_log.has("ERROR: failed fetching 'secret/file' (authentication failed on server)"));
}

TEST_F(URLFetcherTest, BasicGetsTheEntriesOfTheFileButNeverTheDefaultCredentials) {
    credentialsFile(entry(m_server.url("/basic/"), "fileuser", "filepw", "plain"));
    init();
    m_server.addFile("basic/file", "b");
    m_server.addFile("device/file", "d");
    ASSERT_TRUE(m_server.addBasicRealm("/basic/", "plain", {{"fileuser", "filepw"}}));
    ASSERT_TRUE(m_server.addBasicRealm("/device/", "plain", {{kDefaultUser, defaultPasswordOfDevice()}}));
    auto f = fetcher(m_server.url());
    EXPECT_TRUE(fetch(*f, "/basic/file"));
    EXPECT_EQ("fileuser", m_server.requestsFor("/basic/file").back().authUser);
    EXPECT_FALSE(fetch(*f, "/device/file"));
    for (const HttpRequest& request : m_server.requestsFor("/device/file")) EXPECT_NE(kDefaultUser, request.authUser);
    EXPECT_TRUE(m_log.has("ERROR: failed fetching 'device/file' (authentication failed on server)"));
}

TEST_F(URLFetcherTest, UserNameOf256CharactersRefused) {
    std::string base = m_server.url();
    std::string accepted(255, 'a');
    std::string refused(256, 'r');
    credentialsFile(entry(base + "long/", refused, "pw") + entry(base + "ok/", accepted, "pw"));
    init();
    m_server.addFile("long/file", "x");
    m_server.addFile("ok/file", "y");
    ASSERT_TRUE(m_server.addDigestRealm("/long/", "updates", {{refused, "pw"}}));
    ASSERT_TRUE(m_server.addDigestRealm("/ok/", "updates", {{accepted, "pw"}}));
    auto f = fetcher(base);
    EXPECT_FALSE(fetch(*f, "/long/file"));
    EXPECT_EQ(1, count("ERROR: http username length (256) exceeds maximum supported (256)"));
    for (const HttpRequest& request : m_server.requestsFor("/long/file")) EXPECT_NE(refused, request.authUser);
    EXPECT_TRUE(fetch(*f, "/ok/file"));
    EXPECT_EQ(accepted, m_server.requestsFor("/ok/file").back().authUser);
}

TEST_F(URLFetcherTest, ProxyWithAuthentication) {
    FetcherConfig config = proxyConfig(m_server.port(), false);
    config.proxyUser = "puser";
    config.proxyPassword = "ppass";
    init(config);
    m_server.addFile("file", "through the proxy");
    ASSERT_TRUE(m_server.enableProxy({{"puser", "ppass"}}, {"Basic", "Digest"}));
    auto f = fetcher(m_server.url());
    EXPECT_TRUE(fetch(*f, "/file"));
    EXPECT_EQ("through the proxy", m_content);
    std::vector<HttpRequest> requests = m_server.requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(407, requests.front().status);
    EXPECT_TRUE(requests.back().viaProxy);
    EXPECT_EQ("puser", requests.back().proxyUser);
    EXPECT_EQ(std::string::npos, m_log.text().find("ppass"));

    // A refused login is tried once, with a hint.
    config.proxyPassword = "wrong";
    init(config);
    ASSERT_TRUE(m_server.clearRequests());
    f = fetcher(m_server.url());
    EXPECT_FALSE(fetch(*f, "/file"));
    EXPECT_EQ(2u, m_server.requests().size());
    EXPECT_TRUE(m_log.has("ERROR: proxy authentication as user 'puser' failed"));
    EXPECT_TRUE(m_log.has("ERROR: make sure the proper username and password are configured in the proxy settings"));
}

TEST_F(URLFetcherTest, ProxyBypassedOnlyForServersOnLocalNetworks) {
    init(proxyConfig(m_server.port(), true));
    m_server.addFile("file", "served");
    ASSERT_TRUE(m_server.enableProxy());
    auto local = fetcher(m_server.url());
    EXPECT_EQ(1u, local->localAddressCount());
    EXPECT_TRUE(fetch(*local, "/file"));
    EXPECT_EQ("served", m_content);
    ASSERT_EQ(1u, m_server.requests().size());
    EXPECT_FALSE(m_server.requests()[0].viaProxy);

    // A host that cannot be checked goes through the proxy.
    EXPECT_TRUE(fetcher("http://[not-a-literal]/")->valid());
    EXPECT_TRUE(m_log.has("DEBUG: using proxy for [not-a-literal]"));

    // An address on none of this machine's networks; never contacted, since the proxy answers.
    std::string remote = remoteLiteral();
    if (remote.empty()) GTEST_SKIP() << "every documentation network is local here";
    auto f = fetcher("http://" + remote + "/");
    ASSERT_EQ(0u, f->localAddressCount());
    EXPECT_TRUE(fetch(*f, "/file"));
    EXPECT_EQ("served", m_content);
    ASSERT_EQ(2u, m_server.requests().size());
    EXPECT_TRUE(m_server.requests()[1].viaProxy);
    EXPECT_EQ(remote, m_server.requests()[1].host);
}

TEST_F(URLFetcherTest, HttpsWithTrustedAndUntrustedCa) {
    makeTestCertificates(m_dir.path(), "trusted");
    makeTestCertificates(m_dir.path(), "other");
    makeDirs(m_dir / "nocerts");
    m_server.enableTls(m_dir / "trusted-server.pem", m_dir / "trusted-server.key");
    m_server.addFile("file", "over tls");
    init();
    {
        TrustedCa ca(m_dir / "trusted-ca.pem", m_dir / "nocerts");
        auto f = fetcher(m_server.tlsUrl());
        ASSERT_TRUE(f->valid());
        EXPECT_TRUE(fetch(*f, "/file"));
        EXPECT_EQ("over tls", m_content);
    }
    {
        TrustedCa ca(m_dir / "other-ca.pem", m_dir / "nocerts");
        auto f = fetcher(m_server.tlsUrl());
        EXPECT_FALSE(fetch(*f, "/file"));
        EXPECT_EQ("", m_content);
        EXPECT_TRUE(
            m_log.has("ERROR: failed fetching 'file' (Server certificate verification failed: issuer is not "
                      "trusted)"));
    }
    EXPECT_EQ(1u, m_server.requestsFor("/file").size());
}

TEST_F(URLFetcherTest, LocalFiles) {
    init();
    std::string big(10000, 'z');
    writeFile(m_dir / "local", big);
    for (const char* url : {"file:///media/usb", "file://localhost/media/usb"}) {
        auto f = fetcher(url);
        ASSERT_TRUE(f->valid()) << url;
        EXPECT_TRUE(fetch(*f, m_dir / "local"));
        EXPECT_EQ(big, m_content);
    }
    EXPECT_FALSE(fetch(*fetcher("file:///"), m_dir / "absent"));
    EXPECT_TRUE(m_log.has("ERROR: failed copying file '" + m_dir / "absent" + "' (No such file or directory)"));
    EXPECT_FALSE(fetcher("file://server/share")->valid());
    EXPECT_TRUE(m_server.requests().empty());
}

TEST_F(URLFetcherTest, LookupFailureIsNotRetriedAndGivesTheHint) {
    init();
    // neon resolves a bracketed host numerically, so this fails without asking any name server.
    auto f = fetcher("http://[zz::1]/");
    ASSERT_TRUE(f->valid());
    EXPECT_FALSE(fetch(*f, "/file"));
    EXPECT_EQ(0, count("WARNING: failed fetching 'file' (server or proxy hostname lookup failed); retrying"));
    EXPECT_TRUE(m_log.has("ERROR: failed fetching 'file' (server or proxy hostname lookup failed)"));
    EXPECT_NE(std::string::npos, m_log.text().find("\nERROR: make sure that a network gateway and DNS servers are "
                                                   "configured\nand that the unit is connected to the network\n"));
}

}  // namespace
