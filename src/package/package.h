// One package of a repository list: an rpm file, a payload for the device's installer, or a
// firmware record.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "base/checksum.h"
#include "package/dependency.h"
#include "package/evr.h"

enum class PackageType : int { Unknown = 0, Rpm = 1, Tavpkg = 2, FlashedFw = 3 };

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
