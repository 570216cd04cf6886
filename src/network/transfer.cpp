#include "network/transfer.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

// Digits only, within 64 bits; end is set after them.
bool readNumber(const char*& text, uint64_t& value) {
    if (*text < '0' || *text > '9') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long parsed = std::strtoull(text, &end, 10);
    if (errno == ERANGE) return false;
    value = parsed;
    text = end;
    return true;
}

}  // namespace

std::string resumeValidator(const char* etag, const char* lastModified) {
    // A weak ETag only says the content is equivalent, not the same bytes.
    if (etag && *etag && std::strncmp(etag, "W/", 2) != 0) return etag;
    if (lastModified && *lastModified) return lastModified;
    return "";
}

bool parseContentRange(const char* text, ContentRange& range) {
    if (!text || std::strncmp(text, "bytes ", 6) != 0) return false;
    const char* cursor = text + 6;
    ContentRange read;
    if (!readNumber(cursor, read.first) || *cursor++ != '-') return false;
    if (!readNumber(cursor, read.last) || *cursor++ != '/') return false;
    if (!readNumber(cursor, read.total) || *cursor != '\0') return false;
    if (read.first > read.last || read.last >= read.total) return false;
    range = read;
    return true;
}

bool rangeContinues(const ContentRange& range, uint64_t offset, uint64_t declaredSize) {
    if (range.first != offset || range.last + 1 != range.total) return false;
    return declaredSize == 0 || range.total == declaredSize;
}

StallMeter::StallMeter(uint64_t minBytesPerSecond, unsigned windowSeconds, double start)
    : m_minRate(minBytesPerSecond), m_window(windowSeconds), m_windowStart(start) {}

bool StallMeter::add(uint64_t bytes, double now) {
    m_windowBytes += bytes;
    const double elapsed = now - m_windowStart;
    if (elapsed < m_window) return true;
    m_rate = static_cast<double>(m_windowBytes) / elapsed;
    m_windowStart = now;
    m_windowBytes = 0;
    return m_rate >= static_cast<double>(m_minRate);
}

double transferDeadlineSeconds(const TransferPolicy& policy, uint64_t maxBytes) {
    return policy.deadlineBaseSeconds +
           static_cast<double>(maxBytes) / static_cast<double>(policy.deadlineBytesPerSecond);
}

double monotonicSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}
