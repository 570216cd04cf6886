// OpenPGP packet framing and signature parsing, as applied to a package's signature header,
// and the signing times of a repository index signature, armored or binary.
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "signature/pgp.h"
#include "signature/signature_times.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quietLogger();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    PGPPacketSeq packets;
    (void)packets.append(data, size);
    PGPSigData first;
    if (first.parse(packets) && first.hasKeyId) (void)formatKeyId(first.keyId);
    // Every packet on its own, also those after the first signature.
    for (const PGPPacket& packet : packets.packets()) {
        if (packet.body + packet.blen > data + size) abort();
        PGPSigData signature;
        (void)signature.parse(packet);
    }
    PGPSubPacketSeq subpackets;
    (void)subpackets.append(data, size);
    for (const PGPPacket& sub : subpackets.subpackets())
        if (sub.body + sub.blen > data + size) abort();

    SignatureTimes times;
    (void)parseSignatureTimes(data, size, times);
    std::vector<uint8_t> dearmored;
    if (dearmorPgp(std::string(reinterpret_cast<const char*>(data), size), dearmored))
        (void)parseSignatureTimes(dearmored.data(), dearmored.size(), times);
    return 0;
}
