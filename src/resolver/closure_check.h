// The dependency check: what the system after an update would miss. A closure keeps one
// across its rounds. A round only adds to the selection, so only what it changed is checked
// again: the entries of the records it added, the entries nothing satisfied before, and the
// entries on capabilities of the installed records it replaced. The results and the lines
// above trace level are those of a check of everything; at trace level each call also lists
// every capability the system provides.
#pragma once

#include <deque>
#include <set>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "package/package_store.h"
#include "resolver/package_selection.h"
#include "resolver/system_provides.h"

class ClosureCheck {
public:
    // Refers to the installed list and to the records of the selections it is given, which
    // must outlive it and stay where they are.
    ClosureCheck(const PackageStore& installed, bool ignoreRecommends);
    ClosureCheck(const ClosureCheck&) = delete;
    ClosureCheck& operator=(const ClosureCheck&) = delete;

    // Takes in what was added to the selection since the last call (a selection is only
    // ever added to) and refills both sets; true when nothing is missing.
    [[nodiscard]] bool check(const PackageSelection& selection, DependencySet& unsatisfiedRequires,
                             DependencySet& unsatisfiedRecommends);

private:
    // A record of the system after the update: an installed one or a selected one, in
    // the compact form of its list.
    struct Owner {
        const PackageStore* store;
        PackageStore::RecordId record;
        uint32_t installedPosition;       // in the installed list's order; installed records only
        const std::string* selectedName;  // null for an installed record
        bool present;                     // false once a selected record replaced it
    };
    // One requirement or recommendation of an owner.
    struct Entry {
        const Owner* owner;
        bool recommendation;
        const CompactDependency* dependency;
    };
    // The order in which a full check reports: installed records in the list's order, then
    // the selection by name; per record its requirements, then its recommendations.
    struct ReportOrder {
        bool operator()(const Entry& a, const Entry& b) const;
    };

    void start();
    // Visits the requirements, then (unless ignored) the recommendations of the owner.
    template <typename Visit>
    void forEachEntry(const Owner& owner, Visit&& visit) const;
    // Marks the installed records of the name replaced; adds the ids of their provides.
    void replaceInstalled(const std::string& name, std::vector<StringPool::Id>& lostCapabilities);
    void report(const Entry& entry, DependencySet& unsatisfiedRequires, DependencySet& unsatisfiedRecommends) const;
    void traceProvides() const;

    const PackageStore& m_installed;
    const bool m_ignoreRecommends;
    SystemProvides m_provides;
    bool m_started = false;
    // Installed owners first, where the installed list keeps their records by name, then
    // the selected ones; a deque keeps their addresses.
    std::deque<Owner> m_owners;
    size_t m_checkedOwners = 0;  // the owners before it had their entries checked
    size_t m_takenRecords = 0;   // of the selection's store
    std::unordered_set<std::string_view> m_selectedNames;
    std::set<Entry, ReportOrder> m_unsatisfied;  // of present owners only
};
