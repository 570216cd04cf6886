// The resolver's installed list and the choice of updates.
#include "resolver/resolver.h"

#include <utility>

#include "base/logger.h"
#include "config/updater_config.h"
#include "resolver/repository_providers.h"
#include "rpmdb/dbdata.h"

bool Resolver::init(const UpdaterConfig& options, PackageTypeSet excludedTypes) {
    if (m_installed) {
        LOG(Error, "attempted to reinitilize a resolver");
        return false;
    }
    std::optional<PackageStore> installedPackages;
    {
        // Closed again at the end of this block: only the list outlives the database.
        RpmDB db;
        if (!db.open(!options.checkDbHeaders)) {
            LOG(Error, "failed opening rpm database");
            return false;
        }
        installedPackages = db.getInstalledPackages();
    }
    if (!installedPackages) {
        LOG(Error, "failed getting list of installed packages");
        return false;
    }
    return initFromInstalled(std::move(*installedPackages), options.ignoreRecommends, excludedTypes);
}

bool Resolver::initFromInstalled(const PackageMap& installed, bool ignoreRecommends, PackageTypeSet excludedTypes) {
    return initFromInstalled(PackageStore::of(installed), ignoreRecommends, excludedTypes);
}

bool Resolver::initFromInstalled(PackageStore installedPackages, bool ignoreRecommends, PackageTypeSet excludedTypes) {
    if (m_installed) {
        LOG(Error, "attempted to reinitilize a resolver");
        return false;
    }
    m_installed = std::move(installedPackages);
    m_ignoreRecommends = ignoreRecommends;
    m_excludedTypes = excludedTypes;
    return true;
}

bool Resolver::addExternalPackages(const PackageMap& externalPackages) {
    if (!m_installed) {
        LOG(Error, "attempted to add external packages to non-initialized resolver");
        return false;
    }
    for (const auto& [name, external] : externalPackages) {
        LOG(Debug, "adding external package %s to installed packages", packageLabel(external).c_str());
        // Only what the resolver decides with: the file's location and checksum mean nothing
        // for a package that is already installed.
        Package record;
        record.name = external.name;
        record.group = external.group;
        record.type = external.type;
        record.evr = external.evr;
        record.requires = external.requires;
        record.recommends = external.recommends;
        record.provides = external.provides;
        record.obsoletes = external.obsoletes;
        // Goes after the installed records of the same name.
        m_installed->add(record);
    }
    if (!externalPackages.empty()) m_installed->sortNames();
    return true;
}

const PackageStore& Resolver::installed() const {
    static const PackageStore kNone;
    return m_installed ? *m_installed : kNone;
}

bool Resolver::excludedByType(PackageType type) const {
    // A pass excludes Unknown, Rpm or Tavpkg. A FlashedFw record is neither installed by rpm
    // nor carried by the pass that installs rpm packages, so it follows the payload type: it
    // is skipped wherever Tavpkg is (pass 1) and considered in every other pass. Taking it in
    // pass 1 would run that pass's hooks and reboot for a record nothing installs there, and
    // count it in pass 1 and again in pass 2. A FlashedFw in the set itself changes nothing.
    return m_excludedTypes.contains(type == PackageType::FlashedFw ? PackageType::Tavpkg : type);
}

bool Resolver::obsoletesInstalled(const std::vector<DependencyView>& obsoletes,
                                  const std::function<std::string()>& label) const {
    const PackageStore& installedPackages = installed();
    for (const DependencyView& obsolete : obsoletes) {
        LOG(Trace, "checking obsoletes '%s'", obsolete.toString().c_str());
        const PackageStore::NameGroup* group = installedPackages.findGroup(obsolete.name);
        if (group == nullptr) continue;
        const PackageStore::RecordId* records = installedPackages.recordsOf(*group);
        for (uint32_t i = 0; i < group->count; ++i) {
            const PackageStore::RecordId record = records[i];
            if (obsolete.matches({installedPackages.name(record), installedPackages.evr(record), kSenseEqual})) {
                LOG(Debug, "considering %s newer than %s due to obsoletes", label().c_str(),
                    installedPackages.label(record).c_str());
                return true;
            }
        }
    }
    return false;
}

namespace {

std::vector<DependencyView> viewsOf(const DependencySet& set) {
    std::vector<DependencyView> views;
    views.reserve(set.size());
    for (const Dependency& dependency : set) views.push_back(dependency.view());
    return views;
}

std::vector<DependencyView> viewsOf(const PackageStore& store, PackageStore::RecordId id, DependencyKind kind) {
    const PackageStore::Entries entries = store.entries(id, kind);
    std::vector<DependencyView> views;
    views.reserve(entries.size());
    for (const CompactDependency& entry : entries) views.push_back(store.view(entry));
    return views;
}

}  // namespace

bool Resolver::isNewerByObsoletes(const Package& package) const {
    return obsoletesInstalled(viewsOf(package.obsoletes), [&] { return packageLabel(package); });
}

bool Resolver::isNewerByObsoletes(const PackageStore& repository, PackageStore::RecordId candidate) const {
    if (repository.entries(candidate, DependencyKind::Obsoletes).size() == 0) return false;
    return obsoletesInstalled(viewsOf(repository, candidate, DependencyKind::Obsoletes),
                              [&] { return repository.label(candidate); });
}

bool Resolver::newerThanInstalled(const PackageStore::NameGroup& group, const EvrView& evr, bool traceInstalled) const {
    const PackageStore& installedPackages = installed();
    const PackageStore::RecordId* records = installedPackages.recordsOf(group);
    for (uint32_t i = 0; i < group.count; ++i) {
        if (traceInstalled) LOG(Trace, "checking installed %s", installedPackages.label(records[i]).c_str());
        if (compareEVR(installedPackages.evr(records[i]), evr) >= 0) return false;
    }
    return true;
}

bool Resolver::isNewer(const Package& package) const {
    const PackageStore::NameGroup* group = installed().findGroup(package.name);
    if (group == nullptr) return isNewerByObsoletes(package);
    return newerThanInstalled(*group, package.evr.view(), false);
}

bool Resolver::isNewer(const PackageStore& repository, PackageStore::RecordId candidate) const {
    const PackageStore::NameGroup* group = installed().findGroup(repository.name(candidate));
    if (group == nullptr) return isNewerByObsoletes(repository, candidate);
    return newerThanInstalled(*group, repository.evr(candidate), false);
}

namespace {

// What an excluded package would replace must not be updated without it: drop it whether it
// was selected already or comes later in the walk.
void excludeObsoleted(const PackageStore& repository, PackageStore::RecordId excluded, NameSet& obsoletedByExcluded,
                      PackageSelection& selection) {
    for (const CompactDependency& obsolete : repository.entries(excluded, DependencyKind::Obsoletes)) {
        const std::string name(repository.text(obsolete.name));
        LOG(Trace, "adding %s to exclude set, obsoleted by excluded package", name.c_str());
        obsoletedByExcluded.insert(name);
        selection.erase(name);
    }
}

void addSelected(PackageSelection& selection, const std::string& name, const PackageStore& repository,
                 PackageStore::RecordId candidate) {
    const auto [existing, inserted] = selection.emplace(name, repository, candidate);
    if (inserted) {
        LOG(Debug, "found newer package %s", repository.label(candidate).c_str());
    } else {
        LOG(Error, "internal error: failed including package %s, already have %s", repository.label(candidate).c_str(),
            selection.store().label(existing.position()->second).c_str());
    }
}

// Selected packages that another selected package obsoletes are replaced by it.
void dropObsoletedBySelected(PackageSelection& selection) {
    const PackageStore& store = selection.store();
    for (auto update = selection.names().begin(); update != selection.names().end(); ++update) {
        const PackageStore::RecordId replacing = update->second;
        const PackageStore::Entries obsoletes = store.entries(replacing, DependencyKind::Obsoletes);
        if (obsoletes.size() == 0) continue;
        LOG(Trace, "checking if %s obsoletes any new packages", store.label(replacing).c_str());
        for (const CompactDependency& entry : obsoletes) {
            const DependencyView obsolete = store.view(entry);
            LOG(Trace, "checking obsoletes '%s'", obsolete.toString().c_str());
            const auto found = selection.names().find(obsolete.name);
            if (found == selection.names().end() || found == update) continue;
            const PackageStore::RecordId replaced = found->second;
            if (obsolete.matches({store.name(replaced), store.evr(replaced), kSenseEqual})) {
                LOG(Debug, "removing %s from new packages, obsoleted by %s", store.label(replaced).c_str(),
                    store.label(replacing).c_str());
                selection.erase(obsolete.name);
            }
        }
    }
}

}  // namespace

bool Resolver::updatesInstalled(const PackageStore& repository, PackageStore::RecordId candidate,
                                const NameSet& addonNames) const {
    const PackageStore::NameGroup* group = installed().findGroup(repository.name(candidate));
    if (group == nullptr) {
        if (addonNames.count(std::string(repository.name(candidate))) == 0)
            return isNewerByObsoletes(repository, candidate);
        LOG(Debug, "considering %s as newer because in pull set", repository.label(candidate).c_str());
        return true;
    }
    return newerThanInstalled(*group, repository.evr(candidate), true);
}

PackageSelection Resolver::selectNewer(const PackageStore& repository, const NameSet& includeNames,
                                       const NameSet& excludeNames, const NameSet& excludeGroups,
                                       const NameSet& addonNames) const {
    LOG(Debug, "resolving for newer packages");
    PackageSelection selection;
    NameSet obsoletedByExcluded;
    std::string name;
    for (const PackageStore::NameGroup& group : repository.names()) {
        name.assign(repository.text(group.name));
        const PackageStore::RecordId candidate = newestOf(repository, group, true);
        LOG(Trace, "checking update %s (group %s)", repository.label(candidate).c_str(),
            std::string(repository.group(candidate)).c_str());
        if (excludedByType(repository.type(candidate))) {
            LOG(Trace, "skipping package excluded by type");
            continue;
        }
        if (!includeNames.empty() && includeNames.count(name) == 0) {
            LOG(Trace, "skipping package not in include set");
            continue;
        }
        if (excludeNames.count(name) != 0 || excludeGroups.count(std::string(repository.group(candidate))) != 0 ||
            obsoletedByExcluded.count(name) != 0) {
            LOG(Trace, "skipping package in exclude set");
            excludeObsoleted(repository, candidate, obsoletedByExcluded, selection);
            continue;
        }
        if (updatesInstalled(repository, candidate, addonNames)) addSelected(selection, name, repository, candidate);
    }
    dropObsoletedBySelected(selection);
    LOG(Debug, "done resolving for newer packages");
    return selection;
}
