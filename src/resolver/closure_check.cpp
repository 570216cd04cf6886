#include "resolver/closure_check.h"

#include <algorithm>
#include <iterator>

#include "base/logger.h"
#include "resolver/dependency_report.h"

bool ClosureCheck::ReportOrder::operator()(const Entry& a, const Entry& b) const {
    const Owner& x = *a.owner;
    const Owner& y = *b.owner;
    if (&x != &y) {
        const bool xSelected = x.selectedName != nullptr;
        const bool ySelected = y.selectedName != nullptr;
        if (xSelected != ySelected) return ySelected;
        if (!xSelected) return x.installedPosition < y.installedPosition;
        return *x.selectedName < *y.selectedName;
    }
    if (a.recommendation != b.recommendation) return b.recommendation;
    // A compact record keeps its entries in dependency order.
    return a.dependency < b.dependency;
}

ClosureCheck::ClosureCheck(const PackageStore& installed, bool ignoreRecommends)
    : m_installed(installed), m_ignoreRecommends(ignoreRecommends), m_provides(installed) {}

void ClosureCheck::start() {
    // The owner of a group's record i sits at group.first + i, for replaceInstalled; the
    // position counts in the names' order.
    m_owners.resize(m_installed.size());
    uint32_t position = 0;
    for (const PackageStore::NameGroup& group : m_installed.names()) {
        const PackageStore::RecordId* records = m_installed.recordsOf(group);
        for (uint32_t i = 0; i < group.count; ++i)
            m_owners[group.first + i] = {&m_installed, records[i], position++, nullptr, true};
    }
}

template <typename Visit>
void ClosureCheck::forEachEntry(const Owner& owner, Visit&& visit) const {
    for (const CompactDependency& dependency : owner.store->entries(owner.record, DependencyKind::Requires))
        visit(Entry{&owner, false, &dependency});
    if (m_ignoreRecommends) return;
    for (const CompactDependency& dependency : owner.store->entries(owner.record, DependencyKind::Recommends))
        visit(Entry{&owner, true, &dependency});
}

void ClosureCheck::replaceInstalled(const std::string& name, std::vector<StringPool::Id>& lostCapabilities) {
    const PackageStore::NameGroup* group = m_installed.findGroup(name);
    if (group == nullptr) return;
    for (uint32_t i = 0; i < group->count; ++i) {
        Owner& owner = m_owners[group->first + i];
        if (!owner.present) continue;
        owner.present = false;
        for (const CompactDependency& entry : m_installed.entries(owner.record, DependencyKind::Requires))
            m_unsatisfied.erase({&owner, false, &entry});
        for (const CompactDependency& entry : m_installed.entries(owner.record, DependencyKind::Recommends))
            m_unsatisfied.erase({&owner, true, &entry});
        for (const CompactDependency& provide : m_installed.entries(owner.record, DependencyKind::Provides))
            lostCapabilities.push_back(provide.name);
    }
}

void ClosureCheck::report(const Entry& entry, DependencySet& unsatisfiedRequires,
                          DependencySet& unsatisfiedRecommends) const {
    const PackageStore& store = *entry.owner->store;
    const Dependency dependency = store.dependency(*entry.dependency);
    const std::string owner = store.label(entry.owner->record);
    if (entry.recommendation)
        reportUnsatisfied(dependency, "recommended", owner, unsatisfiedRecommends);
    else
        reportUnsatisfied(dependency, "required", owner, unsatisfiedRequires);
}

void ClosureCheck::traceProvides() const {
    // Only for the log: nothing is decided from it.
    if (!Logger::instance().passes(LogLevel::Trace)) return;
    DependencySet pool;
    for (const Owner& owner : m_owners) {
        if (!owner.present) continue;
        for (const CompactDependency& provide : owner.store->entries(owner.record, DependencyKind::Provides))
            pool.insert(owner.store->dependency(provide));
    }
    for (const Dependency& provide : pool) LOG(Trace, "dep %s", provide.toString().c_str());
}

bool ClosureCheck::check(const PackageSelection& selection, DependencySet& unsatisfiedRequires,
                         DependencySet& unsatisfiedRecommends) {
    reportCheckStart(selection.size());
    if (!m_started) {
        m_started = true;
        start();
    }
    std::vector<StringPool::Id> lostCapabilities;  // ids of the installed list
    for (const auto selected : selection.addedSince(m_takenRecords)) {
        if (!m_selectedNames.insert(selected->first).second) continue;
        replaceInstalled(selected->first, lostCapabilities);
        m_owners.push_back({&selection.store(), selected->second, 0, &selected->first, true});
    }
    m_takenRecords = selection.store().size();
    m_provides.addSelection(selection);
    traceProvides();

    // Only new provides can satisfy what was missing, and only a replaced record's provides
    // can leave what was satisfied unsatisfied: the entries of the owners checked before
    // are checked again only on those capabilities. Finding them by a walk instead of an
    // index by capability keeps the check to the owners' own small array.
    for (auto it = m_unsatisfied.begin(); it != m_unsatisfied.end();)
        it = m_provides.satisfies(*it->owner->store, *it->dependency) ? m_unsatisfied.erase(it) : std::next(it);
    auto checkEntry = [&](const Entry& entry) {
        if (entry.owner->present && !m_provides.satisfies(*entry.owner->store, *entry.dependency))
            m_unsatisfied.insert(entry);
    };
    for (size_t owner = m_checkedOwners; owner < m_owners.size(); ++owner) forEachEntry(m_owners[owner], checkEntry);
    if (!lostCapabilities.empty()) {
        // By id in each store: the installed list's, and the same texts in the selection's.
        std::sort(lostCapabilities.begin(), lostCapabilities.end());
        lostCapabilities.erase(std::unique(lostCapabilities.begin(), lostCapabilities.end()), lostCapabilities.end());
        std::vector<StringPool::Id> lostInSelection;
        for (const StringPool::Id capability : lostCapabilities) {
            const std::string_view text = m_installed.text(capability);
            const StringPool::Id id = selection.store().findName(text);
            if (id != StringPool::kEmpty || text.empty()) lostInSelection.push_back(id);
        }
        std::sort(lostInSelection.begin(), lostInSelection.end());
        for (size_t owner = 0; owner < m_checkedOwners; ++owner) {
            const std::vector<StringPool::Id>& lost =
                m_owners[owner].store == &m_installed ? lostCapabilities : lostInSelection;
            forEachEntry(m_owners[owner], [&](const Entry& entry) {
                if (std::binary_search(lost.begin(), lost.end(), entry.dependency->name)) checkEntry(entry);
            });
        }
    }
    m_checkedOwners = m_owners.size();

    unsatisfiedRequires.clear();
    unsatisfiedRecommends.clear();
    for (const Entry& entry : m_unsatisfied) report(entry, unsatisfiedRequires, unsatisfiedRecommends);
    return unsatisfiedRequires.empty() && unsatisfiedRecommends.empty();
}
