// The dependency closure of a selection: what the updated system would miss, and the
// repository packages pulled in to provide it.
#include <iterator>
#include <numeric>
#include <optional>
#include <vector>

#include "base/logger.h"
#include "resolver/closure_check.h"
#include "resolver/dependency_report.h"
#include "resolver/repository_providers.h"
#include "resolver/resolver.h"
#include "resolver/system_provides.h"

namespace {

const char* pullModeWord(int mode) {
    switch (mode) {
        case kPullAllAvailable:
            return "all available";
        case kPullUpdatesOnly:
            return "updates only";
        case kPullSkipUpdates:
            return "skip updates";
        default:
            return "unknown";
    }
}

}  // namespace

DependencySet::const_iterator firstEntryNamed(const DependencySet& dependencies, const std::string& name) {
    // rpmvercmp ranks "~1" below an empty version, so entries of this name may precede the
    // bare name; they are few, so step back over them.
    auto it = dependencies.lower_bound(Dependency(name));
    while (it != dependencies.begin()) {
        auto previous = std::prev(it);
        if (previous->name != name) break;
        it = previous;
    }
    return it;
}

void Resolver::checkSet(const DependencySet& wanted, const SystemProvides& provides, const char* word,
                        const Package& owner, DependencySet& unsatisfied) const {
    for (const Dependency& dependency : wanted)
        if (!provides.satisfies(dependency)) reportUnsatisfied(dependency, word, owner, unsatisfied);
}

bool Resolver::checkDependencies(const PackageSelection& selection, DependencySet& unsatisfiedRequires,
                                 DependencySet& unsatisfiedRecommends) const {
    SystemProvides provides(installed());
    provides.addSelection(selection);
    return checkDependencies(selection, provides, unsatisfiedRequires, unsatisfiedRecommends);
}

bool Resolver::checkDependencies(const PackageSelection& selection, const SystemProvides& provides,
                                 DependencySet& unsatisfiedRequires, DependencySet& unsatisfiedRecommends) const {
    reportCheckStart(selection.size());
    unsatisfiedRequires.clear();
    unsatisfiedRecommends.clear();

    // The system after the update: installed records not replaced by a selected record of
    // their name, then the selection.
    std::vector<const Package*> system;
    const PackageMap& installedPackages = installed();
    system.reserve(installedPackages.size() + selection.size());
    for (const auto& [name, record] : installedPackages)
        if (!provides.replaced(name)) system.push_back(&record);
    for (const auto& entry : selection) system.push_back(&entry.second);

    if (Logger::instance().passes(LogLevel::Trace)) {
        DependencySet pool;
        for (const Package* record : system) pool.insert(record->provides.begin(), record->provides.end());
        for (const Dependency& provide : pool) LOG(Trace, "dep %s", provide.toString().c_str());
    }

    for (const Package* record : system) {
        checkSet(record->requires, provides, "required", *record, unsatisfiedRequires);
        if (!m_ignoreRecommends) checkSet(record->recommends, provides, "recommended", *record, unsatisfiedRecommends);
    }
    return unsatisfiedRequires.empty() && unsatisfiedRecommends.empty();
}

bool Resolver::pullPackages(const PackageMap& repository, int mode, DependencySet& unsatisfied,
                            PackageSelection& selection) const {
    if (unsatisfied.empty()) return false;
    const RepositoryProviders providers(repository);
    return pullPackages(providers, mode, unsatisfied, selection);
}

bool Resolver::pullPackages(const RepositoryProviders& repository, int mode, DependencySet& unsatisfied,
                            PackageSelection& selection) const {
    if (unsatisfied.empty()) return false;
    LOG(Debug, "resolving dependencies (%s)", pullModeWord(mode));
    size_t pulled = 0;

    // Only names providing something missing can be pulled. The trace tells about every
    // name, so it walks them all.
    const std::vector<RepositoryProviders::Candidate>& candidates = repository.candidates();
    const bool tracing = Logger::instance().passes(LogLevel::Trace);
    std::vector<size_t> positions;
    if (tracing) {
        positions.resize(candidates.size());
        std::iota(positions.begin(), positions.end(), size_t{0});
    } else {
        positions = repository.providing(unsatisfied);
    }

    for (const size_t position : positions) {
        if (unsatisfied.empty() && !tracing) break;
        const RepositoryProviders::Candidate& entry = candidates[position];
        const std::string& name = *entry.name;
        if (selection.count(name) != 0) {
            if (tracing)
                for (auto record = entry.first; record != entry.end; ++record)
                    LOG(Trace, "package %s already in", packageLabel(record->second).c_str());
            continue;
        }
        LOG(Trace, "checking package %s", packageLabel(entry.first->second).c_str());
        const Package* candidate = entry.newest;
        LOG(Trace, "found %s as best", packageLabel(*candidate).c_str());

        if (excludedByType(*candidate)) {
            LOG(Trace, "skipping package excluded by type");
            continue;
        }
        if (mode == kPullUpdatesOnly && !isNewer(*candidate)) {
            LOG(Trace, "skip package %s which does not update installed package", packageLabel(*candidate).c_str());
            continue;
        }
        if (mode == kPullSkipUpdates && isNewer(*candidate)) {
            LOG(Trace, "skip package %s which updates installed package", packageLabel(*candidate).c_str());
            continue;
        }

        for (const Dependency& provide : candidate->provides) {
            LOG(Trace, "check prov %s", provide.toString().c_str());
            bool satisfiedOne = false;
            for (auto wanted = firstEntryNamed(unsatisfied, provide.name);
                 wanted != unsatisfied.end() && wanted->name == provide.name;) {
                LOG(Debug, "checking provide %s", provide.toString().c_str());
                if (!provide.matches(*wanted)) {
                    ++wanted;
                    continue;
                }
                if (!satisfiedOne) {
                    satisfiedOne = true;
                    LOG(Debug, "pulling package %s to satisfy '%s'", packageLabel(*candidate).c_str(),
                        wanted->toString().c_str());
                    selection.emplace(name, *candidate);
                    ++pulled;
                }
                LOG(Debug, "removing require '%s', provided by pulled package", wanted->toString().c_str());
                wanted = unsatisfied.erase(wanted);
            }
        }
    }

    LOG(Debug, "pulled %zu packages", pulled);
    return pulled > 0;
}

bool Resolver::pullForUnsatisfied(const PackageMap& repository, DependencySet& unsatisfied,
                                  PackageSelection& selection) const {
    const RepositoryProviders providers(repository);
    return pullForUnsatisfied(providers, unsatisfied, selection);
}

bool Resolver::pullForUnsatisfied(const RepositoryProviders& repository, DependencySet& unsatisfied,
                                  PackageSelection& selection) const {
    // Updating what is installed is preferred; the second mode runs whatever the first did.
    const bool updates = pullPackages(repository, kPullUpdatesOnly, unsatisfied, selection);
    const bool others = pullPackages(repository, kPullSkipUpdates, unsatisfied, selection);
    return updates || others;
}

bool Resolver::closeDependencies(const PackageMap& repository, PackageSelection& selection,
                                 DependencySet& unsatisfiedRequires, DependencySet& unsatisfiedRecommends,
                                 const std::function<bool()>& stopRequested) const {
    // The trace lists all the system provides at every check, so a traced closure checks
    // everything every round; otherwise each round checks only what the last one changed.
    std::optional<SystemProvides> provides;
    std::optional<ClosureCheck> incremental;
    if (Logger::instance().passes(LogLevel::Trace))
        provides.emplace(installed());
    else
        incremental.emplace(installed(), m_ignoreRecommends);
    std::optional<RepositoryProviders> providers;  // only needed once something is missing
    // Ends: each round either stops or adds a name, and a selected name is never pulled again.
    for (;;) {
        bool consistent;
        if (incremental) {
            consistent = incremental->check(selection, unsatisfiedRequires, unsatisfiedRecommends);
        } else {
            provides->addSelection(selection);
            consistent = checkDependencies(selection, *provides, unsatisfiedRequires, unsatisfiedRecommends);
        }
        if (consistent) return true;
        if (!providers) providers.emplace(repository);
        bool pulled = pullForUnsatisfied(*providers, unsatisfiedRequires, selection);
        if (!pulled) pulled = pullForUnsatisfied(*providers, unsatisfiedRecommends, selection);
        if (pulled) {
            if (stopRequested && stopRequested()) return false;
            continue;
        }
        if (unsatisfiedRequires.empty()) {
            LOG(Debug, "only recommends dependencies are left unsatisfied");
            return true;
        }
        if (allFileDependencies(unsatisfiedRequires)) {
            LOG(Debug, "only file dependencies are left unsatisfied, assuming all are satisfied");
            return true;
        }
        return false;
    }
}

bool allFileDependencies(const DependencySet& dependencies) {
    LOG(Debug, "checking for file-only requires");
    for (const Dependency& dependency : dependencies)
        if (!isFileDependency(dependency)) return false;
    return true;
}

bool findUnmetRequirements(const Dependency& capability, const PackageSelection& packages, DependencySet& unmet) {
    unmet.clear();
    for (const auto& [name, package] : packages) {
        // Deliberately from the capability itself, not from its name: only requirements at or
        // above the running version can ask for a newer one.
        for (auto requirement = package.requires.lower_bound(capability);
             requirement != package.requires.end() && requirement->name == capability.name; ++requirement) {
            if (capability.matches(*requirement)) continue;
            unmet.insert(*requirement);
            LOG(Debug, "failed satisfy of '%s': %s is needed by %s", capability.toString().c_str(),
                requirement->toString().c_str(), packageLabel(package).c_str());
        }
    }
    return unmet.empty();
}
