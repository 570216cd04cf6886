#include "package/dependency.h"

#include <rpm/rpmds.h>
#include <rpm/rpmver.h>

#include <algorithm>
#include <cstring>

static_assert(kSenseLess == RPMSENSE_LESS && kSenseGreater == RPMSENSE_GREATER && kSenseEqual == RPMSENSE_EQUAL,
              "sense bits differ from rpm's");

namespace {

// The order of a's version against b's, where a release missing on either side matches any.
int constraintSense(const EvrView& a, const EvrView& b) {
    if (a.epoch != b.epoch) return a.epoch < b.epoch ? -1 : 1;
    const int versions = rpmvercmp(a.version, b.version);
    if (versions != 0 || !*a.release || !*b.release) return versions;
    return rpmvercmp(a.release, b.release);
}

bool both(int32_t a, int32_t b, int32_t sense) {
    return (a & sense) && (b & sense);
}

}  // namespace

bool constraintsOverlap(const EvrView& a, int32_t aFlags, const EvrView& b, int32_t bFlags) {
    if (aFlags == 0 || bFlags == 0 || !*a.version || !*b.version) return true;
    const int sense = constraintSense(a, b);
    if (sense < 0) return (aFlags & kSenseGreater) || (bFlags & kSenseLess);
    if (sense > 0) return (aFlags & kSenseLess) || (bFlags & kSenseGreater);
    return both(aFlags, bFlags, kSenseLess) || both(aFlags, bFlags, kSenseEqual) || both(aFlags, bFlags, kSenseGreater);
}

bool DependencyView::matches(const DependencyView& other) const {
    return name == other.name && constraintsOverlap(evr, flags, other.evr, other.flags);
}

std::string DependencyView::toString() const {
    std::string text(name);
    if (!*evr.version) return text;
    return text.append(" ").append(senseOperator(flags)).append(" ").append(evrText(evr));
}

bool Dependency::matches(const Dependency& other) const {
    return view().matches(other.view());
}

std::string Dependency::toString() const {
    if (evr.version.empty()) return name;
    return name + " " + senseOperator(flags) + " " + evr.toString();
}

bool Dependency::operator<(const Dependency& other) const {
    // Byte-wise over the shorter length, a prefix first: "lib" before "libc".
    const size_t common = std::min(name.size(), other.name.size());
    const int names = std::memcmp(name.data(), other.name.data(), common);
    if (names != 0) return names < 0;
    if (name.size() != other.name.size()) return name.size() < other.name.size();
    const int versions = compareEVR(evr, other.evr);
    if (versions != 0) return versions < 0;
    return flags < other.flags;
}

bool Dependency::operator==(const Dependency& other) const {
    return name == other.name && evr.epoch == other.evr.epoch && evr.version == other.evr.version &&
           evr.release == other.evr.release && flags == other.flags;
}

const char* senseOperator(int32_t flags) {
    switch (flags) {
        case kSenseLess:
            return "<";
        case kSenseGreater:
            return ">";
        case kSenseEqual:
            return "=";
        case kSenseLess | kSenseEqual:
            return "<=";
        case kSenseGreater | kSenseEqual:
            return ">=";
        default:
            return "?";
    }
}
