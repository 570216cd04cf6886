#include "network/downloader.h"

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <set>

#include <gtest/gtest.h>
#include <neon/ne_socket.h>

#include "fixtures/http_server.h"
#include "fixtures/log_capture.h"
#include "fixtures/temp_dir.h"

namespace {

// The names in a directory, without "." and "..".
std::set<std::string> listDir(const std::string& path) {
    std::set<std::string> names;
    DIR* dir = opendir(path.c_str());
    if (!dir) return names;
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.insert(name);
    }
    closedir(dir);
    return names;
}

// Runs a check on every transfer event, while the download is under way.
class CheckingNotifier : public URLFetcher::Notifier {
public:
    explicit CheckingNotifier(std::function<void(ne_session_status, const ne_session_status_info*)> check)
        : m_check(std::move(check)) {}
    void notify(ne_session_status status, const ne_session_status_info* info) override {
        ++events;
        m_check(status, info);
    }
    int events = 0;

private:
    std::function<void(ne_session_status, const ne_session_status_info*)> m_check;
};

// Lowers the largest file this process may write, so that a download runs into a full
// storage; the limit and the signal disposition come back when the object ends.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &m_saved);
        m_savedHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_saved;
        limit.rlim_cur = bytes;
        EXPECT_EQ(0, setrlimit(RLIMIT_FSIZE, &limit));
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_savedHandler);
    }

private:
    rlimit m_saved{};
    void (*m_savedHandler)(int) = SIG_DFL;
};

class DownloaderTest : public testing::Test {
protected:
    DownloaderTest() {
        ne_sock_init();
        writeFile(m_dir / "cpuinfo", "Serial\t\t: 00A1B2C3\nRevision\t: 2.1\nHardware\t: Mirest\n");
        initFetchers(TransferPolicy());
        makeDirs(m_out.path());
    }
    void initFetchers(const TransferPolicy& policy) {
        URLFetcher::resetClassForTesting();
        FetcherConfig config;
        config.userAgentBase = "BASE";
        config.userAgentProduct = "PRODUCT";
        config.transfer = policy;
        URLFetcher::initClass(config, m_dir / "cpuinfo", m_dir / "i2c", m_dir / "tavpasswd.xml");
    }
    ~DownloaderTest() override {
        URLFetcher::resetClassForTesting();
        ne_sock_exit();
    }

    int count(const std::string& line) const { return m_log.count(line); }

    LogCapture m_log;
    TempDir m_dir;
    TempDir m_out{"updater-dl-out"};  // holds nothing but the destinations
    HttpTestServer m_server;
};

TEST_F(DownloaderTest, DownloadsBelowTheBasePath) {
    m_server.addFile("repo/repodata/repomd.xml", "<repomd/>\n");
    Downloader downloader;
    ASSERT_TRUE(downloader.open(m_server.url("/repo")));
    EXPECT_EQ("/repo/", downloader.basePath());
    std::string destination = m_out / "repomd.xml";
    EXPECT_TRUE(downloader.download("repodata/repomd.xml", destination, true));
    EXPECT_EQ("<repomd/>\n", readFile(destination));
    EXPECT_EQ(std::set<std::string>{"repomd.xml"}, listDir(m_out.path()));

    // A base path with its "/" already, and no cache bypass this time.
    Downloader other;
    ASSERT_TRUE(other.open(m_server.url("/repo/?ignored=1#fragment")));
    EXPECT_TRUE(other.download("repodata/repomd.xml", destination, false));

    std::vector<HttpRequest> requests = m_server.requests();
    ASSERT_EQ(2u, requests.size());
    for (const HttpRequest& request : requests) EXPECT_EQ("/repo/repodata/repomd.xml", request.target);
    EXPECT_EQ("no-cache", requests[0].header("Cache-Control"));
    EXPECT_FALSE(requests[1].hasHeader("Cache-Control"));
}

TEST_F(DownloaderTest, ResolvePathDoesNotNormalise) {
    Downloader downloader;
    ASSERT_TRUE(downloader.open("file:///media/usb/updates"));
    EXPECT_EQ("/media/usb/updates/", downloader.basePath());
    for (const auto& [relative, resolved] : std::vector<std::pair<std::string, std::string>>{
             {"repodata/repomd.xml", "/media/usb/updates/repodata/repomd.xml"},
             {"../x/./y", "/media/usb/updates/../x/./y"},
             {"/abs", "/media/usb/updates//abs"}}) {
        std::string path = relative;
        downloader.resolvePath(path);
        EXPECT_EQ(resolved, path);
    }
}

TEST_F(DownloaderTest, FileBaseUriCopiesLocalFiles) {
    std::string content(10000, 'p');
    writeFile(m_dir / "media/usb/updates/packages/a.rpm", content);
    Downloader downloader;
    ASSERT_TRUE(downloader.open("file://" + m_dir.path() + "/media/usb/updates"));
    std::string destination = m_out / "a.rpm";
    EXPECT_TRUE(downloader.download("packages/a.rpm", destination, false));
    EXPECT_EQ(content, readFile(destination));

    EXPECT_FALSE(downloader.download("packages/absent.rpm", m_out / "absent.rpm", false));
    EXPECT_TRUE(m_log.has("ERROR: failed copying file '" + m_dir.path() +
                          "/media/usb/updates/packages/absent.rpm' (No such file or directory)"));
    EXPECT_EQ(std::set<std::string>{"a.rpm"}, listDir(m_out.path()));
    EXPECT_TRUE(m_server.requests().empty());
}

TEST_F(DownloaderTest, NotFoundLeavesTheDestinationAndNoTemporaryFile) {
    std::string destination = m_out / "primary.xml.gz";
    writeFile(destination, "previous");
    Downloader downloader;
    ASSERT_TRUE(downloader.open(m_server.url("/repo/")));
    EXPECT_FALSE(downloader.download("repodata/primary.xml.gz", destination, false));
    EXPECT_EQ("previous", readFile(destination));
    EXPECT_EQ(std::set<std::string>{"primary.xml.gz"}, listDir(m_out.path()));
    EXPECT_EQ(1u, m_server.requests().size());
    EXPECT_TRUE(m_log.has("ERROR: failed fetching 'repodata/primary.xml.gz' (404 Not Found)")) << m_log.text();
}

TEST_F(DownloaderTest, DestinationReplacedOnlyOnSuccess) {
    std::string destination = m_out / "repomd.xml";
    writeFile(destination, "previous");
    // A leftover of an interrupted run, longer than the new content: it must be truncated.
    writeFile(destination + ".tmp", "leftover of an interrupted download, longer than the new content");
    ASSERT_TRUE(m_server.setFailTimes("/repo/repodata/repomd.xml", 1, 503));
    m_server.addFile("repo/repodata/repomd.xml", "new");
    Downloader downloader;
    ASSERT_TRUE(downloader.open(m_server.url("/repo")));

    EXPECT_FALSE(downloader.download("repodata/repomd.xml", destination, true));
    EXPECT_EQ("previous", readFile(destination));
    EXPECT_EQ(std::set<std::string>{"repomd.xml"}, listDir(m_out.path()));

    writeFile(destination + ".tmp", "leftover of an interrupted download, longer than the new content");
    EXPECT_TRUE(downloader.download("repodata/repomd.xml", destination, true));
    EXPECT_EQ("new", readFile(destination));
    EXPECT_EQ(std::set<std::string>{"repomd.xml"}, listDir(m_out.path()));
}

// A link at the temporary file or a directory at the destination is removed, never followed.
TEST_F(DownloaderTest, TemporaryFileThatIsASymlinkIsNotFollowed) {
    m_server.addFile("repo/file", "data from the server");
    writeFile(m_dir / "elsewhere", "must stay");
    writeFile(m_dir / "tree/inner", "must stay");
    std::string destination = m_out / "file";
    ASSERT_EQ(0, symlink((m_dir / "elsewhere").c_str(), (destination + ".tmp").c_str()));
    ASSERT_EQ(0, mkdir(destination.c_str(), 0755));
    ASSERT_EQ(0, symlink((m_dir / "tree").c_str(), (destination + "/link").c_str()));
    Downloader downloader;
    ASSERT_TRUE(downloader.open(m_server.url("/repo")));
    EXPECT_TRUE(downloader.download("file", destination, false));
    EXPECT_EQ("must stay", readFile(m_dir / "elsewhere"));
    EXPECT_EQ("must stay", readFile(m_dir / "tree/inner"));
    EXPECT_EQ("data from the server", readFile(destination));
    EXPECT_EQ(std::set<std::string>{"file"}, listDir(m_out.path()));
}

TEST_F(DownloaderTest, FiveRedirectsAreFollowedAndASixthRefused) {
    m_server.addFile("final", "new content");
    ASSERT_TRUE(m_server.setRedirectChain("/old", 5, "/final?x=1", 302, RedirectPort::Alternate));
    std::string destination = m_out / "file";
    writeFile(destination, "previous");

    // While the chain runs, the destination keeps its content and the data goes to ".tmp".
    int checks = 0;
    bool checking = true;
    CheckingNotifier notifier([&](ne_session_status, const ne_session_status_info*) {
        if (!checking) return;
        ++checks;
        EXPECT_EQ("previous", readFile(destination));
        EXPECT_TRUE(fileExists(destination + ".tmp"));
    });
    Downloader downloader;
    downloader.setNotifier(&notifier);
    ASSERT_TRUE(downloader.open(m_server.url("/")));
    EXPECT_TRUE(downloader.download("old", destination, true));
    checking = false;
    EXPECT_GT(checks, 0);
    EXPECT_EQ("new content", readFile(destination));
    EXPECT_EQ(std::set<std::string>{"file"}, listDir(m_out.path()));
    // The base fetcher and one for the second port, which the chain visits three times.
    EXPECT_EQ(2u, downloader.fetcherCount());
    std::vector<HttpRequest> requests = m_server.requests();
    ASSERT_EQ(6u, requests.size());
    for (size_t i = 0; i < requests.size(); ++i) {
        EXPECT_EQ(i % 2 == 0 ? "main" : "second", requests[i].listener) << i;
        EXPECT_EQ("no-cache", requests[i].header("Cache-Control")) << i;
    }
    EXPECT_EQ("/final?x=1", requests[5].target);

    ASSERT_TRUE(m_server.clearRequests());
    ASSERT_TRUE(m_server.setRedirectChain("/old", 6, "/final", 302, RedirectPort::Alternate));
    EXPECT_FALSE(downloader.download("old", destination, false));
    EXPECT_TRUE(m_log.has("ERROR: maximum number of redirects (5) exceeded"));
    EXPECT_EQ("new content", readFile(destination));
    EXPECT_EQ(std::set<std::string>{"file"}, listDir(m_out.path()));
    EXPECT_EQ(6u, m_server.requests().size());
    EXPECT_TRUE(m_server.requestsFor("/final").empty());

    // Each download starts with a full budget again.
    ASSERT_TRUE(m_server.setRedirectChain("/old", 5, "/final", 302, RedirectPort::Alternate));
    EXPECT_TRUE(downloader.download("old", destination, false));
}

TEST_F(DownloaderTest, RedirectsToUnusableLocationsAreRefused) {
    writeFile(m_dir / "secret", "local data");
    ASSERT_TRUE(m_server.setRedirect("/pub", "ftp://127.0.0.1/pub/file"));
    ASSERT_TRUE(m_server.setRedirect("/steal", "file://" + m_dir.path() + "/secret"));
    ASSERT_TRUE(m_server.setRedirect("/zero", "file:///dev/zero"));
    ASSERT_TRUE(m_server.setRedirect("/bad", "http://[::1"));
    std::string destination = m_out / "file";
    writeFile(destination, "previous");
    Downloader downloader;
    ASSERT_TRUE(downloader.open(m_server.url("/")));
    for (const char* path : {"pub", "steal", "zero", "bad"}) {
        EXPECT_FALSE(downloader.download(path, destination, false)) << path;
        EXPECT_EQ("previous", readFile(destination)) << path;
        EXPECT_EQ(std::set<std::string>{"file"}, listDir(m_out.path())) << path;
    }
    EXPECT_EQ(1u, downloader.fetcherCount());
    EXPECT_TRUE(m_log.has("ERROR: scheme 'ftp' not supported"));
    EXPECT_TRUE(m_log.has("ERROR: cannot create fetcher for redirection to 'ftp://127.0.0.1/pub/file'"))
        << m_log.text();
    EXPECT_TRUE(m_log.has("ERROR: cannot create fetcher for redirection to 'file://" + m_dir.path() + "/secret'"));
    // neon refuses an unparseable Location itself, as a generic error the fetcher retries.
    bool reported = false;
    for (const std::string& line : m_log.lines()) reported |= line.rfind("ERROR: failed fetching 'bad' (", 0) == 0;
    EXPECT_TRUE(reported) << m_log.text();
    EXPECT_EQ(3u, m_server.requestsFor("/bad").size());
}

TEST_F(DownloaderTest, NotifierReachesFetchersCreatedForRedirects) {
    const std::string big(100000, 'b');
    m_server.addFile("big", big);
    ASSERT_TRUE(m_server.setRedirectChain("/moved", 1, "/big", 302, RedirectPort::Second));
    long long received = 0;
    CheckingNotifier notifier([&](ne_session_status status, const ne_session_status_info* info) {
        // Only the second port's answer has this length.
        if (status == ne_status_recving && info->sr.total == static_cast<ne_off_t>(big.size()))
            received = info->sr.progress;
    });
    Downloader downloader;
    ASSERT_TRUE(downloader.open(m_server.url("/")));
    downloader.setNotifier(&notifier);  // after the open: reaches the base fetcher and later ones
    EXPECT_TRUE(downloader.download("moved", m_out / "big", false));
    EXPECT_EQ(static_cast<long long>(big.size()), received);
    EXPECT_EQ(2u, downloader.fetcherCount());

    // close() forgets the notifier.
    downloader.close();
    ASSERT_TRUE(downloader.open(m_server.url("/")));
    int before = notifier.events;
    EXPECT_TRUE(downloader.download("big", m_out / "big", false));
    EXPECT_EQ(before, notifier.events);
}

TEST_F(DownloaderTest, EndlessBodyFillingTheStorageFailsCleanly) {
    ASSERT_TRUE(m_server.setEndless("/endless", 16LL * 1024 * 1024));  // starts the server before the limit
    std::string destination = m_out / "endless";
    writeFile(destination, "previous");
    Downloader downloader;
    ASSERT_TRUE(downloader.open(m_server.url("/")));
    bool result;
    {
        FileSizeLimit limit(512 * 1024);
        result = downloader.download("endless", destination, false);
    }
    EXPECT_FALSE(result);
    EXPECT_EQ("previous", readFile(destination));
    EXPECT_EQ(std::set<std::string>{"endless"}, listDir(m_out.path()));
    EXPECT_EQ(3u, m_server.requestsFor("/endless").size());
    EXPECT_EQ(2, count("WARNING: failed fetching 'endless' (failed writing downloaded data to file (File too large)); "
                       "retrying"))
        << m_log.text();
    EXPECT_TRUE(
        m_log.has("ERROR: failed fetching 'endless' (failed writing downloaded data to file (File too large))"));
}

DownloadSpec limitedTo(uint64_t bytes, const std::string& partialPath = "") {
    DownloadSpec spec;
    spec.limit.maxBytes = bytes;
    spec.limit.origin = "declared by the repository";
    spec.partialPath = partialPath;
    return spec;
}

TEST_F(DownloaderTest, LimitStopsTheTransferAtTheFirstByteOverAndIsNotRetried) {
    ASSERT_TRUE(m_server.setEndless("/endless", 16LL * 1024 * 1024));
    HttpRoute announced;
    announced.hasBody = true;
    announced.body = std::string(7000, 'x');
    ASSERT_TRUE(m_server.setRoute("/announced", announced));
    Downloader downloader;
    ASSERT_TRUE(downloader.open(m_server.url("/")));
    const std::string destination = m_out / "file";
    writeFile(destination, "previous");

    EXPECT_FALSE(downloader.download("endless", destination, false, limitedTo(6144)));
    EXPECT_TRUE(downloader.refused());
    EXPECT_LT(downloader.takeTotals().received, 6144u + 64 * 1024);  // one block past the limit at most
    // A Content-Length over the limit: refused before a byte of the body is taken.
    EXPECT_FALSE(downloader.download("announced", destination, false, limitedTo(6144)));
    EXPECT_EQ(downloader.takeTotals().received, 0u);
    EXPECT_EQ(m_server.requestsFor("/endless").size(), 1u);
    EXPECT_EQ(m_server.requestsFor("/announced").size(), 1u);
    EXPECT_EQ(readFile(destination), "previous");
    EXPECT_EQ(listDir(m_out.path()), std::set<std::string>{"file"});
    // Exactly at the limit is fine.
    EXPECT_TRUE(downloader.download("announced", destination, false, limitedTo(7000)));
}

TEST_F(DownloaderTest, TransferBelowTheRateFloorIsAbortedAndRetried) {
    TransferPolicy policy;
    policy.stallBytesPerSecond = 1000;
    policy.stallSeconds = 1;
    initFetchers(policy);
    HttpRoute trickle;
    trickle.hasBody = true;
    trickle.body = std::string(4000, 't');
    trickle.trickleChunk = 20;
    trickle.trickleInterval = 0.1;  // 200 bytes per second
    ASSERT_TRUE(m_server.setRoute("/slow", trickle));
    Downloader downloader;
    ASSERT_TRUE(downloader.open(m_server.url("/")));
    EXPECT_FALSE(downloader.download("slow", m_out / "slow", false));
    EXPECT_FALSE(downloader.refused());
    EXPECT_EQ(m_server.requestsFor("/slow").size(), 3u);
    EXPECT_EQ(count("WARNING: failed fetching 'slow' (transfer slower than 1000 bytes per second); retrying"), 2)
        << m_log.text();
    EXPECT_TRUE(listDir(m_out.path()).empty());

    // Fast enough for the floor, but past the time the file may take in all: not retried.
    policy.stallBytesPerSecond = 1;
    policy.deadlineBaseSeconds = 1;
    initFetchers(policy);
    ASSERT_TRUE(m_server.clearRequests());
    Downloader late;
    ASSERT_TRUE(late.open(m_server.url("/")));
    EXPECT_FALSE(late.download("slow", m_out / "slow", false, limitedTo(4000)));  // 1 s + 4000 bytes at 4096/s
    EXPECT_TRUE(late.refused());
    EXPECT_EQ(m_server.requestsFor("/slow").size(), 1u);
    EXPECT_TRUE(listDir(m_out.path()).empty());
}

class ResumeTest : public DownloaderTest {
protected:
    ResumeTest() : m_content(200000, '\0') {
        for (size_t i = 0; i < m_content.size(); ++i) m_content[i] = static_cast<char>('a' + i % 23);
        m_server.addFile("pkg", m_content);
    }
    // A first download cut at half leaves a partial of that half.
    void cutAtHalf() {
        HttpRoute cut;
        cut.truncateAfter = static_cast<long long>(m_content.size() / 2);
        ASSERT_TRUE(m_server.setRoute("/pkg", cut));
        Downloader downloader;
        ASSERT_TRUE(downloader.open(m_server.url("/")));
        ASSERT_FALSE(downloader.download("pkg", m_destination, false, spec()));
        ASSERT_EQ(readFile(m_partial), m_content.substr(0, m_content.size() / 2));
        ASSERT_TRUE(m_server.removeRoute("/pkg"));
        ASSERT_TRUE(m_server.clearRequests());
    }
    DownloadSpec spec() const {
        DownloadSpec result = limitedTo(m_content.size(), m_partial);
        result.limit.declaredSize = m_content.size();
        return result;
    }
    bool download(TransferTotals& totals) {
        Downloader downloader;
        EXPECT_TRUE(downloader.open(m_server.url("/")));
        bool result = downloader.download("pkg", m_destination, false, spec());
        totals = downloader.takeTotals();
        return result;
    }

    std::string m_content;
    std::string m_partial = m_dir / "partial.part";
    std::string m_validator = m_dir / "partial.validator";
    std::string m_destination = m_out / "pkg";
};

TEST_F(ResumeTest, ACutDownloadAsksForTheRestOnly) {
    cutAtHalf();
    TransferTotals totals;
    ASSERT_TRUE(download(totals));
    EXPECT_EQ(readFile(m_destination), m_content);
    std::vector<HttpRequest> requests = m_server.requestsFor("/pkg");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].header("Range"), "bytes=100000-");
    EXPECT_EQ(requests[0].header("If-Range").front(), '"');  // the strong ETag of the first answer
    EXPECT_EQ(requests[0].status, 206);
    EXPECT_EQ(totals.resumed, 100000u);
    EXPECT_EQ(totals.received, 100000u);
    EXPECT_FALSE(fileExists(m_partial));
    EXPECT_FALSE(fileExists(m_validator));
}

TEST_F(ResumeTest, AServerThatCannotContinueTheFileGetsAskedForAllOfIt) {
    const struct {
        const char* name;
        HttpRoute route;
        size_t requests;
    } kCases[] = {
        {"range ignored",
         [] {
             HttpRoute r;
             r.ignoreRange = true;
             return r;
         }(),
         1},
        {"file changed",
         [] {
             HttpRoute r;
             r.hasEtag = true;
             r.etag = "\"v2\"";
             return r;
         }(),
         1},
        {"wrong range",
         [] {
             HttpRoute r;
             r.contentRange = "bytes 0-99999/200000";
             return r;
         }(),
         2},
    };
    for (const auto& test : kCases) {
        cutAtHalf();
        ASSERT_TRUE(m_server.setRoute("/pkg", test.route));
        TransferTotals totals;
        EXPECT_TRUE(download(totals)) << test.name;
        EXPECT_EQ(readFile(m_destination), m_content) << test.name;
        EXPECT_EQ(m_server.requestsFor("/pkg").size(), test.requests) << test.name;
        EXPECT_EQ(totals.resumed, 0u) << test.name;
        EXPECT_EQ(totals.discarded, 100000u) << test.name;
        ASSERT_TRUE(m_server.removeRoute("/pkg"));
    }
}

TEST_F(ResumeTest, APartialThatIsAlreadyWholeIsTakenAsItIs) {
    writeFile(m_partial, m_content);
    writeFile(m_validator, "Mon, 07 Dec 2026 10:00:00 GMT");
    TransferTotals totals;
    ASSERT_TRUE(download(totals));
    EXPECT_EQ(m_server.requestsFor("/pkg").at(0).status, 416);
    EXPECT_EQ(readFile(m_destination), m_content);
}

TEST_F(ResumeTest, UnusablePartialsAreReplacedWithoutBeingFollowed) {
    writeFile(m_dir / "victim", "must stay");
    ASSERT_EQ(0, symlink((m_dir / "victim").c_str(), m_partial.c_str()));
    TransferTotals totals;
    EXPECT_TRUE(download(totals));
    EXPECT_EQ(readFile(m_dir / "victim"), "must stay");

    makeDirs(m_partial);
    EXPECT_TRUE(download(totals));
    // Larger than the file may be, or without its validator: fetched afresh.
    writeFile(m_partial, m_content + "more");
    writeFile(m_validator, "Mon, 07 Dec 2026 10:00:00 GMT");
    EXPECT_TRUE(download(totals));
    writeFile(m_partial, m_content.substr(0, 10));
    EXPECT_TRUE(download(totals));
    for (const HttpRequest& request : m_server.requestsFor("/pkg")) EXPECT_FALSE(request.hasHeader("Range"));
    EXPECT_EQ(readFile(m_destination), m_content);
    EXPECT_EQ(listDir(m_dir.path()).count("partial.part"), 0u);
}

}  // namespace
