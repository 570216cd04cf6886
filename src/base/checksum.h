// A digest published by the repository metadata, and the checks of a cached file against it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct Checksum {
    std::string value;  // hexadecimal text as published; empty: none published
    std::string type;   // "sha" (SHA-1) or "sha256"; "md5" and others are refused

    // The digest of the file's bytes as stored matches value.
    [[nodiscard]] bool checkFile(const std::string& path) const;
    // The digest of the file's content matches value: its one gzip stream decoded, with nothing
    // after it, or a plain file as it is. The content may be at most maxOpenBytes long
    // (origin says why, in the message).
    [[nodiscard]] bool checkUncompressed(const std::string& path, uint64_t maxOpenBytes = UINT64_MAX,
                                         const char* origin = "allowed") const;
    // The raw digest bytes of the file, decoded first when uncompressed is set.
    [[nodiscard]] bool digestFile(const std::string& path, bool uncompressed, std::vector<unsigned char>& digest,
                                  uint64_t maxOpenBytes = UINT64_MAX, const char* origin = "allowed") const;
};
