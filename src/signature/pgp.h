// OpenPGP packet framing and signature facts, enough to learn which key made a signature.
// Parsed records point into the caller's buffer, which must outlive them: nothing is copied.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using KeyId = std::array<uint8_t, 8>;

// One packet, or one subpacket (tag then holds the subpacket type byte as stored).
struct PGPPacket {
    int tag = 0;
    uint32_t size = 0;  // header plus body
    uint32_t blen = 0;  // body only
    const uint8_t* body = nullptr;
};

// The big-endian value of 0 to 4 bytes.
uint32_t getPGPVal(const uint8_t* bytes, size_t len);

class PGPPacketSeq {
public:
    // Splits the bytes into packets and appends them; packets read before a failure stay.
    [[nodiscard]] bool append(const uint8_t* bytes, size_t size);
    const std::vector<PGPPacket>& packets() const { return m_packets; }

private:
    std::vector<PGPPacket> m_packets;
};

class PGPSubPacketSeq {
public:
    [[nodiscard]] bool append(const uint8_t* bytes, size_t size);
    const std::vector<PGPPacket>& subpackets() const { return m_subpackets; }

private:
    std::vector<PGPPacket> m_subpackets;
};

struct PGPSigData {
    uint8_t version = 0;
    uint8_t sigType = 0;
    uint32_t created = 0;
    KeyId keyId{};
    uint8_t pubkeyAlgo = 0;
    uint8_t hashAlgo = 0;
    bool hasCreated = false;
    bool hasKeyId = false;

    // The first signature packet of the sequence.
    [[nodiscard]] bool parse(const PGPPacketSeq& packets);
    // One signature packet, by its version.
    [[nodiscard]] bool parse(const PGPPacket& packet);
    [[nodiscard]] bool parseSigV3(const PGPPacket& packet);
    [[nodiscard]] bool parseSigV4(const PGPPacket& packet);
};

// 16 lower-case hexadecimal characters, first byte first.
std::string formatKeyId(const KeyId& keyId);
