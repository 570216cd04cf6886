// The resolver's installed list and the choice of updates.
#include "resolver/resolver.h"

#include <utility>

#include "base/logger.h"
#include "config/updater_config.h"
#include "rpmdb/dbdata.h"

bool Resolver::init(const UpdaterConfig& options, PackageTypeSet excludedTypes) {
    if (m_installed) {
        LOG(Error, "attempted to reinitilize a resolver");
        return false;
    }
    std::optional<PackageMap> installedPackages;
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

bool Resolver::initFromInstalled(PackageMap installedPackages, bool ignoreRecommends, PackageTypeSet excludedTypes) {
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
        // A multimap insert goes after the records of the same name.
        m_installed->emplace(name, std::move(record));
    }
    return true;
}

const PackageMap& Resolver::installed() const {
    static const PackageMap kNone;
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
    const PackageMap& installedPackages = installed();
    for (const DependencyView& obsolete : obsoletes) {
        LOG(Trace, "checking obsoletes '%s'", obsolete.toString().c_str());
        const auto range = installedPackages.equal_range(std::string(obsolete.name));
        for (auto it = range.first; it != range.second; ++it) {
            const Package& record = it->second;
            if (obsolete.matches({record.name, record.evr.view(), kSenseEqual})) {
                LOG(Debug, "considering %s newer than %s due to obsoletes", label().c_str(),
                    packageLabel(record).c_str());
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

bool Resolver::isNewer(const Package& package) const {
    const auto range = installed().equal_range(package.name);
    if (range.first == range.second) return isNewerByObsoletes(package);
    for (auto it = range.first; it != range.second; ++it)
        if (compareEVR(it->second.evr, package.evr) >= 0) return false;
    return true;
}

bool Resolver::isNewer(const PackageStore& repository, PackageStore::RecordId candidate) const {
    const auto range = installed().equal_range(std::string(repository.name(candidate)));
    if (range.first == range.second) return isNewerByObsoletes(repository, candidate);
    for (auto it = range.first; it != range.second; ++it)
        if (compareEVR(it->second.evr.view(), repository.evr(candidate)) >= 0) return false;
    return true;
}

namespace {

// The newest record of a name; among equal versions the first read stays.
PackageStore::RecordId newestRecord(const PackageStore& repository, const PackageStore::NameGroup& group) {
    const PackageStore::RecordId* records = repository.recordsOf(group);
    PackageStore::RecordId candidate = records[0];
    for (uint32_t i = 1; i < group.count; ++i) {
        const PackageStore::RecordId record = records[i];
        if (compareEVR(repository.evr(record), repository.evr(candidate)) > 0) {
            LOG(Trace, "dropping update %s for newer %s", repository.label(candidate).c_str(),
                repository.label(record).c_str());
            candidate = record;
        } else {
            LOG(Trace, "dropping update %s, has newer %s", repository.label(record).c_str(),
                repository.label(candidate).c_str());
        }
    }
    return candidate;
}

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

void addSelected(PackageSelection& selection, const std::string& name, Package candidate) {
    const std::string label = packageLabel(candidate);
    const auto [existing, inserted] = selection.emplace(name, std::move(candidate));
    if (inserted) {
        LOG(Debug, "found newer package %s", label.c_str());
    } else {
        LOG(Error, "internal error: failed including package %s, already have %s", label.c_str(),
            packageLabel(existing->second).c_str());
    }
}

// Selected packages that another selected package obsoletes are replaced by it.
void dropObsoletedBySelected(PackageSelection& selection) {
    for (auto update = selection.begin(); update != selection.end(); ++update) {
        const Package& replacing = update->second;
        if (replacing.obsoletes.empty()) continue;
        LOG(Trace, "checking if %s obsoletes any new packages", packageLabel(replacing).c_str());
        for (const Dependency& obsolete : replacing.obsoletes) {
            LOG(Trace, "checking obsoletes '%s'", obsolete.toString().c_str());
            const auto found = selection.find(obsolete.name);
            if (found == selection.end() || found == update) continue;
            const Package& replaced = found->second;
            if (obsolete.matches(Dependency(replaced.name, replaced.evr, kSenseEqual))) {
                LOG(Debug, "removing %s from new packages, obsoleted by %s", packageLabel(replaced).c_str(),
                    packageLabel(replacing).c_str());
                selection.erase(found);
            }
        }
    }
}

}  // namespace

bool Resolver::updatesInstalled(const PackageStore& repository, PackageStore::RecordId candidate,
                                const NameSet& addonNames) const {
    const std::string name(repository.name(candidate));
    const auto range = installed().equal_range(name);
    if (range.first == range.second) {
        if (addonNames.count(name) == 0) return isNewerByObsoletes(repository, candidate);
        LOG(Debug, "considering %s as newer because in pull set", repository.label(candidate).c_str());
        return true;
    }
    for (auto record = range.first; record != range.second; ++record) {
        LOG(Trace, "checking installed %s", packageLabel(record->second).c_str());
        if (compareEVR(record->second.evr.view(), repository.evr(candidate)) >= 0) return false;
    }
    return true;
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
        const PackageStore::RecordId candidate = newestRecord(repository, group);
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
        if (updatesInstalled(repository, candidate, addonNames))
            addSelected(selection, name, repository.package(candidate));
    }
    dropObsoletedBySelected(selection);
    LOG(Debug, "done resolving for newer packages");
    return selection;
}
