// Read access to real rpm databases made here: the installed list, the public-key probe,
// the header readers and the one-time Berkeley DB recovery.
#include <rpm/header.h>
#include <rpm/rpmds.h>
#include <rpm/rpmmacro.h>
#include <rpm/rpmtag.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/handles.h"
#include "fixtures/log_capture.h"
#include "fixtures/package_maps.h"
#include "fixtures/rpm_builder.h"
#include "fixtures/rpm_database.h"
#include "fixtures/run_tool.h"
#include "fixtures/temp_dir.h"
#include "rpmdb/dbdata.h"

namespace {

// The installed list as a map, for checks by name.
std::optional<PackageMap> installedMap(RpmDB& db) {
    std::optional<PackageStore> store = db.getInstalledPackages();
    if (!store) return std::nullopt;
    return mapOf(*store);
}

bool anyLineContains(const LogCapture& log, const std::string& part) {
    for (const std::string& line : log.lines())
        if (line.find(part) != std::string::npos) return true;
    return false;
}

Dependency dep(const std::string& name, const std::string& version = "", int32_t flags = 0) {
    return Dependency(name, version.empty() ? EVR() : EVR::fromString(version), flags);
}

// ---------------------------------------------------------------------------------------
// The installed list of a database holding packages built by rpmbuild, the expensive part:
// one test reads it every way.

TEST(InstalledPackagesTest, ListsEveryRecordWithVersionsAndDependencies) {
    loadRpmConfig();
    RpmDB::resetRecoveryState();
    TempDir dir("updater-rpmdb");
    RpmBuilder builder(dir / "build");
    RpmPackageDef alpha("alpha", "1.5", "3");
    alpha.epoch = 2;
    alpha.requires = {"beta >= 1.0-1", "/bin/sh"};
    alpha.recommends = {"gamma"};
    alpha.provides = {"alpha-virtual", "alpha-api = 4.1"};
    RpmPackageDef twinNew("twin", "2.0", "1");
    twinNew.requires = {"beta"};
    // The newer twin goes in first: the list keeps database order, not version order. The
    // "gpg-pubkey" entry carries no key.
    std::vector<std::string> files;
    for (const RpmPackageDef& def : {alpha, RpmPackageDef("beta"), twinNew, RpmPackageDef("twin", "1.0", "7"),
                                     RpmPackageDef("gpg-pubkey", "0badc0de")})
        files.push_back(builder.build(def, dir / "rpms"));
    const std::string db = dir / "db";
    ASSERT_TRUE(initDatabase(db) && installIntoDatabase(db, files));
    ScopedMacro dbPath("_dbpath", db);

    LogCapture log;
    RpmDB unchecked;
    EXPECT_FALSE(unchecked.isOpen());
    ASSERT_TRUE(unchecked.open(true));
    EXPECT_TRUE(log.has("DEBUG: opened rpm transaction (NOT checking headers)"));
    std::optional<PackageMap> installed = installedMap(unchecked);
    ASSERT_TRUE(installed);
    ASSERT_EQ(installed->size(), 5u);
    EXPECT_EQ(installed->count("gpg-pubkey"), 1u);
    ASSERT_EQ(installed->count("alpha"), 1u);
    ASSERT_EQ(installed->count("beta"), 1u);
    ASSERT_EQ(installed->count("twin"), 2u);

    const Package& a = installed->find("alpha")->second;
    EXPECT_EQ(a.name, "alpha");
    EXPECT_EQ(a.type, PackageType::Rpm);
    EXPECT_EQ(a.group, "");
    EXPECT_EQ(a.evr.epoch, 2u);
    EXPECT_EQ(a.evr.version, "1.5");
    EXPECT_EQ(a.evr.release, "3");
    // rpmbuild's own rpmlib(...) requirements are gone; the recommendation is no requirement.
    EXPECT_EQ(a.requires, (DependencySet{dep("/bin/sh"), dep("beta", "1.0-1", kSenseGreater | kSenseEqual)}));
    EXPECT_EQ(a.provides, (DependencySet{dep("alpha", "2:1.5-3", kSenseEqual), dep("alpha-api", "4.1", kSenseEqual),
                                         dep("alpha-virtual")}));
    EXPECT_TRUE(a.recommends.empty() && a.obsoletes.empty() && a.href.empty());

    const Package& b = installed->find("beta")->second;
    EXPECT_EQ(b.evr.epoch, 0u);  // no epoch in the header
    EXPECT_EQ(b.evr.version, "1.0");
    EXPECT_EQ(b.evr.release, "1");
    EXPECT_TRUE(b.requires.empty());
    EXPECT_EQ(b.provides, (DependencySet{dep("beta", "1.0-1", kSenseEqual)}));

    auto twin = installed->find("twin");
    EXPECT_EQ(twin->second.evr.version, "2.0");
    EXPECT_EQ(twin->second.requires, (DependencySet{dep("beta")}));
    EXPECT_EQ(std::next(twin)->second.evr.version, "1.0");
    EXPECT_EQ(std::next(twin)->second.evr.release, "7");

    EXPECT_FALSE(anyLineContains(log, "rpmlib("));

    // A "gpg-pubkey" entry without a key is no key.
    EXPECT_FALSE(unchecked.hasPublicKeys());
    EXPECT_FALSE(anyLineContains(log, "no public keys found"));

    // Checking headers reads the same; a second open is refused and changes nothing.
    RpmDB checked;
    ASSERT_TRUE(checked.open(false));
    EXPECT_TRUE(log.has("DEBUG: opened rpm transaction (checking headers)"));
    EXPECT_FALSE(checked.open(true));
    EXPECT_TRUE(log.has("ERROR: attempted to reopen an opened RpmDB"));
    EXPECT_EQ(log.count("DEBUG: opened rpm transaction (NOT checking headers)"), 1);
    ASSERT_TRUE(checked.isOpen());
    // The transaction set is emptied after each listing: a second one reads the same.
    for (int listing = 0; listing < 2; ++listing) {
        std::optional<PackageMap> again = installedMap(checked);
        ASSERT_TRUE(again);
        EXPECT_EQ(again->size(), 5u);
    }
    EXPECT_EQ(log.count("ERROR: attempted to reopen an opened RpmDB"), 1);
    EXPECT_FALSE(anyLineContains(log, "ERROR: failed"));
}

// ---------------------------------------------------------------------------------------
// The header readers over headers assembled in memory: the shapes rpmbuild never produces.

class HeaderReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        loadRpmConfig();
        ASSERT_TRUE(m_header);
    }
    void putStrings(rpmTagVal tag, const std::vector<const char*>& values) {
        ASSERT_EQ(headerPutStringArray(m_header.get(), tag, const_cast<const char**>(values.data()),
                                       static_cast<rpm_count_t>(values.size())),
                  1);
    }
    void putFlags(rpmTagVal tag, const std::vector<uint32_t>& values) {
        ASSERT_EQ(headerPutUint32(m_header.get(), tag, values.data(), static_cast<rpm_count_t>(values.size())), 1);
    }

    HeaderPtr m_header{headerNew()};
    LogCapture m_log;
};

TEST_F(HeaderReaderTest, StringAndEpochTagsTakeExactlyOneValue) {
    Header header = m_header.get();
    // The first element of a one-element string array.
    putStrings(RPMTAG_BASENAMES, {"only"});
    std::string text;
    EXPECT_TRUE(readStringTag(header, RPMTAG_BASENAMES, text));
    EXPECT_EQ(text, "only");

    // A value of another type is one value but no text: the output stays.
    const uint32_t size = 42;
    ASSERT_EQ(headerPutUint32(header, RPMTAG_SIZE, &size, 1), 1);
    text = "unchanged";
    EXPECT_TRUE(readStringTag(header, RPMTAG_SIZE, text));
    EXPECT_EQ(text, "unchanged");
    EXPECT_FALSE(anyLineContains(m_log, "ERROR:"));

    // Missing, and more than one value.
    EXPECT_FALSE(readStringTag(header, RPMTAG_VERSION, text));
    EXPECT_TRUE(m_log.has("ERROR: failed retrieving rpm tag 1001 as string"));
    putStrings(RPMTAG_DIRNAMES, {"/a", "/b"});
    EXPECT_FALSE(readStringTag(header, RPMTAG_DIRNAMES, text));
    EXPECT_EQ(text, "unchanged");

    // headerPutUint32 refuses two values for a scalar tag; a raw put stores them anyway, as
    // a damaged database could hold them.
    HeaderPtr twoEpochs(headerNew());
    uint32_t epochs[2] = {1, 2};
    struct rpmtd_s raw = {};
    raw.tag = RPMTAG_EPOCH;
    raw.type = RPM_INT32_TYPE;
    raw.count = 2;
    raw.data = epochs;
    ASSERT_EQ(headerPut(twoEpochs.get(), &raw, HEADERPUT_DEFAULT), 1);
    uint32_t value = 7;
    EXPECT_FALSE(readEpochTag(twoEpochs.get(), value));
    EXPECT_TRUE(m_log.has("ERROR: failed retrieving rpm tag 1003 as int"));
    EXPECT_EQ(value, 7u);
    // Older builders stored the epoch in 16 bits; a text is no epoch.
    HeaderPtr shortEpoch(headerNew());
    uint16_t epoch16 = 3;
    raw.type = RPM_INT16_TYPE;
    raw.count = 1;
    raw.data = &epoch16;
    ASSERT_EQ(headerPut(shortEpoch.get(), &raw, HEADERPUT_DEFAULT), 1);
    EXPECT_TRUE(readEpochTag(shortEpoch.get(), value));
    EXPECT_EQ(value, 3u);
    HeaderPtr textEpoch(headerNew());
    const char* epochText = "4";
    raw.type = RPM_STRING_TYPE;
    raw.data = const_cast<char*>(epochText);
    ASSERT_EQ(headerPut(textEpoch.get(), &raw, HEADERPUT_DEFAULT), 1);
    EXPECT_FALSE(readEpochTag(textEpoch.get(), value));
    EXPECT_EQ(value, 3u);
}

TEST_F(HeaderReaderTest, DependenciesSkipRpmlibAndHintsAndKeepSenseBits) {
    putStrings(RPMTAG_REQUIRENAME, {"rpmlib(PayloadIsLzma)", "optional", "real", "virt", "virt", "/bin/sh"});
    putFlags(RPMTAG_REQUIREFLAGS, {RPMSENSE_RPMLIB | RPMSENSE_LESS | RPMSENSE_EQUAL, RPMSENSE_MISSINGOK,
                                   RPMSENSE_SCRIPT_PRE | RPMSENSE_GREATER | RPMSENSE_EQUAL, 0, 0, RPMSENSE_INTERP});
    putStrings(RPMTAG_REQUIREVERSION, {"4.4.6-1", "", "2:1.0-1", "", "", ""});
    DependencySet requires;
    ASSERT_TRUE(readDependencies(m_header.get(), RPMTAG_REQUIRENAME, requires));
    EXPECT_EQ(requires,
              (DependencySet{dep("/bin/sh"), dep("real", "2:1.0-1", kSenseGreater | kSenseEqual), dep("virt")}));
    EXPECT_FALSE(anyLineContains(m_log, "ERROR:"));
}

TEST_F(HeaderReaderTest, IncompleteDependencyDataFails) {
    // None of the family: no dependencies of this kind, quietly.
    DependencySet none;
    EXPECT_TRUE(readDependencies(m_header.get(), RPMTAG_PROVIDENAME, none));
    EXPECT_TRUE(none.empty());
    EXPECT_FALSE(anyLineContains(m_log, "ERROR:"));

    // Only the flags; then names and versions added, one flags entry short.
    putFlags(RPMTAG_REQUIREFLAGS, {0});
    DependencySet requires;
    EXPECT_FALSE(readDependencies(m_header.get(), RPMTAG_REQUIRENAME, requires));
    putStrings(RPMTAG_REQUIRENAME, {"a", "b"});
    putStrings(RPMTAG_REQUIREVERSION, {"", ""});
    EXPECT_FALSE(readDependencies(m_header.get(), RPMTAG_REQUIRENAME, requires));
    EXPECT_TRUE(requires.empty());

    // All three, of different lengths.
    putStrings(RPMTAG_PROVIDENAME, {"a", "b"});
    putFlags(RPMTAG_PROVIDEFLAGS, {0, 0});
    putStrings(RPMTAG_PROVIDEVERSION, {""});
    DependencySet provides;
    EXPECT_FALSE(readDependencies(m_header.get(), RPMTAG_PROVIDENAME, provides));
    EXPECT_EQ(m_log.count("ERROR: failed retrieving rpm dependencies"), 3);
    EXPECT_TRUE(provides.empty());

    // Any other family is no dependency list of ours.
    EXPECT_FALSE(readDependencies(m_header.get(), RPMTAG_CONFLICTNAME, provides));
    EXPECT_TRUE(m_log.has("ERROR: unrecognized dependency tag 1054"));
}

// ---------------------------------------------------------------------------------------
// Public keys: a throwaway gpg key imported with rpm --import.

TEST(RpmDbPublicKeysTest, FoundOnlyOnceAKeyIsImported) {
    loadRpmConfig();
    RpmDB::resetRecoveryState();
    TempDir dir("updater-rpmdb-keys");
    const std::string db = dir / "db";
    ASSERT_TRUE(initDatabase(db));
    ScopedMacro dbPath("_dbpath", db);
    {
        LogCapture log;
        RpmDB empty;
        ASSERT_TRUE(empty.open(false));
        EXPECT_FALSE(empty.hasPublicKeys());
        EXPECT_TRUE(log.has("TRACE: no public keys found in rpm db"));
        std::optional<PackageMap> installed = installedMap(empty);
        ASSERT_TRUE(installed);
        EXPECT_TRUE(installed->empty());
    }

    const std::string home = dir / "gnupg";
    makeDirs(home);
    std::string output;
    const bool generated = runTool({"gpg", "--homedir", home, "--batch", "--passphrase", "", "--quick-gen-key",
                                    "Updater Test <test@example.invalid>", "default", "default", "never"},
                                   &output);
    std::string exported;
    const bool exportedOk = generated && runTool({"gpg", "--homedir", home, "--armor", "--export"}, &exported);
    runTool({"gpgconf", "--homedir", home, "--kill", "gpg-agent"});
    ASSERT_TRUE(generated) << output;
    ASSERT_TRUE(exportedOk) << exported;
    writeFile(dir / "key.asc", exported);
    ASSERT_TRUE(runTool({"rpm", "--dbpath", db, "--import", dir / "key.asc"}, &output)) << output;

    LogCapture log;
    RpmDB withKey;
    ASSERT_TRUE(withKey.open(false));
    EXPECT_TRUE(withKey.hasPublicKeys());
    EXPECT_FALSE(anyLineContains(log, "no public keys"));
    // The key's entry is a package of the database like any other.
    std::optional<PackageMap> installed = installedMap(withKey);
    ASSERT_TRUE(installed);
    EXPECT_EQ(installed->count("gpg-pubkey"), 1u);
}

// ---------------------------------------------------------------------------------------
// Open failures and the Berkeley DB recovery, with a stand-in db_recover first in PATH that
// records its arguments.

class RecoveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        loadRpmConfig();
        RpmDB::resetRecoveryState();
        m_good = m_dir / "good";
        ASSERT_TRUE(initDatabase(m_good));
        // Not a database at all: the read-only open fails.
        m_broken = m_dir / "broken";
        writeFile(m_broken + "/rpmdb.sqlite", std::string(8192, 'x'));
        m_runs = m_dir / "runs";
        const char* path = std::getenv("PATH");
        m_savedPath = path ? path : "";
        setenv("PATH", (m_dir / "bin" + ":/bin:/usr/bin").c_str(), 1);
    }
    void TearDown() override {
        setenv("PATH", m_savedPath.c_str(), 1);
        RpmDB::resetRecoveryState();
    }
    // The stand-in logs "$*" as one line, then runs body. A retry loop gone wrong would run it
    // without end: after a few runs it fails, so such a fault ends the test instead of hanging.
    void fakeRecovery(const std::string& body) {
        writeFile(m_dir / "bin/db_recover",
                  "#!/bin/sh\necho \"$*\" >> '" + m_runs + "'\n[ $(wc -l < '" + m_runs + "') -gt 4 ] && exit 1\n" +
                      body + "\n",
                  0755);
    }
    std::vector<std::string> runs() const {
        std::vector<std::string> lines;
        std::string text = readFile(m_runs);
        for (size_t start = 0, end; start < text.size(); start = end + 1) {
            end = text.find('\n', start);
            if (end == std::string::npos) end = text.size();
            lines.push_back(text.substr(start, end - start));
        }
        return lines;
    }
    // Opens a fresh object over dir; the object is gone afterwards.
    bool openAt(const std::string& dir) {
        ScopedMacro dbPath("_dbpath", dir);
        RpmDB db;
        const bool opened = db.open(true);
        EXPECT_EQ(db.isOpen(), opened);
        return opened;
    }

    TempDir m_dir{"updater-rpmdb-recovery"};
    std::string m_good;
    std::string m_broken;
    std::string m_runs;
    std::string m_savedPath;
};

TEST_F(RecoveryTest, FailedRecoveryRunsOnceInTheProcess) {
    ScopedMacro dbApi("_dbapi", "3");
    fakeRecovery("exit 1");
    {
        LogCapture log;
        EXPECT_FALSE(openAt(m_broken));
        EXPECT_EQ(runs(), (std::vector<std::string>{"-f -v -h " + m_broken}));
        EXPECT_TRUE(log.has("WARNING: rpm DB opening failed and using BDB, attempting recovery"));
        EXPECT_TRUE(log.has("ERROR: rpm DB BDB recovery failed"));
        EXPECT_TRUE(log.has("ERROR: failed opening rpm DB"));
        EXPECT_FALSE(anyLineContains(log, "recovery successful"));
    }
    // Later failures in the process go without recovery; a good database still opens.
    LogCapture log;
    EXPECT_FALSE(openAt(m_broken));
    EXPECT_EQ(runs().size(), 1u);
    EXPECT_FALSE(anyLineContains(log, "attempting recovery"));
    EXPECT_TRUE(log.has("ERROR: failed opening rpm DB"));
    EXPECT_TRUE(openAt(m_good));
    EXPECT_EQ(runs().size(), 1u);
}

TEST_F(RecoveryTest, SuccessfulRecoveryReopensOnce) {
    ScopedMacro dbApi("_dbapi", "3");
    // A recovery that claims success but leaves the database as it was: one reopen, no
    // second run.
    fakeRecovery("exit 0");
    {
        LogCapture log;
        EXPECT_FALSE(openAt(m_broken));
        EXPECT_EQ(runs().size(), 1u);
        EXPECT_EQ(log.count("INFO: rpm DB recovery successful, reopening rpm DB"), 1);
        EXPECT_EQ(log.count("WARNING: rpm DB opening failed and using BDB, attempting recovery"), 1);
        EXPECT_TRUE(log.has("ERROR: failed opening rpm DB"));
    }

    // A recovery that repairs the database: the reopen succeeds.
    RpmDB::resetRecoveryState();
    fakeRecovery("cp '" + m_good + "/rpmdb.sqlite' \"$4/rpmdb.sqlite\"");
    LogCapture log;
    EXPECT_TRUE(openAt(m_broken));
    EXPECT_EQ(runs().size(), 2u);
    EXPECT_TRUE(log.has("INFO: rpm DB recovery successful, reopening rpm DB"));
    EXPECT_TRUE(log.has("DEBUG: opened rpm transaction (NOT checking headers)"));
    EXPECT_FALSE(anyLineContains(log, "ERROR:"));

    // A recovery killed by a signal did not succeed.
    RpmDB::resetRecoveryState();
    writeFile(m_broken + "/rpmdb.sqlite", std::string(8192, 'x'));
    fakeRecovery("kill -9 $$");
    EXPECT_FALSE(openAt(m_broken));
    EXPECT_EQ(runs().size(), 3u);
    EXPECT_TRUE(log.has("ERROR: rpm DB BDB recovery failed"));
}

TEST_F(RecoveryTest, NoRecoveryWithoutBerkeleyDbOrAfterAnOpen) {
    fakeRecovery("exit 0");
    LogCapture log;
    // rpm 4.18 defines no _dbapi: the macro stays unexpanded.
    EXPECT_FALSE(openAt(m_broken));
    RpmDB::resetRecoveryState();
    {
        ScopedMacro dbApi("_dbapi", "4");
        EXPECT_FALSE(openAt(m_broken));
    }
    EXPECT_EQ(log.count("ERROR: failed opening rpm DB"), 2);

    // Once the database has opened in the process, recovery is never tried.
    RpmDB::resetRecoveryState();
    ScopedMacro dbApi("_dbapi", "3");
    EXPECT_TRUE(openAt(m_good));
    EXPECT_FALSE(openAt(m_broken));
    EXPECT_EQ(log.count("ERROR: failed opening rpm DB"), 3);
    EXPECT_FALSE(fileExists(m_runs));
    EXPECT_FALSE(anyLineContains(log, "recovery"));
}

}  // namespace

namespace {

// rpm would create an empty database for a read-only open; a device whose database is gone
// must not look like a device with nothing installed.
TEST_F(RecoveryTest, MissingOrEmptyDatabaseIsNotCreated) {
    LogCapture log;
    const std::string missing = m_dir / "missing", empty = m_dir / "empty";
    makeDirs(empty);
    EXPECT_FALSE(openAt(missing));
    EXPECT_TRUE(log.has("ERROR: no rpm DB in '" + missing + "' (No such file or directory)"));
    EXPECT_FALSE(openAt(empty));
    EXPECT_TRUE(log.has("ERROR: no rpm DB in '" + empty + "' (empty directory)"));
    EXPECT_TRUE(log.has("ERROR: failed opening rpm DB"));
    EXPECT_FALSE(fileExists(missing));
    EXPECT_TRUE(std::filesystem::is_empty(empty));
    EXPECT_TRUE(openAt(m_good));
}

}  // namespace
