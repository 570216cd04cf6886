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

bool Resolver::excludedByType(const Package& package) const {
    // A pass excludes Unknown, Rpm or Tavpkg. A FlashedFw record is neither installed by rpm
    // nor carried by the pass that installs rpm packages, so it follows the payload type: it
    // is skipped wherever Tavpkg is (pass 1) and considered in every other pass. Taking it in
    // pass 1 would run that pass's hooks and reboot for a record nothing installs there, and
    // count it in pass 1 and again in pass 2. A FlashedFw in the set itself changes nothing.
    const PackageType type = package.type == PackageType::FlashedFw ? PackageType::Tavpkg : package.type;
    return m_excludedTypes.contains(type);
}

bool Resolver::isNewerByObsoletes(const Package& package) const {
    const PackageMap& installedPackages = installed();
    for (const Dependency& obsolete : package.obsoletes) {
        LOG(Trace, "checking obsoletes '%s'", obsolete.toString().c_str());
        const auto range = installedPackages.equal_range(obsolete.name);
        for (auto it = range.first; it != range.second; ++it) {
            const Package& record = it->second;
            if (obsolete.matches(Dependency(record.name, record.evr, kSenseEqual))) {
                LOG(Debug, "considering %s newer than %s due to obsoletes", packageLabel(package).c_str(),
                    packageLabel(record).c_str());
                return true;
            }
        }
    }
    return false;
}

bool Resolver::isNewer(const Package& package) const {
    const auto range = installed().equal_range(package.name);
    if (range.first == range.second) return isNewerByObsoletes(package);
    for (auto it = range.first; it != range.second; ++it)
        if (compareEVR(it->second.evr, package.evr) >= 0) return false;
    return true;
}

namespace {

// The newest record of the name at it, which moves on past the name's records; among equal
// versions the first read stays.
const Package& newestRecord(PackageMap::const_iterator& it, PackageMap::const_iterator end) {
    const std::string& name = it->first;
    const Package* candidate = &it->second;
    for (++it; it != end && it->first == name; ++it) {
        const Package& record = it->second;
        if (compareEVR(record.evr, candidate->evr) > 0) {
            LOG(Trace, "dropping update %s for newer %s", packageLabel(*candidate).c_str(),
                packageLabel(record).c_str());
            candidate = &record;
        } else {
            LOG(Trace, "dropping update %s, has newer %s", packageLabel(record).c_str(),
                packageLabel(*candidate).c_str());
        }
    }
    return *candidate;
}

// What an excluded package would replace must not be updated without it: drop it whether it
// was selected already or comes later in the walk.
void excludeObsoleted(const Package& excluded, NameSet& obsoletedByExcluded, PackageSelection& selection) {
    for (const Dependency& obsolete : excluded.obsoletes) {
        LOG(Trace, "adding %s to exclude set, obsoleted by excluded package", obsolete.name.c_str());
        obsoletedByExcluded.insert(obsolete.name);
        selection.erase(obsolete.name);
    }
}

void addSelected(PackageSelection& selection, const std::string& name, const Package& candidate) {
    const auto [existing, inserted] = selection.emplace(name, candidate);
    if (inserted) {
        LOG(Debug, "found newer package %s", packageLabel(candidate).c_str());
    } else {
        LOG(Error, "internal error: failed including package %s, already have %s", packageLabel(candidate).c_str(),
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

bool Resolver::updatesInstalled(const std::string& name, const Package& candidate, const NameSet& addonNames) const {
    const auto range = installed().equal_range(name);
    if (range.first == range.second) {
        if (addonNames.count(name) == 0) return isNewerByObsoletes(candidate);
        LOG(Debug, "considering %s as newer because in pull set", packageLabel(candidate).c_str());
        return true;
    }
    for (auto record = range.first; record != range.second; ++record) {
        LOG(Trace, "checking installed %s", packageLabel(record->second).c_str());
        if (compareEVR(record->second.evr, candidate.evr) >= 0) return false;
    }
    return true;
}

PackageSelection Resolver::selectNewer(const PackageMap& repository, const NameSet& includeNames,
                                       const NameSet& excludeNames, const NameSet& excludeGroups,
                                       const NameSet& addonNames) const {
    LOG(Debug, "resolving for newer packages");
    PackageSelection selection;
    NameSet obsoletedByExcluded;
    for (auto it = repository.begin(); it != repository.end();) {
        const std::string& name = it->first;
        const Package& candidate = newestRecord(it, repository.end());
        LOG(Trace, "checking update %s (group %s)", packageLabel(candidate).c_str(), candidate.group.c_str());
        if (excludedByType(candidate)) {
            LOG(Trace, "skipping package excluded by type");
            continue;
        }
        if (!includeNames.empty() && includeNames.count(name) == 0) {
            LOG(Trace, "skipping package not in include set");
            continue;
        }
        if (excludeNames.count(name) != 0 || excludeGroups.count(candidate.group) != 0 ||
            obsoletedByExcluded.count(name) != 0) {
            LOG(Trace, "skipping package in exclude set");
            excludeObsoleted(candidate, obsoletedByExcluded, selection);
            continue;
        }
        if (updatesInstalled(name, candidate, addonNames)) addSelected(selection, name, candidate);
    }
    dropObsoletedBySelected(selection);
    LOG(Debug, "done resolving for newer packages");
    return selection;
}
