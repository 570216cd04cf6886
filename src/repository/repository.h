// The one repository the updater works against: its package cache directory and the
// packages read from its lists.
#pragma once

#include <string>
#include <vector>

#include "repository/package.h"

class Repository {
public:
    Repository() = default;
    Repository(const Repository&) = delete;
    Repository& operator=(const Repository&) = delete;

    // Where downloaded packages are kept; ends in "/".
    const std::string& packagesDir() const { return m_packagesDir; }
    void setPackagesDir(std::string dir) { m_packagesDir = std::move(dir); }

    const PackageMap& packages() const { return m_packages; }
    PackageMap& packages() { return m_packages; }

    // True when every name has at least one package; otherwise the first missing name is
    // copied to firstMissing when given. An empty list is true.
    bool allPresent(const std::vector<std::string>& names, std::string* firstMissing = nullptr) const;

private:
    std::string m_packagesDir;
    PackageMap m_packages;
};
