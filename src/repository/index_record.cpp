#include "repository/index_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "base/durable_file.h"
#include "base/handles.h"
#include "base/logger.h"
#include "base/util.h"

namespace {

constexpr size_t kSha256HexLength = 64;
// Far more than a record takes: a larger file is not one.
constexpr size_t kMaxRecordSize = 256;

bool isLowerHex(const std::string& text) {
    return text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// Reads the whole small file into text; false (errno set) on any failure.
bool readSmallFile(int fd, std::string& text) {
    char buffer[kMaxRecordSize + 1];
    size_t done = 0;
    for (;;) {
        const ssize_t got = read(fd, buffer + done, sizeof buffer - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) break;
        done += static_cast<size_t>(got);
        if (done == sizeof buffer) {
            errno = EFBIG;
            return false;
        }
    }
    text.assign(buffer, done);
    return true;
}

}  // namespace

std::string formatIndexRecord(const IndexRecord& record) {
    return "signed " + std::to_string(record.signedAt) + "\nsha256 " + record.sha256 + "\n";
}

bool parseIndexRecord(const std::string& text, IndexRecord& record) {
    unsigned long long seconds = 0;
    char hex[kSha256HexLength + 1] = {};
    if (std::sscanf(text.c_str(), "signed %llu\nsha256 %64[0-9a-f]", &seconds, hex) != 2) return false;
    if (seconds > UINT32_MAX) return false;
    IndexRecord parsed{static_cast<uint32_t>(seconds), hex};
    if (parsed.sha256.size() != kSha256HexLength || !isLowerHex(parsed.sha256)) return false;
    // Exactly the form written: no leading zeros, blanks or trailing bytes slip through.
    if (formatIndexRecord(parsed) != text) return false;
    record = parsed;
    return true;
}

bool loadIndexRecord(std::optional<IndexRecord>& record, const std::string& path) {
    record.reset();
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd && errno == ENOENT) {
        LOG(Debug, "no record of an accepted repository index in '%s'", path.c_str());
        return true;
    }
    struct stat info {};
    std::string text;
    if (!fd || fstat(fd.get(), &info) != 0 || !readSmallFile(fd.get(), text)) {
        LOG(Error, "cannot read the record of the accepted repository index '%s' (%s); remove it to accept any index",
            path.c_str(), errnoText().c_str());
        return false;
    }
    IndexRecord read;
    if (!S_ISREG(info.st_mode) || !parseIndexRecord(text, read)) {
        LOG(Error, "damaged record of the accepted repository index '%s'; remove it to accept any index", path.c_str());
        return false;
    }
    record = read;
    return true;
}

bool saveIndexRecord(const IndexRecord& record, const std::string& path) {
    // A link planted at the temporary name must not redirect this write.
    TempFile temp;
    if (!temp.createAt(path + ".tmp", 0644)) {
        LOG(Error, "cannot create '%s' (%s)", (path + ".tmp").c_str(), errnoText().c_str());
        return false;
    }
    if (!temp.write(formatIndexRecord(record)) || !temp.sync() || !temp.close()) {
        LOG(Error, "cannot write '%s' (%s)", temp.path().c_str(), errnoText().c_str());
        return false;
    }
    if (!temp.commit(path, true)) {
        if (temp.committed()) {
            LOG(Error, "cannot sync directory of '%s' (%s)", path.c_str(), errnoText().c_str());
        } else {
            LOG(Error, "cannot rename '%s' to '%s' (%s)", temp.path().c_str(), path.c_str(), errnoText().c_str());
        }
        return false;
    }
    return true;
}
