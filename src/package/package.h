// One package of a repository list: an rpm file, a payload for the device's installer, or a
// firmware record.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <string>

#include "base/checksum.h"
#include "package/dependency.h"
#include "package/evr.h"

enum class PackageType : int { Unknown = 0, Rpm = 1, Tavpkg = 2, FlashedFw = 3 };

// A set of package types; a value outside the enumeration is never in one.
class PackageTypeSet {
public:
    constexpr PackageTypeSet() = default;
    constexpr PackageTypeSet(std::initializer_list<PackageType> types) {
        for (const PackageType type : types) insert(type);
    }

    [[nodiscard]] constexpr bool contains(PackageType type) const { return (m_bits & bit(type)) != 0; }
    [[nodiscard]] constexpr bool empty() const { return m_bits == 0; }
    constexpr void insert(PackageType type) { m_bits |= bit(type); }
    [[nodiscard]] constexpr PackageTypeSet with(PackageType type) const {
        PackageTypeSet result = *this;
        result.insert(type);
        return result;
    }

    friend constexpr bool operator==(PackageTypeSet a, PackageTypeSet b) { return a.m_bits == b.m_bits; }
    friend constexpr bool operator!=(PackageTypeSet a, PackageTypeSet b) { return a.m_bits != b.m_bits; }

private:
    static constexpr unsigned bit(PackageType type) {
        const int index = static_cast<int>(type);
        return index >= static_cast<int>(PackageType::Unknown) && index <= static_cast<int>(PackageType::FlashedFw)
                   ? 1u << index
                   : 0u;
    }

    unsigned m_bits = 0;
};

struct Package {
    std::string name;
    std::string group;
    std::string arch;
    PackageType type = PackageType::Unknown;
    EVR evr;
    DependencySet requires;
    DependencySet recommends;
    DependencySet provides;
    DependencySet obsoletes;
    std::string href;       // relative to the repository's base URI
    std::string localPath;  // where the file is kept in the package cache; empty without location
    Checksum checksum;
    uint64_t size = 0;  // bytes of the file, as the list declares them; 0: not declared
};

// The packages of a repository by name; several versions of one name coexist, in the
// order they were read.
using PackageMap = std::multimap<std::string, Package>;

// "name-epoch:version[-release]", the form in which log lines name packages.
std::string packageLabel(const Package& package);
