// Reading of the repository's package lists (primary and tavdata) into its package map.
#pragma once

#include <cstdint>
#include <string>

#include "package/package.h"

// Metadata type indexes of the lists that are read.
constexpr int kPrimaryList = 0;
constexpr int kTavdataList = 1;

// Adds the accepted packages of one list file (plain, or one gzip stream with nothing after
// it) to packages; the local paths are made below packagesDir (none when it is empty). The
// content may be at most maxOpenBytes long (origin says why, in the message). On failure the
// records read before it stay in the map.
[[nodiscard]] bool parseList(const std::string& path, int typeIndex, PackageMap& packages,
                             const std::string& packagesDir, uint64_t maxOpenBytes = UINT64_MAX,
                             const char* origin = "allowed");
