// The resolver's operations one by one, the external packages file, and one update decision
// over a real rpm database and a real repository made by createrepo_c.
#include <rpm/rpmmacro.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/updater_config.h"
#include "fixtures/log_capture.h"
#include "fixtures/package_maps.h"
#include "fixtures/repo_builder.h"
#include "fixtures/rpm_builder.h"
#include "fixtures/run_tool.h"
#include "fixtures/temp_dir.h"
#include "repository/metadata_namespaces.h"
#include "repository/package_list.h"
#include "resolver/external_packages.h"
#include "resolver/resolver.h"
#include "rpmdb/dbdata.h"

namespace {

Dependency dep(const std::string& name, const std::string& version = "", int32_t flags = 0) {
    return Dependency(name, version.empty() ? EVR() : EVR::fromString(version), flags);
}

Package package(const std::string& name, const std::string& version) {
    Package p;
    p.name = name;
    p.type = PackageType::Rpm;
    p.evr = EVR::fromString(version);
    return p;
}

PackageMap mapOf(const std::vector<Package>& packages) {
    PackageMap map;
    for (const Package& p : packages) map.emplace(p.name, p);
    return map;
}

std::vector<std::string> names(const PackageSelection& selection) {
    std::vector<std::string> out;
    for (const auto& entry : selection) out.push_back(entry.first);
    return out;
}

// ---------------------------------------------------------------------------------------

TEST(FirstEntryNamed, FindsVersionsSortingBelowTheBareName) {
    const DependencySet set = {dep("lib"), dep("libc", "~rc1", kSenseEqual), dep("libc", "1.0", kSenseEqual),
                               dep("libc", "", 0), dep("libd", "~1", kSenseEqual)};
    auto it = firstEntryNamed(set, "libc");
    ASSERT_NE(it, set.end());
    EXPECT_EQ(it->toString(), "libc = 0:~rc1");
    int count = 0;
    for (; it != set.end() && it->name == "libc"; ++it) ++count;
    EXPECT_EQ(count, 3);
    EXPECT_EQ(firstEntryNamed(set, "libd")->toString(), "libd = 0:~1");
    EXPECT_EQ(firstEntryNamed(set, "lib")->name, "lib");
    EXPECT_EQ(firstEntryNamed(set, "zzz"), set.end());
    const auto absent = firstEntryNamed(set, "libb");
    ASSERT_NE(absent, set.end());
    EXPECT_EQ(absent->name, "libc");
    // The naive start would miss the "~" entry of the name.
    EXPECT_NE(set.lower_bound(Dependency("libc"))->toString(), "libc = 0:~rc1");
}

TEST(ResolverInit, SecondInitRefused) {
    LogCapture log;
    Resolver resolver;
    EXPECT_FALSE(resolver.isInitialized());
    ASSERT_TRUE(resolver.initFromInstalled(mapOf({package("a", "1")}), false, {}));
    EXPECT_FALSE(resolver.initFromInstalled(PackageMap{}, false, {}));
    EXPECT_TRUE(log.has("ERROR: attempted to reinitilize a resolver"));
    UpdaterConfig options;
    EXPECT_FALSE(resolver.init(options, {}));
    EXPECT_EQ(log.count("ERROR: attempted to reinitilize a resolver"), 2);
    // The first list stays.
    EXPECT_FALSE(resolver.isNewer(package("a", "1")));
}

TEST(ResolverInit, ExternalPackagesNeedAnInitialisedResolver) {
    LogCapture log;
    Resolver resolver;
    EXPECT_FALSE(resolver.addExternalPackages({}));
    EXPECT_TRUE(log.has("ERROR: attempted to add external packages to non-initialized resolver"));
    ASSERT_TRUE(resolver.initFromInstalled(PackageMap{}, false, {}));
    EXPECT_TRUE(resolver.addExternalPackages({}));
}

TEST(ResolverInit, UnreadableDatabaseLeavesResolverUninitialised) {
    loadRpmConfig();
    TempDir dir("updater-resolver");
    writeFile(dir / "db/Packages", "not a database");
    writeFile(dir / "db/rpmdb.sqlite", "not a database either");
    rpmPushMacro(nullptr, "_dbpath", nullptr, (dir / "db").c_str(), RMIL_CMDLINE);
    LogCapture log;
    Resolver resolver;
    UpdaterConfig options;
    EXPECT_FALSE(resolver.init(options, {}));
    rpmPopMacro(nullptr, "_dbpath");
    EXPECT_FALSE(resolver.isInitialized());
    EXPECT_TRUE(log.has("ERROR: failed opening rpm database")) << log.text();
    // Still uninitialised: external packages are refused.
    EXPECT_FALSE(resolver.addExternalPackages({}));
}

TEST(ResolverPull, ModeWords) {
    Resolver resolver;
    ASSERT_TRUE(resolver.initFromInstalled(mapOf({package("p", "0.5")}), false, {}));
    Package provider = package("p", "1");
    provider.provides.insert(dep("cap"));
    const PackageMap repository = mapOf({provider});
    LogCapture log;
    for (const PullMode mode : {PullMode::AllAvailable, static_cast<PullMode>(7)}) {
        DependencySet unsatisfied = {dep("cap")};
        PackageSelection selection;
        // Neither mode tests isNewer: every candidate qualifies.
        EXPECT_TRUE(resolver.pullPackages(storeOf(repository), mode, unsatisfied, selection));
        EXPECT_TRUE(unsatisfied.empty());
        EXPECT_EQ(names(selection), std::vector<std::string>{"p"});
    }
    EXPECT_TRUE(log.has("DEBUG: resolving dependencies (all available)"));
    EXPECT_TRUE(log.has("DEBUG: resolving dependencies (unknown)"));
}

TEST(ResolverClosure, TerminationRequestEndsTheClosureAfterAPull) {
    Resolver resolver;
    ASSERT_TRUE(resolver.initFromInstalled(mapOf({package("app", "1")}), false, {}));
    Package app = package("app", "2");
    app.requires.insert(dep("cap"));
    Package provider = package("provider", "1");
    provider.provides.insert(dep("cap"));
    const PackageMap repository = mapOf({app, provider});
    PackageSelection selection = resolver.selectNewer(storeOf(repository), {}, {}, {}, {});
    ASSERT_EQ(names(selection), std::vector<std::string>{"app"});
    DependencySet requires, recommends;
    int asked = 0;
    EXPECT_FALSE(resolver.closeDependencies(storeOf(repository), selection, requires, recommends, [&asked] {
        ++asked;
        return true;
    }));
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(names(selection), (std::vector<std::string>{"app", "provider"}));

    // Without the request the same closure succeeds; with nothing to pull it is never asked.
    PackageSelection again = resolver.selectNewer(storeOf(repository), {}, {}, {}, {});
    asked = 0;
    EXPECT_TRUE(resolver.closeDependencies(storeOf(repository), again, requires, recommends, [&asked] {
        ++asked;
        return false;
    }));
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(requires.empty());
}

TEST(ResolverClosure, OnlyFileDependenciesLeftIsSuccess) {
    // A file dependency reaches the unsatisfied set only through a pull that leaves it, so
    // the loop's own test is checked through allFileDependencies.
    LogCapture log;
    EXPECT_TRUE(allFileDependencies({}));
    EXPECT_TRUE(allFileDependencies({dep("/bin/sh"), dep("/usr/bin/env", "1", kSenseEqual)}));
    EXPECT_FALSE(allFileDependencies({dep("/bin/sh"), dep("sh")}));
    EXPECT_FALSE(allFileDependencies({dep("")}));
    EXPECT_EQ(log.count("DEBUG: checking for file-only requires"), 4);
}

TEST(ResolverUnmet, OnlyRequirementsAtOrAboveTheCapabilityAreExamined) {
    const Dependency running("updater-running", EVR::fromString("1.10"), kSenseEqual);
    Package a = package("a", "1");
    a.requires = {dep("updater-running", "1.11", kSenseGreater | kSenseEqual),
                  dep("updater-running", "1.5", kSenseGreater | kSenseEqual),
                  dep("updater-running", "1.10", kSenseEqual), dep("updater-running", "1.4", kSenseLess),
                  dep("updater-runningx", "9", kSenseGreater)};
    DependencySet unmet = {dep("stale")};
    LogCapture log;
    EXPECT_FALSE(findUnmetRequirements(running, {{"a", a}}, unmet));
    EXPECT_EQ(unmet, DependencySet{dep("updater-running", "1.11", kSenseGreater | kSenseEqual)});
    EXPECT_TRUE(
        log.has("DEBUG: failed satisfy of 'updater-running = 0:1.10': updater-running >= 0:1.11 is "
                "needed by a-0:1"));
    EXPECT_TRUE(findUnmetRequirements(running, {}, unmet));
    EXPECT_TRUE(unmet.empty());
}

// ---------------------------------------------------------------------------------------
// The external packages file.

std::string externalList(const std::string& packages) {
    return std::string("<metadata xmlns=\"") + kCommonNamespace + "\" xmlns:rpm=\"" + kRpmNamespace + "\">" + packages +
           "</metadata>";
}

std::string externalRecord(const std::string& name, const std::string& version) {
    return "<package type=\"rpm\"><name>" + name + "</name><arch>noarch</arch><version epoch=\"0\" ver=\"" + version +
           "\"/><checksum type=\"sha256\">00</checksum><location href=\"p/" + name +
           ".rpm\"/><format><rpm:provides><rpm:entry name=\"" + name + "-cap\"/></rpm:provides></format></package>";
}

TEST(ExternalPackages, MissingFileIsNormal) {
    TempDir dir("updater-external");
    PackageMap out;
    LogCapture log;
    EXPECT_FALSE(loadExternalPackages(out, dir / "external.xml"));
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(log.has("DEBUG: no " + (dir / "external.xml") + " to load"));
    for (const std::string& line : log.lines()) EXPECT_NE(line.rfind("WARNING", 0), 0u) << line;
}

TEST(ExternalPackages, LoadedWithoutLocalPaths) {
    loadRpmConfig();
    TempDir dir("updater-external");
    writeFile(dir / "external.xml", externalList(externalRecord("ext", "2.0") + externalRecord("ext", "1.0")));
    PackageMap out;
    LogCapture log;
    EXPECT_TRUE(loadExternalPackages(out, dir / "external.xml"));
    EXPECT_TRUE(log.has("INFO: loaded external packages from " + (dir / "external.xml")));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out.begin()->second.evr.version, "2.0");
    for (const auto& entry : out) {
        EXPECT_TRUE(entry.second.localPath.empty());
        EXPECT_EQ(entry.second.provides, DependencySet{dep("ext-cap")});
    }
}

TEST(ExternalPackages, BrokenFileKeepsWhatWasRead) {
    loadRpmConfig();
    TempDir dir("updater-external");
    // The second record names itself twice: an error in the list after an accepted record.
    writeFile(dir / "external.xml",
              externalList(externalRecord("first", "1.0") +
                           "<package type=\"rpm\"><name>second</name><name>again</name></package>" +
                           externalRecord("third", "1.0")));
    writeFile(dir / "wrong-root.xml", "<tavdata xmlns=\"" + std::string(kTavNamespace) + "\"/>");
    PackageMap out;
    LogCapture log;
    EXPECT_FALSE(loadExternalPackages(out, dir / "external.xml"));
    EXPECT_TRUE(log.has("WARNING: failed to load external packages from " + (dir / "external.xml")));
    EXPECT_EQ(out.count("first"), 1u);
    EXPECT_FALSE(loadExternalPackages(out, dir / "wrong-root.xml"));
    EXPECT_TRUE(log.has("WARNING: failed to load external packages from " + (dir / "wrong-root.xml")));
    EXPECT_EQ(out.size(), 1u);
}

// ---------------------------------------------------------------------------------------
// End to end: a database made by rpm, a repository made by createrepo_c, an external file.

bool rpmInstall(const std::string& db, const std::string& file) {
    std::string output;
    const bool ok =
        !file.empty() && runTool({"rpm", "--dbpath", db, "-i", "--justdb", "--nodeps", "--oldpackage", file}, &output);
    EXPECT_TRUE(ok) << file << ": " << output;
    return ok;
}

TEST(ResolverEndToEnd, DatabaseRepositoryAndExternalPackages) {
    loadRpmConfig();
    TempDir dir("updater-resolver-e2e");
    RpmBuilder builder(dir.path());
    const std::string installedDir = dir / "installed";
    const std::string repoDir = dir / "repo";

    RpmPackageDef app1("app", "1.0", "1");
    app1.requires = {"libfoo"};
    RpmPackageDef libfoo1("libfoo", "1.0", "1");
    RpmPackageDef twin1("twin", "1.0", "1");
    RpmPackageDef twin3("twin", "3.0", "1");
    RpmPackageDef app2("app", "2.0", "1");
    app2.requires = {"libfoo >= 2.0", "helper", "/bin/sh", "ext-api >= 4"};
    RpmPackageDef libfoo2("libfoo", "2.0", "1");
    RpmPackageDef twin2("twin", "2.0", "1");
    RpmPackageDef helper("helper", "1.0", "1");

    const std::string db = dir / "db";
    std::string output;
    ASSERT_TRUE(runTool({"rpm", "--dbpath", db, "--initdb"}, &output)) << output;
    for (const RpmPackageDef* def : {&app1, &libfoo1, &twin1, &twin3})
        ASSERT_TRUE(rpmInstall(db, builder.build(*def, installedDir)));
    for (const RpmPackageDef* def : {&app2, &libfoo2, &twin2, &helper})
        ASSERT_FALSE(builder.build(*def, repoDir).empty());
    RepoBuilder repo(repoDir);
    ASSERT_TRUE(repo.create());
    PackageMap repository;
    ASSERT_TRUE(parseListToMap(repo.listPath("primary"), kPrimaryList, repository, dir / "cache"));

    writeFile(dir / "external.xml",
              externalList("<package type=\"rpm\"><name>ext</name><arch>noarch</arch><version epoch=\"0\" "
                           "ver=\"5\"/><checksum type=\"sha256\">00</checksum><location href=\"ext.rpm\"/><format>"
                           "<rpm:provides><rpm:entry name=\"ext-api\" flags=\"EQ\" epoch=\"0\" ver=\"5\"/>"
                           "</rpm:provides></format></package>"));
    PackageMap external;
    ASSERT_TRUE(loadExternalPackages(external, dir / "external.xml"));

    rpmPushMacro(nullptr, "_dbpath", nullptr, db.c_str(), RMIL_CMDLINE);
    LogCapture log;
    Resolver resolver;
    UpdaterConfig options;
    const bool initialised = resolver.init(options, kRpmOnlyExcludedTypes);
    rpmPopMacro(nullptr, "_dbpath");
    ASSERT_TRUE(initialised) << log.text();
    ASSERT_TRUE(resolver.addExternalPackages(external));

    // Pass 1 shape with libfoo treated as an add-on: only the closure brings it in.
    PackageSelection selection = resolver.selectNewer(storeOf(repository), {}, {"libfoo"}, {}, {"libfoo"});
    EXPECT_EQ(names(selection), std::vector<std::string>{"app"});
    EXPECT_TRUE(log.has("TRACE: checking installed twin-0:3.0-1"));

    DependencySet requires, recommends;
    EXPECT_TRUE(resolver.closeDependencies(storeOf(repository), selection, requires, recommends, [] { return false; }))
        << log.text();
    EXPECT_EQ(names(selection), (std::vector<std::string>{"app", "helper", "libfoo"}));
    EXPECT_TRUE(log.has("DEBUG: pulling package libfoo-0:2.0-1 to satisfy 'libfoo >= 0:2.0'"));
    EXPECT_TRUE(log.has("DEBUG: pulling package helper-0:1.0-1 to satisfy 'helper'"));
    EXPECT_TRUE(log.has("DEBUG: ignoring non-satisfied file dependency /bin/sh for app-0:2.0-1"));
    EXPECT_FALSE(selection.find("app")->second.localPath.empty());
}

}  // namespace
