// Cross-check of the choice of updates against dnf: over the same repository and a copy of the
// same database in a throwaway install root, the names the resolver selects before the
// dependency closure are the names "dnf check-update" lists. Skipped where dnf is missing.
// Only situations where both should agree: no add-ons, exclusions or obsoletes.
#include <rpm/rpmmacro.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <sstream>
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
#include "repository/package_list.h"
#include "resolver/resolver.h"

namespace {

// The command's output and exit status; dnf check-update exits 100 when it lists updates.
int runShell(const std::string& command, std::string& output) {
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return -1;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// "name.arch  version-release  repo" lines into names.
std::set<std::string> dnfUpgradeNames(const std::string& output) {
    std::set<std::string> names;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string nameArch, version, repo;
        if (!(words >> nameArch >> version >> repo) || repo != "updater-test") continue;
        names.insert(nameArch.substr(0, nameArch.rfind('.')));
    }
    return names;
}

TEST(ResolverDnfCrossCheck, SameUpgradesAsDnfCheckUpdate) {
    if (!runTool({"sh", "-c", "command -v dnf"})) GTEST_SKIP() << "dnf is not installed";
    loadRpmConfig();
    TempDir dir("updater-dnf");
    RpmBuilder builder(dir.path());

    struct Def {
        const char* name;
        const char* version;
        const char* release;
        unsigned epoch;
    };
    // Installed: one version same as the repository's, older, newer, two records of a name,
    // epochs, numeric releases, "~" and "^" versions; the repository adds a package that is
    // not installed.
    const std::vector<Def> installed = {
        {"same", "1.0", "1", 0}, {"up", "1.0", "1", 0},        {"down", "2.0", "1", 0},  {"twin", "1.0", "1", 0},
        {"twin", "3.0", "1", 0}, {"twin2", "1.0", "1", 0},     {"twin2", "1.5", "1", 0}, {"ep", "1.0", "1", 1},
        {"rel", "1.0", "2", 0},  {"tilde", "1.0~rc1", "1", 0}, {"caret", "1.0", "1", 0}, {"alpha", "1.0a", "1", 0},
    };
    const std::vector<Def> available = {
        {"same", "1.0", "1", 0},  {"up", "1.0.5", "1", 0},       {"up", "1.1", "1", 0},    {"down", "1.9", "1", 0},
        {"twin", "2.0", "1", 0},  {"twin2", "2.0", "1", 0},      {"ep", "2.0", "1", 0},    {"rel", "1.0", "10", 0},
        {"tilde", "1.0", "1", 0}, {"caret", "1.0^git1", "1", 0}, {"alpha", "1.0", "1", 0}, {"fresh", "1.0", "1", 0},
    };
    auto build = [&](const Def& def, const std::string& out) {
        RpmPackageDef rpm(def.name, def.version, def.release);
        if (def.epoch) rpm.epoch = def.epoch;
        return builder.build(rpm, out);
    };

    const std::string db = dir / "db";
    std::string output;
    ASSERT_TRUE(runTool({"rpm", "--dbpath", db, "--initdb"}, &output)) << output;
    for (const Def& def : installed) {
        const std::string file = build(def, dir / "installed");
        ASSERT_FALSE(file.empty());
        ASSERT_TRUE(runTool({"rpm", "--dbpath", db, "-i", "--justdb", "--nodeps", "--oldpackage", file}, &output))
            << output;
    }
    for (const Def& def : available) ASSERT_FALSE(build(def, dir / "repo").empty());
    RepoBuilder repo(dir / "repo");
    ASSERT_TRUE(repo.create());
    PackageMap repository;
    ASSERT_TRUE(parseListToMap(repo.listPath("primary"), kPrimaryList, repository, ""));

    // The resolver, over the original database.
    PackageSelection selection;
    {
        rpmPushMacro(nullptr, "_dbpath", nullptr, db.c_str(), RMIL_CMDLINE);
        LogCapture log;
        Resolver resolver;
        const bool initialised = resolver.init(UpdaterConfig(), {});
        rpmPopMacro(nullptr, "_dbpath");
        ASSERT_TRUE(initialised) << log.text();
        selection = resolver.selectNewer(storeOf(repository), {}, {}, {}, {});
    }
    std::set<std::string> ours;
    for (const auto& entry : selection) ours.insert(entry.first);

    // dnf, over a copy of the database inside its own install root.
    const std::string root = dir / "root";
    makeDirs(root + "/var/lib");
    makeDirs(root + "/etc/yum.repos.d");
    ASSERT_TRUE(runTool({"cp", "-a", db, root + "/var/lib/rpm"}, &output)) << output;
    // dnf's librpm looks where the host's rpm configuration says (Debian: ~/.rpmdb), below the
    // install root; libsolv looks in /var/lib/rpm.
    std::string hostDbPath;
    ASSERT_EQ(runShell("rpm --eval '%{_dbpath}'", hostDbPath), 0) << hostDbPath;
    hostDbPath.erase(hostDbPath.find_last_not_of("\n") + 1);
    if (hostDbPath != "/var/lib/rpm") {
        makeDirs(root + hostDbPath.substr(0, hostDbPath.rfind('/')));
        ASSERT_TRUE(runTool({"cp", "-a", db, root + hostDbPath}, &output)) << output;
    }
    writeFile(root + "/etc/dnf/dnf.conf", "[main]\ngpgcheck=0\n");
    const std::string command = "dnf -q --installroot=" + root + " --config=" + root +
                                "/etc/dnf/dnf.conf --setopt=reposdir=" + root +
                                "/etc/yum.repos.d --releasever=1 --nogpgcheck "
                                "--repofrompath=updater-test,file://" +
                                dir / "repo" + " --repo=updater-test check-update";
    std::string dnfOutput;
    const int status = runShell(command, dnfOutput);
    ASSERT_TRUE(status == 0 || status == 100) << command << "\n" << dnfOutput;
    const std::set<std::string> theirs = dnfUpgradeNames(dnfOutput);

    EXPECT_EQ(ours, (std::set<std::string>{"caret", "rel", "tilde", "twin2", "up"}));
    EXPECT_EQ(ours, theirs) << dnfOutput;
}

}  // namespace
