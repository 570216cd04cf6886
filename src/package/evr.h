// Package versions: epoch, version and release, ordered as rpm orders them.
#pragma once

#include <cstdint>
#include <string>

struct EVR {
    uint32_t epoch = 0;
    std::string version;  // empty: no version
    std::string release;  // empty: no release

    // "[epoch:]version[-release]"; never fails, logs what it could not take.
    static EVR fromString(const std::string& text);
    // "epoch:version[-release]", the epoch always printed; empty without a version.
    std::string toString() const;
};

// Negative, zero or positive: epochs as unsigned numbers, then versions and releases with
// rpm's own segment comparison.
int compareEVR(const EVR& a, const EVR& b);
