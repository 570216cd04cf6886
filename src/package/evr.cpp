#include "package/evr.h"

#include <rpm/rpmver.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "base/logger.h"

namespace {

// strtoul as the device's 32-bit unsigned long gives it, so that a host with a wider long
// reads the same epoch: out-of-range magnitudes saturate, a minus sign negates modulo 2^32.
uint32_t readEpoch(const char* text, char** end) {
    errno = 0;
    unsigned long value = std::strtoul(text, end, 10);
    if constexpr (sizeof(unsigned long) > sizeof(uint32_t)) {
        const char* sign = text;
        while (std::isspace(static_cast<unsigned char>(*sign))) ++sign;
        const bool negative = *sign == '-';
        const unsigned long magnitude = negative ? -value : value;
        if (errno == ERANGE || magnitude > UINT32_MAX) return UINT32_MAX;
        return negative ? static_cast<uint32_t>(0u - static_cast<uint32_t>(magnitude))
                        : static_cast<uint32_t>(magnitude);
    }
    return static_cast<uint32_t>(value);
}

}  // namespace

EVR EVR::fromString(const std::string& text) {
    EVR evr;
    std::string::size_type start = 0;
    const std::string::size_type colon = text.find(':');
    if (colon != std::string::npos) {
        // strtoul stops at the ':' at the latest, as it is no digit.
        char* end = nullptr;
        evr.epoch = readEpoch(text.c_str(), &end);
        if (end != text.c_str() + colon) LOG(Error, "failed parsing epoch from EVR string");
        start = colon + 1;
    }
    if (start >= text.size()) {
        LOG(Error, "EVR string has no version release");
        return evr;
    }
    // The first '-' ends the version; the release may hold further ones.
    const std::string::size_type dash = text.find('-', start);
    if (dash == std::string::npos) {
        evr.version = text.substr(start);
        return evr;
    }
    evr.version = text.substr(start, dash - start);
    evr.release = text.substr(dash + 1);
    if (evr.release.empty()) LOG(Error, "empty release in EVR string");
    return evr;
}

std::string EVR::toString() const {
    // From the strings themselves, not a view: a text with a NUL in it prints whole.
    if (version.empty()) return std::string();
    std::string text = std::to_string(epoch) + ":" + version;
    if (!release.empty()) text += "-" + release;
    return text;
}

std::string evrText(const EvrView& evr) {
    if (!*evr.version) return std::string();
    std::string text = std::to_string(evr.epoch) + ":" + evr.version;
    if (*evr.release) text.append("-").append(evr.release);
    return text;
}

int compareEVR(const EvrView& a, const EvrView& b) {
    if (a.epoch != b.epoch) return a.epoch < b.epoch ? -1 : 1;
    const int versions = rpmvercmp(a.version, b.version);
    if (versions != 0) return versions;
    // An empty release is compared too, unlike in Dependency::matches where it matches any.
    return rpmvercmp(a.release, b.release);
}
