// The package cache: the chosen packages' files fetched into packagesDir with checksum
// checks, and the emptying of that directory between passes.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "base/handles.h"
#include "base/logger.h"
#include "base/own_files.h"
#include "base/run_report.h"
#include "base/util.h"
#include "network/downloader.h"
#include "repository/item_notify.h"
#include "repository/repository.h"
#include "repository/transfer_limits.h"

namespace {

// The file name a package is kept under must name a file inside the package cache: an empty
// last component would name the directory itself, "." and ".." the directory or its parent.
bool namesCachedFile(const Package& package) {
    const std::string name = lastPathComponent(package.href);
    return !name.empty() && name != "." && name != ".." && !package.localPath.empty();
}

}  // namespace

bool Repository::fetchPackage(const Package& package, Downloader& downloader, bool& downloaded) {
    downloaded = false;
    if (isReadable(package.localPath) && package.checksum.checkFile(package.localPath)) return true;
    const TransferLimit limit = packageLimit(package, m_policy);
    // A mismatch may come from a stale intermediate cache: one more try past it.
    for (int attempt = 0;; ++attempt) {
        if (!downloadChecked(downloader, package.href, package.localPath, limit, package.checksum.value, attempt,
                             package.size)) {
            LOG(Error, "failed getting package '%s' from repository", package.href.c_str());
            return false;
        }
        if (package.checksum.checkFile(package.localPath)) {
            downloaded = true;
            return true;
        }
        if (attempt > 0) {
            LOG(Error, "invalid checksum on '%s'", package.localPath.c_str());
            RunReport::instance().refuse(Refusal::Checksum, package.href);
            return false;
        }
        LOG(Warn, "invalid checksum on '%s'; retrying with bypass of http caches", package.localPath.c_str());
    }
}

bool Repository::fetchPackages(const std::map<std::string, Package>& selection) {
    if (m_baseUri.empty()) {
        LOG(Error, "no repository URI set, cannot get packages");
        return false;
    }
    if (!ensureOwnDirectory(m_packagesDir)) return false;

    // Declared before the downloader, which keeps a pointer to it.
    ItemNotify notifier(static_cast<int>(selection.size()));
    // A downloader that failed to open refuses every download, so a package that must be
    // fetched fails as a failed fetch does.
    Downloader downloader;
    if (!downloader.open(m_baseUri)) LOG(Error, "failed creating repository downloder from '%s'", m_baseUri.c_str());
    downloader.setNotifier(&notifier);

    for (const auto& entry : selection) {
        const Package& package = entry.second;
        // Firmware records describe what is flashed on the device: there is no file to fetch.
        if (package.type == PackageType::FlashedFw && package.href.empty()) continue;
        if (!namesCachedFile(package)) {
            LOG(Error, "invalid location '%s' of package '%s'", package.href.c_str(), packageLabel(package).c_str());
            return false;
        }
        bool downloaded = false;
        if (!fetchPackage(package, downloader, downloaded)) return false;
        // A valid cached file is not counted, so the final progress line stays out then.
        if (downloaded) {
            notifier.increment();
            notifier.notify();
        }
    }
    return true;
}

bool Repository::cleanPackages() {
    LOG(Debug, "removing packages from repository cache '%s'", m_packagesDir.c_str());
    // Never through a link: what this empties must be the cache's own directory.
    const std::string bare = m_packagesDir.substr(0, m_packagesDir.find_last_not_of('/') + 1);
    UniqueFd dirFd(open(bare.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dirFd) {
        if (errno == ENOENT) return true;
        if (errno == ELOOP || errno == ENOTDIR) return removeUnlessDirectory(bare);
        LOG(Error, "could not clean packages from '%s' (%s)", m_packagesDir.c_str(), errnoText().c_str());
        return false;
    }
    DirPtr dir(fdopendir(dirFd.get()));
    if (!dir) {
        LOG(Error, "could not clean packages from '%s' (%s)", m_packagesDir.c_str(), errnoText().c_str());
        return false;
    }
    dirFd.release();
    bool result = true;
    bool removalFailed = false;
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(dir.get());
        if (!entry) {
            if (errno != 0) {
                LOG(Error, "failed reading directory '%s' (%s)", m_packagesDir.c_str(), errnoText().c_str());
                result = false;
            }
            break;
        }
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        const std::string path = m_packagesDir + name;
        // Links and devices go like files, unfollowed; a directory the updater never makes
        // here goes with all it holds.
        if (unlinkat(dirfd(dir.get()), entry->d_name, 0) == 0) continue;
        if (errno == EISDIR) {
            if (!removeStrayEntryAt(dirfd(dir.get()), entry->d_name, path)) removalFailed = true;
            continue;
        }
        LOG(Error, "failed removing file '%s' (%s)", path.c_str(), errnoText().c_str());
        removalFailed = true;
    }
    if (removalFailed) LOG(Warn, "encountered errors while cleaning package cache");
    return result;
}
