#include "rpmdb/dbdata.h"

#include <dirent.h>
#include <fcntl.h>
#include <rpm/header.h>
#include <rpm/rpmdb.h>
#include <rpm/rpmds.h>
#include <rpm/rpmmacro.h>
#include <rpm/rpmtag.h>
#include <rpm/rpmtd.h>
#include <rpm/rpmts.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "base/child_process.h"
#include "base/logger.h"
#include "base/util.h"
#include "rpmdb/rpm_compat.h"

namespace {

// Set by the first successful open or the first recovery attempt, whichever comes first:
// recovery runs at most once per process, and never once the database has opened.
bool g_openedOrRecovered = false;

// rpmlib() capabilities are rpm's own; missing-ok entries are hints, not requirements.
constexpr uint32_t kSkippedDependencyFlags = RPMSENSE_RPMLIB | RPMSENSE_MISSINGOK;
static_assert(kSkippedDependencyFlags == 0x1080000, "rpm's rpmlib and missing-ok bits moved");
static_assert(RPMVSF_NOHDRCHK == 1, "rpm's no-header-check flag moved");

struct DependencyTags {
    rpmTagVal names;
    rpmTagVal flags;
    rpmTagVal versions;
    const char* word;  // as the log lines name the family
};

const DependencyTags kDependencyFamilies[] = {
    {RPMTAG_REQUIRENAME, RPMTAG_REQUIREFLAGS, RPMTAG_REQUIREVERSION, "requires"},
    {RPMTAG_PROVIDENAME, RPMTAG_PROVIDEFLAGS, RPMTAG_PROVIDEVERSION, "provides"},
};

const DependencyTags* dependencyFamily(rpmTagVal nameTag) {
    for (const DependencyTags& family : kDependencyFamilies)
        if (family.names == nameTag) return &family;
    return nullptr;
}

// db_recover -f -v -h DIR over the configured database directory.
bool runRecovery() {
    ChildProcess recover("db_recover");
    recover.addArg("-f");
    recover.addArg("-v");
    recover.addArg("-h");
    MallocTextPtr dbPath(rpmGetPath("%{?_dbpath}", nullptr));
    if (!dbPath || dbPath.get()[0] == '\0') {
        LOG(Error, "failed to get rpm DB path");
        return false;
    }
    recover.addArg(dbPath.get());
    if (!recover.run() || !recover.exited() || recover.exitCode() != 0) {
        LOG(Error, "rpm DB BDB recovery failed");
        return false;
    }
    return true;
}

// rpm creates an empty database wherever none exists, even for a read-only open: a device
// whose database went missing would then look as if nothing were installed, and an update
// would install over files no database knows about. Only an existing, non-empty database
// directory is opened.
bool databasePresent() {
    MallocTextPtr dbPath(rpmGetPath("%{?_dbpath}", nullptr));
    if (!dbPath || dbPath.get()[0] == '\0') {
        LOG(Error, "failed to get rpm DB path");
        return false;
    }
    DirPtr dir(opendir(dbPath.get()));
    if (!dir) {
        LOG(Error, "no rpm DB in '%s' (%s)", dbPath.get(), errnoText().c_str());
        return false;
    }
    while (const struct dirent* entry = readdir(dir.get())) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) return true;
    }
    LOG(Error, "no rpm DB in '%s' (empty directory)", dbPath.get());
    return false;
}

// A Berkeley DB left inconsistent by an interrupted rpm refuses to open until recovered;
// other backends have no such procedure, hence the check of the configured one.
bool openWithRecovery(rpmts ts) {
    for (;;) {
        if (rpmtsOpenDB(ts, O_RDONLY) == 0) {
            g_openedOrRecovered = true;
            return true;
        }
        if (g_openedOrRecovered) return false;
        g_openedOrRecovered = true;
        std::optional<std::string> dbApi = rpmcompat::expandDbApi();
        if (!dbApi || *dbApi != "3") return false;
        LOG(Warn, "rpm DB opening failed and using BDB, attempting recovery");
        if (!runRecovery()) return false;
        LOG(Info, "rpm DB recovery successful, reopening rpm DB");
    }
}

// One header into a record; false after logging what failed (the caller adds the
// consequence).
bool readPackage(Header header, Package& package) {
    if (!readStringTag(header, RPMTAG_NAME, package.name) ||
        !readStringTag(header, RPMTAG_VERSION, package.evr.version) ||
        !readStringTag(header, RPMTAG_RELEASE, package.evr.release)) {
        LOG(Error, "failed while iterating on rpm DB");
        return false;
    }
    if (headerIsEntry(header, RPMTAG_EPOCH) && !readEpochTag(header, package.evr.epoch)) {
        LOG(Error, "failed while iterating on rpm DB");
        return false;
    }
    LOG(Trace, "getting dependencies for package '%s'", package.name.c_str());
    if (!readDependencies(header, RPMTAG_REQUIRENAME, package.requires)) {
        LOG(Error, "failed getting requires for package '%s'", package.name.c_str());
        return false;
    }
    if (!readDependencies(header, RPMTAG_PROVIDENAME, package.provides)) {
        LOG(Error, "failed getting provides for package '%s'", package.name.c_str());
        return false;
    }
    return true;
}

// rpm's iterator passes over a header it cannot read with only a log line: the package
// would count as not installed, and never be updated again. So the headers read are
// compared with those the database lists.
bool allHeadersRead(rpmts ts, unsigned iterated) {
    const std::optional<unsigned> listed = rpmcompat::countIndexedHeaders(ts);
    if (!listed) {
        LOG(Error, "failed counting the packages of the rpm DB");
        return false;
    }
    if (*listed != iterated) {
        LOG(Error, "rpm DB damaged: %u of %u package headers could not be read", *listed - std::min(*listed, iterated),
            *listed);
        return false;
    }
    return true;
}

// A database whose pages are garbage may still open, and a lookup by name in a garbage index
// finds nothing: the device would seem to hold no keys. So both the headers and the name
// index must be readable.
bool databaseReadable(rpmts ts) {
    RpmDbIteratorPtr all(rpmtsInitIterator(ts, RPMDBI_PACKAGES, nullptr, 0));
    // A count below zero is a failed lookup; no such package counts 0.
    return all && rpmdbCountPackages(rpmtsGetRdb(ts), "gpg-pubkey") >= 0;
}

}  // namespace

RpmDB::~RpmDB() {
    rpmcompat::rpmioFreePoolItem(m_ts.release());
}

void RpmDB::resetRecoveryState() {
    g_openedOrRecovered = false;
}

bool RpmDB::open(bool skipHeaderCheck) {
    if (m_ts) {
        LOG(Error, "attempted to reopen an opened RpmDB");
        return false;
    }
    RpmTsPtr ts(rpmtsCreate());
    if (!ts) {
        LOG(Error, "failed opening rpm transaction");
        return false;
    }
    if (!databasePresent() || !openWithRecovery(ts.get())) {
        LOG(Error, "failed opening rpm DB");
        return false;
    }
    if (!databaseReadable(ts.get())) {
        LOG(Error, "cannot read the rpm DB");
        return false;
    }
    if (skipHeaderCheck) rpmtsSetVSFlags(ts.get(), RPMVSF_NOHDRCHK);
    LOG(Debug, "opened rpm transaction (%schecking headers)", skipHeaderCheck ? "NOT " : "");
    m_ts = std::move(ts);
    return true;
}

bool RpmDB::hasPublicKeys() {
    // Without a transaction set there is no iterator either: the answer is "none".
    RpmDbIteratorPtr iterator(rpmtsInitIterator(m_ts.get(), RPMTAG_NAME, "gpg-pubkey", 0));
    if (!iterator) {
        LOG(Trace, "no public keys found in rpm db");
        return false;
    }
    bool found = false;
    while (Header header = rpmcompat::rpmmiNext(iterator.get())) {
        if (headerIsEntry(header, RPMTAG_PUBKEYS)) {
            found = true;
            break;
        }
    }
    iterator.reset();
    rpmtsEmpty(m_ts.get());
    return found;
}

std::optional<PackageStore> RpmDB::getInstalledPackages() {
    RpmDbIteratorPtr iterator(rpmtsInitIterator(m_ts.get(), RPMDBI_PACKAGES, nullptr, 0));
    if (!iterator) {
        LOG(Error, "failed initializing rpm DB iterator");
        return std::nullopt;
    }
    // Compact from the start: one header at a time is whole, the list never is.
    PackageStore packages;
    bool complete = true;
    unsigned iterated = 0;
    while (Header header = rpmcompat::rpmmiNext(iterator.get())) {
        ++iterated;
        Package package;
        package.type = PackageType::Rpm;
        if (!readPackage(header, package)) {
            complete = false;
            break;
        }
        // Records of one name keep the database's order.
        packages.add(package);
    }
    iterator.reset();
    if (complete) complete = allHeadersRead(m_ts.get(), iterated);
    rpmtsEmpty(m_ts.get());
    if (!complete) return std::nullopt;
    if (packages.full()) {
        LOG(Error, "the installed packages need more than 4 GiB of text");
        return std::nullopt;
    }
    packages.sortNames();
    return packages;
}

bool readStringTag(Header header, rpmTagVal tag, std::string& out) {
    RpmTdPtr data(rpmtdNew());
    if (data && headerGet(header, tag, data.get(), HEADERGET_MINMEM) &&
        (rpmtdCount(data.get()) == 1 || rpmtdType(data.get()) == RPM_BIN_TYPE)) {
        switch (rpmtdType(data.get())) {
            case RPM_STRING_TYPE:
            case RPM_STRING_ARRAY_TYPE:
            case RPM_I18NSTRING_TYPE:
                if (const char* text = rpmtdGetString(data.get())) out = text;
                break;
            default:
                break;
        }
        return true;
    }
    LOG(Error, "failed retrieving rpm tag %i as string", static_cast<int>(tag));
    return false;
}

bool readEpochTag(Header header, uint32_t& epoch) {
    RpmTdPtr data(rpmtdNew());
    if (data && headerGet(header, RPMTAG_EPOCH, data.get(), HEADERGET_MINMEM) && rpmtdCount(data.get()) == 1) {
        if (rpmtdType(data.get()) == RPM_INT32_TYPE) {
            if (const uint32_t* value = rpmtdGetUint32(data.get())) {
                epoch = *value;
                return true;
            }
        } else if (rpmtdType(data.get()) == RPM_INT16_TYPE) {
            if (const uint16_t* value = rpmtdGetUint16(data.get())) {
                epoch = *value;
                return true;
            }
        }
    }
    LOG(Error, "failed retrieving rpm tag %i as int", static_cast<int>(RPMTAG_EPOCH));
    return false;
}

bool readDependencies(Header header, rpmTagVal nameTag, DependencySet& out) {
    const DependencyTags* family = dependencyFamily(nameTag);
    if (!family) {
        LOG(Error, "unrecognized dependency tag %u", static_cast<unsigned>(nameTag));
        return false;
    }
    RpmTdPtr names(rpmtdNew());
    RpmTdPtr flags(rpmtdNew());
    RpmTdPtr versions(rpmtdNew());
    if (!names || !flags || !versions) {
        LOG(Error, "failed retrieving rpm dependencies");
        return false;
    }
    const bool haveNames = headerGet(header, family->names, names.get(), HEADERGET_MINMEM);
    const bool haveFlags = headerGet(header, family->flags, flags.get(), HEADERGET_MINMEM);
    const bool haveVersions = headerGet(header, family->versions, versions.get(), HEADERGET_MINMEM);
    if (!haveNames && !haveFlags && !haveVersions) return true;

    const rpm_count_t count = haveNames ? rpmtdCount(names.get()) : 0;
    LOG(Trace, "evaluating %u %s dependencies", static_cast<unsigned>(count), family->word);
    if (!haveNames || !haveFlags || !haveVersions || rpmtdType(names.get()) != RPM_STRING_ARRAY_TYPE ||
        rpmtdType(flags.get()) != RPM_INT32_TYPE || rpmtdType(versions.get()) != RPM_STRING_ARRAY_TYPE ||
        rpmtdCount(flags.get()) != count || rpmtdCount(versions.get()) != count) {
        LOG(Error, "failed retrieving rpm dependencies");
        return false;
    }

    for (rpm_count_t i = 0; i < count; ++i) {
        const int index = static_cast<int>(i);
        rpmtdSetIndex(names.get(), index);
        rpmtdSetIndex(flags.get(), index);
        rpmtdSetIndex(versions.get(), index);
        const char* name = rpmtdGetString(names.get());
        const uint32_t* rawFlags = rpmtdGetUint32(flags.get());
        if (!name || !rawFlags) {
            LOG(Warn, "missing flags or name entry %u in dependency data %p %p", static_cast<unsigned>(i),
                static_cast<const void*>(rawFlags), static_cast<const void*>(name));
            continue;
        }
        if (*rawFlags & kSkippedDependencyFlags) continue;
        const char* version = rpmtdGetString(versions.get());
        Dependency dependency(name);
        if (version && version[0] != '\0') dependency.evr = EVR::fromString(version);
        dependency.flags = static_cast<int32_t>(*rawFlags & kSenseMask);
        LOG(Trace, "%u: %s %s 0x%x => %s", static_cast<unsigned>(i), name, version ? version : "", *rawFlags,
            dependency.toString().c_str());
        out.insert(std::move(dependency));
    }
    return true;
}
