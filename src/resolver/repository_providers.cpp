#include "resolver/repository_providers.h"

#include <algorithm>

#include "base/logger.h"

PackageStore::RecordId newestOf(const PackageStore& store, const PackageStore::NameGroup& group, bool traceDropped) {
    const PackageStore::RecordId* records = store.recordsOf(group);
    PackageStore::RecordId newest = records[0];
    for (uint32_t i = 1; i < group.count; ++i) {
        const PackageStore::RecordId record = records[i];
        const bool newer = compareEVR(store.evr(record), store.evr(newest)) > 0;
        if (traceDropped && newer)
            LOG(Trace, "dropping update %s for newer %s", store.label(newest).c_str(), store.label(record).c_str());
        else if (traceDropped)
            LOG(Trace, "dropping update %s, has newer %s", store.label(record).c_str(), store.label(newest).c_str());
        if (newer) newest = record;
    }
    return newest;
}

RepositoryProviders::RepositoryProviders(const PackageStore& repository) : m_store(repository) {
    // Sized first: a doubling vector would hold its old and new storage at once.
    m_newest.reserve(repository.names().size());
    size_t provides = 0;
    for (const PackageStore::NameGroup& group : repository.names()) {
        m_newest.push_back(newestOf(repository, group));
        provides += repository.entries(m_newest.back(), DependencyKind::Provides).size();
    }
    m_byCapability.reserve(provides);
    for (uint32_t position = 0; position < m_newest.size(); ++position)
        for (const CompactDependency& provide : repository.entries(m_newest[position], DependencyKind::Provides))
            m_byCapability.emplace_back(provide.name, position);
    std::sort(m_byCapability.begin(), m_byCapability.end());
    m_byCapability.erase(std::unique(m_byCapability.begin(), m_byCapability.end()), m_byCapability.end());
}

std::vector<size_t> RepositoryProviders::providing(const DependencySet& wanted) const {
    std::vector<size_t> positions;
    const std::string* previousName = nullptr;
    for (const Dependency& dependency : wanted) {
        // A set keeps the entries of one name together.
        if (previousName != nullptr && *previousName == dependency.name) continue;
        previousName = &dependency.name;
        const StringPool::Id name = m_store.findName(dependency.name);
        if (name == StringPool::kEmpty) continue;
        auto found = std::lower_bound(m_byCapability.begin(), m_byCapability.end(), std::make_pair(name, uint32_t{0}));
        for (; found != m_byCapability.end() && found->first == name; ++found) positions.push_back(found->second);
    }
    std::sort(positions.begin(), positions.end());
    positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
    return positions;
}
