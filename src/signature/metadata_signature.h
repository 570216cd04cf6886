// Checking the detached signature of the repository index with gpgv, against exactly the
// public keys of the rpm database.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/paths.h"

// Each entry is one decoded (not base64) public key as the rpm database holds it.
using PublicKeyList = std::vector<std::vector<uint8_t>>;

// True when gpgv accepts signature as a signature of file by one of keys. The keyring
// handed to gpgv is created from keyringTemplate and removed before returning.
[[nodiscard]] bool verifyDetachedSignature(const PublicKeyList& keys, const std::string& file,
                                           const std::string& signature,
                                           const std::string& keyringTemplate = paths::kTempKeyringTemplate);

// Writes the keys one after the other into a new private file made from keyringTemplate
// (mkstemp) and stores its path. On failure nothing is left behind and errno tells why.
[[nodiscard]] bool writeKeyring(const PublicKeyList& keys, std::string& path,
                                const std::string& keyringTemplate = paths::kTempKeyringTemplate);
