#include "driver/leftovers.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>

#include "base/durable_file.h"
#include "base/handles.h"
#include "base/logger.h"
#include "base/util.h"

namespace {

constexpr char kRandomPart[] = "XXXXXX";
constexpr size_t kRandomLength = sizeof kRandomPart - 1;

bool isOwnRegularFile(int dirFd, const char* name) {
    struct stat st;
    return fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid();
}

}  // namespace

bool madeFromTemplate(const std::string& name, const std::string& templateName) {
    if (templateName.size() < kRandomLength || name.size() != templateName.size()) return false;
    const size_t fixed = templateName.size() - kRandomLength;
    if (templateName.compare(fixed, kRandomLength, kRandomPart) != 0) return false;
    if (name.compare(0, fixed, templateName, 0, fixed) != 0) return false;
    for (size_t i = fixed; i < name.size(); ++i)
        if (!isalnum(static_cast<unsigned char>(name[i]))) return false;
    return true;
}

void removeTempLeftovers(const std::string& templatePath) {
    const std::string::size_type slash = templatePath.rfind('/');
    if (slash == std::string::npos) return;
    const std::string dirPath = slash == 0 ? "/" : templatePath.substr(0, slash);
    const std::string templateName = templatePath.substr(slash + 1);
    UniqueFd dirFd(open(dirPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DirPtr dir(dirFd ? fdopendir(dirFd.get()) : nullptr);
    if (!dir) {
        LOG(Debug, "cannot look for leftovers in '%s' (%s)", dirPath.c_str(), errnoText().c_str());
        return;
    }
    dirFd.release();
    while (const dirent* entry = readdir(dir.get())) {
        if (!madeFromTemplate(entry->d_name, templateName) || !isOwnRegularFile(dirfd(dir.get()), entry->d_name))
            continue;
        const std::string path = dirPath + "/" + entry->d_name;
        if (unlinkat(dirfd(dir.get()), entry->d_name, 0) == 0)
            LOG(Warn, "removed leftover temporary file '%s'", path.c_str());
        else
            LOG(Warn, "failed removing leftover temporary file '%s' (%s)", path.c_str(), errnoText().c_str());
    }
}

void removeOwnLeftovers(const StatusPaths& statusPaths, const char* keyringTemplate) {
    removeTempLeftovers(durableTempTemplate(statusPaths.statusFile));
    removeTempLeftovers(durableTempTemplate(statusPaths.updateStateFile));
    removeTempLeftovers(keyringTemplate);
}
