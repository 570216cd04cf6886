#include "resolver/system_provides.h"

SystemProvides::SystemProvides(const PackageMap& installed) {
    for (const auto& [name, record] : installed)
        for (const Dependency& provide : record.provides) m_byName[provide.name].push_back({&provide, &record.name});
}

void SystemProvides::addSelection(const PackageSelection& selection) {
    for (const auto& [name, record] : selection) {
        if (!m_selectedNames.insert(name).second) continue;
        for (const Dependency& provide : record.provides) m_byName[provide.name].push_back({&provide, nullptr});
    }
}

bool SystemProvides::satisfies(const Dependency& wanted) const {
    const auto found = m_byName.find(wanted.name);
    if (found == m_byName.end()) return false;
    for (const Provider& provider : found->second) {
        if (provider.installedName != nullptr && replaced(*provider.installedName)) continue;
        if (provider.provide->matches(wanted)) return true;
    }
    return false;
}
