#include "driver/update_run.h"

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/child_process.h"
#include "base/logger.h"
#include "base/paths.h"
#include "base/run_report.h"
#include "base/util.h"
#include "base/version.h"
#include "driver/hook.h"
#include "driver/run_result.h"
#include "driver/signals.h"
#include "driver/status_file.h"
#include "driver/update_plan.h"
#include "package/dependency.h"
#include "repository/repository.h"
#include "rpmdb/dbdata.h"

namespace {

const char* typeWord(PackageType type) {
    switch (type) {
        case PackageType::Rpm:
            return "rpm";
        case PackageType::Tavpkg:
            return "tavpkg";
        case PackageType::FlashedFw:
            return "flashedfw";
        case PackageType::Unknown:
            break;
    }
    return "unknown";
}

// The packages of the selection of these types, as the run report lists them.
ReportedPackage reported(const Package& package) {
    return {package.name,        package.evr.epoch, package.evr.version,
            package.evr.release, package.arch,      typeWord(package.type)};
}

std::vector<ReportedPackage> reported(const PackageSelection& selection, bool rpms, bool others) {
    std::vector<ReportedPackage> packages;
    packages.reserve(selection.size());
    for (const auto& [name, package] : selection) {
        if (package.type == PackageType::Rpm ? !rpms : !others) continue;
        packages.push_back(reported(package));
    }
    return packages;
}

void refuse(Refusal reason, const std::string& detail) {
    RunReport::instance().refuse(reason, detail);
}

void saveStatusOrWarn(UpdateStatus status, bool syncDir) {
    if (!saveStatus(status, syncDir)) LOG(Warn, "failed updating status file");
}

// Each step returns RUN_OK to go on, or the result that ends the pass.
class UpdatePass {
public:
    UpdatePass(const PassPlan& plan, const PackageMap& externalPackages, Repository& repository)
        : m_plan(plan), m_options(plan.options), m_externalPackages(externalPackages), m_repository(repository) {}

    RunResult run(size_t& count);

private:
    [[nodiscard]] RunResult fetchMetadata();
    [[nodiscard]] RunResult choosePackages();
    void report() const;
    [[nodiscard]] RunResult download();
    [[nodiscard]] RunResult verify() const;
    [[nodiscard]] RunResult installRpmPackages();
    void installPayloads() const;

    [[nodiscard]] bool closeDependencies(Resolver& resolver);
    [[nodiscard]] bool updaterIsNewEnough() const;
    [[nodiscard]] RunResult runRpm();
    [[nodiscard]] size_t rpmCount() const;

    const PassPlan& m_plan;
    const UpdaterConfig& m_options;
    const PackageMap& m_externalPackages;
    Repository& m_repository;
    PackageSelection m_selection;
    int m_rpmExitCode = 0;
    std::string m_countText;  // the number of chosen packages, as the hooks get it
};

// The metadata, from the cache or from the server (signals deadly while fetching), and the
// check that the repository is meant for this product.
RunResult UpdatePass::fetchMetadata() {
    if (m_options.cacheOnly) {
        if (!m_repository.loadFromCache()) {
            LOG(Error, "could not load repository data");
            refuse(Refusal::Metadata, "could not load repository data");
            return RUN_ERROR;
        }
    } else {
        if (!enableTerminationSignals() || terminationRequested()) return RUN_ERROR;
        if (!m_repository.update()) {
            LOG(Error, "could not update repository data");
            refuse(Refusal::Metadata, "could not update repository data");
            return RUN_ERROR;
        }
        if (!disableTerminationSignals()) return RUN_ERROR;
    }
    std::string missing;
    if (!m_repository.allPresent(m_options.requiredPackages, &missing)) {
        LOG(Error, "repository is not for this product (missing required package '%s')", missing.c_str());
        return RUN_ERROR;
    }
    return RUN_OK;
}

// The newer packages and what their dependencies pull; an empty selection ends the pass.
RunResult UpdatePass::choosePackages() {
    Resolver resolver;
    if (!resolver.init(m_options, m_plan.excludedTypes) || !resolver.addExternalPackages(m_externalPackages)) {
        LOG(Error, "could not initialize resolver");
        refuse(Refusal::Database, "could not read the installed packages");
        return RUN_ERROR;
    }
    m_selection = resolver.selectNewer(m_repository.packages(), m_plan.includeNames, m_plan.excludeNames,
                                       m_plan.excludeGroups, m_plan.addonNames);
    if (m_selection.empty()) {
        if (!m_options.quiet) {
            LOG(Info, "--- 0 UPDATE(S) ---");
            LOG(Info, "no updates");
        }
        return RUN_OK;
    }
    const bool closed = closeDependencies(resolver);
    if (terminationRequested()) return RUN_ERROR;
    if (!closed || !updaterIsNewEnough()) return RUN_RETRY_UPDATER;
    m_countText = std::to_string(m_selection.size());
    return RUN_OK;
}

bool UpdatePass::closeDependencies(Resolver& resolver) {
    DependencySet unsatisfiedRequires;
    DependencySet unsatisfiedRecommends;
    const bool closed = resolver.closeDependencies(m_repository.packages(), m_selection, unsatisfiedRequires,
                                                   unsatisfiedRecommends, terminationRequested);
    if (closed || terminationRequested()) return closed;
    LOG(Error, "unsatisfied non-file dependencies:");
    for (const Dependency& dependency : unsatisfiedRequires) {
        if (dependency.name.empty() || dependency.name[0] == '/') continue;
        LOG(Error, "\t%s", dependency.toString().c_str());
        refuse(Refusal::UnsatisfiedDependency, dependency.toString());
    }
    LOG(Error, "cannot update");
    return false;
}

// A package that needs a newer updater than this one says so by a requirement on it.
bool UpdatePass::updaterIsNewEnough() const {
    const Dependency running("updater-running", EVR::fromString(kUpdaterVersion), kSenseEqual);
    DependencySet unmet;
    if (findUnmetRequirements(running, m_selection, unmet) || unmet.empty()) return true;
    const Dependency& requirement = *unmet.begin();
    LOG(Error, "newer updater required to install: %s", requirement.toString().c_str());
    refuse(Refusal::NewerUpdaterRequired, requirement.toString());
    return false;
}

// The choice, in the run report and in the log.
void UpdatePass::report() const {
    const size_t count = m_selection.size();
    RunReport::instance().addChosen(reported(m_selection, true, true));
    if (!m_options.quiet) {
        LOG(Info, "--- %zu UPDATE(S) ---", count);
        auto release =
            m_options.releasePackage.empty() ? m_selection.end() : m_selection.find(m_options.releasePackage);
        auto updater = m_selection.find(kUpdaterName);
        if (release != m_selection.end())
            LOG(Info, "--- FIRMWARE %s-%s ---", release->second.evr.version.c_str(),
                release->second.evr.release.c_str());
        else if (updater != m_selection.end())
            LOG(Info, "--- UPDATER %s-%s ---", updater->second.evr.version.c_str(),
                updater->second.evr.release.c_str());
    }
    LOG(Info, "%s update (%zu packages):", m_options.checkOnly ? "need to" : (m_options.test ? "testing" : "starting"),
        count);
    if (!Logger::instance().passes(LogLevel::Info)) return;
    std::vector<std::string> files;  // one write for them all: thousands on a large update
    files.reserve(m_selection.size());
    for (const auto& [name, record] : m_selection.names())
        files.push_back("\t" + lastPathComponent(std::string(m_selection.store().href(record))));
    Logger::instance().logLines(LogLevel::Info, files);
}

// The "download" hook, then the chosen files into the package cache (signals deadly).
RunResult UpdatePass::download() {
    if (terminationRequested() || !ignoreSighup()) return RUN_ERROR;
    const RunResult hookResult = runHook("download");
    if (hookResult != RUN_OK) return hookResult;

    if (!enableTerminationSignals() || terminationRequested()) return RUN_ERROR;
    LOG(Info, "downloading %zu packages", m_selection.size());
    saveStatusOrWarn(STATUS_DOWNLOADING, false);
    const bool downloaded = m_repository.fetchPackages(m_selection.wholeRecords());
    if (!disableTerminationSignals()) return RUN_ERROR;
    if (!downloaded) {
        LOG(Error, "failed downloading packages");
        refuse(Refusal::Download, "failed downloading packages");
        return RUN_RETRY_UPDATER;
    }
    return RUN_OK;
}

// Every chosen rpm file against the keys of the database, when it holds any.
RunResult UpdatePass::verify() const {
    if (m_options.noPkgSigCheck) return RUN_OK;
    RpmDB db;
    if (!db.open(m_options.checkDbHeaders)) {
        LOG(Error, "failed opening rpm DB");
        refuse(Refusal::Database, "failed opening rpm DB");
        return RUN_ERROR;
    }
    if (!db.hasPublicKeys()) return RUN_OK;
    LOG(Info, "verifying package signatures");
    for (const auto& [name, package] : m_selection) {
        if (package.type != PackageType::Rpm) continue;
        if (!db.checkPackageSignature(package.localPath)) {
            refuse(Refusal::PackageSignature, lastPathComponent(package.localPath));
            return RUN_RETRY_UPDATER;
        }
    }
    return RUN_OK;
}

size_t UpdatePass::rpmCount() const {
    size_t rpms = 0;
    for (const auto& entry : m_selection)
        if (entry.second.type == PackageType::Rpm) ++rpms;
    return rpms;
}

// The "update" (or "test") hook, rpm on the chosen rpm files, the "postupdate" (or
// "posttest") hook, and then rpm's verdict.
RunResult UpdatePass::installRpmPackages() {
    const RunResult hookResult = runHook(m_options.test ? "test" : "update", &m_countText);
    if (hookResult != RUN_OK) return hookResult;

    const bool anyRpm = rpmCount() > 0;
    int rpmExitCode = 0;
    if (anyRpm) {
        const RunResult started = runRpm();
        if (started != RUN_OK) return started;
        rpmExitCode = m_rpmExitCode;
    }

    (void)runHook(m_options.test ? "posttest" : "postupdate", &m_countText);

    if (!anyRpm) return RUN_OK;
    if (rpmExitCode != 0) {
        LOG(Error, "package installation FAILED (exit code %i)", rpmExitCode);
        refuse(Refusal::Install, "rpm exit code " + std::to_string(rpmExitCode));
        saveStatusOrWarn(STATUS_PKGSDONE, true);
        return RUN_RETRY_UPDATER;
    }
    LOG(Info, "packages %s OK", m_options.test ? "tested" : "installed");
    if (!m_options.test) RunReport::instance().addInstalled(reported(m_selection, true, false));
    return RUN_OK;
}

// rpm -U on the rpm files, with the status durably UPDATING (or TESTING) while it runs.
// RUN_OK once rpm has exited, whatever its exit code (kept in m_rpmExitCode).
RunResult UpdatePass::runRpm() {
    ChildProcess rpm(paths::kRpmProgram);
    if (m_options.test) {
        rpm.addArg("--test");
        LOG(Info, "testing package(s) update");
    } else {
        rpm.addArg("--define=__nofsync nofsync");
        rpm.addArg("-v");
        LOG(Info, "updating package(s)");
    }
    rpm.addArg("-U");
    for (const auto& [name, package] : m_selection) {
        if (package.type == PackageType::Rpm)
            rpm.addArg(package.localPath);
        else
            LOG(Debug, "excluding non-rpm package %s", packageLabel(package).c_str());
    }

    if (terminationRequested()) return RUN_ERROR;
    if (!saveStatus(m_options.test ? STATUS_TESTING : STATUS_UPDATING, true)) {
        LOG(Error, "failed setting status file for launching rpm, cannot continue");
        return RUN_ERROR;
    }
    if (!rpm.run()) {
        LOG(Error, "failed starting rpm to install packages, no packages upgraded");
        saveStatusOrWarn(STATUS_READY, true);
        return RUN_RETRY_UPDATER;
    }
    if (!m_options.test) sync();
    if (!rpm.exited()) {
        if (m_options.test) {
            LOG(Warn, "rpm was interrupted while testing package(s) installation");
            return RUN_ERROR;
        }
        LOG(Fatal, "rpm was interrupted, installation may be incomplete; SYSTEM MAY BE CORRUPTED");
        refuse(Refusal::CorruptedSystem, "rpm was interrupted");
        saveStatusOrWarn(STATUS_CORRUPTED, false);
        return RUN_FATAL;
    }
    m_rpmExitCode = rpm.exitCode();
    return RUN_OK;
}

// Each payload through the device's installer; no outcome changes the pass result.
void UpdatePass::installPayloads() const {
    for (const auto& [name, package] : m_selection) {
        if (package.type != PackageType::Tavpkg) continue;
        const std::string label = packageLabel(package);
        ChildProcess installer(paths::kPayloadInstaller);
        if (m_options.test) {
            installer.addArg("--test");
            installer.addArg("--");
        }
        installer.addArg(package.localPath);
        if (!installer.run())
            LOG(Warn, "failed installing pkg file for %s", label.c_str());
        else if (!installer.exited())
            LOG(Warn, "install of pkg file for %s was interrupted", label.c_str());
        else if (installer.exitCode() != 0)
            LOG(Warn, "install of pkg file for %s FAILED (exit code %i)", label.c_str(), installer.exitCode());
        else
            LOG(Info, "%s of pkg file for %s succeeded", m_options.test ? "test" : "install", label.c_str());
        if (!m_options.test && installer.exited() && installer.exitCode() == 0) {
            RunReport::instance().addInstalled({reported(package)});
        } else if (!m_options.test) {
            refuse(Refusal::Install, "payload " + label);
        }
    }
}

RunResult UpdatePass::run(size_t& count) {
    count = 0;
    RunResult result = fetchMetadata();
    if (result == RUN_OK) result = choosePackages();
    if (result != RUN_OK || m_selection.empty()) return result;

    count = m_selection.size();
    report();
    if (m_options.checkOnly) return RUN_OK;

    result = download();
    if (result == RUN_OK) result = verify();
    if (result == RUN_OK) result = installRpmPackages();
    if (result != RUN_OK) return result;
    installPayloads();

    saveStatusOrWarn(STATUS_PKGSDONE, true);
    return (m_options.noReboot || m_options.test) ? RUN_OK : RUN_REBOOT;
}

}  // namespace

RunResult runUpdatePass(const PassPlan& plan, const PackageMap& externalPackages, Repository& repository,
                        size_t& count) {
    return UpdatePass(plan, externalPackages, repository).run(count);
}
