#include "resolver/system_provides.h"

#include <algorithm>

SystemProvides::SystemProvides(const PackageStore& installed) : m_installed(installed) {
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
        if (!m_selectedNames.insert(selected->first).second) continue;
        for (const CompactDependency& provide : m_selected->entries(selected->second, DependencyKind::Provides))
            m_selectedProvides.push_back(&provide);
    }
    m_takenRecords = m_selected->size();
    const auto byText = [this](const CompactDependency* a, const CompactDependency* b) {
        return m_selected->text(a->name) < m_selected->text(b->name);
    };
    std::sort(m_selectedProvides.begin() + static_cast<std::ptrdiff_t>(before), m_selectedProvides.end(), byText);
    std::inplace_merge(m_selectedProvides.begin(), m_selectedProvides.begin() + static_cast<std::ptrdiff_t>(before),
                       m_selectedProvides.end(), byText);
}

bool SystemProvides::installedSatisfies(const DependencyView& wanted) const {
    // kEmpty is also the id of the empty name, which a record may provide.
    const StringPool::Id capability = m_installed.findName(wanted.name);
    if (capability == StringPool::kEmpty && !wanted.name.empty()) return false;
    auto provide = std::lower_bound(m_installedProvides.begin(), m_installedProvides.end(), capability,
                                    [](const InstalledProvide& a, StringPool::Id id) { return a.entry->name < id; });
    for (; provide != m_installedProvides.end() && provide->entry->name == capability; ++provide) {
        if (replaced(m_installed.name(provide->record))) continue;
        if (m_installed.view(*provide->entry).matches(wanted)) return true;
    }
    return false;
}

bool SystemProvides::satisfies(const DependencyView& wanted) const {
    if (installedSatisfies(wanted)) return true;
    auto provide = std::lower_bound(
        m_selectedProvides.begin(), m_selectedProvides.end(), wanted.name,
        [this](const CompactDependency* entry, std::string_view name) { return m_selected->text(entry->name) < name; });
    for (; provide != m_selectedProvides.end() && m_selected->text((*provide)->name) == wanted.name; ++provide)
        if (m_selected->view(**provide).matches(wanted)) return true;
    return false;
}
