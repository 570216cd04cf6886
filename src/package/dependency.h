// Capabilities with an optional version constraint, and the rule by which one satisfies another.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "package/evr.h"

// rpm's sense bits: the only ones a stored dependency carries.
constexpr int32_t kSenseLess = 2;
constexpr int32_t kSenseGreater = 4;
constexpr int32_t kSenseEqual = 8;
constexpr int32_t kSenseMask = kSenseLess | kSenseGreater | kSenseEqual;

// A dependency entry wherever its text is kept: a Dependency, or a compact entry of a store.
struct DependencyView {
    std::string_view name;
    EvrView evr;
    int32_t flags;

    // Dependency::matches and Dependency::toString over views.
    bool matches(const DependencyView& other) const;
    std::string toString() const;
};

struct Dependency {
    std::string name;
    EVR evr;  // an empty version means unversioned
    int32_t flags = 0;

    Dependency() = default;
    // A plain capability, also the lower bound of the entries of one name in a set.
    explicit Dependency(std::string capability) : name(std::move(capability)) {}
    Dependency(std::string capability, EVR version, int32_t sense)
        : name(std::move(capability)), evr(std::move(version)), flags(sense) {}

    // Whether both constraints can hold at once (a provide satisfies a requirement, an
    // obsolete applies to a package); symmetric.
    bool matches(const Dependency& other) const;
    // "name", or "name OP epoch:version[-release]".
    std::string toString() const;

    DependencyView view() const { return {name, evr.view(), flags}; }

    bool operator<(const Dependency& other) const;
    bool operator==(const Dependency& other) const;
};

// Whether a constraint with flags aFlags on version a and one with bFlags on b can hold at
// once; symmetric. Unversioned or unflagged constraints hold with anything.
bool constraintsOverlap(const EvrView& a, int32_t aFlags, const EvrView& b, int32_t bFlags);

// "<", ">", "=", "<=", ">=", or "?" for any other flags value.
const char* senseOperator(int32_t flags);

using DependencySet = std::set<Dependency>;
