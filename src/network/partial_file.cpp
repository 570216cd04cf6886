#include "network/partial_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <utility>

#include "base/durable_file.h"
#include "base/logger.h"
#include "base/util.h"

namespace {

constexpr size_t kMaxValidatorLength = 512;
constexpr char kPartSuffix[] = ".part";
constexpr char kValidatorSuffix[] = ".validator";

bool isLowerHex(const std::string& text) {
    return text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() > suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// A header value on one line: what neon would send back unchanged.
bool plausibleValidator(const std::string& text) {
    if (text.empty() || text.size() > kMaxValidatorLength) return false;
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7f) return false;
    return true;
}

// Removes whatever is at path without following it; a directory only when it is empty.
bool removeEntry(const std::string& path) {
    if (unlink(path.c_str()) == 0 || errno == ENOENT) return true;
    if ((errno == EISDIR || errno == EPERM) && rmdir(path.c_str()) == 0) return true;
    LOG(Warn, "cannot remove '%s' (%s)", path.c_str(), errnoText().c_str());
    return false;
}

}  // namespace

PartialFile::PartialFile(std::string path) : m_path(std::move(path)) {}

std::string PartialFile::validatorPath() const {
    const std::string stem =
        endsWith(m_path, kPartSuffix) ? m_path.substr(0, m_path.size() - (sizeof kPartSuffix - 1)) : m_path;
    return stem + kValidatorSuffix;
}

bool PartialFile::open(uint64_t maxBytes) {
    struct stat info {};
    if (lstat(m_path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
        LOG(Warn, "removing '%s': not a regular file", m_path.c_str());
        if (!removeEntry(m_path)) return false;
    }
    m_fd.reset(::open(m_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!m_fd || fstat(m_fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        LOG(Error, "failed creating file '%s' (%s)", m_path.c_str(), errnoText().c_str());
        m_fd.reset();
        return false;
    }
    m_size = static_cast<uint64_t>(info.st_size);
    if (m_size > maxBytes) {
        LOG(Warn, "partial download '%s' holds %" PRIu64 " bytes, more than the %" PRIu64 " allowed: starting afresh",
            m_path.c_str(), m_size, maxBytes);
        m_size = 0;
    }
    if (m_size > 0 && !readValidator()) m_size = 0;
    if (m_size == 0 && ftruncate(m_fd.get(), 0) != 0) {
        LOG(Error, "failed truncating '%s' (%s)", m_path.c_str(), errnoText().c_str());
        return false;
    }
    if (m_size == 0) m_validator.clear();
    return true;
}

bool PartialFile::readValidator() {
    UniqueFd file(::open(validatorPath().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!file) return false;
    char buffer[kMaxValidatorLength + 1];
    ssize_t count = read(file.get(), buffer, sizeof buffer);
    if (count <= 0) return false;
    std::string text(buffer, static_cast<size_t>(count));
    if (!plausibleValidator(text)) return false;
    m_validator = std::move(text);
    return true;
}

bool PartialFile::saveValidator(const std::string& validator) {
    const std::string path = validatorPath();
    if (validator.empty() || !plausibleValidator(validator)) {
        m_validator.clear();
        return removeEntry(path);
    }
    // Written aside and renamed: a power cut leaves the old record or the new one.
    const std::string temporary = path + ".tmp";
    removeEntry(temporary);
    TempFile file;
    if (!file.createAt(temporary, 0644, true) || !file.write(validator) || !file.sync() || !file.commit(path)) {
        LOG(Error, "failed writing '%s' (%s)", path.c_str(), errnoText().c_str());
        return false;
    }
    m_validator = validator;
    return true;
}

bool PartialFile::commit(const std::string& destination) {
    if (!m_fd.close()) {
        LOG(Error, "failed closing file '%s' (%s)", m_path.c_str(), errnoText().c_str());
        return false;
    }
    if (rename(m_path.c_str(), destination.c_str()) != 0) {
        LOG(Error, "failed renaming '%s' to '%s' (%s)", m_path.c_str(), destination.c_str(), errnoText().c_str());
        return false;
    }
    removeEntry(validatorPath());
    return true;
}

void PartialFile::keep(uint64_t size) {
    if (size == 0 || m_validator.empty()) {
        remove();
        return;
    }
    if (fdatasync(m_fd.get()) != 0) LOG(Debug, "failed syncing '%s' (%s)", m_path.c_str(), errnoText().c_str());
    m_fd.reset();
}

void PartialFile::remove() {
    m_fd.reset();
    removeEntry(m_path);
    removeEntry(validatorPath());
}

bool partialFileChecksum(const std::string& name, std::string& checksum) {
    for (const char* suffix : {kPartSuffix, kValidatorSuffix}) {
        if (!endsWith(name, suffix)) continue;
        std::string stem = name.substr(0, name.size() - std::string(suffix).size());
        if (!isLowerHex(stem)) return false;
        checksum = std::move(stem);
        return true;
    }
    return false;
}

std::string partialPathFor(const std::string& dir, const std::string& checksumValue) {
    if (checksumValue.size() < 40 || checksumValue.size() > 128 || !isLowerHex(checksumValue)) return "";
    return dir + checksumValue + kPartSuffix;
}
