#include "resolver/closure_check.h"

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
    return *a.dependency < *b.dependency;
}

ClosureCheck::ClosureCheck(const PackageMap& installed, bool ignoreRecommends)
    : m_installed(installed), m_ignoreRecommends(ignoreRecommends), m_provides(installed) {}

void ClosureCheck::start(std::vector<Entry>& fresh) {
    size_t position = 0;
    for (const auto& [name, record] : m_installed) {
        Owner& owner = m_owners.emplace_back(Owner{&record, position++, nullptr, true});
        m_installedByName[name].push_back(&owner);
        addEntries(owner, fresh);
    }
}

void ClosureCheck::addEntries(const Owner& owner, std::vector<Entry>& fresh) {
    auto add = [&](const DependencySet& dependencies, bool recommendation) {
        for (const Dependency& dependency : dependencies) {
            const Entry entry{&owner, recommendation, &dependency};
            m_entriesByCapability[dependency.name].push_back(entry);
            fresh.push_back(entry);
        }
    };
    add(owner.record->requires, false);
    if (!m_ignoreRecommends) add(owner.record->recommends, true);
}

void ClosureCheck::replaceInstalled(const std::string& name, std::vector<std::string_view>& lostCapabilities) {
    const auto found = m_installedByName.find(name);
    if (found == m_installedByName.end()) return;
    for (Owner* owner : found->second) {
        if (!owner->present) continue;
        owner->present = false;
        for (const Dependency& dependency : owner->record->requires) m_unsatisfied.erase({owner, false, &dependency});
        for (const Dependency& dependency : owner->record->recommends) m_unsatisfied.erase({owner, true, &dependency});
        for (const Dependency& provide : owner->record->provides) lostCapabilities.push_back(provide.name);
    }
}

void ClosureCheck::traceProvides() const {
    // Only for the log: nothing is decided from it.
    if (!Logger::instance().passes(LogLevel::Trace)) return;
    DependencySet pool;
    for (const Owner& owner : m_owners)
        if (owner.present) pool.insert(owner.record->provides.begin(), owner.record->provides.end());
    for (const Dependency& provide : pool) LOG(Trace, "dep %s", provide.toString().c_str());
}

bool ClosureCheck::check(const PackageSelection& selection, DependencySet& unsatisfiedRequires,
                         DependencySet& unsatisfiedRecommends) {
    reportCheckStart(selection.size());
    std::vector<Entry> fresh;
    std::vector<std::string_view> lostCapabilities;
    if (!m_started) {
        m_started = true;
        start(fresh);
    }
    for (const auto& [name, record] : selection) {
        if (!m_selectedNames.insert(name).second) continue;
        replaceInstalled(name, lostCapabilities);
        addEntries(m_owners.emplace_back(Owner{&record, 0, &name, true}), fresh);
    }
    m_provides.addSelection(selection);
    traceProvides();

    // Only new provides can satisfy what was missing, and only a replaced record's provides
    // can leave what was satisfied unsatisfied.
    for (auto it = m_unsatisfied.begin(); it != m_unsatisfied.end();)
        it = m_provides.satisfies(*it->dependency) ? m_unsatisfied.erase(it) : std::next(it);
    for (const Entry& entry : fresh)
        if (entry.owner->present && !m_provides.satisfies(*entry.dependency)) m_unsatisfied.insert(entry);
    for (const std::string_view capability : lostCapabilities) {
        const auto found = m_entriesByCapability.find(capability);
        if (found == m_entriesByCapability.end()) continue;
        for (const Entry& entry : found->second)
            if (entry.owner->present && !m_provides.satisfies(*entry.dependency)) m_unsatisfied.insert(entry);
    }

    unsatisfiedRequires.clear();
    unsatisfiedRecommends.clear();
    for (const Entry& entry : m_unsatisfied) {
        if (entry.recommendation)
            reportUnsatisfied(*entry.dependency, "recommended", *entry.owner->record, unsatisfiedRecommends);
        else
            reportUnsatisfied(*entry.dependency, "required", *entry.owner->record, unsatisfiedRequires);
    }
    return unsatisfiedRequires.empty() && unsatisfiedRecommends.empty();
}
