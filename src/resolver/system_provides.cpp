#include "resolver/system_provides.h"

#include <algorithm>

SystemProvides::SystemProvides(const PackageStore& installed)
    : m_installed(installed), m_replaced(installed.size(), false) {
    size_t count = 0;
    for (PackageStore::RecordId record = 0; record < installed.size(); ++record)
        count += installed.entries(record, DependencyKind::Provides).size();
    m_installedProvides.reserve(count);
    for (PackageStore::RecordId record = 0; record < installed.size(); ++record)
        for (const CompactDependency& provide : installed.entries(record, DependencyKind::Provides))
            m_installedProvides.push_back({&provide, record});
    std::sort(m_installedProvides.begin(), m_installedProvides.end(),
              [](const InstalledProvide& a, const InstalledProvide& b) { return a.entry->name < b.entry->name; });
}

void SystemProvides::addSelection(const PackageSelection& selection) {
    m_selected = &selection.store();
    const size_t before = m_selectedProvides.size();
    for (const auto selected : selection.addedSince(m_takenRecords)) {
        if (const PackageStore::NameGroup* group = m_installed.findGroup(selected->first)) {
            const PackageStore::RecordId* records = m_installed.recordsOf(*group);
            for (uint32_t i = 0; i < group->count; ++i) m_replaced[records[i]] = true;
        }
        for (const CompactDependency& provide : m_selected->entries(selected->second, DependencyKind::Provides))
            m_selectedProvides.push_back(&provide);
    }
    m_takenRecords = m_selected->size();
    const auto byId = [](const CompactDependency* a, const CompactDependency* b) { return a->name < b->name; };
    std::sort(m_selectedProvides.begin() + static_cast<std::ptrdiff_t>(before), m_selectedProvides.end(), byId);
    std::inplace_merge(m_selectedProvides.begin(), m_selectedProvides.begin() + static_cast<std::ptrdiff_t>(before),
                       m_selectedProvides.end(), byId);
}

bool SystemProvides::capabilityIn(const PackageStore& target, const PackageStore& store,
                                  const CompactDependency& wanted, StringPool::Id& id) {
    if (&target == &store) {
        id = wanted.name;
        return true;
    }
    // kEmpty is also the id of the empty name, which a record may provide.
    const std::string_view text = store.text(wanted.name);
    id = target.findName(text);
    return id != StringPool::kEmpty || text.empty();
}

bool SystemProvides::installedSatisfies(StringPool::Id capability, const DependencyView& wanted) const {
    auto provide = std::lower_bound(m_installedProvides.begin(), m_installedProvides.end(), capability,
                                    [](const InstalledProvide& a, StringPool::Id id) { return a.entry->name < id; });
    for (; provide != m_installedProvides.end() && provide->entry->name == capability; ++provide) {
        if (m_replaced[provide->record]) continue;
        if (m_installed.view(*provide->entry).matches(wanted)) return true;
    }
    return false;
}

bool SystemProvides::selectedSatisfies(StringPool::Id capability, const DependencyView& wanted) const {
    auto provide = std::lower_bound(m_selectedProvides.begin(), m_selectedProvides.end(), capability,
                                    [](const CompactDependency* entry, StringPool::Id id) { return entry->name < id; });
    for (; provide != m_selectedProvides.end() && (*provide)->name == capability; ++provide)
        if (m_selected->view(**provide).matches(wanted)) return true;
    return false;
}

bool SystemProvides::satisfies(const PackageStore& store, const CompactDependency& wanted) const {
    const DependencyView view = store.view(wanted);
    StringPool::Id capability;
    if (capabilityIn(m_installed, store, wanted, capability) && installedSatisfies(capability, view)) return true;
    return m_selected != nullptr && capabilityIn(*m_selected, store, wanted, capability) &&
           selectedSatisfies(capability, view);
}
