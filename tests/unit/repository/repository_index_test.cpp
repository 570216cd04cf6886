// The repository object without real packages: construction and base URIs, the index reader
// over hand-written indexes and lists in a local directory (metadata signatures off), hrefs
// that try to lead out of the cache, and the cleaning of the package cache.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <neon/ne_socket.h>

#include "base/xml_util.h"
#include "fixtures/log_capture.h"
#include "fixtures/package_maps.h"
#include "fixtures/rpm_builder.h"
#include "fixtures/run_tool.h"
#include "fixtures/temp_dir.h"
#include "network/url_fetcher.h"
#include "repository/metadata_namespaces.h"
#include "repository/repository.h"

namespace {

// Every path below root, relative to it ("a", "a/b"), without "." and "..".
void listTree(const std::string& root, const std::string& prefix, std::set<std::string>& names) {
    DIR* dir = opendir((root + prefix).c_str());
    if (!dir) return;
    while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        const std::string relative = prefix.empty() ? name : prefix + "/" + name;
        names.insert(relative);
        struct stat st;
        if (stat((root + "/" + relative).c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            listTree(root + "/", relative, names);
    }
    closedir(dir);
}

std::set<std::string> tree(const std::string& root) {
    std::set<std::string> names;
    listTree(root, "", names);
    return names;
}

std::string sha256Of(const std::string& path) {
    std::string output;
    EXPECT_TRUE(runTool({"sha256sum", path}, &output)) << output;
    return output.substr(0, 64);
}

std::string primaryList(const std::string& name) {
    return std::string("<?xml version=\"1.0\"?>\n<metadata xmlns=\"") + kCommonNamespace + "\" xmlns:rpm=\"" +
           kRpmNamespace + "\" packages=\"1\"><package type=\"rpm\"><name>" + name +
           "</name><arch>noarch</arch><version epoch=\"0\" ver=\"1.0\" rel=\"1\"/><checksum type=\"sha256\" "
           "pkgid=\"YES\">0123</checksum><location href=\"" +
           name + "-1.0-1.noarch.rpm\"/></package></metadata>\n";
}

std::string dataEntry(const std::string& type, const std::string& href, const std::string& sum,
                      const std::string& extra = "") {
    return "<data type=\"" + type + "\"><checksum type=\"sha256\">" + sum + "</checksum><location href=\"" + href +
           "\"/>" + extra + "</data>";
}

std::string repomd(const std::string& body, const std::string& ns = Repository::kRepoNamespace) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<repomd xmlns=\"" + ns + "\">" + body + "</repomd>\n";
}

// A local repository of hand-written files and a cache for it, metadata signatures off.
class IndexTest : public ::testing::Test {
protected:
    IndexTest() {
        loadRpmConfig();
        routeXmlErrorsToLog();
        ne_sock_init();
        URLFetcher::resetClassForTesting();
        URLFetcher::initClass(FetcherConfig(), m_dir / "cpuinfo", m_dir / "i2c", m_dir / "tavpasswd.xml");
        writeFile(m_dir / "repo/repodata/a-primary.xml", primaryList("alpha"));
        writeFile(m_dir / "repo/repodata/b-primary.xml", primaryList("beta"));
        makeDirs(m_dir / "cache");
        m_options.cacheDir = m_dir / "cache/";
        m_options.noMdSigCheck = true;
        m_entry.id = "main";
        m_entry.location = m_dir / "repo";
        m_alphaSum = sha256Of(m_dir / "repo/repodata/a-primary.xml");
        m_betaSum = sha256Of(m_dir / "repo/repodata/b-primary.xml");
    }
    ~IndexTest() override { URLFetcher::resetClassForTesting(); }

    // Publishes the index and updates a fresh repository object from it.
    bool updateWith(const std::string& index) {
        writeFile(m_dir / "repo/repodata/repomd.xml", index);
        Repository repository(m_options, m_entry);
        const bool updated = repository.update();
        m_entries = repository.dataEntries();
        m_names.clear();
        for (const auto& entry : mapOf(repository.packages())) m_names.push_back(entry.first);
        return updated;
    }

    TempDir m_dir{"updater-repo-index"};
    UpdaterConfig m_options;
    RepositoryEntry m_entry;
    std::string m_alphaSum, m_betaSum;
    std::map<std::string, RepoData> m_entries;
    std::vector<std::string> m_names;
};

TEST(RepositoryObject, ConstructionSetsThePathsAndTheBaseUriWithoutTouchingTheDisk) {
    TempDir dir("updater-repo-object");
    LogCapture log;
    UpdaterConfig options;
    options.cacheDir = dir / "cache/";
    RepositoryEntry entry;
    entry.id = "local-usb";
    entry.location = "/media/usb/updates";
    {
        Repository repository(options, entry);
        EXPECT_EQ(repository.cacheDir(), dir / "cache/local-usb/");
        EXPECT_EQ(repository.packagesDir(), dir / "cache/local-usb/packages/");
        EXPECT_EQ(repository.baseUri(), "file:///media/usb/updates");
        EXPECT_TRUE(repository.isFileRepository());
        EXPECT_FALSE(repository.noMetadataSigCheck());
        EXPECT_FALSE(fileExists(dir / "cache"));

        repository.setBaseUri("file:/media/usb");
        EXPECT_EQ(repository.baseUri(), "file:/media/usb");
        EXPECT_TRUE(repository.isFileRepository());
        repository.setBaseUri("http://updates.example/repo");
        EXPECT_EQ(repository.baseUri(), "http://updates.example/repo");
        EXPECT_FALSE(repository.isFileRepository());
        repository.setBaseUri("fil");
        EXPECT_FALSE(repository.isFileRepository());

        repository.setBaseUri("");
        EXPECT_EQ(repository.baseUri(), "");
        EXPECT_FALSE(repository.update());
        EXPECT_TRUE(log.has("ERROR: no repository URI set, cannot update"));
        EXPECT_FALSE(repository.fetchPackages({}));
        EXPECT_TRUE(log.has("ERROR: no repository URI set, cannot get packages"));
        EXPECT_FALSE(fileExists(dir / "cache"));

        // A parent that does not exist is not created.
        repository.setBaseUri("/media/usb/updates");
        EXPECT_FALSE(repository.update());
        EXPECT_TRUE(log.has("ERROR: cannot create dir '" + dir / "cache/local-usb/" + "' (No such file or directory)"));
    }
    EXPECT_TRUE(log.has("DEBUG: destroyed repository 'local-usb' with cache dir '" + dir / "cache/local-usb/" + "'"));

    options.noMdSigCheck = true;
    entry.location = "http://updates.example/repo";
    Repository unchecked(options, entry);
    EXPECT_TRUE(unchecked.noMetadataSigCheck());
    EXPECT_EQ(unchecked.baseUri(), "http://updates.example/repo");
}

TEST_F(IndexTest, EntriesFirstOfATypeWinsAndOptionalTavdata) {
    LogCapture log;
    // Two primary entries, nested and foreign elements, no tavdata.
    const std::string foreign = "<x:data xmlns:x=\"urn:other\" type=\"tavdata\"><x:location href=\"x\"/></x:data>";
    ASSERT_TRUE(updateWith(repomd("<revision>7</revision>" +
                                  dataEntry("primary", "repodata/a-primary.xml", m_alphaSum,
                                            "<timestamp>1.2.3</timestamp><x:size xmlns:x=\"urn:other\">9</x:size>") +
                                  dataEntry("primary", "repodata/b-primary.xml", m_betaSum) + foreign + "<group>" +
                                  dataEntry("other", "repodata/o.xml", "00") + "</group>")));
    EXPECT_EQ(m_names, std::vector<std::string>{"alpha"});
    ASSERT_EQ(m_entries.size(), 2u);
    const RepoData& primary = m_entries["primary"];
    EXPECT_EQ(primary.href, "repodata/a-primary.xml");
    EXPECT_EQ(primary.localPath, m_dir / "cache/main/primary.xml");
    EXPECT_EQ(primary.checksum.type, "sha256");
    EXPECT_EQ(primary.checksum.value, m_alphaSum);
    EXPECT_TRUE(primary.openChecksum.value.empty());
    EXPECT_EQ(primary.timestamp, 1u);
    EXPECT_EQ(m_entries["other"].localPath, m_dir / "cache/main/other.xml");
    EXPECT_TRUE(log.has("DEBUG: no 'tavdata' in repository metadata, ignored"));
    EXPECT_EQ(tree(m_dir / "cache"), (std::set<std::string>{"main", "main/repomd.xml", "main/primary.xml"}));

    // A repeated child overwrites; timestamps keep their low 32 bits.
    ASSERT_TRUE(
        updateWith(repomd("<data type=\"primary\"><location href=\"wrong\"/><checksum type=\"sha\">00"
                          "</checksum><timestamp>4294967298</timestamp>"
                          "<location href=\"repodata/b-primary.xml\"/><checksum type=\"sha256\">" +
                          m_betaSum + "</checksum></data>")));
    EXPECT_EQ(m_names, std::vector<std::string>{"beta"});
    EXPECT_EQ(m_entries["primary"].timestamp, 2u);
    EXPECT_EQ(m_entries["primary"].checksum.type, "sha256");
}

TEST_F(IndexTest, BadIndexesFailWithTheirReasons) {
    const std::string good = dataEntry("primary", "repodata/a-primary.xml", m_alphaSum);
    const struct {
        std::string index;
        std::string line;
    } kCases[] = {
        {repomd(dataEntry("other", "repodata/a-primary.xml", m_alphaSum)),
         "ERROR: no 'primary' entry in repository metadata"},
        {repomd(good, "urn:other"), "DEBUG: bad top-level element, 'repomd' instead of 'rempomd'"},
        {"<metadata xmlns=\"" + std::string(Repository::kRepoNamespace) + "\"/>",
         "DEBUG: bad top-level element, 'metadata' instead of 'rempomd'"},
        {repomd(dataEntry("primary", "repodata/a-primary.xml", m_alphaSum, "<timestamp>1a</timestamp>")),
         "DEBUG: invalid characters in 'timestamp'"},
        {repomd(dataEntry("primary", "repodata/a-primary.xml", m_alphaSum, "<timestamp>-1</timestamp>")),
         "DEBUG: invalid characters in 'timestamp'"},
        {repomd(dataEntry("primary", "repodata/a-primary.xml", m_alphaSum, "<timestamp></timestamp>")),
         "DEBUG: no string list for node 'timestamp'"},
        {repomd(
             dataEntry("primary", "repodata/a-primary.xml", m_alphaSum, "<timestamp>18446744073709551615</timestamp>")),
         "DEBUG: failed parsing 'timestamp'"},
        {repomd("<data><location href=\"x\"/></data>" + good), "DEBUG: no 'type' attribute in 'data' element"},
        {repomd("<data type=\"primary\"><checksum>00</checksum></data>"), "DEBUG: failed parsing 'checksum' element"},
        {repomd("<data type=\"primary\"><open-checksum type=\"sha\"/></data>"),
         "DEBUG: failed parsing 'checksum' element"},
        {repomd("<data type=\"primary\"><location/></data>"), "DEBUG: no attribute 'href' for node 'location'"},
        {"not xml at all", "ERROR: failed parsing repository metadata from 'repodata/repomd.xml'"},
        {repomd(good).substr(0, 150), "ERROR: failed parsing repository metadata from 'repodata/repomd.xml'"},
        {"", "ERROR: failed parsing repository metadata from 'repodata/repomd.xml'"},
    };
    for (const auto& test : kCases) {
        LogCapture log;
        EXPECT_FALSE(updateWith(test.index)) << test.index;
        EXPECT_TRUE(log.has(test.line)) << test.index << "\n" << log.text();
        if (test.line.rfind("DEBUG: ", 0) == 0 && test.line.find("top-level") == std::string::npos) {
            EXPECT_TRUE(log.has("DEBUG: failed parsing 'data' element")) << test.index;
        }
        if (test.line.rfind("DEBUG: ", 0) == 0) {
            EXPECT_TRUE(log.has("ERROR: failed parsing repository metadata from 'repodata/repomd.xml'"));
        }
        EXPECT_TRUE(m_names.empty());
    }
}

TEST_F(IndexTest, HrefsNeverLeadOutOfTheCache) {
    // A list outside the repository that a crafted href would reach: it is never read, and
    // what is written is only ever "primary" plus an extension inside the cache directory.
    writeFile(m_dir / "outside/x-primary.xml", primaryList("gamma"));
    const std::string outsideSum = sha256Of(m_dir / "outside/x-primary.xml");
    const std::set<std::string> before = tree(m_dir.path());
    const struct {
        std::string href;
        bool updates;
        std::string local;
    } kCases[] = {
        {"../outside/x-primary.xml", false, "primary.xml"},
        {m_dir / "outside/x-primary.xml", false, "primary.xml"},
        {"repodata/../../outside/x-primary.xml", false, "primary.xml"},
        {"../outside/", false, "primary"},
        {"/", false, "primary"},
        {"", false, "primary"},
        {"..", false, "primary"},
        {"repodata/..", false, "primary"},
        {"repodata/.hidden", false, "primary"},
        {"repodata/x.././..", false, "primary"},
    };
    for (const auto& test : kCases) {
        LogCapture log;
        removeTree(m_dir / "cache/main");
        EXPECT_EQ(updateWith(repomd(dataEntry("primary", test.href, outsideSum))), test.updates) << test.href;
        EXPECT_EQ(m_entries["primary"].localPath, m_dir / "cache/main/" + test.local) << test.href;
        std::set<std::string> expected = before;
        expected.insert({"repo/repodata/repomd.xml", "cache/main", "cache/main/repomd.xml"});
        if (test.updates) expected.insert("cache/main/" + test.local);
        EXPECT_EQ(tree(m_dir.path()), expected) << test.href;
        if (!test.updates) {
            EXPECT_TRUE(log.has("ERROR: failed getting repository resource '" + test.href + "'")) << test.href;
        }
    }
}

TEST_F(IndexTest, ALargeIndexIsReadAndTheFirstPrimaryStillWins) {
    std::string body;
    for (int i = 0; i < 20000; ++i) body += dataEntry("t" + std::to_string(i), "repodata/t.xml", "00");
    body += dataEntry("primary", "repodata/a-primary.xml", m_alphaSum);
    body += dataEntry("primary", "repodata/b-primary.xml", m_betaSum);
    // Beyond the default limit of an index, which the configuration may raise.
    ASSERT_GT(repomd(body).size(), m_options.fetcher.transfer.indexMaxBytes);
    EXPECT_FALSE(updateWith(repomd(body)));
    EXPECT_FALSE(fileExists(m_dir / "cache/main/repomd.xml"));
    m_options.fetcher.transfer.indexMaxBytes = 16 * 1024 * 1024;
    EXPECT_TRUE(updateWith(repomd(body)));
    EXPECT_EQ(m_entries.size(), 20001u);
    EXPECT_EQ(m_names, std::vector<std::string>{"alpha"});
}

std::string openChecksumEntry(const std::string& href, const std::string& sum, const std::string& extra = "") {
    return "<data type=\"primary\"><open-checksum type=\"sha256\">" + sum + "</open-checksum><location href=\"" + href +
           "\"/>" + extra + "</data>";
}

TEST_F(IndexTest, WhatTheChecksumCoversIsWhatIsParsed) {
    const std::string plain = m_dir / "repo/repodata/a-primary.xml";
    std::string output;
    ASSERT_TRUE(runTool({"gzip", "-k", "-n", plain}, &output)) << output;
    const std::string gz = readFile(plain + ".gz");
    // Junk after the stream, and a second stream: other gzip readers go on where the
    // checksum of the first stream stops.
    writeFile(m_dir / "repo/repodata/junk.xml.gz", gz + "<package>planted</package>");
    writeFile(m_dir / "repo/repodata/two.xml.gz", gz + gz);
    for (const char* href : {"repodata/junk.xml.gz", "repodata/two.xml.gz"}) {
        EXPECT_FALSE(updateWith(repomd(openChecksumEntry(href, m_alphaSum)))) << href;
        EXPECT_TRUE(m_names.empty()) << href;
    }
    EXPECT_TRUE(updateWith(repomd(openChecksumEntry("repodata/a-primary.xml.gz", m_alphaSum))));

    // Declared sizes bound the file and its content.
    const std::string size = std::to_string(gz.size());
    const std::string openSize = std::to_string(primaryList("alpha").size());
    removeTree(m_dir / "cache/main");
    EXPECT_FALSE(updateWith(repomd(openChecksumEntry("repodata/a-primary.xml.gz", m_alphaSum,
                                                     "<size>" + std::to_string(gz.size() - 1) + "</size>"))));
    EXPECT_FALSE(fileExists(m_dir / "cache/main/primary.xml.gz"));
    EXPECT_FALSE(updateWith(repomd(openChecksumEntry(
        "repodata/a-primary.xml.gz", m_alphaSum,
        "<size>" + size + "</size><open-size>" + std::to_string(primaryList("alpha").size() - 1) + "</open-size>"))));
    EXPECT_TRUE(updateWith(repomd(openChecksumEntry(
        "repodata/a-primary.xml.gz", m_alphaSum, "<size>" + size + "</size><open-size>" + openSize + "</open-size>"))));
    EXPECT_FALSE(updateWith(repomd(dataEntry("primary", "repodata/a-primary.xml", m_alphaSum, "<size>0</size>"))));
}

TEST_F(IndexTest, AListThatFailsToParseDoesNotStayInTheCache) {
    const std::string broken = primaryList("alpha").substr(0, 200);
    writeFile(m_dir / "repo/repodata/broken-primary.xml", broken);
    EXPECT_FALSE(updateWith(repomd(
        dataEntry("primary", "repodata/broken-primary.xml", sha256Of(m_dir / "repo/repodata/broken-primary.xml")))));
    // Kept, it would pass its checksum on every later run and fail the same way.
    EXPECT_FALSE(fileExists(m_dir / "cache/main/primary.xml"));
}

TEST(RepositoryPackageCache, CleaningRemovesFilesAndReportsWhatItCannotRemove) {
    TempDir dir("updater-repo-clean");
    LogCapture log;
    UpdaterConfig options;
    options.cacheDir = dir / "cache/";
    RepositoryEntry entry;
    entry.id = "main";
    entry.location = "http://updates.example/repo";
    Repository repository(options, entry);
    const std::string packages = repository.packagesDir();

    // No directory yet: nothing to do, and nothing but the debug line.
    EXPECT_TRUE(repository.cleanPackages());
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"DEBUG: removing packages from repository cache '" + packages + "'"});
    EXPECT_FALSE(fileExists(dir / "cache/main"));

    writeFile(packages + "a.rpm", "a");
    writeFile(packages + ".hidden", "h");
    writeFile(packages + "sub/inner.rpm", "i");
    writeFile(dir / "elsewhere/kept.rpm", "kept");
    ASSERT_EQ(symlink((dir / "elsewhere").c_str(), (packages + "sub/link").c_str()), 0);
    writeFile(dir / "cache/main/primary.xml.gz", "kept");
    EXPECT_TRUE(repository.cleanPackages());
    EXPECT_TRUE(tree(packages).empty());
    EXPECT_TRUE(fileExists(dir / "cache/main/primary.xml.gz"));
    EXPECT_TRUE(fileExists(dir / "elsewhere/kept.rpm"));
    EXPECT_EQ(log.text().find("WARNING: encountered errors"), std::string::npos);

    // A packages path that is a link or a file goes, and nothing it points to.
    removeTree(packages);
    ASSERT_EQ(symlink((dir / "elsewhere").c_str(), (dir / "cache/main/packages").c_str()), 0);
    EXPECT_TRUE(repository.cleanPackages());
    EXPECT_FALSE(fileExists(dir / "cache/main/packages"));
    EXPECT_TRUE(fileExists(dir / "elsewhere/kept.rpm"));
    writeFile(dir / "cache/main/packages", "not a directory");
    EXPECT_TRUE(repository.cleanPackages());
    EXPECT_FALSE(fileExists(dir / "cache/main/packages"));
}

}  // namespace
