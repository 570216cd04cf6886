// What the system after an update provides, by capability name: the installed records not
// replaced by a selected record of their name, and the selection. A dependency closure keeps
// one across its rounds, so each round adds only what it pulled instead of rebuilding it all.
#pragma once

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
    // Whether something in the system satisfies the entry, an entry of the installed list,
    // of the selection or of another store.
    bool satisfies(const PackageStore& store, const CompactDependency& wanted) const;

private:
    // An installed provide: the installed list is indexed whole, so its index is one small
    // array sorted by capability id for a binary search.
    struct InstalledProvide {
        const CompactDependency* entry;
        PackageStore::RecordId record;
    };
    // The id of the entry's capability in target; false when target has no such text.
    static bool capabilityIn(const PackageStore& target, const PackageStore& store, const CompactDependency& wanted,
                             StringPool::Id& id);
    bool installedSatisfies(StringPool::Id capability, const DependencyView& wanted) const;
    bool selectedSatisfies(StringPool::Id capability, const DependencyView& wanted) const;

    const PackageStore& m_installed;
    std::vector<InstalledProvide> m_installedProvides;
    std::vector<bool> m_replaced;              // by installed record: a selected one took its name
    const PackageStore* m_selected = nullptr;  // the selection's store, once added
    // The selected records' provides by capability id, sorted again after each addition.
    std::vector<const CompactDependency*> m_selectedProvides;
    size_t m_takenRecords = 0;  // of the selection's store
};
