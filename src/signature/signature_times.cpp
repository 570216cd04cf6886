#include "signature/signature_times.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/handles.h"
#include "base/logger.h"
#include "base/util.h"
#include "signature/pgp.h"

namespace {

constexpr int kSignaturePacketTag = 2;
constexpr uint8_t kCreationTimeSubpacket = 2;
constexpr uint8_t kExpiryTimeSubpacket = 3;
constexpr uint8_t kCriticalBit = 0x80;
// A detached signature is a few hundred bytes; anything much larger is not one.
constexpr off_t kMaxSignatureFileSize = 64 * 1024;

int base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Base64 up to the first '=' (padding); white space is skipped, anything else fails.
bool decodeBase64(const std::string& text, std::vector<uint8_t>& bytes) {
    uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        if (c == '=') break;
        if (c == ' ' || c == '\t' || c == '\n') continue;
        const int value = base64Value(c);
        if (value < 0) return false;
        bits = (bits << 6) | static_cast<uint32_t>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            bytes.push_back(static_cast<uint8_t>(bits >> count));
        }
    }
    return !bytes.empty();
}

// The next line without its end (LF or CRLF); false at the end of the text.
bool nextLine(const std::string& text, size_t& at, std::string& line) {
    if (at >= text.size()) return false;
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    line = text.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    at = end + 1;
    return true;
}

bool isBlank(const std::string& line) {
    return line.find_first_not_of(" \t") == std::string::npos;
}

// v4: version, type, algorithms, then the hashed area's length and subpackets.
bool parseV4Times(const PGPPacket& packet, SignatureTimes& times) {
    if (packet.blen < 6) return false;
    const uint32_t hashedLength = getPGPVal(packet.body + 4, 2);
    if (hashedLength > packet.blen - 6) return false;
    PGPSubPacketSeq hashed;
    if (!hashed.append(packet.body + 6, hashedLength)) return false;
    for (const PGPPacket& sub : hashed.subpackets()) {
        const uint8_t type = static_cast<uint8_t>(sub.tag) & ~kCriticalBit;
        if (type == kCreationTimeSubpacket && !times.hasCreated) {
            if (sub.blen < 4) return false;
            times.created = getPGPVal(sub.body, 4);
            times.hasCreated = true;
        } else if (type == kExpiryTimeSubpacket && !times.hasExpiry) {
            if (sub.blen < 4) return false;
            times.expiresAfter = getPGPVal(sub.body, 4);
            times.hasExpiry = true;
        }
    }
    return true;
}

}  // namespace

bool dearmorPgp(const std::string& text, std::vector<uint8_t>& bytes) {
    bytes.clear();
    if (!text.empty() && (static_cast<uint8_t>(text[0]) & 0x80)) {
        bytes.assign(text.begin(), text.end());
        return true;
    }
    size_t at = 0;
    std::string line;
    while (nextLine(text, at, line) && line.compare(0, 15, "-----BEGIN PGP ") != 0) {
    }
    if (line.compare(0, 15, "-----BEGIN PGP ") != 0) return false;
    std::string data;
    bool ended = false;
    while (nextLine(text, at, line)) {
        // The checksum line ('=' and four characters) or the end line closes the data.
        if ((line.size() == 5 && line[0] == '=') || line.compare(0, 5, "-----") == 0) {
            ended = true;
            break;
        }
        // Armor headers ("Name: value") and the blank line after them come before the data;
        // base64 has no ':'.
        if (data.empty() && (isBlank(line) || line.find(':') != std::string::npos)) continue;
        data += line;
    }
    return ended && decodeBase64(data, bytes);
}

bool parseSignatureTimes(const uint8_t* bytes, size_t size, SignatureTimes& times) {
    times = SignatureTimes();
    PGPPacketSeq packets;
    if (!packets.append(bytes, size)) return false;
    for (const PGPPacket& packet : packets.packets()) {
        if (packet.tag != kSignaturePacketTag) continue;
        if (packet.blen < 1) return false;
        if (packet.body[0] == 4) return parseV4Times(packet, times);
        if (packet.body[0] != 3) return false;
        // v3: the creation time is part of the five hashed bytes.
        if (packet.blen < 17 || packet.body[1] != 5) return false;
        times.created = getPGPVal(packet.body + 3, 4);
        times.hasCreated = true;
        return true;
    }
    return false;
}

bool readSignatureTimes(const std::string& path, SignatureTimes& times) {
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    struct stat info {};
    if (!fd || fstat(fd.get(), &info) != 0) {
        LOG(Error, "cannot read signature '%s' (%s)", path.c_str(), errnoText().c_str());
        return false;
    }
    if (!S_ISREG(info.st_mode) || info.st_size > kMaxSignatureFileSize) {
        LOG(Error, "signature '%s' is not a signature file", path.c_str());
        return false;
    }
    std::string text(static_cast<size_t>(info.st_size), '\0');
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t got = read(fd.get(), &text[done], text.size() - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            LOG(Error, "cannot read signature '%s' (%s)", path.c_str(), got < 0 ? errnoText().c_str() : "cut short");
            return false;
        }
        done += static_cast<size_t>(got);
    }
    std::vector<uint8_t> bytes;
    if (!dearmorPgp(text, bytes) || !parseSignatureTimes(bytes.data(), bytes.size(), times)) {
        LOG(Error, "no OpenPGP signature in '%s'", path.c_str());
        return false;
    }
    return true;
}
