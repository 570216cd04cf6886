#include "resolver/external_packages.h"

#include "base/logger.h"
#include "base/util.h"
#include "repository/package_list.h"

bool loadExternalPackages(PackageMap& out, const std::string& path) {
    if (!isReadable(path)) {
        LOG(Debug, "no %s to load", path.c_str());
        return false;
    }
    // No packages directory: these packages are installed, never downloaded. A small file:
    // read into a store, the records go into the map whole, in the order read.
    PackageStore store;
    const ListResult result = parseList(path, kPrimaryList, store, "");
    PackageMap records = store.wholeRecords();
    out.merge(records);
    if (result != ListResult::Parsed) {
        LOG(Warn, "failed to load external packages from %s", path.c_str());
        return false;
    }
    LOG(Info, "loaded external packages from %s", path.c_str());
    return true;
}
