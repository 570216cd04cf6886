#include "base/durable_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/handles.h"

namespace {

// Removes the temporary file unless it was moved into place; keeps errno for the caller.
class TempFileRemover {
public:
    explicit TempFileRemover(const std::string& path) : m_path(path) {}
    ~TempFileRemover() {
        if (m_armed) {
            const int saved = errno;
            unlink(m_path.c_str());
            errno = saved;
        }
    }
    TempFileRemover(const TempFileRemover&) = delete;
    TempFileRemover& operator=(const TempFileRemover&) = delete;
    void dismiss() { m_armed = false; }

private:
    const std::string& m_path;
    bool m_armed = true;
};

ReplaceStep fillAndPlace(UniqueFd fd, const std::string& tempPath, const std::string& path, const std::string& content,
                         mode_t mode) {
    TempFileRemover remover(tempPath);
    const ssize_t written = write(fd.get(), content.data(), content.size());
    if (written < 0) return ReplaceStep::Write;
    if (static_cast<size_t>(written) != content.size()) return ReplaceStep::ShortWrite;
    if (fchmod(fd.get(), mode) != 0) return ReplaceStep::Permissions;
    if (fsync(fd.get()) != 0) return ReplaceStep::Sync;
    if (!fd.close()) return ReplaceStep::Close;
    if (rename(tempPath.c_str(), path.c_str()) != 0) return ReplaceStep::Rename;
    remover.dismiss();
    return ReplaceStep::Done;
}

}  // namespace

std::string durableTempTemplate(const std::string& path) {
    return path + ".XXXXXX";
}

ReplaceStep replaceFileDurably(const std::string& path, const std::string& content, mode_t mode, bool syncDir) {
    std::string tempPath = durableTempTemplate(path);
    UniqueFd fd(mkostemp(&tempPath[0], O_CLOEXEC));
    if (!fd) return ReplaceStep::Create;
    const ReplaceStep step = fillAndPlace(std::move(fd), tempPath, path, content, mode);
    if (step != ReplaceStep::Done) return step;
    return !syncDir || syncParentDirectory(path) ? ReplaceStep::Done : ReplaceStep::SyncDir;
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
