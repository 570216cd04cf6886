#include "resolver/repository_providers.h"

#include <algorithm>

RepositoryProviders::RepositoryProviders(const PackageMap& repository) {
    for (auto it = repository.begin(); it != repository.end();) {
        const std::string& name = it->first;
        Candidate candidate{&name, it, it, &it->second};
        for (++it; it != repository.end() && it->first == name; ++it)
            if (compareEVR(it->second.evr, candidate.newest->evr) > 0) candidate.newest = &it->second;
        candidate.end = it;
        const size_t position = m_candidates.size();
        m_candidates.push_back(candidate);
        for (const Dependency& provide : candidate.newest->provides) {
            std::vector<size_t>& positions = m_byCapability[provide.name];
            if (positions.empty() || positions.back() != position) positions.push_back(position);
        }
    }
}

std::vector<size_t> RepositoryProviders::providing(const DependencySet& wanted) const {
    std::vector<size_t> positions;
    const std::string* previousName = nullptr;
    for (const Dependency& dependency : wanted) {
        // A set keeps the entries of one name together.
        if (previousName != nullptr && *previousName == dependency.name) continue;
        previousName = &dependency.name;
        const auto found = m_byCapability.find(dependency.name);
        if (found != m_byCapability.end())
            positions.insert(positions.end(), found->second.begin(), found->second.end());
    }
    std::sort(positions.begin(), positions.end());
    positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
    return positions;
}
