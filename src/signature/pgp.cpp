#include "signature/pgp.h"

#include <cassert>
#include <cstdio>
#include <limits>

#include "base/logger.h"

namespace {

constexpr int kSignaturePacketTag = 2;
constexpr int kCreationTimeSubpacket = 2;
constexpr int kIssuerSubpacket = 16;
constexpr uint8_t kBinaryDocumentSignature = 0;

// A length field and the value it holds. All arithmetic is done in 64 bits so that a
// declared length near 4 GiB cannot wrap around and pass a bounds check.
struct Length {
    uint64_t field = 0;
    uint64_t value = 0;
};

// The new-format length at the start of bytes; false unless the field and the length
// it declares both fit in the size bytes given.
bool readNewLength(const uint8_t* bytes, size_t size, Length& length) {
    if (size < 1) return false;
    const uint8_t first = bytes[0];
    if (first < 192) {
        length.field = 1;
        length.value = first;
    } else if (first < 224) {
        if (size < 2) return false;
        length.field = 2;
        length.value = ((first - 192u) << 8) + bytes[1] + 192u;
    } else if (first == 255) {
        if (size < 5) return false;
        length.field = 5;
        length.value = getPGPVal(bytes + 1, 4);
    } else {
        // Partial body lengths belong to streamed data, never to a stored signature.
        return false;
    }
    return length.value < size && length.field + length.value <= size;
}

// One packet at the start of bytes; false when it is malformed or runs past the end.
bool readPacket(const uint8_t* bytes, size_t size, PGPPacket& packet) {
    if (size < 1 || !(bytes[0] & 0x80)) return false;
    const uint8_t tagByte = bytes[0];
    uint64_t header = 0;
    uint64_t bodyLength = 0;
    if (tagByte & 0x40) {
        packet.tag = tagByte & 0x3F;
        if (size < 2) return false;
        Length length;
        if (!readNewLength(bytes + 1, size - 1, length)) return false;
        header = 1 + length.field;
        bodyLength = length.value;
    } else {
        packet.tag = (tagByte >> 2) & 0x0F;
        const unsigned lengthType = tagByte & 0x03;
        if (lengthType == 3) {
            header = 1;
            bodyLength = size - 1;
        } else {
            const size_t fieldSize = size_t{1} << lengthType;
            header = 1 + fieldSize;
            if (header > size) return false;
            bodyLength = getPGPVal(bytes + 1, fieldSize);
        }
    }
    const uint64_t total = header + bodyLength;
    // The record holds 32-bit sizes; a larger packet cannot be described, let alone trusted.
    if (total > size || total > std::numeric_limits<uint32_t>::max()) return false;
    packet.size = static_cast<uint32_t>(total);
    packet.blen = static_cast<uint32_t>(bodyLength);
    packet.body = bytes + header;
    return true;
}

// One subpacket at the start of bytes: a new-format length, then the type byte, then the body.
bool readSubPacket(const uint8_t* bytes, size_t size, PGPPacket& subpacket) {
    Length length;
    if (!readNewLength(bytes, size, length) || length.value == 0) return false;
    const uint64_t total = length.field + length.value;
    if (total > std::numeric_limits<uint32_t>::max()) return false;
    subpacket.tag = bytes[length.field];
    subpacket.size = static_cast<uint32_t>(total);
    subpacket.blen = static_cast<uint32_t>(length.value - 1);
    subpacket.body = bytes + length.field + 1;
    return true;
}

// Splits bytes with reader, appending every record read before a failure.
template <class Reader>
bool appendRecords(std::vector<PGPPacket>& records, const uint8_t* bytes, size_t size, Reader reader) {
    size_t offset = 0;
    while (offset < size) {
        PGPPacket record;
        if (!reader(bytes + offset, size - offset, record)) return false;
        records.push_back(record);
        offset += record.size;
    }
    return true;
}

}  // namespace

uint32_t getPGPVal(const uint8_t* bytes, size_t len) {
    uint32_t val = 0;
    assert(len <= sizeof(val));
    for (size_t i = 0; i < len; ++i) val = (val << 8) | bytes[i];
    return val;
}

bool PGPPacketSeq::append(const uint8_t* bytes, size_t size) {
    return appendRecords(m_packets, bytes, size, readPacket);
}

bool PGPSubPacketSeq::append(const uint8_t* bytes, size_t size) {
    return appendRecords(m_subpackets, bytes, size, readSubPacket);
}

bool PGPSigData::parse(const PGPPacketSeq& packets) {
    for (const PGPPacket& packet : packets.packets())
        if (packet.tag == kSignaturePacketTag) return parse(packet);
    return false;
}

bool PGPSigData::parse(const PGPPacket& packet) {
    if (packet.blen < 1 || packet.tag != kSignaturePacketTag) return false;
    version = packet.body[0];
    switch (version) {
        case 3:
            return parseSigV3(packet);
        case 4:
            return parseSigV4(packet);
        default:
            LOG(Error, "signature packet version %u unknown", static_cast<unsigned>(version));
            return false;
    }
}

bool PGPSigData::parseSigV3(const PGPPacket& packet) {
    assert(packet.blen >= 1 && packet.body[0] == 3);
    const uint8_t* body = packet.body;
    // The hashed material of a v3 signature is always the type and the creation time.
    if (packet.blen < 17 || body[1] != 5) return false;
    sigType = body[2];
    created = getPGPVal(body + 3, 4);
    hasCreated = true;
    for (size_t i = 0; i < keyId.size(); ++i) keyId[i] = body[7 + i];
    hasKeyId = true;
    pubkeyAlgo = body[15];
    hashAlgo = body[16];
    return true;
}

bool PGPSigData::parseSigV4(const PGPPacket& packet) {
    assert(packet.blen >= 1 && packet.body[0] == 4);
    const uint8_t* body = packet.body;
    const uint32_t blen = packet.blen;
    if (blen < 6) return false;
    sigType = body[1];
    pubkeyAlgo = body[2];
    hashAlgo = body[3];

    PGPSubPacketSeq subpackets;
    const uint32_t hashedLength = getPGPVal(body + 4, 2);
    if (hashedLength > blen - 6) return false;
    if (!subpackets.append(body + 6, hashedLength)) return false;
    if (blen < hashedLength + 8) return false;
    const uint32_t unhashedLength = getPGPVal(body + 6 + hashedLength, 2);
    if (unhashedLength > blen - hashedLength - 8) return false;
    if (!subpackets.append(body + 8 + hashedLength, unhashedLength)) return false;

    // Hashed subpackets come first, so their values win over unhashed ones. Only a
    // signature of a binary document names the key that checks a package.
    for (const PGPPacket& sub : subpackets.subpackets()) {
        if (sub.tag == kCreationTimeSubpacket) {
            if (hasCreated || sigType != kBinaryDocumentSignature) continue;
            if (sub.blen < 4) return false;
            created = getPGPVal(sub.body, 4);
            hasCreated = true;
        } else if (sub.tag == kIssuerSubpacket) {
            if (hasKeyId || sigType != kBinaryDocumentSignature) continue;
            if (sub.blen < keyId.size()) return false;
            for (size_t i = 0; i < keyId.size(); ++i) keyId[i] = sub.body[i];
            hasKeyId = true;
        }
    }
    return true;
}

std::string formatKeyId(const KeyId& keyId) {
    std::string text;
    text.reserve(keyId.size() * 2);
    for (uint8_t byte : keyId) {
        char hex[3];
        snprintf(hex, sizeof hex, "%02x", byte);
        text += hex;
    }
    return text;
}
