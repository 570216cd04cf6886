#include "base/checksum.h"

#include <array>
#include <cstdio>

#include <openssl/evp.h>

#include "base/handles.h"
#include "base/list_stream.h"
#include "base/logger.h"
#include "base/util.h"

namespace {

constexpr size_t kReadChunk = 1024;

// Set on the first MD5 checksum met, whether or not the warning passed the threshold,
// so that a later lower threshold does not bring it back.
bool g_md5Warned = false;

// The digest for a published type name, compared case-sensitively; null when refused.
const EVP_MD* selectDigest(const std::string& type) {
    if (type == "sha") return EVP_sha1();
    if (type == "sha256") return EVP_sha256();
    if (type == "md5") {
        if (!g_md5Warned) LOG(Warn, "encountered insecure MD5 checksums: discarding them");
        g_md5Warned = true;
        return nullptr;
    }
    LOG(Error, "unsupported checksum type '%s'", type.c_str());
    return nullptr;
}

bool hashUpdate(EVP_MD_CTX* ctx, const unsigned char* data, size_t size, const std::string& path) {
    if (EVP_DigestUpdate(ctx, data, size) == 1) return true;
    LOG(Error, "failed computing hash for '%s'", path.c_str());
    return false;
}

bool hashFinal(EVP_MD_CTX* ctx, std::vector<unsigned char>& digest, const std::string& path) {
    if (EVP_DigestFinal_ex(ctx, digest.data(), nullptr) == 1) return true;
    LOG(Error, "failed computing hash for '%s'", path.c_str());
    return false;
}

bool digestStored(const std::string& path, EVP_MD_CTX* ctx, std::vector<unsigned char>& digest) {
    FilePtr file(fopen(path.c_str(), "rb"));
    if (!file) {
        LOG(Error, "failed opening '%s' for checksumming (%s)", path.c_str(), errnoText().c_str());
        return false;
    }
    std::array<unsigned char, kReadChunk> buffer;
    while (!feof(file.get())) {
        size_t count = fread(buffer.data(), 1, buffer.size(), file.get());
        if (count < buffer.size() && ferror(file.get())) {
            LOG(Error, "failed while reading from '%s'", path.c_str());
            return false;
        }
        if (count == 0) continue;
        if (!hashUpdate(ctx, buffer.data(), count, path)) return false;
    }
    return hashFinal(ctx, digest, path);
}

// The content the list parser reads too: one gzip stream, or a plain file unchanged.
bool digestDecompressed(const std::string& path, EVP_MD_CTX* ctx, std::vector<unsigned char>& digest, uint64_t maxBytes,
                        const char* origin) {
    ListStream stream;
    if (!stream.open(path, maxBytes, origin)) {
        if (!stream.fileOpened())
            LOG(Error, "failed opening '%s' for checksumming (%s)", path.c_str(), errnoText().c_str());
        return false;
    }
    std::array<unsigned char, kReadChunk> buffer;
    for (;;) {
        long count = stream.read(buffer.data(), buffer.size());
        if (count < 0) return false;
        if (count == 0) break;
        if (!hashUpdate(ctx, buffer.data(), static_cast<size_t>(count), path)) return false;
    }
    return hashFinal(ctx, digest, path);
}

std::string toLowerHex(const std::vector<unsigned char>& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (unsigned char byte : bytes) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0x0f]);
    }
    return text;
}

bool checkDigest(const Checksum& checksum, const std::string& path, bool uncompressed, uint64_t maxOpenBytes,
                 const char* origin) {
    if (checksum.value.empty()) {
        LOG(Error, "attempted to check an empty checksum");
        return false;
    }
    std::vector<unsigned char> digest;
    if (!checksum.digestFile(path, uncompressed, digest, maxOpenBytes, origin)) return false;
    std::string computed = toLowerHex(digest);
    // Published values are taken as they are: upper-case hex is a mismatch, not a variant.
    bool matches = computed == checksum.value;
    LOG(Debug, "'%s' checksum of '%s' (%s) %s against %s", checksum.type.c_str(), path.c_str(), computed.c_str(),
        matches ? "checks" : "FAILS", checksum.value.c_str());
    return matches;
}

}  // namespace

bool Checksum::digestFile(const std::string& path, bool uncompressed, std::vector<unsigned char>& digest,
                          uint64_t maxOpenBytes, const char* origin) const {
    const EVP_MD* md = selectDigest(type);
    if (!md) return false;
    EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) {
        LOG(Debug, "failed initializing hash function '%s'", type.c_str());
        return false;
    }
    digest.resize(static_cast<size_t>(EVP_MD_size(md)));
    return uncompressed ? digestDecompressed(path, ctx.get(), digest, maxOpenBytes, origin)
                        : digestStored(path, ctx.get(), digest);
}

bool Checksum::checkFile(const std::string& path) const {
    return checkDigest(*this, path, false, UINT64_MAX, "");
}

bool Checksum::checkUncompressed(const std::string& path, uint64_t maxOpenBytes, const char* origin) const {
    return checkDigest(*this, path, true, maxOpenBytes, origin);
}
