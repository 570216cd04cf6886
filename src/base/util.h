// Small helpers shared by every subsystem.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The text of the current errno, as strerror_r gives it.
std::string errnoText();
std::string errnoText(int errorNumber);

// The text after the last '/', trailing '/' ignored; empty for "" or a path of only '/'.
std::string lastPathComponent(const std::string& path);
// The last component from its first '.' on (".xml.gz"); empty without '.' or for a leading '.'.
std::string fileExtension(const std::string& path);
// True when the file opens read-only; otherwise logs why at debug level.
bool isReadable(const std::string& path);
// A whole positive decimal number within 64 bits: digits only (no sign, blank or exponent),
// no more than 20 of them, and not 0.
[[nodiscard]] bool parsePositiveDecimal(const std::string& text, uint64_t& value);
// One mkdir with mode 0777; an existing directory is success.
[[nodiscard]] bool createDirectory(const std::string& path);
// Writes all size bytes to fd, going on after short writes and interruptions. False when a
// write fails (errno tells why) or takes no bytes at all (errno ENOSPC: the file is full).
[[nodiscard]] bool writeAll(int fd, const void* data, size_t size);
[[nodiscard]] inline bool writeAll(int fd, const std::string& text) {
    return writeAll(fd, text.data(), text.size());
}
