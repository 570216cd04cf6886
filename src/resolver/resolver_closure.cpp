// The dependency closure of a selection: what the updated system would miss, and the
// repository packages pulled in to provide it.
#include <iterator>
#include <optional>
#include <vector>

#include "base/logger.h"
#include "resolver/closure_check.h"
#include "resolver/dependency_report.h"
#include "resolver/repository_providers.h"
#include "resolver/resolver.h"

namespace {

const char* pullModeWord(PullMode mode) {
    switch (mode) {
        case PullMode::AllAvailable:
            return "all available";
        case PullMode::UpdatesOnly:
            return "updates only";
        case PullMode::SkipUpdates:
            return "skip updates";
    }
    return "unknown";  // a value cast from outside the enumeration
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

bool Resolver::checkDependencies(const PackageSelection& selection, DependencySet& unsatisfiedRequires,
                                 DependencySet& unsatisfiedRecommends) const {
    ClosureCheck check(installed(), m_ignoreRecommends);
    return check.check(selection, unsatisfiedRequires, unsatisfiedRecommends);
}

bool Resolver::pullPackages(const PackageStore& repository, PullMode mode, DependencySet& unsatisfied,
                            PackageSelection& selection) const {
    if (unsatisfied.empty()) return false;
    const RepositoryProviders providers(repository);
    return pullPackages(providers, mode, unsatisfied, selection);
}

namespace {

// Takes the candidate into the selection when one of its provides matches a missing entry,
// removing every entry its provides match. The trace lists the provides of every candidate
// it is shown; mayPull is false for one that provides nothing missing. Counts the provides
// that matched (the pull's count has always counted those).
size_t takeForProvides(const PackageStore& store, PackageStore::RecordId candidate, const std::string& name,
                       bool mayPull, DependencySet& unsatisfied, PackageSelection& selection) {
    size_t taken = 0;
    std::string providedName;
    for (const CompactDependency& entry : store.entries(candidate, DependencyKind::Provides)) {
        const DependencyView provide = store.view(entry);
        LOG(Trace, "check prov %s", provide.toString().c_str());
        if (!mayPull) continue;
        bool satisfiedOne = false;
        providedName.assign(provide.name);
        for (auto wanted = firstEntryNamed(unsatisfied, providedName);
             wanted != unsatisfied.end() && wanted->name == provide.name;) {
            LOG(Debug, "checking provide %s", provide.toString().c_str());
            if (!provide.matches(wanted->view())) {
                ++wanted;
                continue;
            }
            if (!satisfiedOne) {
                satisfiedOne = true;
                LOG(Debug, "pulling package %s to satisfy '%s'", store.label(candidate).c_str(),
                    wanted->toString().c_str());
                selection.emplace(name, store, candidate);
                ++taken;
            }
            LOG(Debug, "removing require '%s', provided by pulled package", wanted->toString().c_str());
            wanted = unsatisfied.erase(wanted);
        }
    }
    return taken;
}

}  // namespace

bool Resolver::mayPull(const PackageStore& store, const PackageStore::NameGroup& group,
                       PackageStore::RecordId candidate, PullMode mode, const PackageSelection& selection) const {
    const PackageStore::RecordId* records = store.recordsOf(group);
    if (selection.count(std::string(store.text(group.name))) != 0) {
        for (uint32_t i = 0; i < group.count; ++i) LOG(Trace, "package %s already in", store.label(records[i]).c_str());
        return false;
    }
    LOG(Trace, "checking package %s", store.label(records[0]).c_str());
    LOG(Trace, "found %s as best", store.label(candidate).c_str());
    if (excludedByType(store.type(candidate))) {
        LOG(Trace, "skipping package excluded by type");
        return false;
    }
    if (mode == PullMode::UpdatesOnly && !isNewer(store, candidate)) {
        LOG(Trace, "skip package %s which does not update installed package", store.label(candidate).c_str());
        return false;
    }
    if (mode == PullMode::SkipUpdates && isNewer(store, candidate)) {
        LOG(Trace, "skip package %s which updates installed package", store.label(candidate).c_str());
        return false;
    }
    return true;
}

bool Resolver::pullPackages(const RepositoryProviders& repository, PullMode mode, DependencySet& unsatisfied,
                            PackageSelection& selection) const {
    if (unsatisfied.empty()) return false;
    LOG(Debug, "resolving dependencies (%s)", pullModeWord(mode));
    size_t pulled = 0;
    const PackageStore& store = repository.store();
    // provides: whether the name's newest record provides a capability of something missing.
    auto consider = [&](size_t position, bool provides) {
        const PackageStore::NameGroup& group = repository.group(position);
        const PackageStore::RecordId newest = repository.newest(position);
        if (!mayPull(store, group, newest, mode, selection)) return;
        const std::string name(store.text(group.name));
        pulled += takeForProvides(store, newest, name, provides, unsatisfied, selection);
    };

    // Only names providing something missing can be pulled, at every log level. The trace
    // also tells about the other names, in the repository's order, which pull nothing.
    const std::vector<size_t> providing = repository.providing(unsatisfied);
    if (Logger::instance().passes(LogLevel::Trace)) {
        auto provider = providing.begin();
        for (size_t position = 0; position < repository.size(); ++position) {
            const bool provides = provider != providing.end() && *provider == position;
            if (provides) ++provider;
            consider(position, provides);
        }
    } else {
        // Once nothing is missing, the names left pull nothing.
        for (const size_t position : providing) {
            if (unsatisfied.empty()) break;
            consider(position, true);
        }
    }

    LOG(Debug, "pulled %zu packages", pulled);
    return pulled > 0;
}

bool Resolver::pullForUnsatisfied(const PackageStore& repository, DependencySet& unsatisfied,
                                  PackageSelection& selection) const {
    const RepositoryProviders providers(repository);
    return pullForUnsatisfied(providers, unsatisfied, selection);
}

bool Resolver::pullForUnsatisfied(const RepositoryProviders& repository, DependencySet& unsatisfied,
                                  PackageSelection& selection) const {
    // Updating what is installed is preferred; the second mode runs whatever the first did.
    const bool updates = pullPackages(repository, PullMode::UpdatesOnly, unsatisfied, selection);
    const bool others = pullPackages(repository, PullMode::SkipUpdates, unsatisfied, selection);
    return updates || others;
}

bool Resolver::closeDependencies(const PackageStore& repository, PackageSelection& selection,
                                 DependencySet& unsatisfiedRequires, DependencySet& unsatisfiedRecommends,
                                 const std::function<bool()>& stopRequested) const {
    // Each round checks only what the last one changed.
    ClosureCheck check(installed(), m_ignoreRecommends);
    std::optional<RepositoryProviders> providers;  // only needed once something is missing
    // Ends: each round either stops or adds a name, and a selected name is never pulled again.
    for (;;) {
        if (check.check(selection, unsatisfiedRequires, unsatisfiedRecommends)) return true;
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
    const PackageStore& store = packages.store();
    for (const auto& [name, record] : packages.names()) {
        // Deliberately from the capability itself, not from its name: only requirements at or
        // above the running version can ask for a newer one. Entries are in dependency order,
        // so those of the name not below the capability are the ones from it on.
        for (const CompactDependency& entry : store.entries(record, DependencyKind::Requires)) {
            if (store.text(entry.name) != capability.name) continue;
            const Dependency requirement = store.dependency(entry);
            if (requirement < capability || capability.matches(requirement)) continue;
            unmet.insert(requirement);
            LOG(Debug, "failed satisfy of '%s': %s is needed by %s", capability.toString().c_str(),
                requirement.toString().c_str(), store.label(record).c_str());
        }
    }
    return unmet.empty();
}
