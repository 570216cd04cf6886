// Reading of the repository's package lists (primary and tavdata) into its package map.
#pragma once

#include <cstdint>
#include <string>

#include "package/package_store.h"

// Metadata type indexes of the lists that are read.
constexpr int kPrimaryList = 0;
constexpr int kTavdataList = 1;

enum class ListResult { Parsed, Failed, OverMemoryLimit };

// Adds the accepted packages of one list file (plain, or one gzip stream with nothing after
// it) to packages; the local paths are made below packagesDir (none when it is empty). The
// content may be at most maxOpenBytes long (origin says why, in the message), and the store
// may grow to at most maxRecordBytes of memory. On failure the records read before it stay
// in the store. The store's names are sorted afterwards.
[[nodiscard]] ListResult parseList(const std::string& path, int typeIndex, PackageStore& packages,
                                   const std::string& packagesDir, uint64_t maxOpenBytes = UINT64_MAX,
                                   const char* origin = "allowed", uint64_t maxRecordBytes = UINT64_MAX);
