#include "repository/transfer_limits.h"

#include <unistd.h>

#include <algorithm>

#include "base/util.h"
#include "repository/repository.h"

namespace {

constexpr char kDeclared[] = "declared by the repository";

TransferLimit limit(uint64_t maxBytes, const char* origin, uint64_t declaredSize = 0) {
    TransferLimit result;
    result.maxBytes = maxBytes;
    result.origin = origin;
    result.declaredSize = declaredSize;
    return result;
}

}  // namespace

TransferLimit indexLimit(const TransferPolicy& policy) {
    return limit(policy.indexMaxBytes, "allowed for the repository index");
}

TransferLimit indexSignatureLimit(const TransferPolicy& policy) {
    return limit(policy.signatureMaxBytes, "allowed for the index signature");
}

TransferLimit listLimit(const RepoData& data, const TransferPolicy& policy) {
    if (data.size == 0 && data.openSize == 0)
        return limit(policy.undeclaredListMaxBytes, "allowed for a list without declared size");
    return limit(std::max(data.size, data.openSize), kDeclared);
}

TransferLimit listContentLimit(const RepoData& data, const TransferPolicy& policy) {
    if (data.openSize == 0) return limit(policy.undeclaredListMaxBytes, "allowed for a list without declared size");
    return limit(data.openSize, kDeclared);
}

TransferLimit packageLimit(const Package& package, const TransferPolicy& policy) {
    if (package.size == 0)
        return limit(policy.undeclaredPackageMaxBytes, "allowed for a package without declared size");
    return limit(package.size, kDeclared, package.size);
}

bool parseDeclaredSize(const std::string& text, uint64_t& size) {
    return parsePositiveDecimal(text, size);
}

uint64_t recordsLimit(const TransferPolicy& policy) {
    if (policy.recordsMaxBytes != 0) return policy.recordsMaxBytes;
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) return UINT64_MAX;  // unknown: no limit of our own
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize) / 4;
}
