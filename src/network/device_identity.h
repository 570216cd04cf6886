// The device's identity from the kernel's processor information, and the default HTTP
// credentials derived from it and from the board's EEPROM contents.
#pragma once

#include <cstddef>
#include <string>

#include "base/paths.h"
#include "network/credential_store.h"

enum class HardwareType : int { None = 0, Vorlan = 1, Mirest = 2, Tresca = 3, Other = 4 };

struct DeviceIdentity {
    static constexpr std::size_t kMaxSerial = 63;
    static constexpr std::size_t kMaxRevision = 8;
    static constexpr std::size_t kMaxHardware = 15;

    std::string serial;    // empty when the processor information gives none
    std::string revision;  // empty when the processor information gives none
    HardwareType hardwareType = HardwareType::None;
};

// Fills the identity from the Serial, Revision and Hardware lines; true when all three were
// found. Missing parts are logged and stay empty.
[[nodiscard]] bool readDeviceIdentity(DeviceIdentity& identity, const std::string& cpuinfoPath = paths::kCpuInfoFile);

// "<product>-<revision>"; false (and an empty name) without a revision.
[[nodiscard]] bool defaultUserName(const DeviceIdentity& identity, const std::string& productName,
                                   std::string& username);

// The 12-character password hashed from the board's EEPROM blocks below i2cDir; false (and an
// empty password) when the hardware has no secret data or it cannot be read. The password is
// never logged.
[[nodiscard]] bool defaultPassword(const DeviceIdentity& identity, std::string& password,
                                   const std::string& i2cDir = paths::kI2cDriversDir);

// Replaces the content of the default store with one entry for any realm below "/" holding the
// default user name and password; false, with the store left empty, when either is missing.
[[nodiscard]] bool setupDefaultCredentials(CredentialStore& store, const DeviceIdentity& identity,
                                           const std::string& productName,
                                           const std::string& i2cDir = paths::kI2cDriversDir);
