// What the system after an update provides, by capability name: the installed records not
// replaced by a selected record of their name, and the selection. A dependency closure keeps
// one across its rounds, so each round adds only what it pulled instead of rebuilding it all.
#pragma once

#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "package/dependency.h"
#include "resolver/package_selection.h"

class SystemProvides {
public:
    // Refers to the records it indexes: the installed list and the selection must outlive it,
    // and selected records must stay where they are (a selection is only ever added to).
    explicit SystemProvides(const PackageMap& installed);
    SystemProvides(const SystemProvides&) = delete;
    SystemProvides& operator=(const SystemProvides&) = delete;

    // Adds the selected records not added before; the installed records of their names stop
    // providing.
    void addSelection(const PackageSelection& selection);
    // Whether an installed record of this name has been replaced by a selected one.
    bool replaced(const std::string& name) const { return m_selectedNames.count(name) != 0; }
    // Whether something in the system satisfies the dependency.
    bool satisfies(const Dependency& wanted) const;

private:
    struct Provider {
        const Dependency* provide;
        const std::string* installedName;  // null for a selected record
    };
    std::unordered_map<std::string_view, std::vector<Provider>> m_byName;
    std::unordered_set<std::string_view> m_selectedNames;
};
