// The trusted keys of real rpm databases made here with gpg keys and rpm --import, and the
// key text decoding over headers assembled in memory: the texts rpm --import never stores.
#include <rpm/header.h>
#include <rpm/rpmmacro.h>
#include <rpm/rpmtag.h>
#include <rpm/rpmtd.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/handles.h"
#include "fixtures/gpg_keys.h"
#include "fixtures/log_capture.h"
#include "fixtures/rpm_builder.h"
#include "fixtures/rpm_database.h"
#include "fixtures/run_tool.h"
#include "fixtures/temp_dir.h"
#include "rpmdb/dbdata.h"
#include "rpmdb/rpm_compat.h"

namespace {

using KeyList = std::vector<std::vector<uint8_t>>;

KeyId keyIdFromHex(const std::string& hex) {
    KeyId id{};
    EXPECT_EQ(hex.size(), 16u) << hex;
    for (size_t i = 0; i < id.size() && 2 * i + 1 < hex.size(); ++i)
        id[i] = static_cast<uint8_t>(std::strtoul(hex.substr(2 * i, 2).c_str(), nullptr, 16));
    return id;
}

int countContaining(const LogCapture& log, const std::string& part) {
    int count = 0;
    for (const std::string& line : log.lines()) count += line.find(part) != std::string::npos;
    return count;
}

// ---------------------------------------------------------------------------------------
// Real keys: one RSA and one DSA key imported, a third one imported only after the first read.

TEST(TrustedKeysTest, ImportedKeysAreReadOnceWithTheIdsGpgLists) {
    loadRpmConfig();
    RpmDB::resetRecoveryState();
    TempDir dir("updater-trusted-keys");
    GpgKeys keys;
    const std::string rsa = keys.generate("Keys RSA <rsa@example.invalid>", "rsa2048");
    const std::string dsa = keys.generate("Keys DSA <dsa@example.invalid>", "dsa2048");
    const std::string late = keys.generate("Keys Late <late@example.invalid>", "rsa2048");
    ASSERT_FALSE(rsa.empty() || dsa.empty() || late.empty());
    const std::string rsaId = keys.listedKeyId(rsa);
    const std::string dsaId = keys.listedKeyId(dsa);
    const std::string lateId = keys.listedKeyId(late);
    const std::vector<uint8_t> rsaPackets = keys.exportKey(rsa);
    const std::vector<uint8_t> dsaPackets = keys.exportKey(dsa);
    ASSERT_FALSE(rsaPackets.empty() || dsaPackets.empty());

    // The compatibility mapping yields the 8-byte key ID, not rpm 4.18's whole fingerprint.
    KeyId computed{};
    ASSERT_EQ(rpmcompat::pgpPubkeyFingerprint(rsaPackets.data(), rsaPackets.size(), computed.data()), 0);
    EXPECT_EQ(formatKeyId(computed), rsaId);
    ASSERT_EQ(rpmcompat::pgpPubkeyFingerprint(dsaPackets.data(), dsaPackets.size(), computed.data()), 0);
    EXPECT_EQ(formatKeyId(computed), dsaId);
    const uint8_t notAKey[] = {'h', 'e', 'l', 'l', 'o'};
    EXPECT_EQ(rpmcompat::pgpPubkeyFingerprint(notAKey, sizeof notAKey, computed.data()), -1);

    const std::string db = dir / "db";
    ASSERT_TRUE(makeKeyDatabase(keys, {rsa, dsa}, db));
    ScopedMacro dbPath("_dbpath", db);

    LogCapture log;
    RpmDB rpmdb;
    ASSERT_TRUE(rpmdb.open(false));
    // Each key's packets as gpg exported them, in import order.
    const KeyList& read = rpmdb.getPublicKeys();
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[0], rsaPackets);
    EXPECT_EQ(read[1], dsaPackets);
    EXPECT_TRUE(rpmdb.isTrustedKeyId(keyIdFromHex(rsaId)));
    EXPECT_TRUE(rpmdb.isTrustedKeyId(keyIdFromHex(dsaId)));
    EXPECT_FALSE(rpmdb.isTrustedKeyId(keyIdFromHex(lateId)));
    KeyId nearMiss = keyIdFromHex(rsaId);
    nearMiss[7] ^= 1;
    EXPECT_FALSE(rpmdb.isTrustedKeyId(nearMiss));
    EXPECT_TRUE(log.has("DEBUG: added key ID " + rsaId + " found in RPM DB to trusted set"));
    EXPECT_TRUE(log.has("DEBUG: added key ID " + dsaId + " found in RPM DB to trusted set"));
    EXPECT_EQ(countContaining(log, "WARNING:"), 0);

    // A key imported now is seen by a new reader only; the first object keeps what it read.
    ASSERT_TRUE(importKey(keys, late, db, dir / "late.asc"));
    EXPECT_EQ(rpmdb.getPublicKeys().size(), 2u);
    EXPECT_FALSE(rpmdb.isTrustedKeyId(keyIdFromHex(lateId)));
    EXPECT_EQ(log.count("DEBUG: read 2 public keys from RPM DB"), 1);

    KeyList loaded{{0xaa}};
    EXPECT_TRUE(loadTrustedKeys(loaded));
    ASSERT_EQ(loaded.size(), 4u);
    EXPECT_EQ(loaded[0], std::vector<uint8_t>{0xaa});  // appended, nothing replaced
    EXPECT_EQ(loaded[1], rsaPackets);
    EXPECT_EQ(loaded[2], dsaPackets);
    EXPECT_EQ(loaded[3], keys.exportKey(late));
    EXPECT_TRUE(log.has("DEBUG: read 3 public keys from RPM DB"));
    EXPECT_TRUE(log.has("DEBUG: added key ID " + lateId + " found in RPM DB to trusted set"));
    EXPECT_EQ(countContaining(log, "ERROR:"), 0);
}

TEST(TrustedKeysTest, EmptyOrUnopenableDatabaseHasNoKeys) {
    loadRpmConfig();
    RpmDB::resetRecoveryState();
    TempDir dir("updater-trusted-none");
    const std::string db = dir / "db";
    ASSERT_TRUE(initDatabase(db));
    {
        ScopedMacro dbPath("_dbpath", db);
        LogCapture log;
        RpmDB rpmdb;
        ASSERT_TRUE(rpmdb.open(true));
        EXPECT_TRUE(rpmdb.getPublicKeys().empty());
        EXPECT_FALSE(rpmdb.isTrustedKeyId(KeyId{}));
        EXPECT_TRUE(rpmdb.getPublicKeys().empty());
        EXPECT_EQ(log.count("TRACE: no public keys found in rpm db"), 1);
        EXPECT_EQ(log.count("DEBUG: read 0 public keys from RPM DB"), 1);

        KeyList loaded;
        EXPECT_TRUE(loadTrustedKeys(loaded));
        EXPECT_TRUE(loaded.empty());
        EXPECT_EQ(log.count("DEBUG: read 0 public keys from RPM DB"), 2);
    }

    // Not a database: no recovery either (rpm 4.18 defines no Berkeley DB _dbapi).
    const std::string broken = dir / "broken";
    writeFile(broken + "/rpmdb.sqlite", std::string(8192, 'x'));
    ScopedMacro dbPath("_dbpath", broken);
    LogCapture log;
    KeyList loaded{{1, 2, 3}};
    EXPECT_FALSE(loadTrustedKeys(loaded));
    EXPECT_EQ(loaded, (KeyList{{1, 2, 3}}));
    EXPECT_TRUE(log.has("ERROR: failed opening rpm DB"));
    EXPECT_EQ(countContaining(log, "public keys"), 0);
    RpmDB::resetRecoveryState();
}

// ---------------------------------------------------------------------------------------
// Key texts in headers made in memory.

class KeyTextTest : public ::testing::Test {
protected:
    void SetUp() override {
        loadRpmConfig();
        ASSERT_TRUE(m_decoder);
    }

    // Reads a header whose key entry holds texts (one plain string when single is set).
    void readTexts(const std::vector<std::string>& texts, bool single = false) {
        HeaderPtr header(headerNew());
        ASSERT_TRUE(header);
        if (single) {
            ASSERT_EQ(texts.size(), 1u);
            ASSERT_EQ(putRaw(header.get(), RPM_STRING_TYPE, 1, const_cast<char*>(texts[0].c_str())), 1);
        } else {
            std::vector<const char*> pointers;
            for (const std::string& text : texts) pointers.push_back(text.c_str());
            ASSERT_EQ(headerPutStringArray(header.get(), RPMTAG_PUBKEYS, pointers.data(),
                                           static_cast<rpm_count_t>(pointers.size())),
                      1);
        }
        readHeaderPublicKeys(header.get(), m_decoder.get(), m_keys, m_ids);
    }
    static int putRaw(Header header, rpmTagType type, rpm_count_t count, void* data) {
        struct rpmtd_s raw = {};
        raw.tag = RPMTAG_PUBKEYS;
        raw.type = type;
        raw.count = count;
        raw.data = data;
        return headerPut(header, &raw, HEADERPUT_DEFAULT);
    }

    EvpEncodeCtxPtr m_decoder{EVP_ENCODE_CTX_new()};
    KeyList m_keys;
    std::set<KeyId> m_ids;
    LogCapture m_log;
};

TEST_F(KeyTextTest, BadTextsAreSkippedAndTheOthersKept) {
    // No entry, and an entry of the wrong type.
    HeaderPtr none(headerNew());
    readHeaderPublicKeys(none.get(), m_decoder.get(), m_keys, m_ids);
    EXPECT_TRUE(m_log.lines().empty());
    HeaderPtr numbers(headerNew());
    uint32_t values[2] = {1, 2};
    ASSERT_EQ(putRaw(numbers.get(), RPM_INT32_TYPE, 2, values), 1);
    readHeaderPublicKeys(numbers.get(), m_decoder.get(), m_keys, m_ids);
    EXPECT_TRUE(m_log.has("WARNING: failed reading public key entry"));

    // Too short, refused by the decoder (a stray character, data after the padding, a cut
    // group), decoding to nothing; then base64 that is no key: kept, without a key ID.
    readTexts({"", "QQ", "QU*D", "QQ==QUJD", "QUJDR", "====", "    ", "QUJD"});
    EXPECT_EQ(m_log.count("WARNING: failed base64 decode of public key data"), 7);
    ASSERT_EQ(m_keys.size(), 1u);
    EXPECT_EQ(m_keys[0], (std::vector<uint8_t>{'A', 'B', 'C'}));
    EXPECT_TRUE(m_ids.empty());
    EXPECT_EQ(m_log.count("WARNING: failed to get key ID from public key in data"), 1);

    // One text stored as a plain string counts as one; the entry before is not disturbed.
    readTexts({"QUJDRA=="}, true);
    ASSERT_EQ(m_keys.size(), 2u);
    EXPECT_EQ(m_keys[1], (std::vector<uint8_t>{'A', 'B', 'C', 'D'}));
    EXPECT_EQ(m_log.count("WARNING: failed to get key ID from public key in data"), 2);
    EXPECT_EQ(countContaining(m_log, "added key ID"), 0);
}

TEST_F(KeyTextTest, NoTextOverflowsTheDecodingBuffer) {
    // Several megabytes, across the pieces the decoder is fed in: exactly 3/4 of the text
    // when it is all base64, a refusal when its last group is cut.
    const std::string big(3 * 1024 * 1024 + 8, 'A');
    readTexts({big, big + "A", big + "\n" + big});
    ASSERT_EQ(m_keys.size(), 2u);
    EXPECT_EQ(m_keys[0].size(), big.size() / 4 * 3);
    EXPECT_EQ(m_keys[1].size(), big.size() / 2 * 3);
    EXPECT_EQ(m_log.count("WARNING: failed base64 decode of public key data"), 1);

    // Every length up to a few hundred characters of base64 alphabet, padding, white space,
    // line breaks, the decoder's end marker and arbitrary bytes, in random mixes: whatever
    // comes out fits the L - L/4 bytes of its text.
    const std::string alphabets[] = {
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/",
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/====\n\r\t -",
        "AB=\n",
    };
    std::mt19937 generator(1234);
    for (size_t length = 0; length <= 400; ++length) {
        for (int mix = 0; mix < 4; ++mix) {
            std::string text;
            for (size_t i = 0; i < length; ++i) {
                if (mix == 3) {
                    text += static_cast<char>(1 + generator() % 255);  // any byte but the terminator
                } else {
                    const std::string& alphabet = alphabets[mix];
                    text += alphabet[generator() % alphabet.size()];
                }
            }
            const size_t before = m_keys.size();
            readTexts({text});
            if (m_keys.size() > before) {
                EXPECT_GT(m_keys.back().size(), 0u);
                EXPECT_LE(m_keys.back().size(), length - length / 4) << "text: " << text;
            }
            if (mix == 0 && length % 4 == 0 && length > 0) {
                ASSERT_EQ(m_keys.size(), before + 1) << "text: " << text;
                EXPECT_EQ(m_keys.back().size(), length / 4 * 3);
            }
        }
    }
    EXPECT_TRUE(m_ids.empty());
}

}  // namespace
