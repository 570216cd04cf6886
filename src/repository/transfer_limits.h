// How large each file of a repository may be, from what the signed metadata declares and,
// where it declares nothing, from the configured limits.
#pragma once

#include <cstdint>

#include "config/updater_config.h"
#include "network/transfer.h"
#include "package/package.h"

struct RepoData;

TransferLimit indexLimit(const TransferPolicy& policy);
TransferLimit indexSignatureLimit(const TransferPolicy& policy);
// A list as fetched: the larger of its declared size and open size (lists are sometimes
// recompressed after indexing, a byte or so longer than declared, and are then accepted by
// their open checksum).
TransferLimit listLimit(const RepoData& data, const TransferPolicy& policy);
// A list's content while it is decompressed for its open checksum or parsed.
TransferLimit listContentLimit(const RepoData& data, const TransferPolicy& policy);
TransferLimit packageLimit(const Package& package, const TransferPolicy& policy);

// The memory the records of the lists may take: the configured limit, by default a quarter
// of the machine's RAM.
uint64_t recordsLimit(const TransferPolicy& policy);

// A size the metadata declares: a positive decimal number within 64 bits.
[[nodiscard]] bool parseDeclaredSize(const std::string& text, uint64_t& size);
