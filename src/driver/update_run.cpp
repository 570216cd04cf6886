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
#include "driver/hook.h"
#include "driver/run_result.h"
#include "driver/signals.h"
#include "driver/status_file.h"
#include "driver/version.h"
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
std::vector<ReportedPackage> reported(const PackageSelection& selection, bool rpms, bool others) {
    std::vector<ReportedPackage> packages;
    for (const auto& [name, package] : selection) {
        if (package.type == PackageType::Rpm ? !rpms : !others) continue;
        packages.push_back({package.name, package.evr.epoch, package.evr.version, package.evr.release, package.arch,
                            typeWord(package.type)});
    }
    return packages;
}

void refuse(Refusal reason, const std::string& detail) {
    RunReport::instance().refuse(reason, detail);
}

void saveStatusOrWarn(int status, bool syncDir) {
    if (!saveStatus(status, syncDir)) LOG(Warn, "failed updating status file");
}

// Step 1: the metadata, from the cache or from the server (signals deadly while fetching).
bool bringMetadata(const UpdaterConfig& options, Repository& repository) {
    if (options.cacheOnly) {
        if (!repository.loadFromCache()) {
            LOG(Error, "could not load repository data");
            refuse(Refusal::Metadata, "could not load repository data");
            return false;
        }
        return true;
    }
    if (!enableTerminationSignals() || terminationRequested()) return false;
    if (!repository.update()) {
        LOG(Error, "could not update repository data");
        refuse(Refusal::Metadata, "could not update repository data");
        return false;
    }
    return disableTerminationSignals();
}

// Step 17: every selected rpm file against the keys of the database, when it holds any.
int checkSignatures(const UpdaterConfig& options, const PackageSelection& selection) {
    RpmDB db;
    if (!db.open(options.checkDbHeaders)) {
        LOG(Error, "failed opening rpm DB");
        refuse(Refusal::Database, "failed opening rpm DB");
        return RUN_ERROR;
    }
    if (!db.hasPublicKeys()) return RUN_OK;
    LOG(Info, "verifying package signatures");
    for (const auto& [name, package] : selection) {
        if (package.type != PackageType::Rpm) continue;
        if (!db.checkPackageSignature(package.localPath)) {
            refuse(Refusal::PackageSignature, lastPathComponent(package.localPath));
            return RUN_RETRY_UPDATER;
        }
    }
    return RUN_OK;
}

// Step 23: each payload through the device's installer; no outcome changes the pass result.
void installPayloads(const UpdaterConfig& options, const PackageSelection& selection) {
    for (const auto& [name, package] : selection) {
        if (package.type != PackageType::Tavpkg) continue;
        const std::string label = packageLabel(package);
        ChildProcess installer(paths::kPayloadInstaller);
        if (options.test) {
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
            LOG(Info, "%s of pkg file for %s succeeded", options.test ? "test" : "install", label.c_str());
        if (!options.test && installer.exited() && installer.exitCode() == 0) {
            PackageSelection one;
            one.emplace(name, package);
            RunReport::instance().addInstalled(reported(one, false, true));
        } else if (!options.test) {
            refuse(Refusal::Install, "payload " + label);
        }
    }
}

}  // namespace

int runUpdatePass(UpdaterConfig options, PackageMap externalPackages, unsigned typeMask, const NameSet& includeNames,
                  const NameSet& excludeNames, const NameSet& excludeGroups, const NameSet& addonNames,
                  Repository& repository, size_t& count) {
    count = 0;

    if (!bringMetadata(options, repository)) return RUN_ERROR;

    std::string missing;
    if (!repository.allPresent(options.requiredPackages, &missing)) {
        LOG(Error, "repository is not for this product (missing required package '%s')", missing.c_str());
        return RUN_ERROR;
    }

    Resolver resolver;
    if (!resolver.init(options, typeMask) || !resolver.addExternalPackages(externalPackages)) {
        LOG(Error, "could not initialize resolver");
        refuse(Refusal::Database, "could not read the installed packages");
        return RUN_ERROR;
    }
    externalPackages.clear();

    const PackageMap& available = repository.packages();
    PackageSelection selection = resolver.selectNewer(available, includeNames, excludeNames, excludeGroups, addonNames);
    if (selection.empty()) {
        if (!options.quiet) {
            LOG(Info, "--- 0 UPDATE(S) ---");
            LOG(Info, "no updates");
        }
        return RUN_OK;
    }

    DependencySet unsatisfiedRequires;
    DependencySet unsatisfiedRecommends;
    const bool closed = resolver.closeDependencies(available, selection, unsatisfiedRequires, unsatisfiedRecommends,
                                                   terminationRequested);
    if (terminationRequested()) return RUN_ERROR;
    if (!closed) {
        LOG(Error, "unsatisfied non-file dependencies:");
        for (const Dependency& dependency : unsatisfiedRequires) {
            if (dependency.name.empty() || dependency.name[0] == '/') continue;
            LOG(Error, "\t%s", dependency.toString().c_str());
            refuse(Refusal::UnsatisfiedDependency, dependency.toString());
        }
        LOG(Error, "cannot update");
        return RUN_RETRY_UPDATER;
    }

    // A package that needs a newer updater than this one says so by a requirement on it.
    const Dependency running("updater-running", EVR::fromString(kUpdaterVersion), kSenseEqual);
    DependencySet unmet;
    if (!findUnmetRequirements(running, selection, unmet)) {
        for (const Dependency& requirement : unmet) {
            LOG(Error, "newer updater required to install: %s", requirement.toString().c_str());
            refuse(Refusal::NewerUpdaterRequired, requirement.toString());
            return RUN_RETRY_UPDATER;
        }
    }

    count = selection.size();
    RunReport::instance().addChosen(reported(selection, true, true));
    size_t rpmCount = 0;
    for (const auto& entry : selection)
        if (entry.second.type == PackageType::Rpm) ++rpmCount;

    if (!options.quiet) {
        LOG(Info, "--- %zu UPDATE(S) ---", count);
        auto release = options.releasePackage.empty() ? selection.end() : selection.find(options.releasePackage);
        auto updater = selection.find(kUpdaterName);
        if (release != selection.end())
            LOG(Info, "--- FIRMWARE %s-%s ---", release->second.evr.version.c_str(),
                release->second.evr.release.c_str());
        else if (updater != selection.end())
            LOG(Info, "--- UPDATER %s-%s ---", updater->second.evr.version.c_str(),
                updater->second.evr.release.c_str());
    }
    LOG(Info, "%s update (%zu packages):", options.checkOnly ? "need to" : (options.test ? "testing" : "starting"),
        count);
    for (const auto& [name, package] : selection) LOG(Info, "\t%s", lastPathComponent(package.href).c_str());

    if (options.checkOnly) return RUN_OK;

    if (terminationRequested() || !ignoreSighup()) return RUN_ERROR;

    int hookResult = runHook("download");
    if (hookResult != RUN_OK) return hookResult;

    if (!enableTerminationSignals() || terminationRequested()) return RUN_ERROR;
    LOG(Info, "downloading %zu packages", count);
    saveStatusOrWarn(STATUS_DOWNLOADING, false);
    const bool downloaded = repository.fetchPackages(selection);
    if (!disableTerminationSignals()) return RUN_ERROR;
    if (!downloaded) {
        LOG(Error, "failed downloading packages");
        refuse(Refusal::Download, "failed downloading packages");
        return RUN_RETRY_UPDATER;
    }

    if (!options.noPkgSigCheck) {
        int signatureResult = checkSignatures(options, selection);
        if (signatureResult != RUN_OK) return signatureResult;
    }

    const int result = (options.noReboot || options.test) ? RUN_OK : RUN_REBOOT;
    char countText[32];
    std::snprintf(countText, sizeof countText, "%zu", count);
    const std::string countArg(countText);

    hookResult = runHook(options.test ? "test" : "update", &countArg);
    if (hookResult != RUN_OK) return hookResult;

    int rpmExitCode = 0;
    if (rpmCount > 0) {
        ChildProcess rpm(paths::kRpmProgram);
        if (options.test) {
            rpm.addArg("--test");
            LOG(Info, "testing package(s) update");
        } else {
            rpm.addArg("--define=__nofsync nofsync");
            rpm.addArg("-v");
            LOG(Info, "updating package(s)");
        }
        rpm.addArg("-U");
        for (const auto& [name, package] : selection) {
            if (package.type == PackageType::Rpm)
                rpm.addArg(package.localPath);
            else
                LOG(Debug, "excluding non-rpm package %s", packageLabel(package).c_str());
        }

        if (terminationRequested()) return RUN_ERROR;
        if (!saveStatus(options.test ? STATUS_TESTING : STATUS_UPDATING, true)) {
            LOG(Error, "failed setting status file for launching rpm, cannot continue");
            return RUN_ERROR;
        }
        if (!rpm.run()) {
            LOG(Error, "failed starting rpm to install packages, no packages upgraded");
            saveStatusOrWarn(STATUS_READY, true);
            return RUN_RETRY_UPDATER;
        }
        if (!options.test) sync();
        if (!rpm.exited()) {
            if (options.test) {
                LOG(Warn, "rpm was interrupted while testing package(s) installation");
                return RUN_ERROR;
            }
            LOG(Fatal, "rpm was interrupted, installation may be incomplete; SYSTEM MAY BE CORRUPTED");
            refuse(Refusal::CorruptedSystem, "rpm was interrupted");
            saveStatusOrWarn(STATUS_CORRUPTED, false);
            return RUN_FATAL;
        }
        rpmExitCode = rpm.exitCode();
    }

    (void)runHook(options.test ? "posttest" : "postupdate", &countArg);

    if (rpmCount > 0) {
        if (rpmExitCode != 0) {
            LOG(Error, "package installation FAILED (exit code %i)", rpmExitCode);
            refuse(Refusal::Install, "rpm exit code " + std::to_string(rpmExitCode));
            saveStatusOrWarn(STATUS_PKGSDONE, true);
            return RUN_RETRY_UPDATER;
        }
        LOG(Info, "packages %s OK", options.test ? "tested" : "installed");
        if (!options.test) RunReport::instance().addInstalled(reported(selection, true, false));
    }

    installPayloads(options, selection);

    saveStatusOrWarn(STATUS_PKGSDONE, true);
    return result;
}
