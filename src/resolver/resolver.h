// The resolver of one update pass: which repository packages update the installed system
// (rpm database plus external packages), and which further packages their dependencies pull.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "package/dependency.h"
#include "package/package.h"
#include "package/package_store.h"
#include "resolver/package_selection.h"

struct UpdaterConfig;
class RepositoryProviders;

// Package or group names of a pass parameter, compared byte by byte.
using NameSet = std::set<std::string>;

// The package types a pass that installs rpm packages only leaves out.
constexpr PackageTypeSet kRpmOnlyExcludedTypes{PackageType::Unknown, PackageType::Tavpkg};

// Which repository packages a pull may take.
enum class PullMode : int {
    AllAvailable = 0,
    UpdatesOnly = 1,  // packages that update an installed one
    SkipUpdates = 2,  // the others, mostly packages not installed at all
};

class Resolver {
public:
    Resolver() = default;
    Resolver(const Resolver&) = delete;
    Resolver& operator=(const Resolver&) = delete;

    // Reads the installed packages from the rpm database (headers checked only with
    // checkDbHeaders). Refused once initialised; a failure leaves the resolver uninitialised.
    [[nodiscard]] bool init(const UpdaterConfig& options, PackageTypeSet excludedTypes);
    // The same over an installed list that is already read (init's last step), or a map of it.
    [[nodiscard]] bool initFromInstalled(PackageStore installed, bool ignoreRecommends, PackageTypeSet excludedTypes);
    [[nodiscard]] bool initFromInstalled(const PackageMap& installed, bool ignoreRecommends,
                                         PackageTypeSet excludedTypes);
    bool isInitialized() const { return m_installed.has_value(); }

    // Adds the external packages to the installed list, after the records of their names.
    [[nodiscard]] bool addExternalPackages(const PackageMap& externalPackages);

    // The newest repository package of each name that updates the installed system, shaped
    // by the pass: includeNames (when not empty) restricts, excludeNames and excludeGroups
    // remove (with what they obsolete), addonNames are taken although not installed.
    PackageSelection selectNewer(const PackageStore& repository, const NameSet& includeNames,
                                 const NameSet& excludeNames, const NameSet& excludeGroups,
                                 const NameSet& addonNames) const;
    // Whether the package is newer than every installed record of its name or, when none is
    // installed, obsoletes an installed package.
    bool isNewer(const Package& package) const;
    bool isNewerByObsoletes(const Package& package) const;

    // Refills both sets with what the system after the update would miss; true when nothing.
    [[nodiscard]] bool checkDependencies(const PackageSelection& selection, DependencySet& unsatisfiedRequires,
                                         DependencySet& unsatisfiedRecommends) const;
    // Adds to the selection the newest repository package of each name that provides some
    // unsatisfied entry, removing the entries it provides; true when one was pulled.
    [[nodiscard]] bool pullPackages(const PackageStore& repository, PullMode mode, DependencySet& unsatisfied,
                                    PackageSelection& selection) const;
    // Updates first, then the other packages; true when either pulled.
    [[nodiscard]] bool pullForUnsatisfied(const PackageStore& repository, DependencySet& unsatisfied,
                                          PackageSelection& selection) const;
    // The update run's closure: check and pull until nothing is missing or nothing more can
    // be pulled. True when the selection is consistent (missing recommendations and file
    // dependencies tolerated); otherwise unsatisfiedRequires tells what is missing. After
    // each pull stopRequested (the update run passes terminationRequested) may end it, failed.
    [[nodiscard]] bool closeDependencies(const PackageStore& repository, PackageSelection& selection,
                                         DependencySet& unsatisfiedRequires, DependencySet& unsatisfiedRecommends,
                                         const std::function<bool()>& stopRequested) const;

private:
    const PackageStore& installed() const;
    bool excludedByType(PackageType type) const;
    // Whether the candidate updates the installed system: newer than every installed record of
    // its name or, with none installed, an add-on of the pass or newer by its obsoletes.
    bool updatesInstalled(const PackageStore& repository, PackageStore::RecordId candidate,
                          const NameSet& addonNames) const;
    // Whether evr is above every installed record of the group; traceInstalled lists them.
    bool newerThanInstalled(const PackageStore::NameGroup& group, const EvrView& evr, bool traceInstalled) const;
    // isNewer and isNewerByObsoletes of a repository record, which stays in compact form.
    bool isNewer(const PackageStore& repository, PackageStore::RecordId candidate) const;
    bool isNewerByObsoletes(const PackageStore& repository, PackageStore::RecordId candidate) const;
    // Whether a pull may take the newest record of a name: not selected yet, not excluded by
    // type, and an update or not as the mode asks.
    bool mayPull(const PackageStore& store, const PackageStore::NameGroup& group, PackageStore::RecordId candidate,
                 PullMode mode, const PackageSelection& selection) const;
    // Whether one of the obsoletes matches an installed record; label names their owner.
    bool obsoletesInstalled(const std::vector<DependencyView>& obsoletes,
                            const std::function<std::string()>& label) const;
    // The public operations over an index that a closure keeps across its rounds.
    [[nodiscard]] bool pullPackages(const RepositoryProviders& repository, PullMode mode, DependencySet& unsatisfied,
                                    PackageSelection& selection) const;
    [[nodiscard]] bool pullForUnsatisfied(const RepositoryProviders& repository, DependencySet& unsatisfied,
                                          PackageSelection& selection) const;

    std::optional<PackageStore> m_installed;  // none until initialised
    bool m_ignoreRecommends = false;
    PackageTypeSet m_excludedTypes;  // the pass leaves them out
};

// Whether every entry is a file dependency (true for an empty set).
bool allFileDependencies(const DependencySet& dependencies);
// The requirements of the packages on the capability's name, at or above the capability in
// dependency order, that the capability does not satisfy; true when there is none.
[[nodiscard]] bool findUnmetRequirements(const Dependency& capability, const PackageSelection& packages,
                                         DependencySet& unmet);
// The first entry of a dependency set with that name (end or another name when none). Not
// simply lower_bound(Dependency(name)): versions starting with "~" sort below an empty one.
DependencySet::const_iterator firstEntryNamed(const DependencySet& dependencies, const std::string& name);
