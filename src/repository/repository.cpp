#include "repository/repository.h"

#include "config/logger.h"

bool Repository::allPresent(const std::vector<std::string>& names, std::string* firstMissing) const {
    for (const std::string& name : names) {
        if (m_packages.find(name) == m_packages.end()) {
            LOG(Debug, "package '%s' is not present in repository", name.c_str());
            if (firstMissing) *firstMissing = name;
            return false;
        }
        LOG(Trace, "package '%s' is present in repository", name.c_str());
    }
    return true;
}
