// Package signature checks on real packages built with rpmbuild and signed with rpmsign by
// gpg keys made here, against a real rpm database holding the trusted ones; and the header
// signature examination over signature entries assembled in memory.
#include <rpm/header.h>
#include <rpm/rpmlib.h>
#include <rpm/rpmmacro.h>
#include <rpm/rpmtag.h>
#include <rpm/rpmtd.h>
#include <rpm/rpmts.h>

#include <filesystem>
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

namespace {

bool copyFile(const std::string& from, const std::string& to) {
    std::error_code error;
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, error);
    EXPECT_FALSE(error) << from << " -> " << to << ": " << error.message();
    return !error;
}

int countContaining(const LogCapture& log, const std::string& part) {
    int count = 0;
    for (const std::string& line : log.lines()) count += line.find(part) != std::string::npos;
    return count;
}

// The header of a package read without any signature check, as the package holds it.
HeaderPtr readUnverified(const std::string& path) {
    RpmTsPtr ts(rpmtsCreate());
    rpmtsSetVSFlags(ts.get(), RPMVSF_MASK_NOSIGNATURES | RPMVSF_MASK_NODIGESTS);
    RpmFdPtr file(Fopen(path.c_str(), "r"));
    Header header = nullptr;
    EXPECT_TRUE(file && !Ferror(file.get())) << path;
    if (file) {
        EXPECT_EQ(rpmReadPackageFile(ts.get(), file.get(), path.c_str(), &header), RPMRC_OK) << path;
    }
    return HeaderPtr(header);
}

// ---------------------------------------------------------------------------------------
// One database trusting an RSA and a DSA key; packages signed by each, by a third key the
// database does not hold, unsigned and damaged after signing. Built once: rpmbuild and gpg
// are the slow part.

TEST(PackageSignatureTest, TrustedRsaOrDsaSignaturesAloneAreAccepted) {
    loadRpmConfig();
    RpmDB::resetRecoveryState();
    TempDir dir("updater-pkgsig");
    GpgKeys keys;
    const std::string rsa = keys.generate("Signing RSA <rsa@example.invalid>", "rsa2048");
    const std::string dsa = keys.generate("Signing DSA <dsa@example.invalid>", "dsa2048");
    const std::string stranger = keys.generate("Stranger <stranger@example.invalid>", "rsa2048");
    ASSERT_FALSE(rsa.empty() || dsa.empty() || stranger.empty());
    const std::string rsaId = keys.listedKeyId(rsa);
    const std::string dsaId = keys.listedKeyId(dsa);
    const std::string strangerId = keys.listedKeyId(stranger);

    const std::string db = dir / "db";
    ASSERT_TRUE(makeKeyDatabase(keys, {rsa, dsa}, db));

    RpmBuilder builder(dir / "build");
    RpmPackageDef def("signed");
    def.files = {{"/usr/share/signed/data", std::string(20000, 'd')}};
    const std::string built = builder.build(def, dir / "built");
    ASSERT_FALSE(built.empty());
    const std::string pkgs = dir / "pkgs";
    makeDirs(pkgs);
    for (const char* name : {"rsa.rpm", "dsa.rpm", "stranger.rpm", "unsigned.rpm", "damaged.rpm"})
        ASSERT_TRUE(copyFile(built, pkgs + "/" + name));
    ASSERT_TRUE(signPackage(pkgs + "/rsa.rpm", keys.home(), rsa));
    ASSERT_TRUE(signPackage(pkgs + "/dsa.rpm", keys.home(), dsa));
    ASSERT_TRUE(signPackage(pkgs + "/stranger.rpm", keys.home(), stranger));
    ASSERT_TRUE(signPackage(pkgs + "/damaged.rpm", keys.home(), rsa));
    // One byte of the signed header changed (its description): neither the header digests
    // nor the signature match any more. rpm reads the package without its payload, so a
    // damaged payload is left to the checksums and to rpm's own install.
    std::string damaged = readFile(pkgs + "/damaged.rpm");
    const std::string description = "Test package signed.";
    const size_t at = damaged.find(description);
    ASSERT_NE(at, std::string::npos);
    ASSERT_EQ(damaged.find(description, at + 1), std::string::npos);
    damaged[at + description.size() - 2] = 'D';
    writeFile(pkgs + "/damaged.rpm", damaged);

    // rpm put each signature where the updater looks for it: header-only, by algorithm.
    {
        HeaderPtr rsaHeader = readUnverified(pkgs + "/rsa.rpm");
        HeaderPtr dsaHeader = readUnverified(pkgs + "/dsa.rpm");
        HeaderPtr plainHeader = readUnverified(pkgs + "/unsigned.rpm");
        ASSERT_TRUE(rsaHeader && dsaHeader && plainHeader);
        EXPECT_TRUE(headerIsEntry(rsaHeader.get(), RPMTAG_RSAHEADER));
        EXPECT_FALSE(headerIsEntry(rsaHeader.get(), RPMTAG_DSAHEADER));
        EXPECT_TRUE(headerIsEntry(dsaHeader.get(), RPMTAG_DSAHEADER));
        EXPECT_FALSE(headerIsEntry(dsaHeader.get(), RPMTAG_RSAHEADER));
        EXPECT_FALSE(headerIsEntry(plainHeader.get(), RPMTAG_RSAHEADER) ||
                     headerIsEntry(plainHeader.get(), RPMTAG_DSAHEADER));
    }

    ScopedMacro dbPath("_dbpath", db);
    RpmDB rpmdb;
    ASSERT_TRUE(rpmdb.open(true));
    rpmts ts = rpmdb.transactionSet();
    ASSERT_TRUE(ts);
    const rpmVSFlags flags = rpmtsVSFlags(ts);
    EXPECT_EQ(flags, static_cast<rpmVSFlags>(RPMVSF_NOHDRCHK));

    {
        SCOPED_TRACE("trusted RSA");
        LogCapture log;
        EXPECT_TRUE(rpmdb.checkPackageSignature(pkgs + "/rsa.rpm"));
        EXPECT_EQ(rpmtsVSFlags(ts), flags);
        // Accepted on the first attempt: the DSA one never ran.
        EXPECT_EQ(log.count("INFO: checking signature of rsa.rpm"), 1);
        EXPECT_TRUE(log.has("TRACE: dumping RSA data to stderr"));
        EXPECT_TRUE(log.has("TRACE: found v4 signature with key ID " + rsaId));
        EXPECT_EQ(countContaining(log, "DSA"), 0);
        EXPECT_EQ(countContaining(log, "ERROR:"), 0);
    }
    {
        SCOPED_TRACE("trusted DSA");
        LogCapture log;
        EXPECT_TRUE(rpmdb.checkPackageSignature(pkgs + "/dsa.rpm"));
        EXPECT_EQ(rpmtsVSFlags(ts), flags);
        // The first attempt finds no RSA signature and says nothing about it.
        EXPECT_EQ(log.count("INFO: checking signature of dsa.rpm"), 1);
        EXPECT_TRUE(log.has("TRACE: dumping DSA data to stderr"));
        EXPECT_TRUE(log.has("TRACE: found v4 signature with key ID " + dsaId));
        EXPECT_EQ(countContaining(log, "RSA"), 0);
        EXPECT_EQ(countContaining(log, "ERROR:"), 0);
    }
    {
        SCOPED_TRACE("untrusted key");
        LogCapture log;
        // rpm itself finds no key for the signature.
        EXPECT_FALSE(rpmdb.checkPackageSignature(pkgs + "/stranger.rpm"));
        EXPECT_EQ(rpmtsVSFlags(ts), flags);
        EXPECT_EQ(log.count("ERROR: failed verifying package 'stranger.rpm'"), 1);
        EXPECT_EQ(countContaining(log, "checking signature"), 0);
        EXPECT_EQ(countContaining(log, "acceptable"), 0);
    }
    {
        SCOPED_TRACE("unsigned");
        LogCapture log;
        EXPECT_FALSE(rpmdb.checkPackageSignature(pkgs + "/unsigned.rpm"));
        EXPECT_EQ(rpmtsVSFlags(ts), flags);
        EXPECT_EQ(countContaining(log, "ERROR:"), 1);
        EXPECT_TRUE(log.has("ERROR: no acceptable signature on package 'unsigned.rpm'"));
        EXPECT_EQ(countContaining(log, "checking signature"), 0);
    }
    {
        SCOPED_TRACE("damaged");
        LogCapture log;
        EXPECT_FALSE(rpmdb.checkPackageSignature(pkgs + "/damaged.rpm"));
        EXPECT_EQ(rpmtsVSFlags(ts), flags);
        EXPECT_EQ(countContaining(log, "ERROR:"), 1);
        EXPECT_TRUE(log.has("ERROR: failed verifying package 'damaged.rpm'"));
    }
    {
        SCOPED_TRACE("missing");
        LogCapture log;
        EXPECT_FALSE(rpmdb.checkPackageSignature(pkgs + "/missing.rpm"));
        EXPECT_EQ(rpmtsVSFlags(ts), flags);
        EXPECT_EQ(countContaining(log, "ERROR: failed opening 'missing.rpm' to check signature: "), 1);
        EXPECT_EQ(countContaining(log, "ERROR:"), 1);
    }

    // A signature that rpm would accept, by a key that is not among the updater's trusted
    // ones, is no acceptable signature either.
    {
        LogCapture log;
        HeaderPtr header = readUnverified(pkgs + "/stranger.rpm");
        ASSERT_TRUE(header);
        EXPECT_FALSE(rpmdb.checkHeaderSignature(header.get(), RPMTAG_RSAHEADER, "RSA", "stranger.rpm"));
        EXPECT_TRUE(log.has("TRACE: found v4 signature with key ID " + strangerId));
        EXPECT_TRUE(log.has("DEBUG: RSA signing key ID " + strangerId + " for package 'stranger.rpm' is not trusted"));
        EXPECT_EQ(countContaining(log, "ERROR:"), 0);
    }

    // Verification flags other than the open's are kept too, and a second object over a
    // database opened with header checks accepts the same.
    rpmtsSetVSFlags(ts, RPMVSF_NOSHA1HEADER | RPMVSF_NOMD5);
    EXPECT_TRUE(rpmdb.checkPackageSignature(pkgs + "/dsa.rpm"));
    EXPECT_EQ(rpmtsVSFlags(ts), static_cast<rpmVSFlags>(RPMVSF_NOSHA1HEADER | RPMVSF_NOMD5));
    RpmDB checking;
    ASSERT_TRUE(checking.open(false));
    const rpmVSFlags checkingFlags = rpmtsVSFlags(checking.transactionSet());
    EXPECT_TRUE(checking.checkPackageSignature(pkgs + "/rsa.rpm"));
    EXPECT_FALSE(checking.checkPackageSignature(pkgs + "/stranger.rpm"));
    EXPECT_EQ(rpmtsVSFlags(checking.transactionSet()), checkingFlags);
}

// ---------------------------------------------------------------------------------------
// Signature entries assembled in memory, checked against an empty database: every way the
// examination of an entry can refuse it.

class HeaderSignatureTest : public ::testing::Test {
protected:
    void SetUp() override {
        loadRpmConfig();
        RpmDB::resetRecoveryState();
        ASSERT_TRUE(initDatabase(m_dir / "db"));
        ScopedMacro dbPath("_dbpath", m_dir / "db");
        ASSERT_TRUE(m_db.open(true));
    }
    // A fresh header holding bytes as a binary entry under tag.
    static HeaderPtr withEntry(rpmTagVal tag, const std::vector<uint8_t>& bytes) {
        HeaderPtr header(headerNew());
        EXPECT_EQ(headerPutBin(header.get(), tag, bytes.data(), static_cast<rpm_count_t>(bytes.size())), 1);
        return header;
    }
    // A v4 signature packet (new format) of a binary document: creation time hashed, the
    // issuer unhashed when given.
    static std::vector<uint8_t> v4Signature(const std::vector<uint8_t>& issuer) {
        std::vector<uint8_t> body = {4, 0x00, 1, 8, 0, 6, 5, 2, 0x5f, 0x00, 0x00, 0x01};
        body.push_back(0);
        body.push_back(issuer.empty() ? 0 : static_cast<uint8_t>(issuer.size() + 2));
        if (!issuer.empty()) {
            body.push_back(static_cast<uint8_t>(issuer.size() + 1));
            body.push_back(16);
            body.insert(body.end(), issuer.begin(), issuer.end());
        }
        body.insert(body.end(), {0xab, 0xcd, 0, 8, 0xff});  // hash start, one MPI
        body.insert(body.begin(), {0xc2, static_cast<uint8_t>(body.size())});
        return body;
    }

    TempDir m_dir{"updater-hdrsig"};
    RpmDB m_db;
};

TEST_F(HeaderSignatureTest, EntriesThatAreNoTrustedV4SignatureAreRefused) {
    LogCapture log;
    const std::vector<uint8_t> issuer = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};

    // No entry: quietly no.
    HeaderPtr empty(headerNew());
    EXPECT_FALSE(m_db.checkHeaderSignature(empty.get(), RPMTAG_RSAHEADER, "RSA", "p.rpm"));
    EXPECT_TRUE(log.lines().empty());

    // An entry that holds no bytes.
    HeaderPtr text(headerNew());
    struct rpmtd_s raw = {};
    raw.tag = RPMTAG_DSAHEADER;
    raw.type = RPM_STRING_TYPE;
    raw.count = 1;
    raw.data = const_cast<char*>("signature");
    ASSERT_EQ(headerPut(text.get(), &raw, HEADERPUT_DEFAULT), 1);
    EXPECT_FALSE(m_db.checkHeaderSignature(text.get(), RPMTAG_DSAHEADER, "DSA", "p.rpm"));
    EXPECT_TRUE(log.has("ERROR: failed to get DSA header entry from package 'p.rpm'"));
    EXPECT_EQ(countContaining(log, "checking signature"), 0);

    // No OpenPGP packets at all; a packet longer than the entry.
    EXPECT_FALSE(m_db.checkHeaderSignature(withEntry(RPMTAG_RSAHEADER, {0x00, 0x01, 0x02}).get(), RPMTAG_RSAHEADER,
                                           "RSA", "p.rpm"));
    EXPECT_FALSE(m_db.checkHeaderSignature(withEntry(RPMTAG_RSAHEADER, {0xc2, 0x40, 0x04}).get(), RPMTAG_RSAHEADER,
                                           "RSA", "p.rpm"));
    EXPECT_EQ(log.count("ERROR: failed extracting RSA header packets from package 'p.rpm'"), 2);
    EXPECT_EQ(log.count("INFO: checking signature of p.rpm"), 2);
    EXPECT_TRUE(log.has("TRACE: dumping RSA data to stderr"));

    // Packets, but no signature among them (a user ID).
    EXPECT_FALSE(m_db.checkHeaderSignature(withEntry(RPMTAG_RSAHEADER, {0xcd, 0x03, 'u', 'i', 'd'}).get(),
                                           RPMTAG_RSAHEADER, "RSA", "p.rpm"));
    EXPECT_TRUE(log.has("ERROR: failed parsing signature data from RSA header from package 'p.rpm'"));

    // A signature without issuer.
    EXPECT_FALSE(m_db.checkHeaderSignature(withEntry(RPMTAG_RSAHEADER, v4Signature({})).get(), RPMTAG_RSAHEADER, "RSA",
                                           "p.rpm"));
    EXPECT_TRUE(log.has("ERROR: could not find key ID from RSA header from package 'p.rpm'"));

    // A v3 signature (old format, one length byte) is understood but never accepted.
    std::vector<uint8_t> v3 = {0x88, 22, 3, 5, 0x00, 0x5f, 0x00, 0x00, 0x01};
    v3.insert(v3.end(), issuer.begin(), issuer.end());
    v3.insert(v3.end(), {1, 8, 0xab, 0xcd, 0, 1, 0x01});
    ASSERT_EQ(v3.size(), 24u);
    EXPECT_FALSE(m_db.checkHeaderSignature(withEntry(RPMTAG_RSAHEADER, v3).get(), RPMTAG_RSAHEADER, "RSA", "p.rpm"));
    EXPECT_TRUE(log.has("TRACE: found v3 signature with key ID 1122334455667788"));
    EXPECT_TRUE(log.has("ERROR: unsupported RSA signature v3 in package 'p.rpm'"));

    // A v4 signature by a key the (empty) database does not hold.
    EXPECT_FALSE(m_db.checkHeaderSignature(withEntry(RPMTAG_DSAHEADER, v4Signature(issuer)).get(), RPMTAG_DSAHEADER,
                                           "DSA", "q.rpm"));
    EXPECT_TRUE(log.has("TRACE: found v4 signature with key ID 1122334455667788"));
    EXPECT_TRUE(log.has("DEBUG: DSA signing key ID 1122334455667788 for package 'q.rpm' is not trusted"));
    EXPECT_TRUE(log.has("DEBUG: read 0 public keys from RPM DB"));
    EXPECT_EQ(countContaining(log, "ERROR:"), 6);
}

TEST_F(HeaderSignatureTest, NoPackageIsAcceptedWithoutKeys) {
    // The package check on a database without keys: a file that is no package fails in rpm.
    writeFile(m_dir / "junk.rpm", std::string(512, 'j'));
    const rpmVSFlags flags = rpmtsVSFlags(m_db.transactionSet());
    LogCapture log;
    EXPECT_FALSE(m_db.checkPackageSignature(m_dir / "junk.rpm"));
    EXPECT_TRUE(log.has("ERROR: failed verifying package 'junk.rpm'"));
    EXPECT_EQ(rpmtsVSFlags(m_db.transactionSet()), flags);
}

}  // namespace
