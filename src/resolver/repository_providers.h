// The repository as a dependency pull sees it: the newest record of each name, and which of
// those provide a capability. Built once per closure, so a pull looks only at the names that
// provide something missing instead of walking the whole repository each time.
#pragma once

#include <string_view>
#include <unordered_map>
#include <vector>

#include "package/dependency.h"
#include "resolver/package_selection.h"

class RepositoryProviders {
public:
    struct Candidate {
        const std::string* name;
        PackageMap::const_iterator first, end;  // the records of the name, in the order read
        const Package* newest;                  // among equal versions the first read
    };

    // Refers to the repository's records, which must outlive it.
    explicit RepositoryProviders(const PackageMap& repository);
    RepositoryProviders(const RepositoryProviders&) = delete;
    RepositoryProviders& operator=(const RepositoryProviders&) = delete;

    // Every name, in the repository's order.
    const std::vector<Candidate>& candidates() const { return m_candidates; }
    // Positions in candidates(), ascending, of the names whose newest record provides a
    // capability named by some entry.
    std::vector<size_t> providing(const DependencySet& wanted) const;

private:
    std::vector<Candidate> m_candidates;
    std::unordered_map<std::string_view, std::vector<size_t>> m_byCapability;
};
