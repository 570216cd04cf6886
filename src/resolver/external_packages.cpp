#include "resolver/external_packages.h"

#include "base/logger.h"
#include "base/util.h"
#include "repository/package_list.h"

bool loadExternalPackages(PackageMap& out, const std::string& path) {
    if (!isReadable(path)) {
        LOG(Debug, "no %s to load", path.c_str());
        return false;
    }
    // No packages directory: these packages are installed, never downloaded.
    if (!parseList(path, kPrimaryList, out, "")) {
        LOG(Warn, "failed to load external packages from %s", path.c_str());
        return false;
    }
    LOG(Info, "loaded external packages from %s", path.c_str());
    return true;
}
