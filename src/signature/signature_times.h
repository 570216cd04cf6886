// When a detached signature was made and how long it is valid, as the signer stated it in the
// signed part of the signature. gpgv checks the signature; these facts say how old it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct SignatureTimes {
    bool hasCreated = false;
    uint32_t created = 0;  // seconds since the Unix epoch
    bool hasExpiry = false;
    uint32_t expiresAfter = 0;  // seconds after created; 0 means never
};

// The bytes of an OpenPGP message, armored ("-----BEGIN PGP ...") or binary as given.
[[nodiscard]] bool dearmorPgp(const std::string& text, std::vector<uint8_t>& bytes);

// The times of the first signature packet: a v3 signature's creation field, or a v4 signature's
// creation and expiry subpackets of the hashed area (the unhashed area is not signed, so it
// proves nothing). False when the bytes hold no well-formed signature packet.
[[nodiscard]] bool parseSignatureTimes(const uint8_t* bytes, size_t size, SignatureTimes& times);

// The same for a signature file; failures are logged with the path.
[[nodiscard]] bool readSignatureTimes(const std::string& path, SignatureTimes& times);
