// Package versions: epoch, version and release, ordered as rpm orders them.
#pragma once

#include <cstdint>
#include <string>

// A version as comparisons read it, wherever its text is kept.
struct EvrView {
    uint32_t epoch;
    const char* version;  // "" for no version
    const char* release;  // "" for no release
};

struct EVR {
    uint32_t epoch = 0;
    std::string version;  // empty: no version
    std::string release;  // empty: no release

    // "[epoch:]version[-release]"; never fails, logs what it could not take.
    static EVR fromString(const std::string& text);
    // "epoch:version[-release]", the epoch always printed; empty without a version.
    std::string toString() const;
    EvrView view() const { return {epoch, version.c_str(), release.c_str()}; }
};

// EVR::toString of a view.
std::string evrText(const EvrView& evr);

// Negative, zero or positive: epochs as unsigned numbers, then versions and releases with
// rpm's own segment comparison.
int compareEVR(const EvrView& a, const EvrView& b);
inline int compareEVR(const EVR& a, const EVR& b) {
    return compareEVR(a.view(), b.view());
}
