#include "base/own_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/logger.h"
#include "base/util.h"

namespace {

// What makes an opened file unfit to be written as the updater's own; null when it is fit.
const char* foreignFileProblem(const struct stat& st) {
    if (!S_ISREG(st.st_mode)) return "not a regular file";
    if (st.st_uid != geteuid()) return "owned by another user";
    // A second name could be a hard link to a file the updater must never write.
    if (st.st_nlink != 1) return "a file with more than one link";
    return nullptr;
}

// A symbolic link, or an entry no regular file can be opened as.
const char* failedOpenProblem(int error) {
    if (error == ELOOP) return "a symbolic link";
    if (error == EISDIR) return "a directory";
    if (error == ENXIO) return "not a regular file";  // a FIFO without reader, a device without driver
    return nullptr;
}

std::string withoutTrailingSlashes(const std::string& path) {
    std::string::size_type end = path.find_last_not_of('/');
    return end == std::string::npos ? path : path.substr(0, end + 1);
}

// Removes everything inside the directory open as fd (which this takes over).
bool removeContents(UniqueFd fd) {
    DirPtr dir(fdopendir(fd.get()));
    if (!dir) return false;
    fd.release();
    bool removed = true;
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(dir.get());
        if (!entry) return removed && errno == 0;
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        removed = removeEntryAt(dirfd(dir.get()), entry->d_name) && removed;
    }
}

}  // namespace

OwnFileOpen openOwnFile(const std::string& path, int flags, mode_t mode, UniqueFd& fd) {
    // Non-blocking, so that a FIFO planted there cannot stall the open.
    const int plain = (flags & ~(O_CREAT | O_EXCL | O_TRUNC)) | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    UniqueFd opened;
    // A file removed between the two opens is looked for once more.
    for (int attempt = 0; attempt < 3; ++attempt) {
        opened.reset(open(path.c_str(), plain));
        if (opened || errno != ENOENT || !(flags & O_CREAT)) break;
        opened.reset(open(path.c_str(), plain | O_CREAT | O_EXCL, mode));
        if (opened || errno != EEXIST) break;
    }
    if (!opened) {
        if (const char* problem = failedOpenProblem(errno)) {
            LOG(Error, "refusing '%s': %s", path.c_str(), problem);
            return OwnFileOpen::Refused;
        }
        return OwnFileOpen::Failed;
    }
    struct stat st;
    if (fstat(opened.get(), &st) != 0) return OwnFileOpen::Failed;
    if (const char* problem = foreignFileProblem(st)) {
        LOG(Error, "refusing '%s': %s", path.c_str(), problem);
        return OwnFileOpen::Refused;
    }
    const int status = fcntl(opened.get(), F_GETFL);
    if (status < 0 || fcntl(opened.get(), F_SETFL, status & ~O_NONBLOCK) != 0) return OwnFileOpen::Failed;
    if ((flags & O_TRUNC) && ftruncate(opened.get(), 0) != 0) return OwnFileOpen::Failed;
    fd = std::move(opened);
    return OwnFileOpen::Opened;
}

bool ensureOwnDirectory(const std::string& path) {
    return removeUnlessDirectory(path) && createDirectory(path);
}

bool removeUnlessDirectory(const std::string& path) {
    // A trailing '/' would make lstat follow a link.
    const std::string bare = withoutTrailingSlashes(path);
    struct stat st;
    if (lstat(bare.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return true;
    LOG(Warn, "removing '%s': not a directory the updater made", bare.c_str());
    if (unlink(bare.c_str()) != 0) {
        LOG(Error, "failed removing file '%s' (%s)", bare.c_str(), errnoText().c_str());
        return false;
    }
    return true;
}

bool removeStrayEntry(const std::string& path) {
    return removeStrayEntryAt(AT_FDCWD, path.c_str(), path);
}

bool removeStrayEntryAt(int dirFd, const char* name, const std::string& shownPath) {
    struct stat st;
    if (fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return true;
        LOG(Error, "cannot check '%s' (%s)", shownPath.c_str(), errnoText().c_str());
        return false;
    }
    if (S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1) return true;
    LOG(Warn, "removing '%s': not a file the updater made", shownPath.c_str());
    if (!removeEntryAt(dirFd, name)) {
        LOG(Error, "failed removing file '%s' (%s)", shownPath.c_str(), errnoText().c_str());
        return false;
    }
    return true;
}

bool removeEntryAt(int dirFd, const char* name) {
    if (unlinkat(dirFd, name, 0) == 0) return true;
    if (errno != EISDIR && errno != EPERM) return false;
    UniqueFd sub(openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!sub || !removeContents(std::move(sub))) return false;
    return unlinkat(dirFd, name, AT_REMOVEDIR) == 0;
}
