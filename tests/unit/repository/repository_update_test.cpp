// The repository against real published repositories: packages built with rpmbuild, metadata
// by createrepo_c and modifyrepo_c, the index signed with gpg, the trusted key in an rpm
// database of the test's own; served from a local directory and over HTTP on 127.0.0.1.
#include <rpm/rpmmacro.h>
#include <unistd.h>

#include <cctype>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <neon/ne_socket.h>

#include "base/util.h"
#include "base/xml_util.h"
#include "fixtures/gpg_keys.h"
#include "fixtures/http_server.h"
#include "fixtures/log_capture.h"
#include "fixtures/package_maps.h"
#include "fixtures/repo_builder.h"
#include "fixtures/rpm_builder.h"
#include "fixtures/rpm_database.h"
#include "fixtures/run_tool.h"
#include "fixtures/temp_dir.h"
#include "network/url_fetcher.h"
#include "repository/index_record.h"
#include "repository/metadata_namespaces.h"
#include "repository/repository.h"
#include "rpmdb/dbdata.h"

namespace {

const std::string kTavdata = std::string("<tavdata xmlns=\"") + kTavNamespace + "\" xmlns:c=\"" + kCommonNamespace +
                             "\"><c:package type=\"tavpkg\"><c:name>maps</c:name><c:arch>noarch</c:arch>"
                             "<c:version epoch=\"0\" ver=\"2024.1\" rel=\"3\"/><c:checksum type=\"sha256\">ab12"
                             "</c:checksum><c:location href=\"payload/maps-2024.1-3.tavpkg\"/><c:format>"
                             "<group>Maps</group></c:format></c:package></tavdata>";

std::vector<std::string> names(const PackageMap& packages) {
    std::vector<std::string> result;
    for (const auto& entry : packages) result.push_back(entry.first);
    return result;
}

bool bypassesCaches(const HttpRequest& request) {
    return request.header("Cache-Control") == "no-cache" && request.header("Pragma") == "no-cache";
}

// Replaces every occurrence of from in the file.
void replaceInFile(const std::string& path, const std::string& from, const std::string& to) {
    std::string text = readFile(path);
    ASSERT_NE(text.find(from), std::string::npos) << from;
    for (std::string::size_type at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    writeFile(path, text);
}

// The suite's packages, keys and rpm database are made once; each test publishes the
// repositories it needs.
class PublishedRepository : public ::testing::Test {
public:
    static void SetUpTestSuite() {
        loadRpmConfig();
        routeXmlErrorsToLog();
        ne_sock_init();
        RpmDB::resetRecoveryState();
        s_dir = new TempDir("updater-repo-published");
        s_keys = new GpgKeys;
        s_trusted = s_keys->generate("Repository <repo@example.invalid>");
        s_untrusted = s_keys->generate("Stranger <stranger@example.invalid>");
        ASSERT_FALSE(s_trusted.empty() || s_untrusted.empty());

        const std::string db = *s_dir / "rpmdb";
        ASSERT_TRUE(makeKeyDatabase(*s_keys, {s_trusted}, db));
        // The updater's own reads of the database go to the test's database.
        s_dbPath = new ScopedMacro("_dbpath", db);

        makeDirs(*s_dir / "build");
        RpmBuilder builder(*s_dir / "build");
        ASSERT_FALSE(builder.build(RpmPackageDef("alpha", "1.0", "1"), *s_dir / "packages").empty());
        ASSERT_FALSE(builder.build(RpmPackageDef("beta", "2.0", "1"), *s_dir / "packages").empty());
    }
    static void TearDownTestSuite() {
        delete s_dbPath;
        s_dbPath = nullptr;
        delete s_keys;
        s_keys = nullptr;
        delete s_dir;
        s_dir = nullptr;
    }

protected:
    PublishedRepository() {
        URLFetcher::resetClassForTesting();
        writeFile(m_dir / "cpuinfo", "Serial\t\t: 00A1B2C3\nRevision\t: 2.1\nHardware\t: Mirest\n");
        URLFetcher::initClass(FetcherConfig(), m_dir / "cpuinfo", m_dir / "i2c", m_dir / "tavpasswd.xml");
        makeDirs(m_dir / "cache");
        m_options.cacheDir = m_dir / "cache/";
        m_entry.id = "main";
    }
    ~PublishedRepository() override { URLFetcher::resetClassForTesting(); }

    // A repository of the suite's packages below the test's directory, with the tavdata list
    // unless told otherwise, its index signed by the trusted key.
    std::unique_ptr<RepoBuilder> publish(const std::string& name, const std::vector<std::string>& options = {},
                                         bool tavdata = true) {
        auto repo = std::make_unique<RepoBuilder>(m_dir / name);
        for (const char* file : {"alpha-1.0-1.noarch.rpm", "beta-2.0-1.noarch.rpm"})
            writeFile(repo->dir() + "/" + file, readFile(*s_dir / ("packages/" + std::string(file))));
        EXPECT_TRUE(repo->create(options));
        if (tavdata) {
            EXPECT_TRUE(repo->addTavdata(kTavdata));
        }
        EXPECT_TRUE(repo->signIndex(*s_keys, s_trusted));
        return repo;
    }

    std::unique_ptr<Repository> repository(const std::string& location, bool noMdSigCheck = false) {
        m_options.noMdSigCheck = noMdSigCheck;
        m_entry.location = location;
        return std::make_unique<Repository>(m_options, m_entry, m_dir / "accepted-index");
    }

    std::string cached(const std::string& name) const { return m_dir / ("cache/main/" + name); }
    // As on a device that never read a repository: no cache, no record of an accepted index
    // (indexes published within one second would otherwise share a signing time).
    void forgetRepository() {
        removeTree(m_dir / "cache/main");
        removeTree(m_dir / "accepted-index");
    }

    static TempDir* s_dir;
    static GpgKeys* s_keys;
    static std::string s_trusted;
    static std::string s_untrusted;
    static ScopedMacro* s_dbPath;

    TempDir m_dir{"updater-repo-update"};
    UpdaterConfig m_options;
    RepositoryEntry m_entry;
};
TempDir* PublishedRepository::s_dir = nullptr;
GpgKeys* PublishedRepository::s_keys = nullptr;
std::string PublishedRepository::s_trusted;
std::string PublishedRepository::s_untrusted;
ScopedMacro* PublishedRepository::s_dbPath = nullptr;

const std::vector<std::string> kAllNames = {"alpha", "beta", "maps"};

TEST_F(PublishedRepository, LocalUpdateThenLoadFromTheCacheAlone) {
    auto repo = publish("repo");
    LogCapture log;
    {
        auto local = repository(repo->dir());
        ASSERT_TRUE(local->update());
        EXPECT_EQ(names(mapOf(local->packages())), kAllNames);
        const RepoData& primary = local->dataEntries().at("primary");
        EXPECT_EQ(primary.localPath, cached("primary.xml.gz"));
        EXPECT_EQ(local->dataEntries().at("tavdata").localPath, cached("tavdata.xml.gz"));
        EXPECT_EQ(m_dir / "repo/" + primary.href, repo->listPath("primary"));
        EXPECT_EQ(readFile(cached("repomd.xml")), readFile(repo->repomdPath()));
        EXPECT_EQ(readFile(cached("repomd.xml.asc")), readFile(repo->repomdPath() + ".asc"));
        EXPECT_EQ(readFile(cached("primary.xml.gz")), readFile(repo->listPath("primary")));
        EXPECT_EQ(mapOf(local->packages()).find("alpha")->second.localPath, cached("packages/alpha-1.0-1.noarch.rpm"));
    }
    EXPECT_TRUE(log.has("DEBUG: gpgv exited with code 0"));

    // The cache alone, without any URI.
    auto offline = repository("");
    ASSERT_TRUE(offline->loadFromCache());
    EXPECT_EQ(names(mapOf(offline->packages())), kAllNames);
    // A damaged cached list is refused by the load.
    writeFile(cached("tavdata.xml.gz"), "damaged");
    EXPECT_FALSE(offline->loadFromCache());
    EXPECT_TRUE(log.has("ERROR: invalid checksum on '" + offline->dataEntries().at("tavdata").href + "'"));
    // The file URI form reads the same repository; the damaged list is fetched again.
    auto uri = repository("file://" + repo->dir());
    EXPECT_TRUE(uri->isFileRepository());
    ASSERT_TRUE(uri->update());
    EXPECT_EQ(names(mapOf(uri->packages())), kAllNames);
    ASSERT_TRUE(offline->loadFromCache());

    // Without the signature file the cache is refused unless signatures are off.
    ASSERT_EQ(unlink(cached("repomd.xml.asc").c_str()), 0);
    EXPECT_FALSE(offline->loadFromCache());
    EXPECT_TRUE(log.has("DEBUG: file '" + cached("repomd.xml.asc") + "' not readable (No such file or directory)"));
    EXPECT_TRUE(log.has("ERROR: metadata signature missing or unreadable"));
    EXPECT_TRUE(log.has("ERROR: failed parsing repository metadata from 'repodata/repomd.xml'"));
    EXPECT_TRUE(mapOf(offline->packages()).empty());
    auto unchecked = repository("", true);
    ASSERT_TRUE(unchecked->loadFromCache());
    EXPECT_EQ(names(mapOf(unchecked->packages())), kAllNames);

    // A missing list in the cache shows the checksum's open error.
    ASSERT_EQ(unlink(cached("primary.xml.gz").c_str()), 0);
    EXPECT_FALSE(unchecked->loadFromCache());
    EXPECT_TRUE(log.has("ERROR: failed opening '" + cached("primary.xml.gz") +
                        "' for checksumming (No such file or directory)"));
}

TEST_F(PublishedRepository, ChecksumVariantsOfTheIndex) {
    LogCapture log;
    // SHA-1 throughout.
    {
        auto repo = publish("sha", {"--checksum", "sha"}, false);
        auto sha = repository(repo->dir());
        ASSERT_TRUE(sha->update());
        EXPECT_EQ(sha->dataEntries().at("primary").checksum.type, "sha");
        EXPECT_EQ(names(mapOf(sha->packages())), (std::vector<std::string>{"alpha", "beta"}));
    }
    // Only the open checksum published: accepted on the uncompressed content. An upper-case
    // published checksum is a mismatch, but the open checksum still vouches for the list.
    for (const char* variant : {"open-only", "upper-case"}) {
        auto repo = publish(variant);
        std::string index = readFile(repo->repomdPath());
        for (std::string::size_type at = 0; (at = index.find("<checksum type=\"sha256\">", at)) != std::string::npos;) {
            const std::string::size_type end = index.find("</checksum>", at) + 11;
            if (std::string(variant) == "open-only") {
                index.erase(at, end - at);
            } else {
                for (std::string::size_type c = at + 24; c < end - 11; ++c)
                    index[c] = static_cast<char>(toupper(static_cast<unsigned char>(index[c])));
                at = end;
            }
        }
        writeFile(repo->repomdPath(), index);
        ASSERT_TRUE(repo->signIndex(*s_keys, s_trusted));
        forgetRepository();
        auto variantRepo = repository(repo->dir());
        EXPECT_TRUE(variantRepo->update()) << variant;
        EXPECT_EQ(names(mapOf(variantRepo->packages())), kAllNames) << variant;
        EXPECT_TRUE(variantRepo->loadFromCache()) << variant;
    }
    // MD5 only is never valid: fetched twice, then refused.
    {
        auto repo = publish("md5", {}, false);
        replaceInFile(repo->repomdPath(), "type=\"sha256\"", "type=\"md5\"");
        ASSERT_TRUE(repo->signIndex(*s_keys, s_trusted));
        forgetRepository();
        auto md5 = repository(repo->dir());
        EXPECT_FALSE(md5->update());
        const std::string href = md5->dataEntries().at("primary").href;
        EXPECT_TRUE(log.has("WARNING: invalid checksum on '" + href + "'; retrying with bypass of http caches"));
        EXPECT_TRUE(log.has("ERROR: invalid checksum on '" + href + "'"));
        EXPECT_TRUE(log.has("ERROR: failed getting repository resource '" + href + "'"));
        EXPECT_TRUE(log.has("WARNING: encountered insecure MD5 checksums: discarding them"));
    }
}

TEST_F(PublishedRepository, HttpUpdateReusesValidListsAndAlwaysFetchesTheIndex) {
    auto repo = publish("repo");
    HttpTestServer server(repo->dir());
    const std::string primaryPath = "/" + repo->listPath("primary").substr(repo->dir().size() + 1);
    const std::string tavdataPath = "/" + repo->listPath("tavdata").substr(repo->dir().size() + 1);
    LogCapture log;
    auto http = repository(server.url("/"));
    ASSERT_TRUE(http->update());
    EXPECT_EQ(names(mapOf(http->packages())), kAllNames);
    ASSERT_TRUE(http->update());
    EXPECT_EQ(names(mapOf(http->packages())), kAllNames);

    for (const char* path : {"/repodata/repomd.xml", "/repodata/repomd.xml.asc"}) {
        const std::vector<HttpRequest> requests = server.requestsFor(path);
        ASSERT_EQ(requests.size(), 2u) << path;
        for (const HttpRequest& request : requests) EXPECT_TRUE(bypassesCaches(request)) << path;
    }
    for (const std::string& path : {primaryPath, tavdataPath}) {
        const std::vector<HttpRequest> requests = server.requestsFor(path);
        ASSERT_EQ(requests.size(), 1u) << path;
        EXPECT_FALSE(requests[0].hasHeader("Cache-Control")) << path;
        EXPECT_FALSE(requests[0].hasHeader("Pragma")) << path;
    }
    EXPECT_TRUE(
        log.has("DEBUG: cached copy '" + cached("primary.xml.gz") + "' of '" + primaryPath.substr(1) + "' is valid"));

    // A stale copy from some cache on the way first, the current one past the caches.
    ASSERT_TRUE(server.setFailTimes(primaryPath, 1, 200));
    ASSERT_EQ(unlink(cached("primary.xml.gz").c_str()), 0);
    ASSERT_TRUE(server.clearRequests());
    ASSERT_TRUE(http->update());
    EXPECT_EQ(names(mapOf(http->packages())), kAllNames);
    std::vector<HttpRequest> requests = server.requestsFor(primaryPath);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_FALSE(bypassesCaches(requests[0]));
    EXPECT_TRUE(bypassesCaches(requests[1]));
    EXPECT_TRUE(
        log.has("WARNING: invalid checksum on '" + primaryPath.substr(1) + "'; retrying with bypass of http caches"));

    const RepoData tavdata = http->dataEntries().at("tavdata");

    // A failed fetch leaves the cache as it was and no temporary file behind.
    const std::string index = readFile(cached("repomd.xml"));
    ASSERT_TRUE(server.setStatus("/repodata/repomd.xml", 404));
    EXPECT_FALSE(http->update());
    EXPECT_TRUE(log.has("ERROR: failed getting repository resource 'repodata/repomd.xml'"));
    EXPECT_EQ(readFile(cached("repomd.xml")), index);
    EXPECT_FALSE(fileExists(cached("repomd.xml.tmp")));
    ASSERT_TRUE(server.removeRoute("/repodata/repomd.xml"));

    // A published checksum that is wrong: fetched twice, the second time past the caches.
    for (const Checksum* published : {&tavdata.checksum, &tavdata.openChecksum})
        replaceInFile(repo->repomdPath(), ">" + published->value + "<",
                      ">" + std::string(published->value.size(), '0') + "<");
    ASSERT_TRUE(repo->signIndex(*s_keys, s_trusted));
    ASSERT_TRUE(server.clearRequests());
    EXPECT_FALSE(http->update());
    requests = server.requestsFor(tavdataPath);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_FALSE(bypassesCaches(requests[0]));
    EXPECT_TRUE(bypassesCaches(requests[1]));
    EXPECT_TRUE(log.has("ERROR: invalid checksum on '" + tavdataPath.substr(1) + "'"));
    EXPECT_TRUE(log.has("ERROR: failed getting repository resource '" + tavdataPath.substr(1) + "'"));
}

TEST_F(PublishedRepository, MetadataSignatureChecks) {
    auto repo = publish("repo", {}, false);
    HttpTestServer server(repo->dir());
    LogCapture log;
    auto http = repository(server.url("/"));

    // Signed by a key the device does not trust.
    ASSERT_TRUE(repo->signIndex(*s_keys, s_untrusted));
    EXPECT_FALSE(http->update());
    EXPECT_TRUE(log.has("ERROR: invalid metadata signature"));
    EXPECT_TRUE(log.has("ERROR: failed parsing repository metadata from 'repodata/repomd.xml'"));
    EXPECT_TRUE(mapOf(http->packages()).empty());

    // The index changed after signing.
    ASSERT_TRUE(repo->signIndex(*s_keys, s_trusted));
    writeFile(repo->repomdPath(), readFile(repo->repomdPath()) + "<!-- changed -->\n");
    EXPECT_EQ(log.count("ERROR: invalid metadata signature"), 1);
    EXPECT_FALSE(http->update());
    EXPECT_EQ(log.count("ERROR: invalid metadata signature"), 2);

    // No signature published.
    ASSERT_EQ(unlink((repo->repomdPath() + ".asc").c_str()), 0);
    EXPECT_FALSE(http->update());
    EXPECT_TRUE(log.has("ERROR: failed getting repository resource 'repodata/repomd.xml.asc'"));

    // Signatures off: the signature is neither fetched nor read, even a garbage one in the cache.
    writeFile(cached("repomd.xml.asc"), "garbage");
    ASSERT_TRUE(server.clearRequests());
    LogCapture off;
    auto unchecked = repository(server.url("/"), true);
    ASSERT_TRUE(unchecked->update());
    EXPECT_EQ(names(mapOf(unchecked->packages())), (std::vector<std::string>{"alpha", "beta"}));
    ASSERT_TRUE(unchecked->loadFromCache());
    EXPECT_TRUE(server.requestsFor("/repodata/repomd.xml.asc").empty());
    EXPECT_EQ(server.requestsFor("/repodata/repomd.xml").size(), 1u);
    EXPECT_EQ(readFile(cached("repomd.xml.asc")), "garbage");
    EXPECT_EQ(off.text().find("repomd.xml.asc"), std::string::npos);
    EXPECT_EQ(off.text().find("gpgv"), std::string::npos);
}

TEST_F(PublishedRepository, PackagesAreFetchedCheckedAndReused) {
    auto repo = publish("repo", {}, false);
    HttpTestServer server(repo->dir());
    LogCapture log;
    auto http = repository(server.url("/"));
    ASSERT_TRUE(http->update());
    std::map<std::string, Package> selection;
    for (const auto& entry : mapOf(http->packages())) selection.emplace(entry.first, entry.second);
    ASSERT_EQ(selection.size(), 2u);

    ASSERT_TRUE(server.clearRequests());
    ASSERT_TRUE(http->fetchPackages(selection));
    for (const auto& entry : selection) {
        const Package& package = entry.second;
        EXPECT_EQ(readFile(package.localPath), readFile(repo->dir() + "/" + package.href));
        const std::vector<HttpRequest> requests = server.requestsFor("/" + package.href);
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_FALSE(bypassesCaches(requests[0]));
    }
    // Valid cached files are used as they are, without any request.
    ASSERT_TRUE(server.clearRequests());
    ASSERT_TRUE(http->fetchPackages(selection));
    EXPECT_TRUE(server.requests().empty());

    // A wrong published checksum: fetched twice, then refused naming the local file.
    std::map<std::string, Package> wrong = selection;
    Package& alpha = wrong.at("alpha");
    alpha.checksum.value = std::string(alpha.checksum.value.size(), '0');
    ASSERT_TRUE(server.clearRequests());
    EXPECT_FALSE(http->fetchPackages(wrong));
    const std::vector<HttpRequest> requests = server.requestsFor("/" + alpha.href);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_FALSE(bypassesCaches(requests[0]));
    EXPECT_TRUE(bypassesCaches(requests[1]));
    EXPECT_TRUE(log.has("WARNING: invalid checksum on '" + alpha.localPath + "'; retrying with bypass of http caches"));
    EXPECT_TRUE(log.has("ERROR: invalid checksum on '" + alpha.localPath + "'"));
    // The first failure ends the operation: beta sorts after alpha and is not looked at.
    EXPECT_TRUE(server.requestsFor("/" + wrong.at("beta").href).empty());

    // A package the server does not have.
    std::map<std::string, Package> missing = selection;
    missing.at("beta").href = "gone/beta-2.0-1.noarch.rpm";
    missing.at("beta").localPath = http->packagesDir() + "beta-2.0-1.noarch.rpm";
    ASSERT_EQ(unlink(missing.at("beta").localPath.c_str()), 0);
    EXPECT_FALSE(http->fetchPackages(missing));
    EXPECT_TRUE(log.has("ERROR: failed getting package 'gone/beta-2.0-1.noarch.rpm' from repository"));
    EXPECT_FALSE(fileExists(missing.at("beta").localPath));

    // Locations that would name the package directory or its parent are refused before any
    // request, and nothing appears outside the cache.
    const std::string outside = m_dir / "cache";
    for (const char* href : {"", ".", "..", "sub/..", "/", "sub/./"}) {
        std::map<std::string, Package> bad;
        Package package = selection.at("beta");
        package.href = href;
        package.localPath = http->packagesDir() + lastPathComponent(package.href);
        bad.emplace("beta", package);
        ASSERT_TRUE(server.clearRequests());
        EXPECT_FALSE(http->fetchPackages(bad)) << href;
        EXPECT_TRUE(server.requests().empty()) << href;
        EXPECT_TRUE(log.has("ERROR: invalid location '" + std::string(href) + "' of package 'beta-0:2.0-1'"))
            << href << "\n"
            << log.text();
    }
    // A firmware record without location has no file: nothing to fetch, nothing refused.
    Package firmware;
    firmware.name = "modem-fw";
    firmware.type = PackageType::FlashedFw;
    ASSERT_TRUE(server.clearRequests());
    EXPECT_TRUE(http->fetchPackages({{"modem-fw", firmware}}));
    EXPECT_TRUE(server.requests().empty());
    EXPECT_FALSE(fileExists(m_dir / "cache/main/packages.tmp"));
    EXPECT_FALSE(fileExists(m_dir / "cache/main.tmp"));

    // A downloader that cannot be opened fails what must be fetched; cached files still do.
    auto broken = repository("nonsense");
    ASSERT_TRUE(broken->cleanPackages());
    std::map<std::string, Package> one = {{"alpha", selection.at("alpha")}};
    EXPECT_FALSE(broken->fetchPackages(one));
    EXPECT_TRUE(log.has("ERROR: failed creating repository downloder from 'nonsense'"));
    EXPECT_TRUE(log.has("ERROR: failed getting package '" + selection.at("alpha").href + "' from repository"));
    writeFile(selection.at("alpha").localPath, readFile(repo->dir() + "/" + selection.at("alpha").href));
    EXPECT_TRUE(broken->fetchPackages(one));

    // Cleaning empties the package cache and leaves the metadata.
    ASSERT_TRUE(http->cleanPackages());
    EXPECT_FALSE(fileExists(selection.at("alpha").localPath));
    EXPECT_TRUE(fileExists(cached("primary.xml.gz")));
}

TEST_F(PublishedRepository, PackagesAreBoundByTheirDeclaredSizeAndResumedFromPartials) {
    auto repo = publish("repo", {}, false);
    HttpTestServer server(repo->dir());
    LogCapture log;
    auto http = repository(server.url("/"));
    ASSERT_TRUE(http->update());
    const Package alpha = mapOf(http->packages()).find("alpha")->second;
    ASSERT_EQ(alpha.size, readFile(repo->dir() + "/" + alpha.href).size());

    // More than the record declares: cut there, not retried, nothing kept.
    std::map<std::string, Package> selection{{"alpha", alpha}};
    selection.at("alpha").size = alpha.size - 1;
    ASSERT_TRUE(server.clearRequests());
    EXPECT_FALSE(http->fetchPackages(selection));
    EXPECT_EQ(server.requestsFor("/" + alpha.href).size(), 1u);
    EXPECT_FALSE(fileExists(alpha.localPath));
    EXPECT_FALSE(fileExists(http->partialDir()));

    // A partial whose bytes are wrong: resumed, caught by the checksum, fetched whole again.
    const std::string partial = http->partialDir() + alpha.checksum.value + ".part";
    makeDirs(http->partialDir());
    writeFile(partial, std::string(alpha.size / 2, 'x'));
    writeFile(http->partialDir() + alpha.checksum.value + ".validator", "Mon, 07 Dec 2026 10:00:00 GMT");
    selection.at("alpha").size = alpha.size;
    ASSERT_TRUE(server.clearRequests());
    ASSERT_TRUE(http->fetchPackages(selection));
    const std::vector<HttpRequest> requests = server.requestsFor("/" + alpha.href);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].status, 206);
    EXPECT_FALSE(requests[1].hasHeader("Range"));
    EXPECT_TRUE(bypassesCaches(requests[1]));
    EXPECT_EQ(readFile(alpha.localPath), readFile(repo->dir() + "/" + alpha.href));
    EXPECT_FALSE(fileExists(http->partialDir()));

    // Partials no record names any more go with the next update.
    makeDirs(http->partialDir());
    writeFile(http->partialDir() + std::string(64, 'e') + ".part", "stale");
    writeFile(partial, "kept: alpha is still published");
    ASSERT_TRUE(http->update());
    EXPECT_FALSE(fileExists(http->partialDir() + std::string(64, 'e') + ".part"));
    EXPECT_TRUE(fileExists(partial));
}

TEST_F(PublishedRepository, AcceptedIndexesAreRecordedOnlyWhenSignaturesAreChecked) {
    LogCapture log;
    auto repo = publish("recorded");
    // Without the signature check there is no signing time to record.
    EXPECT_TRUE(repository(repo->dir(), true)->update());
    EXPECT_FALSE(fileExists(m_dir / "accepted-index"));
    EXPECT_TRUE(repository(repo->dir())->update());
    std::optional<IndexRecord> record;
    ASSERT_TRUE(loadIndexRecord(record, m_dir / "accepted-index"));
    ASSERT_TRUE(record);
    EXPECT_TRUE((Checksum{record->sha256, "sha256"}.checkFile(cached("repomd.xml"))));
    EXPECT_FALSE(fileExists(cached("repomd.xml.new")));
}

}  // namespace
