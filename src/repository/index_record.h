// The record of the last repository index the device accepted: when its signature was made
// and the SHA-256 of the index. It survives updates and power cuts, so that an index signed
// earlier (a replay by a mirror or a man in the middle) can be refused.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/paths.h"

struct IndexRecord {
    uint32_t signedAt = 0;  // signature creation time, seconds since the Unix epoch
    std::string sha256;     // of repomd.xml, 64 lower-case hexadecimal characters

    bool operator==(const IndexRecord& other) const { return signedAt == other.signedAt && sha256 == other.sha256; }
};

// "signed <seconds>\nsha256 <hex>\n"; parsing accepts exactly that form.
std::string formatIndexRecord(const IndexRecord& record);
[[nodiscard]] bool parseIndexRecord(const std::string& text, IndexRecord& record);

// An absent file gives true and no record. Anything else that is not a well-formed record (a
// directory, a link, an empty or damaged file, a read error) is logged and gives false: a
// record silently taken as absent would let any older index in again.
[[nodiscard]] bool loadIndexRecord(std::optional<IndexRecord>& record,
                                   const std::string& path = paths::kIndexRecordFile);

// Replaces the record durably: a temporary file beside it, fsync, rename, fsync of the directory.
[[nodiscard]] bool saveIndexRecord(const IndexRecord& record, const std::string& path = paths::kIndexRecordFile);
