#include "resolver/dependency_report.h"

#include "base/logger.h"

bool isFileDependency(const Dependency& dependency) {
    return !dependency.name.empty() && dependency.name[0] == '/';
}

void reportCheckStart(size_t selected) {
    LOG(Debug, "checking dependencies for %zu new packages", selected);
}

void reportUnsatisfied(const Dependency& dependency, const char* word, const std::string& ownerLabel,
                       DependencySet& unsatisfied) {
    if (isFileDependency(dependency)) {
        // File lists are not read, so nothing can provide a path: rpm itself checks those.
        LOG(Debug, "ignoring non-satisfied file dependency %s for %s", dependency.toString().c_str(),
            ownerLabel.c_str());
        return;
    }
    unsatisfied.insert(dependency);
    LOG(Debug, "failed dep: %s is %s by %s", dependency.toString().c_str(), word, ownerLabel.c_str());
}
