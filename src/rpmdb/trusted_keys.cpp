// The trusted keys: the OpenPGP public keys imported into the rpm database, each stored as
// the base64 text of its packets in the "gpg-pubkey" entries.
#include <rpm/header.h>
#include <rpm/rpmtag.h>
#include <rpm/rpmtd.h>
#include <rpm/rpmts.h>

#include <algorithm>
#include <cstring>
#include <limits>

#include "base/logger.h"
#include "rpmdb/dbdata.h"
#include "rpmdb/rpm_compat.h"

namespace {

// OpenSSL counts in int; a longer text goes to the decoder in pieces of this size.
constexpr size_t kDecodePiece = size_t{1} << 20;
static_assert(kDecodePiece <= static_cast<size_t>(std::numeric_limits<int>::max()) / 4 * 3,
              "a piece's output must fit an int");

// One base64 text into key. The decoder turns every four characters it keeps into at most
// three bytes and drops the rest, so its output, over all pieces and the final flush, never
// exceeds 3 * (L / 4) <= L - L / 4 bytes for a text of L characters: the buffer below holds
// the worst case, whatever the characters.
bool decodeKeyText(EVP_ENCODE_CTX* decoder, const char* text, std::vector<uint8_t>& key) {
    const size_t length = std::strlen(text);
    bool decodedOk = length >= 3;
    std::vector<uint8_t> buffer;
    size_t decoded = 0;
    if (decodedOk) {
        buffer.resize(length - length / 4);
        EVP_DecodeInit(decoder);
        for (size_t offset = 0; decodedOk && offset < length; offset += kDecodePiece) {
            const size_t piece = std::min(kDecodePiece, length - offset);
            int written = 0;
            decodedOk =
                EVP_DecodeUpdate(decoder, buffer.data() + decoded, &written,
                                 reinterpret_cast<const unsigned char*>(text + offset), static_cast<int>(piece)) >= 0;
            if (decodedOk) decoded += static_cast<size_t>(written);
        }
        if (decodedOk) {
            int written = 0;
            decodedOk = EVP_DecodeFinal(decoder, buffer.data() + decoded, &written) >= 0;
            if (decodedOk) decoded += static_cast<size_t>(written);
        }
    }
    if (!decodedOk || decoded == 0) {
        LOG(Warn, "failed base64 decode of public key data");
        return false;
    }
    buffer.resize(decoded);
    key = std::move(buffer);
    return true;
}

}  // namespace

void readHeaderPublicKeys(Header header, EVP_ENCODE_CTX* decoder, std::vector<std::vector<uint8_t>>& keys,
                          std::set<KeyId>& keyIds) {
    if (!headerIsEntry(header, RPMTAG_PUBKEYS)) return;
    RpmTdPtr texts(rpmtdNew());
    if (!texts || !headerGet(header, RPMTAG_PUBKEYS, texts.get(), HEADERGET_MINMEM) ||
        (rpmtdType(texts.get()) != RPM_STRING_ARRAY_TYPE && rpmtdType(texts.get()) != RPM_STRING_TYPE)) {
        LOG(Warn, "failed reading public key entry");
        return;
    }
    rpmtdInit(texts.get());
    while (const char* text = rpmtdNextString(texts.get())) {
        std::vector<uint8_t> key;
        if (!decodeKeyText(decoder, text, key)) continue;
        keys.push_back(std::move(key));
        const std::vector<uint8_t>& stored = keys.back();
        KeyId keyId{};
        if (rpmcompat::pgpPubkeyFingerprint(stored.data(), stored.size(), keyId.data()) != 0) {
            LOG(Warn, "failed to get key ID from public key in data");
            continue;
        }
        keyIds.insert(keyId);
        LOG(Debug, "added key ID %s found in RPM DB to trusted set", formatKeyId(keyId).c_str());
    }
}

void RpmDB::readPublicKeys() {
    // Once per object, even when nothing turns up.
    m_keysLoaded = true;
    RpmDbIteratorPtr iterator(rpmtsInitIterator(m_ts.get(), RPMTAG_NAME, "gpg-pubkey", 0));
    if (!iterator) {
        LOG(Trace, "no public keys found in rpm db");
    } else {
        EvpEncodeCtxPtr decoder(EVP_ENCODE_CTX_new());
        if (!decoder) {
            LOG(Error, "failed to allocate base64 decoding context");
        } else {
            while (Header header = rpmcompat::rpmmiNext(iterator.get()))
                readHeaderPublicKeys(header, decoder.get(), m_publicKeys, m_trustedKeyIds);
        }
        decoder.reset();
        iterator.reset();
        rpmtsEmpty(m_ts.get());
    }
    LOG(Debug, "read %zu public keys from RPM DB", m_publicKeys.size());
}

const std::vector<std::vector<uint8_t>>& RpmDB::getPublicKeys() {
    if (!m_keysLoaded) readPublicKeys();
    return m_publicKeys;
}

bool RpmDB::isTrustedKeyId(const KeyId& keyId) {
    if (!m_keysLoaded) readPublicKeys();
    return m_trustedKeyIds.count(keyId) != 0;
}

bool loadTrustedKeys(std::vector<std::vector<uint8_t>>& keys) {
    RpmDB db;
    if (!db.open(false)) {
        LOG(Error, "failed opening rpm DB");
        return false;
    }
    const std::vector<std::vector<uint8_t>>& found = db.getPublicKeys();
    keys.insert(keys.end(), found.begin(), found.end());
    return true;
}
