// What the system after an update provides, by capability name: the installed records not
// replaced by a selected record of their name, and the selection. A dependency closure keeps
// one across its rounds, so each round adds only what it pulled instead of rebuilding it all.
#pragma once

#include <string_view>
#include <unordered_set>
#include <vector>

#include "package/dependency.h"
#include "package/package_store.h"
#include "resolver/package_selection.h"

class SystemProvides {
public:
    // Refers to the records it indexes: the installed list and the selection must outlive it,
    // and selected records must stay where they are (a selection is only ever added to).
    explicit SystemProvides(const PackageStore& installed);
    SystemProvides(const SystemProvides&) = delete;
    SystemProvides& operator=(const SystemProvides&) = delete;

    // Adds the selected records not added before; the installed records of their names stop
    // providing.
    void addSelection(const PackageSelection& selection);
    // Whether an installed record of this name has been replaced by a selected one.
    bool replaced(std::string_view name) const { return m_selectedNames.count(name) != 0; }
    // Whether something in the system satisfies the dependency.
    bool satisfies(const DependencyView& wanted) const;

private:
    // An installed provide: the installed list is indexed whole, so its index is one small
    // array sorted by capability id for a binary search.
    struct InstalledProvide {
        const CompactDependency* entry;
        PackageStore::RecordId record;
    };
    bool installedSatisfies(const DependencyView& wanted) const;

    const PackageStore& m_installed;
    std::vector<InstalledProvide> m_installedProvides;
    const PackageStore* m_selected = nullptr;  // the selection's store, once added
    // The selected records' provides by capability text, sorted again after each addition.
    std::vector<const CompactDependency*> m_selectedProvides;
    size_t m_takenRecords = 0;  // of the selection's store
    std::unordered_set<std::string_view> m_selectedNames;
};
