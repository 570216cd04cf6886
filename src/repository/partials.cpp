// Interrupted downloads kept below the repository's cache for a ranged resume. They live
// outside packages/, whose emptying between passes keeps its meaning, and only while the
// fresh metadata still names their checksum.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <set>

#include "base/handles.h"
#include "base/logger.h"
#include "base/util.h"
#include "network/partial_file.h"
#include "repository/repository.h"

namespace {

// The directory as the updater made it: anything else at its place (a link, a file) is
// removed without being followed.
bool ensureRealDirectory(const std::string& path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) return true;
        LOG(Warn, "removing '%s': not a directory", path.c_str());
        if (unlink(path.c_str()) != 0) {
            LOG(Error, "failed removing file '%s' (%s)", path.c_str(), errnoText().c_str());
            return false;
        }
    }
    return createDirectory(path);
}

}  // namespace

std::string Repository::partialPathFor(const std::string& checksum) {
    if (!m_policy.resume || isFileRepository()) return "";
    const std::string dir = partialDir();
    const std::string path = ::partialPathFor(dir, checksum);
    if (path.empty() || !ensureRealDirectory(dir)) return "";
    return path;
}

void Repository::addTotals(Downloader& downloader) {
    m_totals += downloader.takeTotals();
}

void Repository::prunePartials() {
    const std::string dir = partialDir();
    UniqueFd dirFd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dirFd) return;  // none yet, or not ours to walk
    std::set<std::string> named;
    for (const auto& entry : m_dataEntries) {
        named.insert(entry.second.checksum.value);
        named.insert(entry.second.openChecksum.value);
    }
    for (PackageStore::RecordId id = 0; id < m_packages.size(); ++id)
        named.insert(std::string(m_packages.checksumValue(id)));

    const int listingFd = dup(dirFd.get());
    DirPtr listing(listingFd >= 0 ? fdopendir(listingFd) : nullptr);
    if (!listing) {
        if (listingFd >= 0) close(listingFd);
        return;
    }
    while (const dirent* entry = readdir(listing.get())) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        std::string checksum;
        if (partialFileChecksum(name, checksum) && named.count(checksum)) continue;
        LOG(Debug, "removing stale partial download '%s'", (dir + name).c_str());
        if (unlinkat(dirFd.get(), name.c_str(), 0) != 0 && unlinkat(dirFd.get(), name.c_str(), AT_REMOVEDIR) != 0)
            LOG(Warn, "failed removing file '%s' (%s)", (dir + name).c_str(), errnoText().c_str());
    }
}
