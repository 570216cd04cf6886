// OpenPGP packet framing and signature facts from hand-built byte strings, a signature made
// by gpg, and random and truncated input that must never be read beyond its end.
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fixtures/gpg_keys.h"
#include "fixtures/log_capture.h"
#include "fixtures/run_tool.h"
#include "fixtures/temp_dir.h"
#include "signature/pgp.h"
#include "signature/signature_times.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// n bytes counting up from 1, so that a body read at the wrong offset shows.
Bytes filler(size_t n) {
    Bytes bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i + 1);
    return bytes;
}

const KeyId kHashedIssuer{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
const KeyId kUnhashedIssuer{0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};

Bytes issuer(const KeyId& id, int type = 16) {
    return Bytes{9, static_cast<uint8_t>(type)} + Bytes(id.begin(), id.end());
}
Bytes creationTime(uint32_t t) {
    return {5, 2, uint8_t(t >> 24), uint8_t(t >> 16), uint8_t(t >> 8), uint8_t(t)};
}

// A v4 signature body: version, type, RSA, SHA-256, both subpacket areas, the hash prefix
// and a short stand-in for the signature value.
Bytes v4Body(uint8_t type, const Bytes& hashed, const Bytes& unhashed) {
    Bytes body{4, type, 1, 8, uint8_t(hashed.size() >> 8), uint8_t(hashed.size())};
    body = body + hashed + Bytes{uint8_t(unhashed.size() >> 8), uint8_t(unhashed.size())} + unhashed;
    return body + Bytes{0xAB, 0xCD, 0x00, 0x08, 0x5A};
}

// A v3 signature body: hashed material of 5 bytes, issuer, DSA, SHA-1, hash prefix, value.
Bytes v3Body(uint8_t hashedLength = 5) {
    return Bytes{3, hashedLength, 0, 0x5F, 0x5E, 0x10, 0x00} + Bytes(kHashedIssuer.begin(), kHashedIssuer.end()) +
           Bytes{17, 2, 0x12, 0x34, 0x00, 0x08, 0x77};
}

// A new-format packet with a one- or two-byte length.
Bytes packet(int tag, const Bytes& body) {
    Bytes head{static_cast<uint8_t>(0xC0 | tag)};
    if (body.size() < 192) {
        head.push_back(static_cast<uint8_t>(body.size()));
    } else {
        const size_t n = body.size() - 192;
        head.push_back(static_cast<uint8_t>(192 + (n >> 8)));
        head.push_back(static_cast<uint8_t>(n));
    }
    return head + body;
}

PGPPacket packetOver(const Bytes& body, int tag = 2) {
    PGPPacket p;
    p.tag = tag;
    p.blen = static_cast<uint32_t>(body.size());
    p.size = p.blen + 2;
    p.body = body.data();
    return p;
}

TEST(GetPGPValTest, BigEndianOfUpToFourBytes) {
    const uint8_t bytes[] = {0x12, 0x34, 0x56, 0x78, 0x9A};
    EXPECT_EQ(getPGPVal(bytes, 0), 0u);
    EXPECT_EQ(getPGPVal(bytes, 1), 0x12u);
    EXPECT_EQ(getPGPVal(bytes, 2), 0x1234u);
    EXPECT_EQ(getPGPVal(bytes, 3), 0x123456u);
    EXPECT_EQ(getPGPVal(bytes, 4), 0x12345678u);
}

struct FramingCase {
    const char* name;
    Bytes input;
    bool ok;
    int tag;
    uint32_t size;
    uint32_t blen;
    size_t bodyOffset;
};

// Each input holds exactly one packet (or one subpacket) or is rejected.
void checkFraming(const FramingCase& c, bool subpackets) {
    SCOPED_TRACE(c.name);
    // An exactly-sized copy, so that a read past the end is a read past the allocation.
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[c.input.size()]);
    if (!c.input.empty()) memcpy(buffer.get(), c.input.data(), c.input.size());
    std::vector<PGPPacket> records;
    bool ok;
    if (subpackets) {
        PGPSubPacketSeq seq;
        ok = seq.append(buffer.get(), c.input.size());
        records = seq.subpackets();
    } else {
        PGPPacketSeq seq;
        ok = seq.append(buffer.get(), c.input.size());
        records = seq.packets();
    }
    ASSERT_EQ(ok, c.ok);
    if (!c.ok) {
        EXPECT_TRUE(records.empty());
        return;
    }
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].tag, c.tag);
    EXPECT_EQ(records[0].size, c.size);
    EXPECT_EQ(records[0].blen, c.blen);
    // Pointing into the caller's buffer: nothing was copied.
    EXPECT_EQ(records[0].body, buffer.get() + c.bodyOffset);
}

TEST(PGPPacketSeqTest, LengthForms) {
    const FramingCase cases[] = {
        // New format.
        {"1-byte length", Bytes{0xC2, 3} + filler(3), true, 2, 5, 3, 2},
        {"1-byte length 0", {0xC2, 0}, true, 2, 2, 0, 2},
        {"1-byte length 191", Bytes{0xC2, 191} + filler(191), true, 2, 193, 191, 2},
        {"1-byte length past the end", Bytes{0xC2, 4} + filler(3), false, 0, 0, 0, 0},
        {"tag byte alone", {0xC2}, false, 0, 0, 0, 0},
        {"2-byte length 192", Bytes{0xC2, 192, 0} + filler(192), true, 2, 195, 192, 3},
        {"2-byte length 8383", Bytes{0xC6, 223, 255} + filler(8383), true, 6, 8386, 8383, 3},
        {"2-byte length one short", Bytes{0xC2, 193, 0} + filler(447), false, 0, 0, 0, 0},
        {"2-byte length cut", {0xC2, 0xC5}, false, 0, 0, 0, 0},
        {"5-byte length", Bytes{0xC2, 255, 0, 0, 1, 0} + filler(256), true, 2, 262, 256, 6},
        {"5-byte length 0", {0xC2, 255, 0, 0, 0, 0}, true, 2, 6, 0, 6},
        {"5-byte length of 4 GiB", Bytes{0xC2, 255, 255, 255, 255, 255} + filler(8), false, 0, 0, 0, 0},
        {"5-byte length cut", {0xC2, 255, 0, 0, 1}, false, 0, 0, 0, 0},
        // Partial lengths are refused, also where one would fit, read as a partial or a 5-byte length.
        {"partial length 224 of 1 byte", {0xC2, 224, 7}, false, 0, 0, 0, 0},
        {"partial length 224 as if 5 bytes", {0xC2, 224, 0, 0, 0, 0}, false, 0, 0, 0, 0},
        {"2-byte length field past the end", Bytes{0xC2, 192, 0} + filler(191), false, 0, 0, 0, 0},
        {"5-byte length field past the end", {0xC2, 255, 0, 0, 0, 1}, false, 0, 0, 0, 0},
        {"new-format tag 63", {0xFF, 0}, true, 63, 2, 0, 2},
        // Not a packet header.
        {"top bit clear", {0x42, 1, 0}, false, 0, 0, 0, 0},
        // Old format: tag in bits 2 to 5, length type in bits 0 and 1.
        {"old 1-byte length", Bytes{0x88, 2} + filler(2), true, 2, 4, 2, 2},
        {"old 1-byte length 0", {0x88, 0}, true, 2, 2, 0, 2},
        {"old 1-byte length missing", {0x88}, false, 0, 0, 0, 0},
        {"old 2-byte length", Bytes{0x89, 1, 0} + filler(256), true, 2, 259, 256, 3},
        {"old 2-byte length cut", {0x89, 1}, false, 0, 0, 0, 0},
        {"old 4-byte length", Bytes{0x8A, 0, 0, 0, 3} + filler(3), true, 2, 8, 3, 5},
        {"old 4-byte length cut", {0x8A, 0, 0, 0}, false, 0, 0, 0, 0},
        {"old 4-byte length one too many", Bytes{0x8A, 0, 0, 0, 4} + filler(3), false, 0, 0, 0, 0},
        {"old indeterminate length", Bytes{0x8B} + filler(300), true, 2, 301, 300, 1},
        {"old indeterminate, tag byte alone", {0x8B}, true, 2, 1, 0, 1},
        {"old tag 15", {0xBC, 0}, true, 15, 2, 0, 2},
    };
    for (const FramingCase& c : cases) checkFraming(c, false);
}

TEST(PGPPacketSeqTest, PacketsInInputOrderAndKeptOnFailure) {
    PGPPacketSeq seq;
    EXPECT_TRUE(seq.append(nullptr, 0));
    EXPECT_TRUE(seq.packets().empty());
    const Bytes input = Bytes{0x99, 0, 2, 0xAA, 0xBB} + packet(2, filler(200)) + Bytes{0xB4, 1, 0xCC};
    ASSERT_TRUE(seq.append(input.data(), input.size()));
    ASSERT_EQ(seq.packets().size(), 3u);
    EXPECT_EQ(seq.packets()[0].tag, 6);
    EXPECT_EQ(seq.packets()[1].body, input.data() + 5 + 3);
    EXPECT_EQ(seq.packets()[2].tag, 13);
    EXPECT_EQ(seq.packets()[2].body, input.data() + input.size() - 1);

    // A second call appends; a bad third packet leaves the two good ones in place.
    const Bytes more = packet(2, filler(4)) + packet(13, filler(2)) + Bytes{0xC2, 0xE1, 0};
    EXPECT_FALSE(seq.append(more.data(), more.size()));
    ASSERT_EQ(seq.packets().size(), 5u);
    EXPECT_EQ(seq.packets()[3].body, more.data() + 2);
    EXPECT_EQ(seq.packets()[4].tag, 13);
}

TEST(PGPSubPacketSeqTest, LengthForms) {
    const FramingCase cases[] = {
        {"1-byte length", creationTime(0x01020304), true, 2, 6, 4, 2},
        {"type only", {1, 16}, true, 16, 2, 0, 2},
        {"zero length", {0}, false, 0, 0, 0, 0},
        {"critical bit kept in the type", {2, 0x82, 7}, true, 0x82, 3, 1, 2},
        {"2-byte length 192", Bytes{192, 0, 0x1A} + filler(191), true, 0x1A, 194, 191, 3},
        {"2-byte length cut", {192}, false, 0, 0, 0, 0},
        {"5-byte length", Bytes{255, 0, 0, 0, 3, 16} + filler(2), true, 16, 8, 2, 6},
        {"5-byte length cut", {255, 0, 0, 0}, false, 0, 0, 0, 0},
        {"5-byte length past the end", Bytes{255, 0, 1, 0, 0, 16} + filler(20), false, 0, 0, 0, 0},
        {"partial length as if 5 bytes", {224, 0, 0, 0, 2, 16, 1}, false, 0, 0, 0, 0},
        {"partial length of 1 byte", {224, 16}, false, 0, 0, 0, 0},
        // The length fits in what remains, the length field plus the length does not.
        {"2-byte length field past the end", Bytes{192, 0, 0x1A} + filler(190), false, 0, 0, 0, 0},
        {"1-byte length field past the end", {2, 16}, false, 0, 0, 0, 0},
    };
    for (const FramingCase& c : cases) checkFraming(c, true);
}

bool parses(const Bytes& body) {
    PGPSigData sig;
    return sig.parse(packetOver(body));
}

TEST(PGPSigDataTest, Version3) {
    const Bytes body = v3Body();
    PGPSigData sig;
    ASSERT_TRUE(sig.parse(packetOver(body)));
    EXPECT_EQ(sig.version, 3);
    EXPECT_EQ(sig.created, 0x5F5E1000u);
    EXPECT_TRUE(sig.hasKeyId);
    EXPECT_EQ(sig.keyId, kHashedIssuer);
    EXPECT_EQ(sig.pubkeyAlgo, 17);
    EXPECT_EQ(sig.hashAlgo, 2);

    // 17 bytes are enough, 16 are not; the hashed length must be 5.
    EXPECT_TRUE(parses(Bytes(body.begin(), body.begin() + 17)));
    EXPECT_FALSE(parses(Bytes(body.begin(), body.begin() + 16)));
    for (uint8_t length : {0, 4, 6, 255}) EXPECT_FALSE(parses(v3Body(length))) << int(length);
}

TEST(PGPSigDataTest, Version4IssuerAndCreationTime) {
    struct Case {
        const char* name;
        Bytes hashed, unhashed;
        KeyId keyId;
        uint32_t created;
    };
    const Case cases[] = {
        {"both hashed", creationTime(0x61626364) + issuer(kHashedIssuer), {}, kHashedIssuer, 0x61626364u},
        {"issuer unhashed", creationTime(1), issuer(kUnhashedIssuer), kUnhashedIssuer, 1},
        {"hashed wins", issuer(kHashedIssuer) + creationTime(100), creationTime(200) + issuer(kUnhashedIssuer),
         kHashedIssuer, 100},
        {"first in an area wins", {}, issuer(kUnhashedIssuer) + issuer(kHashedIssuer), kUnhashedIssuer, 0},
        {"longer issuer gives its first 8 bytes", Bytes{10, 16} + filler(9), {}, KeyId{1, 2, 3, 4, 5, 6, 7, 8}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PGPSigData sig;
        ASSERT_TRUE(sig.parse(packetOver(v4Body(0, c.hashed, c.unhashed))));
        EXPECT_EQ(sig.version, 4);
        EXPECT_EQ(sig.pubkeyAlgo, 1);
        EXPECT_EQ(sig.hashAlgo, 8);
        EXPECT_TRUE(sig.hasKeyId);
        EXPECT_EQ(sig.keyId, c.keyId);
        EXPECT_EQ(sig.hasCreated, c.created != 0);
        EXPECT_EQ(sig.created, c.created);
    }
}

TEST(PGPSigDataTest, Version4TextSignatureHasNoKeyId) {
    PGPSigData sig;
    ASSERT_TRUE(sig.parse(packetOver(v4Body(1, creationTime(5) + issuer(kHashedIssuer), issuer(kUnhashedIssuer)))));
    EXPECT_EQ(sig.sigType, 1);
    EXPECT_FALSE(sig.hasKeyId);
    EXPECT_FALSE(sig.hasCreated);
    // Short subpackets are not looked at in a signature that cannot name the package key.
    EXPECT_TRUE(parses(v4Body(1, {4, 2, 0, 0, 0}, {8, 16, 1, 2, 3, 4, 5, 6, 7})));
}

TEST(PGPSigDataTest, Version4ShortSubpacketsFail) {
    // An issuer of 7 bytes, and a creation time of 3.
    const Bytes sevenByteIssuer{8, 16, 1, 2, 3, 4, 5, 6, 7};
    EXPECT_FALSE(parses(v4Body(0, creationTime(1), sevenByteIssuer)));
    EXPECT_FALSE(parses(v4Body(0, sevenByteIssuer, issuer(kUnhashedIssuer))));
    EXPECT_FALSE(parses(v4Body(0, {4, 2, 0, 0, 1}, issuer(kUnhashedIssuer))));

    // Once set, a later short one is skipped rather than read.
    PGPSigData afterIssuer;
    EXPECT_TRUE(afterIssuer.parse(packetOver(v4Body(0, issuer(kHashedIssuer), sevenByteIssuer))));
    EXPECT_EQ(afterIssuer.keyId, kHashedIssuer);
}

TEST(PGPSigDataTest, Version4OtherSubpacketsAreIgnored) {
    // Critical issuer and creation time (0x90, 0x82), the issuer fingerprint (33), a notation (20).
    const Bytes hashed =
        issuer(kHashedIssuer, 0x90) + Bytes{5, 0x82, 0, 0, 0, 9} + Bytes{22, 33, 4} + filler(20) + Bytes{3, 20, 0, 0};
    PGPSigData sig;
    ASSERT_TRUE(sig.parse(packetOver(v4Body(0, hashed, {}))));
    EXPECT_FALSE(sig.hasKeyId);
    EXPECT_FALSE(sig.hasCreated);
}

TEST(PGPSigDataTest, Version4AreaLengths) {
    EXPECT_TRUE(parses(v4Body(0, creationTime(3), issuer(kUnhashedIssuer))));
    // Fewer than 6 bytes.
    EXPECT_FALSE(parses({4, 0, 1, 8, 0}));
    // Both areas empty, nothing after them: the smallest acceptable body.
    EXPECT_TRUE(parses({4, 0, 1, 8, 0, 0, 0, 0}));
    // No room for the unhashed length.
    EXPECT_FALSE(parses({4, 0, 1, 8, 0, 0, 0}));
    EXPECT_FALSE(parses(Bytes{4, 0, 1, 8, 0, 6} + creationTime(3)));
    // A hashed length that runs past the body.
    EXPECT_FALSE(parses(Bytes{4, 0, 1, 8, 0, 7} + creationTime(3)));
    // An unhashed length one byte too long.
    Bytes unhashedTooLong = Bytes{4, 0, 1, 8, 0, 0, 0, 11} + issuer(kUnhashedIssuer);
    EXPECT_FALSE(parses(unhashedTooLong));
    unhashedTooLong[7] = 10;
    EXPECT_TRUE(parses(unhashedTooLong));
    // A malformed subpacket in either area.
    EXPECT_FALSE(parses(v4Body(0, {0}, {})));
    EXPECT_FALSE(parses(v4Body(0, {}, {230, 16})));
}

TEST(PGPSigDataTest, OnlySignaturePacketsOfVersionThreeOrFour) {
    LogCapture log;
    Bytes body = v4Body(0, issuer(kHashedIssuer), {});
    EXPECT_FALSE(PGPSigData{}.parse(packetOver(body, 6)));  // a public key packet
    EXPECT_FALSE(parses({}));
    EXPECT_TRUE(log.lines().empty());
    for (uint8_t version : {2, 5}) {
        body[0] = version;
        PGPSigData sig;
        EXPECT_FALSE(sig.parse(packetOver(body)));
        EXPECT_FALSE(sig.hasKeyId);
        EXPECT_TRUE(log.has("ERROR: signature packet version " + std::to_string(version) + " unknown"));
    }
}

TEST(PGPSigDataTest, FirstSignaturePacketOfASequence) {
    const Bytes input = packet(6, filler(12)) + packet(2, v4Body(0, issuer(kUnhashedIssuer), {})) +
                        packet(2, v4Body(0, issuer(kHashedIssuer), {}));
    PGPPacketSeq seq;
    ASSERT_TRUE(seq.append(input.data(), input.size()));
    PGPSigData sig;
    ASSERT_TRUE(sig.parse(seq));
    EXPECT_EQ(sig.keyId, kUnhashedIssuer);

    // A bad first signature packet is the answer: the good one after it is not looked at.
    const Bytes badFirst = packet(2, v4Body(0, {8, 16, 1, 2, 3, 4, 5, 6, 7}, {})) + packet(2, v3Body());
    PGPPacketSeq badSeq;
    ASSERT_TRUE(badSeq.append(badFirst.data(), badFirst.size()));
    EXPECT_FALSE(PGPSigData{}.parse(badSeq));

    const Bytes noSignature = packet(6, filler(3)) + packet(13, filler(3));
    PGPPacketSeq keys;
    ASSERT_TRUE(keys.append(noSignature.data(), noSignature.size()));
    EXPECT_FALSE(PGPSigData{}.parse(keys));
    EXPECT_FALSE(PGPSigData{}.parse(PGPPacketSeq{}));
}

TEST(PGPSigDataTest, SignatureMadeByGpg) {
    TempDir dir;
    GpgKeys keys;
    const std::string fingerprint = keys.generate("Signer <signer@example.com>");
    ASSERT_FALSE(fingerprint.empty());
    writeFile(dir / "data", "payload\n");
    ASSERT_TRUE(keys.detachSign(fingerprint, dir / "data", dir / "data.sig", false));
    const std::string bytes = readFile(dir / "data.sig");
    const Bytes input(bytes.begin(), bytes.end());
    PGPPacketSeq seq;
    ASSERT_TRUE(seq.append(input.data(), input.size()));
    ASSERT_EQ(seq.packets().size(), 1u);
    PGPSigData sig;
    ASSERT_TRUE(sig.parse(seq));
    EXPECT_EQ(sig.version, 4);
    EXPECT_TRUE(sig.hasCreated);
    ASSERT_TRUE(sig.hasKeyId);
    EXPECT_EQ(formatKeyId(sig.keyId), GpgKeys::keyIdOf(fingerprint));

    // The exported key is a sequence too: public key, user ID, self-signature (type 0x13,
    // so no key ID is taken from it).
    const Bytes key = keys.exportKey(fingerprint);
    PGPPacketSeq keySeq;
    ASSERT_TRUE(keySeq.append(key.data(), key.size()));
    ASSERT_GE(keySeq.packets().size(), 3u);
    PGPSigData selfSig;
    EXPECT_TRUE(selfSig.parse(keySeq));
    EXPECT_EQ(selfSig.sigType, 0x13);
    EXPECT_FALSE(selfSig.hasKeyId);
}

// Everything the parser returns lies inside the input.
void expectInside(const std::vector<PGPPacket>& records, const uint8_t* begin, size_t size) {
    size_t total = 0;
    for (const PGPPacket& r : records) {
        ASSERT_GE(r.body, begin);
        ASSERT_LE(r.body + r.blen, begin + size);
        ASSERT_LE(r.blen, r.size);
        total += r.size;
    }
    ASSERT_LE(total, size);
}

// Runs every entry point over an exactly-sized heap copy of input; AddressSanitizer turns any
// read past the end into a failure.
void exercise(const Bytes& input) {
    const size_t size = input.size();
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[size]);
    if (size) memcpy(buffer.get(), input.data(), size);
    const uint8_t* bytes = buffer.get();

    PGPPacketSeq packets;
    (void)packets.append(bytes, size);
    expectInside(packets.packets(), bytes, size);
    PGPSigData fromSeq;
    (void)fromSeq.parse(packets);
    for (const PGPPacket& p : packets.packets()) {
        PGPSigData sig;
        (void)sig.parse(p);
    }

    PGPSubPacketSeq subpackets;
    (void)subpackets.append(bytes, size);
    expectInside(subpackets.subpackets(), bytes, size);

    // The whole input as a signature body of version 3 and of version 4.
    if (size >= 1) {
        PGPPacket whole;
        whole.tag = 2;
        whole.size = whole.blen = static_cast<uint32_t>(size);
        whole.body = bytes;
        buffer[0] = 3;
        PGPSigData v3;
        (void)v3.parse(whole);
        buffer[0] = 4;
        PGPSigData v4;
        (void)v4.parse(whole);
    }
}

TEST(PGPParserFuzzTest, RandomBytesOfEveryLength) {
    LogCapture log;
    std::mt19937 rng(20261208);
    std::uniform_int_distribution<int> byte(0, 255);
    for (size_t length = 0; length <= 4096; ++length) {
        Bytes input(length);
        for (uint8_t& b : input) b = static_cast<uint8_t>(byte(rng));
        exercise(input);
        // Plausible area lengths reach the subpacket walk more often than random ones.
        if (length >= 6) {
            const size_t hashed = rng() % length;
            input[4] = static_cast<uint8_t>(hashed >> 8);
            input[5] = static_cast<uint8_t>(hashed);
            exercise(input);
        }
        if (HasFatalFailure()) return;
    }
}

TEST(PGPParserFuzzTest, TruncatedAndMutatedSignatures) {
    LogCapture log;
    const Bytes hashed = creationTime(42) + issuer(kHashedIssuer) + Bytes{22, 33, 4} + filler(20);
    const Bytes v3 = v3Body();
    const Bytes v4 = v4Body(0, {}, issuer(kUnhashedIssuer) + filler(17));
    const Bytes large = v4Body(0, filler(200), filler(44));
    // Every header form: new with 1, 2 and 5 length bytes, old with 1 and 2.
    const Bytes sigs = packet(2, v4Body(0, hashed, issuer(kUnhashedIssuer))) + Bytes{0x88, uint8_t(v3.size())} + v3 +
                       Bytes{0xC2, 255, 0, 0, 0, uint8_t(v4.size())} + v4 +
                       Bytes{0x89, uint8_t(large.size() >> 8), uint8_t(large.size())} + large + packet(2, filler(300));
    PGPPacketSeq whole;
    ASSERT_TRUE(whole.append(sigs.data(), sigs.size()));
    ASSERT_EQ(whole.packets().size(), 5u);
    for (size_t length = 0; length <= sigs.size(); ++length) {
        exercise(Bytes(sigs.begin(), sigs.begin() + length));
        if (HasFatalFailure()) return;
    }

    std::mt19937 rng(7);
    for (int round = 0; round < 3000; ++round) {
        Bytes mutated = sigs;
        const int flips = 1 + static_cast<int>(rng() % 8);
        for (int i = 0; i < flips; ++i) mutated[rng() % mutated.size()] = static_cast<uint8_t>(rng());
        mutated.resize(rng() % (mutated.size() + 1));
        exercise(mutated);
        if (HasFatalFailure()) return;
    }
}

// Signature times: only what the signer signed counts.
SignatureTimes timesOf(const Bytes& bytes) {
    SignatureTimes times;
    EXPECT_TRUE(parseSignatureTimes(bytes.data(), bytes.size(), times));
    return times;
}
Bytes expiry(uint32_t seconds, bool critical = true) {
    return {5,
            uint8_t(critical ? 0x83 : 3),
            uint8_t(seconds >> 24),
            uint8_t(seconds >> 16),
            uint8_t(seconds >> 8),
            uint8_t(seconds)};
}

TEST(SignatureTimesTest, FromTheSignedPartOnly) {
    const SignatureTimes v4 = timesOf(packet(2, v4Body(0, creationTime(1700000000) + expiry(86400), Bytes{})));
    EXPECT_TRUE(v4.hasCreated && v4.created == 1700000000u);
    EXPECT_TRUE(v4.hasExpiry && v4.expiresAfter == 86400u);
    // A creation time or expiry outside the hashed area is anyone's to change.
    const SignatureTimes unsigned_ = timesOf(packet(2, v4Body(0, issuer(kHashedIssuer), creationTime(5) + expiry(1))));
    EXPECT_FALSE(unsigned_.hasCreated || unsigned_.hasExpiry);
    // The first one of the hashed area counts; any signature type (a text signature too).
    const SignatureTimes first = timesOf(packet(2, v4Body(1, creationTime(7) + creationTime(9), creationTime(8))));
    EXPECT_TRUE(first.hasCreated && first.created == 7u);
    const SignatureTimes v3 = timesOf(packet(2, v3Body()));
    EXPECT_TRUE(v3.hasCreated && v3.created == 0x5F5E1000u);
    EXPECT_FALSE(v3.hasExpiry);
}

TEST(SignatureTimesTest, MalformedSignaturesFail) {
    SignatureTimes times;
    for (const Bytes& bad : {Bytes{}, packet(6, filler(10)), packet(2, v3Body(4)), packet(2, Bytes{4, 0, 1}),
                             packet(2, v4Body(0, Bytes{3, 2, 0, 0}, Bytes{})), packet(2, Bytes{5, 0, 1, 8, 0, 0, 0, 0}),
                             Bytes{0xC2, 50, 4}}) {
        EXPECT_FALSE(parseSignatureTimes(bad.data(), bad.size(), times)) << ::testing::PrintToString(bad);
    }
}

TEST(SignatureTimesTest, ArmorForms) {
    Bytes bytes;
    ASSERT_TRUE(dearmorPgp("-----BEGIN PGP SIGNATURE-----\n\nAAEC\nAw==\n=abcd\n-----END PGP SIGNATURE-----\n", bytes));
    EXPECT_EQ(bytes, (Bytes{0, 1, 2, 3}));
    ASSERT_TRUE(
        dearmorPgp("junk\r\n-----BEGIN PGP SIGNATURE-----\r\nComment: x\r\n\r\nAAEC\r\n-----END PGP "
                   "SIGNATURE-----\r\n",
                   bytes));
    EXPECT_EQ(bytes, (Bytes{0, 1, 2}));
    ASSERT_TRUE(dearmorPgp("\xC2\x01\x04", bytes));
    EXPECT_EQ(bytes, (Bytes{0xC2, 1, 4}));
    for (const char* bad :
         {"", "AAEC", "-----BEGIN PGP SIGNATURE-----\n\nAAEC\n", "-----BEGIN PGP SIGNATURE-----\n\nA*EC\n=abcd\n"})
        EXPECT_FALSE(dearmorPgp(bad, bytes)) << bad;
}

TEST(SignatureTimesTest, SignatureMadeByGpgAtAChosenTime) {
    TempDir dir;
    LogCapture log;
    GpgKeys keys;
    const std::string fingerprint = keys.generate("Signer <signer@example.com>");
    ASSERT_FALSE(fingerprint.empty());
    writeFile(dir / "data", "payload\n");
    std::string output;
    ASSERT_TRUE(runTool({"gpg", "--homedir", keys.home(), "--batch", "--yes", "--faked-system-time=1500000000!",
                         "--ignore-time-conflict", "--default-sig-expire", "14d", "--local-user", fingerprint,
                         "--armor", "--output", dir / "data.asc", "--detach-sign", dir / "data"},
                        &output))
        << output;
    SignatureTimes times;
    ASSERT_TRUE(readSignatureTimes(dir / "data.asc", times));
    EXPECT_TRUE(times.hasCreated && times.created == 1500000000u);
    EXPECT_TRUE(times.hasExpiry && times.expiresAfter == 14u * 24 * 3600);
    EXPECT_FALSE(readSignatureTimes(dir / "data", times));
    EXPECT_FALSE(readSignatureTimes(dir / "missing.asc", times));
}

}  // namespace
