// Read-only access to the rpm database: the installed packages, the public keys it trusts and
// the package signature check against them. The updater never writes the database; the rpm
// command does.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/handles.h"
#include "package/dependency.h"
#include "package/package.h"
#include "package/package_store.h"
#include "signature/pgp.h"

// One read-only view of the database through an rpm transaction set. Each client opens its
// own for one task; destroying it is the only way to close the database.
class RpmDB {
public:
    RpmDB() = default;
    ~RpmDB();
    RpmDB(const RpmDB&) = delete;
    RpmDB& operator=(const RpmDB&) = delete;

    // Opens the database read-only, running the Berkeley DB recovery once per process when
    // the first open fails. skipHeaderCheck: headers are not verified against their digests
    // (slow on the device). Refused on an open object; a failure leaves it closed.
    [[nodiscard]] bool open(bool skipHeaderCheck);
    bool isOpen() const { return static_cast<bool>(m_ts); }

    // The operations below need an open object.

    // Whether some "gpg-pubkey" entry carries a public key.
    [[nodiscard]] bool hasPublicKeys();
    // Every installed package, names sorted, several of one name in database order. None
    // when any header cannot be read: a partial list would make the resolver wrong.
    [[nodiscard]] std::optional<PackageStore> getInstalledPackages();

    // The decoded public key packets of the "gpg-pubkey" entries, in database order, also
    // those whose key ID could not be computed. Read on first use, then kept: keys imported
    // later are not seen by this object.
    const std::vector<std::vector<uint8_t>>& getPublicKeys();
    // Whether the key with this ID is one of the database's (read on first use).
    [[nodiscard]] bool isTrustedKeyId(const KeyId& keyId);

    // Whether the header's signature entry under tag (RPMTAG_RSAHEADER or RPMTAG_DSAHEADER)
    // is a v4 OpenPGP signature by a trusted key. attempt ("RSA", "DSA") and fileName only
    // name things in messages. A header without the entry fails without a message.
    [[nodiscard]] bool checkHeaderSignature(Header header, rpmTagVal tag, const char* attempt,
                                            const std::string& fileName);
    // Whether the package file verifies with rpm (digests and header signature, against the
    // database's keys) and carries an RSA, or else a DSA, header signature by a trusted key.
    // The transaction set's verification flags are as before afterwards.
    [[nodiscard]] bool checkPackageSignature(const std::string& path);

    // The rpm transaction set, none while closed; owned by this object.
    rpmts transactionSet() const { return m_ts.get(); }

    // Forgets that the process opened the database or tried its recovery, so that one test
    // process can check the recovery path more than once. Never called by the updater.
    static void resetRecoveryState();

private:
    void readPublicKeys();

    // Filled on first use by the signature checks: the public key packets of the database,
    // the IDs of the keys they hold and whether they were read.
    std::vector<std::vector<uint8_t>> m_publicKeys;
    std::set<KeyId> m_trustedKeyIds;
    bool m_keysLoaded = false;
    // Declared last so that it is released before the key lists; none while closed.
    RpmTsPtr m_ts;
};

// The tag's single string value (or the first of a string array) into out. True when the tag
// holds exactly one value; a value that is no string leaves out unchanged.
[[nodiscard]] bool readStringTag(Header header, rpmTagVal tag, std::string& out);
// The package's epoch: one 16- or 32-bit integer. The caller has checked that the tag exists.
[[nodiscard]] bool readEpochTag(Header header, uint32_t& epoch);
// The requires (RPMTAG_REQUIRENAME) or provides (RPMTAG_PROVIDENAME) of a header into out,
// without rpmlib() and missing-ok entries and with the flags cut to the sense bits. A header
// without any tag of the family has no such dependencies and succeeds.
[[nodiscard]] bool readDependencies(Header header, rpmTagVal nameTag, DependencySet& out);

// Appends a copy of every public key of the rpm database to keys, through a database opened
// for this call alone (so it sees the database as it is now). Zero keys is success.
[[nodiscard]] bool loadTrustedKeys(std::vector<std::vector<uint8_t>>& keys);

// The keys of one "gpg-pubkey" header: each base64 text of its RPMTAG_PUBKEYS entry decoded
// with decoder and appended to keys, and the ID of each key that yields one inserted into
// keyIds. A text that is not a key is skipped with a warning; no text can make the decoding
// write past its buffer, whatever its length or content. A header without the entry adds
// nothing.
void readHeaderPublicKeys(Header header, EVP_ENCODE_CTX* decoder, std::vector<std::vector<uint8_t>>& keys,
                          std::set<KeyId>& keyIds);
