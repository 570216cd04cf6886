// Read-only access to the rpm database: the installed packages and whether the database
// holds public keys. The updater never writes the database; the rpm command does.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config/handles.h"
#include "repository/package.h"
#include "resolver/dependency.h"

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
    bool open(bool skipHeaderCheck);
    bool isOpen() const { return static_cast<bool>(m_ts); }

    // The operations below need an open object.

    // Whether some "gpg-pubkey" entry carries a public key.
    bool hasPublicKeys();
    // Every installed package by name, several of one name in database order. None when any
    // header cannot be read: a partial list would make the resolver wrong.
    std::optional<PackageMap> getInstalledPackages();

    // Forgets that the process opened the database or tried its recovery, so that one test
    // process can check the recovery path more than once. Never called by the updater.
    static void resetRecoveryState();

private:
    // Filled on first use by the signature checks: the public key packets of the database,
    // the IDs of the keys they hold (8 bytes each) and whether they were read.
    std::vector<std::vector<uint8_t>> m_publicKeys;
    std::vector<std::array<uint8_t, 8>> m_trustedKeyIds;
    bool m_keysLoaded = false;
    // Declared last so that it is released before the key lists; none while closed.
    RpmTsPtr m_ts;
};

// The tag's single string value (or the first of a string array) into out. True when the tag
// holds exactly one value; a value that is no string leaves out unchanged.
bool readStringTag(Header header, rpmTagVal tag, std::string& out);
// The package's epoch: one 16- or 32-bit integer. The caller has checked that the tag exists.
bool readEpochTag(Header header, uint32_t& epoch);
// The requires (RPMTAG_REQUIRENAME) or provides (RPMTAG_PROVIDENAME) of a header into out,
// without rpmlib() and missing-ok entries and with the flags cut to the sense bits. A header
// without any tag of the family has no such dependencies and succeeds.
bool readDependencies(Header header, rpmTagVal nameTag, DependencySet& out);
