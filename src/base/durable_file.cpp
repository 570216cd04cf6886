#include "base/durable_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "base/util.h"

TempFile::~TempFile() {
    const int saved = errno;
    m_fd.reset();
    if (m_created) unlink(m_path.c_str());
    errno = saved;
}

bool TempFile::createUnique(const std::string& pathTemplate) {
    std::string path = pathTemplate;
    UniqueFd fd(mkostemp(&path[0], O_CLOEXEC));
    if (!fd) return false;
    m_fd = std::move(fd);
    m_path = std::move(path);
    m_created = true;
    return true;
}

bool TempFile::createAt(const std::string& path, mode_t mode, bool exclusive) {
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | (exclusive ? O_EXCL : O_TRUNC);
    UniqueFd fd(open(path.c_str(), flags, mode));
    if (!fd) return false;
    m_fd = std::move(fd);
    m_path = path;
    m_created = true;
    return true;
}

bool TempFile::write(const void* data, size_t size) {
    return writeAll(m_fd.get(), data, size);
}

bool TempFile::setMode(mode_t mode) {
    return fchmod(m_fd.get(), mode) == 0;
}

bool TempFile::sync() {
    return fsync(m_fd.get()) == 0;
}

bool TempFile::close() {
    return m_fd.close();
}

bool TempFile::commit(const std::string& target, bool syncDirectory) {
    if (!m_created) {
        errno = EBADF;
        return false;
    }
    if (!m_fd.close()) return false;
    if (rename(m_path.c_str(), target.c_str()) != 0) return false;
    m_created = false;
    m_committed = true;
    return !syncDirectory || syncParentDirectory(target);
}

std::string TempFile::release() {
    m_fd.reset();
    m_created = false;
    return m_path;
}

std::string durableTempTemplate(const std::string& path) {
    return path + ".XXXXXX";
}

ReplaceStep replaceFileDurably(const std::string& path, const std::string& content, mode_t mode, bool syncDir) {
    TempFile temp;
    if (!temp.createUnique(durableTempTemplate(path))) return ReplaceStep::Create;
    if (!temp.write(content)) return ReplaceStep::Write;
    if (!temp.setMode(mode)) return ReplaceStep::Permissions;
    if (!temp.sync()) return ReplaceStep::Sync;
    if (!temp.close()) return ReplaceStep::Close;
    if (!temp.commit(path, syncDir)) return temp.committed() ? ReplaceStep::SyncDir : ReplaceStep::Rename;
    return ReplaceStep::Done;
}

bool syncParentDirectory(const std::string& path) {
    const std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos) {
        errno = EINVAL;
        return false;
    }
    // A file directly under the root directory lives in "/", not in "".
    const std::string dir = slash == 0 ? "/" : path.substr(0, slash);
    UniqueFd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) return false;
    if (fdatasync(fd.get()) != 0) return false;
    return fd.close();
}
