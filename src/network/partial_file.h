// An interrupted download kept for a ranged resume: "<checksum>.part" holds the bytes received
// so far and "<checksum>.validator" the ETag or Last-Modified they came with, so that a later
// attempt (in this run or the next) asks only for the rest, and only while the server's file
// is still the same. Named by the expected checksum, a partial is never taken for another file.
#pragma once

#include <cstdint>
#include <string>

#include "base/handles.h"

class PartialFile {
public:
    explicit PartialFile(std::string path);
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;

    // Opens or creates the partial without following links. An entry that is not a regular
    // file, or holds more than maxBytes, is removed first (a warning), as is one without a
    // usable validator. False when no partial can be used: the caller downloads without one.
    [[nodiscard]] bool open(uint64_t maxBytes);
    int fd() const { return m_fd.get(); }
    uint64_t size() const { return m_size; }
    const std::string& validator() const { return m_validator; }

    // Records the validator of the bytes about to be written; an empty one removes the record,
    // since bytes without it cannot be resumed.
    [[nodiscard]] bool saveValidator(const std::string& validator);
    // The download is complete: the partial becomes destination and its validator goes.
    [[nodiscard]] bool commit(const std::string& destination);
    // The download failed: what arrived is synced for the next attempt, or removed when it
    // cannot be resumed.
    void keep(uint64_t size);
    // Removes the partial and its validator.
    void remove();

    const std::string& path() const { return m_path; }
    // "<name>.validator" beside "<name>.part".
    std::string validatorPath() const;

private:
    [[nodiscard]] bool readValidator();

    std::string m_path;
    UniqueFd m_fd;
    uint64_t m_size = 0;
    std::string m_validator;
};

// A name the partial directory may hold: "<lower-case hex>.part" or "<lower-case hex>.validator";
// the checksum text is copied to checksum.
[[nodiscard]] bool partialFileChecksum(const std::string& name, std::string& checksum);

// The partial of a file with this expected checksum value in dir ("" when the value cannot name
// a file: anything but 40 to 128 lower-case hexadecimal characters).
std::string partialPathFor(const std::string& dir, const std::string& checksumValue);
