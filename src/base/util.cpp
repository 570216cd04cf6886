#include "base/util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/handles.h"
#include "base/logger.h"

namespace {

// strerror_r comes in two flavours; both overloads let the right one compile.
[[maybe_unused]] const char* pickErrorText(int result, const char* buffer) {
    return result == 0 ? buffer : "unknown error";
}
[[maybe_unused]] const char* pickErrorText(const char* result, const char*) {
    return result;
}

}  // namespace

bool writeAll(int fd, const void* data, size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = write(fd, bytes, size);
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) return false;
        if (written == 0) {
            errno = ENOSPC;
            return false;
        }
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

std::string errnoText(int errorNumber) {
    char buffer[256] = "";
    return pickErrorText(strerror_r(errorNumber, buffer, sizeof buffer), buffer);
}

std::string errnoText() {
    return errnoText(errno);
}

std::string lastPathComponent(const std::string& path) {
    std::string::size_type end = path.find_last_not_of('/');
    if (end == std::string::npos) return std::string();
    std::string::size_type slash = path.rfind('/', end);
    std::string::size_type begin = slash == std::string::npos ? 0 : slash + 1;
    return path.substr(begin, end + 1 - begin);
}

std::string fileExtension(const std::string& path) {
    std::string component = lastPathComponent(path);
    std::string::size_type dot = component.find('.');
    if (dot == std::string::npos || dot == 0) return std::string();
    return component.substr(dot);
}

bool isReadable(const std::string& path) {
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        LOG(Debug, "file '%s' not readable (%s)", path.c_str(), errnoText().c_str());
        return false;
    }
    return true;
}

bool createDirectory(const std::string& path) {
    if (mkdir(path.c_str(), 0777) == 0) {
        LOG(Debug, "successfully created dir '%s'", path.c_str());
        return true;
    }
    int error = errno;
    struct stat st;
    if (error == EEXIST && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        LOG(Debug, "successfully created dir '%s'", path.c_str());
        return true;
    }
    LOG(Error, "cannot create dir '%s' (%s)", path.c_str(), errnoText(error).c_str());
    return false;
}

bool parsePositiveDecimal(const std::string& text, uint64_t& value) {
    if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    errno = 0;
    unsigned long long parsed = std::strtoull(text.c_str(), nullptr, 10);
    if (errno == ERANGE || parsed == 0) return false;
    value = parsed;
    return true;
}
