#include "network/url_fetcher.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

#include <gtest/gtest.h>
#include <neon/ne_redirect.h>
#include <neon/ne_socket.h>

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

class CountingNotifier : public URLFetcher::Notifier {
public:
    void notify(ne_session_status status, const ne_session_status_info*) override {
        ++events;
        if (status == ne_status_recving) ++receiving;
    }
    int events = 0;
    int receiving = 0;
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
        bool result = fetcher.get(path, fd.get(), bypassCache, path.substr(1));
        m_content = readFile(m_dir / "out");
        return result;
    }
    int count(const std::string& line) const {
        int n = 0;
        for (const std::string& logged : m_log.lines()) n += logged == line;
        return n;
    }

    LogCapture m_log;
    TempDir m_dir;
    HttpTestServer m_server;
    std::string m_content;
};

TEST_F(URLFetcherTest, UserAgentFromDeviceIdentity) {
    init();
    EXPECT_EQ("BASE/1.10 (PRODUCT-" + kSerial + ")", URLFetcher::userAgent());
    EXPECT_EQ(kSerial, URLFetcher::deviceIdentity().serial);

    // Once per process: a second call changes nothing.
    FetcherConfig other = baseConfig();
    other.userAgentBase = "OTHER";
    init(other);
    EXPECT_EQ("BASE/1.10 (PRODUCT-" + kSerial + ")", URLFetcher::userAgent());

    URLFetcher::resetClassForTesting();
    writeFile(m_dir / "cpuinfo", "Hardware : Other\n");
    other.userAgentBase = "";
    init(other);
    EXPECT_EQ("/1.10", URLFetcher::userAgent());
    EXPECT_TRUE(m_log.has("WARNING: cannot recover default authentication credentials"));
}

TEST_F(URLFetcherTest, FetchesFileWithUserAgentAndNoCacheHeaders) {
    init();
    m_server.addFile("repo/repodata/repomd.xml", "<repomd/>\n");
    auto f = fetcher(m_server.url("/repo/"));
    ASSERT_TRUE(f->valid());
    EXPECT_TRUE(m_log.has("DEBUG: no proxy configured"));
    EXPECT_TRUE(fetch(*f, "/repo/repodata/repomd.xml"));
    EXPECT_EQ("<repomd/>\n", m_content);

    std::vector<HttpRequest> requests = m_server.requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ("GET", requests[0].method);
    EXPECT_FALSE(requests[0].viaProxy);
    // neon appends its own product token.
    EXPECT_EQ(0u, requests[0].header("User-Agent").find("BASE/1.10 (PRODUCT-" + kSerial + ")"))
        << requests[0].header("User-Agent");
    EXPECT_FALSE(requests[0].hasHeader("Cache-Control"));
    EXPECT_FALSE(requests[0].hasHeader("Pragma"));
}

TEST_F(URLFetcherTest, BypassCacheSendsBothHeaders) {
    init();
    m_server.addFile("index", "x");
    auto f = fetcher(m_server.url());
    EXPECT_TRUE(fetch(*f, "/index", true));
    EXPECT_TRUE(fetch(*f, "/index", false));
    std::vector<HttpRequest> requests = m_server.requests();
    ASSERT_EQ(2u, requests.size());
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
    EXPECT_EQ(0, count("WARNING: failed fetching 'missing' (404 Not Found); retrying"));
    EXPECT_TRUE(m_log.has("ERROR: failed fetching 'missing' (404 Not Found)")) << m_log.text();
}

TEST_F(URLFetcherTest, DroppedConnectionsMakeThreeRequests) {
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
}

TEST_F(URLFetcherTest, OneDropThenSuccess) {
    init();
    m_server.addFile("flaky", "data");
    ASSERT_TRUE(m_server.setCloseConnection("/flaky", 1));
    auto f = fetcher(m_server.url());
    EXPECT_TRUE(fetch(*f, "/flaky"));
    EXPECT_EQ("data", m_content);
    EXPECT_EQ(2u, m_server.requestsFor("/flaky").size());
    EXPECT_TRUE(m_log.has("INFO: fetched 'flaky' in retry 1"));
}

TEST_F(URLFetcherTest, TruncatedBodyIsRetriedFromAnEmptyFile) {
    init();
    // The first answer breaks off after some bytes; the retry must not append to them.
    HttpRoute route;
    route.hasBody = true;
    route.body = "complete body";
    route.truncateAfter = 4;
    ASSERT_TRUE(m_server.setRoute("/part", route));
    auto f = fetcher(m_server.url());
    EXPECT_FALSE(fetch(*f, "/part"));
    EXPECT_EQ(3u, m_server.requestsFor("/part").size());
    EXPECT_EQ("comp", m_content);  // only the last attempt's bytes remain
}

TEST_F(URLFetcherTest, RefusedConnectionsAreRetriedTwice) {
    init();
    RefusedPort refused;
    auto f = fetcher(refused.url());
    EXPECT_FALSE(fetch(*f, "/file"));
    EXPECT_EQ(2, count("WARNING: failed fetching 'file' (could not connect to server); retrying"));
    EXPECT_TRUE(m_log.has("ERROR: failed fetching 'file' (could not connect to server)"));
}

TEST_F(URLFetcherTest, ReadTimeOutOnceThenSuccess) {
    init();
    m_server.addFile("slow", "late");
    ASSERT_TRUE(m_server.setDelay("/slow", 4, 1));
    auto f = fetcher(m_server.url());
    f->setTimeouts(1, 5);
    EXPECT_TRUE(fetch(*f, "/slow"));
    EXPECT_EQ("late", m_content);
    EXPECT_EQ(1, count("WARNING: failed fetching 'slow' (connection timed out); retrying"));
    EXPECT_TRUE(m_log.has("INFO: fetched 'slow' in retry 1"));
}

TEST_F(URLFetcherTest, WriteFailureAbortsAndCannotRewind) {
    init();
    m_server.addFile("file", "data");
    auto f = fetcher(m_server.url());
    // A read-only descriptor: the write fails, and so does the truncation before a retry.
    writeFile(m_dir / "readonly", "");
    UniqueFd fd(open((m_dir / "readonly").c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_FALSE(f->get("/file", fd.get(), false, "file"));
    EXPECT_EQ(1u, m_server.requests().size());
    EXPECT_EQ(1, count("WARNING: failed fetching 'file' (failed writing downloaded data to file (Bad file "
                       "descriptor)); retrying"))
        << m_log.text();
    EXPECT_TRUE(m_log.has("ERROR: failed rewinding, cannot retry"));
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
    EXPECT_STREQ("127.0.0.1", target->host);
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
    EXPECT_TRUE(m_log.has("DEBUG: trying user authentication for 'wrong' in attempt 0"));
    EXPECT_TRUE(m_log.has("DEBUG: trying user authentication for 'fileuser' in attempt 1"));
    EXPECT_TRUE(m_log.has("TRACE: attempting http authentication as user 'fileuser'"));
    EXPECT_EQ(std::string::npos, m_log.text().find("filepw"));
    EXPECT_EQ(std::string::npos, m_log.text().find("authentication for 'otherport'"));
}

TEST_F(URLFetcherTest, DigestWithDefaultCredentials) {
    init();
    std::string password = defaultPasswordOfDevice();
    m_server.addFile("repo/file", "for the device");
    ASSERT_TRUE(m_server.addDigestRealm("/repo/", "updates", {{kDefaultUser, password}}));
    auto f = fetcher(m_server.url());
    EXPECT_TRUE(fetch(*f, "/repo/file"));
    EXPECT_EQ("for the device", m_content);
    std::vector<HttpRequest> requests = m_server.requests();
    ASSERT_EQ(2u, requests.size());
    EXPECT_EQ(kDefaultUser, requests[1].authUser);
    EXPECT_TRUE(m_log.has("DEBUG: trying default user authentication for '" + kDefaultUser + "' in attempt 0"));
    EXPECT_TRUE(m_log.has("DEBUG: file '" + m_dir / "tavpasswd.xml" + "' not readable (No such file or directory)"));
    EXPECT_EQ(std::string::npos, m_log.text().find(password));
}

TEST_F(URLFetcherTest, DefaultCredentialsAfterTheEntriesOfTheFile) {
    credentialsFile(entry(m_server.url("/repo/"), "stale", "old") + entry(m_server.url("/repo/"), "blank", "", "") +
                    entry(m_server.url("/other/"), "elsewhere", "x"));
    init();
    m_server.addFile("repo/file", "z");
    ASSERT_TRUE(m_server.addDigestRealm("/repo/", "updates", {{kDefaultUser, defaultPasswordOfDevice()}}));
    auto f = fetcher(m_server.url());
    EXPECT_TRUE(fetch(*f, "/repo/file"));
    std::vector<HttpRequest> requests = m_server.requests();
    ASSERT_EQ(4u, requests.size());
    EXPECT_EQ(kDefaultUser, requests[3].authUser);
    EXPECT_TRUE(m_log.has("DEBUG: trying user authentication for 'stale' in attempt 0"));
    EXPECT_TRUE(m_log.has("DEBUG: trying user authentication for 'blank' in attempt 1"));
    EXPECT_TRUE(m_log.has("DEBUG: trying default user authentication for '" + kDefaultUser + "' in attempt 2"));
    EXPECT_FALSE(m_log.has("DEBUG: trying user authentication for 'elsewhere' in attempt 2"));
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
    EXPECT_EQ(0, count("DEBUG: trying default user authentication for '" + kDefaultUser + "' in attempt 0"));
    EXPECT_TRUE(m_log.has("ERROR: failed fetching 'device/file' (authentication failed on server)"));
}

TEST_F(URLFetcherTest, DefaultCredentialsOfferedOnceThenAuthenticationFails) {
    init();
    m_server.addFile("repo/file", "x");
    ASSERT_TRUE(m_server.addDigestRealm("/repo/", "updates", {{"someone", "else"}}));
    auto f = fetcher(m_server.url());
    EXPECT_FALSE(fetch(*f, "/repo/file"));
    EXPECT_EQ("", m_content);
    EXPECT_EQ(2u, m_server.requests().size());
    EXPECT_EQ(1, count("DEBUG: trying default user authentication for '" + kDefaultUser + "' in attempt 0"));
    EXPECT_TRUE(m_log.has("ERROR: failed fetching 'repo/file' (authentication failed on server)"));
}

TEST_F(URLFetcherTest, UserNameOf256CharactersRefused) {
    std::string base = m_server.url();
    std::string accepted(255, 'a');
    std::string refused(256, 'r');
    credentialsFile(entry(base + "long/", refused, "pw") + entry(base + "ok/", accepted, "pw"));
    FetcherConfig config = baseConfig();
    init(config);
    m_server.addFile("long/file", "x");
    m_server.addFile("ok/file", "y");
    ASSERT_TRUE(m_server.addDigestRealm("/long/", "updates", {{refused, "pw"}}));
    ASSERT_TRUE(m_server.addDigestRealm("/ok/", "updates", {{accepted, "pw"}}));
    auto f = fetcher(base);
    EXPECT_FALSE(fetch(*f, "/long/file"));
    EXPECT_EQ(1, count("ERROR: http username length (256) exceeds maximum supported (256)"));
    EXPECT_EQ(std::string::npos, m_log.text().find("as user '" + refused + "'"));
    EXPECT_TRUE(fetch(*f, "/ok/file"));
    EXPECT_EQ("y", m_content);
    EXPECT_EQ(accepted, m_server.requestsFor("/ok/file").back().authUser);
}

TEST_F(URLFetcherTest, ProxyWithAuthentication) {
    FetcherConfig config = baseConfig();
    config.proxyServer = "127.0.0.1";
    config.proxyPort = static_cast<int>(m_server.port());
    config.bypassLocalNetwork = false;
    config.proxyUser = "puser";
    config.proxyPassword = "ppass";
    init(config);
    m_server.addFile("file", "through the proxy");
    ASSERT_TRUE(m_server.enableProxy({{"puser", "ppass"}}, {"Basic", "Digest"}));
    auto f = fetcher(m_server.url());
    EXPECT_TRUE(m_log.has("DEBUG: using proxy for 127.0.0.1"));
    EXPECT_TRUE(fetch(*f, "/file"));
    EXPECT_EQ("through the proxy", m_content);
    std::vector<HttpRequest> requests = m_server.requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_TRUE(requests.back().viaProxy);
    EXPECT_EQ("puser", requests.back().proxyUser);
    EXPECT_EQ(std::string::npos, m_log.text().find("ppass"));
}

TEST_F(URLFetcherTest, ProxyRefusingTheLoginIsAskedOnce) {
    FetcherConfig config = baseConfig();
    config.proxyServer = "127.0.0.1";
    config.proxyPort = static_cast<int>(m_server.port());
    config.proxyUser = "puser";
    config.proxyPassword = "wrong";
    init(config);
    m_server.addFile("file", "x");
    ASSERT_TRUE(m_server.enableProxy({{"puser", "ppass"}}, {"Basic", "Digest"}));
    auto f = fetcher(m_server.url());
    EXPECT_FALSE(fetch(*f, "/file"));
    EXPECT_EQ(2u, m_server.requests().size());
    EXPECT_TRUE(m_log.has("ERROR: proxy authentication as user 'puser' failed"));
    EXPECT_TRUE(m_log.has("ERROR: failed fetching 'file' (authentication failed on proxy)"));
    EXPECT_TRUE(m_log.has("ERROR: make sure the proper username and password are configured in the proxy settings"));
}

TEST_F(URLFetcherTest, ProxyBypassedForServerOnLocalNetwork) {
    RefusedPort proxy;  // would fail every request that went to it
    FetcherConfig config = baseConfig();
    config.proxyServer = "127.0.0.1";
    config.proxyPort = static_cast<int>(proxy.port());
    config.bypassLocalNetwork = true;
    init(config);
    m_server.addFile("file", "direct");
    auto f = fetcher(m_server.url());
    EXPECT_EQ(1u, f->localAddressCount());
    EXPECT_TRUE(m_log.has("DEBUG: bypassing proxy since 127.0.0.1 is local"));
    EXPECT_TRUE(fetch(*f, "/file"));
    EXPECT_EQ("direct", m_content);
    ASSERT_EQ(1u, m_server.requests().size());
    EXPECT_FALSE(m_server.requests()[0].viaProxy);
}

TEST_F(URLFetcherTest, ProxyUsedForServerOutsideLocalNetworks) {
    FetcherConfig config = baseConfig();
    config.proxyServer = "127.0.0.1";
    config.proxyPort = static_cast<int>(m_server.port());
    config.bypassLocalNetwork = true;
    init(config);
    m_server.addFile("file", "proxied");
    ASSERT_TRUE(m_server.enableProxy());
    // An address on none of this machine's networks; never contacted, since the proxy (the
    // test server) answers for it.
    std::string remote = remoteLiteral();
    if (remote.empty()) GTEST_SKIP() << "every documentation network is local here";
    auto f = fetcher("http://" + remote + "/");
    ASSERT_EQ(0u, f->localAddressCount());
    EXPECT_TRUE(m_log.has("DEBUG: using proxy for " + remote));
    EXPECT_TRUE(fetch(*f, "/file"));
    EXPECT_EQ("proxied", m_content);
    ASSERT_EQ(1u, m_server.requests().size());
    EXPECT_TRUE(m_server.requests()[0].viaProxy);
    EXPECT_EQ(remote, m_server.requests()[0].host);
}

TEST_F(URLFetcherTest, FailedLocalCheckUsesProxy) {
    FetcherConfig config = baseConfig();
    config.proxyServer = "127.0.0.1";
    config.proxyPort = static_cast<int>(m_server.port());
    config.bypassLocalNetwork = true;
    init(config);
    auto f = fetcher("http://[not-a-literal]/");
    EXPECT_TRUE(f->valid());
    EXPECT_TRUE(
        m_log.has("WARNING: could not check if addresses for host '[not-a-literal]' are in local net, "
                  "using proxy"));
    EXPECT_TRUE(m_log.has("DEBUG: using proxy for [not-a-literal]"));
}

TEST_F(URLFetcherTest, HttpsWithTrustedAndUntrustedCa) {
    TestCertificates trusted = makeTestCertificates(m_dir.path(), "trusted");
    TestCertificates other = makeTestCertificates(m_dir.path(), "other");
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
        EXPECT_EQ(2, count("WARNING: failed fetching 'file' (Server certificate verification failed: issuer is not "
                           "trusted); retrying"));
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
        EXPECT_EQ(nullptr, f->session());
        f->setNotifier(nullptr);
        EXPECT_TRUE(fetch(*f, m_dir / "local"));
        EXPECT_EQ(big, m_content);
    }
    auto f = fetcher("file:///");
    EXPECT_FALSE(fetch(*f, m_dir / "absent"));
    EXPECT_TRUE(m_log.has("ERROR: failed copying file (No such file or directory)"));
    EXPECT_FALSE(fetcher("file://server/share")->valid());
    EXPECT_TRUE(m_log.has("ERROR: only local file: URIs supported"));
}

TEST_F(URLFetcherTest, InvalidFetchers) {
    auto early = fetcher(m_server.url());
    EXPECT_FALSE(early->valid());
    EXPECT_TRUE(m_log.has("ERROR: URLFetcher class not initialized before calling constructor"));
    init();
    EXPECT_FALSE(fetcher("ftp://127.0.0.1/pub")->valid());
    EXPECT_TRUE(m_log.has("ERROR: scheme 'ftp' not supported"));
    EXPECT_FALSE(fetcher("/just/a/path")->valid());
    EXPECT_TRUE(m_log.has("ERROR: URI missing host or scheme, cannot build fetcher"));
    int fd = -1;
    EXPECT_FALSE(early->get("/", fd, false, "x"));
    EXPECT_EQ(0u, m_server.requests().size());
}

TEST_F(URLFetcherTest, MatchesSchemeHostAndPort) {
    init();
    auto f = fetcher("http://127.0.0.1/repo");
    ASSERT_TRUE(f->valid());
    EXPECT_EQ(80u, f->port());
    NeUri uri;
    for (const char* same : {"http://127.0.0.1/", "http://127.0.0.1:80/other?q"}) {
        ASSERT_TRUE(uri.parse(same));
        EXPECT_TRUE(f->matches(uri.get())) << same;
    }
    for (const char* other : {"https://127.0.0.1/", "http://127.0.0.1:81/", "http://localhost/", "/path"}) {
        ASSERT_TRUE(uri.parse(other));
        EXPECT_FALSE(f->matches(uri.get())) << other;
    }
}

TEST_F(URLFetcherTest, NotifierSeesTransferEvents) {
    init();
    m_server.addFile("file", std::string(100000, 'n'));
    auto f = fetcher(m_server.url());
    CountingNotifier notifier;
    f->setNotifier(&notifier);
    EXPECT_TRUE(fetch(*f, "/file"));
    EXPECT_GT(notifier.receiving, 0);
    int seen = notifier.events;
    f->setNotifier(nullptr);
    f->closeConnection();
    EXPECT_TRUE(fetch(*f, "/file"));
    EXPECT_EQ(seen, notifier.events);
    EXPECT_EQ(2u, m_server.requests().size());
    EXPECT_NE(m_server.requests()[0].connection, m_server.requests()[1].connection);
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

TEST_F(URLFetcherTest, ErrorTexts) {
    init();
    auto f = fetcher("file:///");
    EXPECT_EQ("no error", f->errorText(NE_OK));
    EXPECT_EQ("generic error", f->errorText(NE_ERROR));
    EXPECT_EQ("server or proxy hostname lookup failed", f->errorText(NE_LOOKUP));
    EXPECT_EQ("the precondition failed", f->errorText(NE_FAILED));
    EXPECT_EQ("retry the request", f->errorText(NE_RETRY));
    EXPECT_EQ("received server redirect", f->errorText(NE_REDIRECT));
    EXPECT_EQ("<unknown error code>", f->errorText(42));
}

}  // namespace
