// The repository as a dependency pull sees it: the newest record of each name, and which of
// those provide a capability. Built once per closure, so a pull looks only at the names that
// provide something missing instead of walking the whole repository each time.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "package/dependency.h"
#include "package/package_store.h"

class RepositoryProviders {
public:
    // Refers to the repository's records, which must outlive it.
    explicit RepositoryProviders(const PackageStore& repository);
    RepositoryProviders(const RepositoryProviders&) = delete;
    RepositoryProviders& operator=(const RepositoryProviders&) = delete;

    const PackageStore& store() const { return m_store; }
    // The names in the repository's order, by position: the records of each, in the order
    // read, and its newest record (among equal versions the first read).
    size_t size() const { return m_newest.size(); }
    const PackageStore::NameGroup& group(size_t position) const { return m_store.names()[position]; }
    PackageStore::RecordId newest(size_t position) const { return m_newest[position]; }
    // Positions, ascending, of the names whose newest record provides a capability named by
    // some entry.
    std::vector<size_t> providing(const DependencySet& wanted) const;

private:
    const PackageStore& m_store;
    std::vector<PackageStore::RecordId> m_newest;  // by position
    // (capability name, position) of every provide of a newest record, sorted: a few bytes
    // per provide where a hash map of vectors costs dozens.
    std::vector<std::pair<StringPool::Id, uint32_t>> m_byCapability;
};

// The newest record of a group: the first read among equal versions. traceDropped writes a
// trace line for each record passed over.
PackageStore::RecordId newestOf(const PackageStore& store, const PackageStore::NameGroup& group,
                                bool traceDropped = false);
