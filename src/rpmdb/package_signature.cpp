// Package signature checks: rpm verifies the digests and a header signature against the
// database's keys; on top of that the signature must be a v4 one made by a trusted key.
#include <rpm/header.h>
#include <rpm/rpmio.h>
#include <rpm/rpmlib.h>
#include <rpm/rpmpgp.h>
#include <rpm/rpmtag.h>
#include <rpm/rpmtd.h>
#include <rpm/rpmts.h>

#include "base/logger.h"
#include "base/util.h"
#include "rpmdb/dbdata.h"

namespace {

static_assert(RPMVSF_NODSAHEADER == 1024 && RPMVSF_NORSAHEADER == 2048, "rpm's header signature flags moved");
static_assert(RPMTAG_DSAHEADER == 267 && RPMTAG_RSAHEADER == 268, "rpm's header signature tags moved");

// Each attempt has rpm verify one kind of header signature (the other one switched off) and
// then examines that kind's entry.
struct SignatureAttempt {
    const char* name;
    rpmVSFlags flags;
    rpmTagVal tag;
};

const SignatureAttempt kAttempts[] = {
    {"RSA", RPMVSF_NODSAHEADER, RPMTAG_RSAHEADER},
    {"DSA", RPMVSF_NORSAHEADER, RPMTAG_DSAHEADER},
};

// Puts the transaction set's verification flags back and drops what a package read left in
// it, whichever way the check ends.
class VerifyFlagsRestorer {
public:
    VerifyFlagsRestorer(rpmts ts, rpmVSFlags saved) : m_ts(ts), m_saved(saved) {}
    ~VerifyFlagsRestorer() {
        rpmtsSetVSFlags(m_ts, m_saved);
        rpmtsEmpty(m_ts);
    }
    VerifyFlagsRestorer(const VerifyFlagsRestorer&) = delete;
    VerifyFlagsRestorer& operator=(const VerifyFlagsRestorer&) = delete;

private:
    rpmts m_ts;
    rpmVSFlags m_saved;
};

}  // namespace

bool RpmDB::checkHeaderSignature(Header header, rpmTagVal tag, const char* attempt, const std::string& fileName) {
    if (!headerIsEntry(header, tag)) return false;
    RpmTdPtr entry(rpmtdNew());
    if (!entry || !headerGet(header, tag, entry.get(), HEADERGET_MINMEM) || rpmtdType(entry.get()) != RPM_BIN_TYPE ||
        !entry->data) {
        LOG(Error, "failed to get %s header entry from package '%s'", attempt, fileName.c_str());
        return false;
    }
    const uint8_t* bytes = static_cast<const uint8_t*>(entry->data);
    // rpmtdCount calls a binary entry one value; its count is the number of bytes.
    const size_t size = entry->count;

    LOG(Info, "checking signature of %s", fileName.c_str());
    if (Logger::instance().passes(LogLevel::Trace)) {
        LOG(Trace, "dumping %s data to stderr", attempt);
        PgpDigPtr dig(pgpNewDig());
        pgpPrtPkts(bytes, size, dig.get(), 1);
    }

    PGPPacketSeq packets;
    if (!packets.append(bytes, size)) {
        LOG(Error, "failed extracting %s header packets from package '%s'", attempt, fileName.c_str());
        return false;
    }
    PGPSigData signature;
    if (!signature.parse(packets)) {
        LOG(Error, "failed parsing signature data from %s header from package '%s'", attempt, fileName.c_str());
        return false;
    }
    if (!signature.hasKeyId) {
        LOG(Error, "could not find key ID from %s header from package '%s'", attempt, fileName.c_str());
        return false;
    }
    LOG(Trace, "found v%u signature with key ID %s", static_cast<unsigned>(signature.version),
        formatKeyId(signature.keyId).c_str());
    // rpm still verifies v3 signatures; this updater accepts only v4 ones.
    if (signature.version != 4) {
        LOG(Error, "unsupported %s signature v%u in package '%s'", attempt, static_cast<unsigned>(signature.version),
            fileName.c_str());
        return false;
    }
    if (!isTrustedKeyId(signature.keyId)) {
        LOG(Debug, "%s signing key ID %s for package '%s' is not trusted", attempt,
            formatKeyId(signature.keyId).c_str(), fileName.c_str());
        return false;
    }
    return true;
}

bool RpmDB::checkPackageSignature(const std::string& path) {
    const std::string fileName = lastPathComponent(path);
    rpmts ts = m_ts.get();
    // Declared first: the header and the file go before the flags come back.
    VerifyFlagsRestorer restorer(ts, rpmtsSetVSFlags(ts, 0));
    RpmFdPtr file;
    HeaderPtr header;

    for (const SignatureAttempt& attempt : kAttempts) {
        if (header) {
            // Only a package that carries this kind of signature gets another read.
            if (!headerIsEntry(header.get(), attempt.tag)) break;
            header.reset();
        }
        file.reset(Fopen(path.c_str(), "r"));
        if (!file || Ferror(file.get())) {
            LOG(Error, "failed opening '%s' to check signature: %s", fileName.c_str(), Fstrerror(file.get()));
            return false;
        }
        rpmtsSetVSFlags(ts, attempt.flags);
        Header read = nullptr;
        const rpmRC result = rpmReadPackageFile(ts, file.get(), fileName.c_str(), &read);
        header.reset(read);
        if (result != RPMRC_OK) {
            LOG(Error, "failed verifying package '%s'", fileName.c_str());
            return false;
        }
        if (!header) {
            LOG(Error, "no header on package '%s'", fileName.c_str());
            return false;
        }
        if (checkHeaderSignature(header.get(), attempt.tag, attempt.name, fileName)) return true;
        file.reset();
        rpmtsEmpty(ts);
    }
    LOG(Error, "no acceptable signature on package '%s'", fileName.c_str());
    return false;
}
