#include "repository/repository.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>

#include "base/handles.h"
#include "base/logger.h"
#include "base/own_files.h"
#include "base/run_report.h"
#include "base/util.h"
#include "base/xml_util.h"
#include "base/xml_walk.h"
#include "network/downloader.h"
#include "repository/item_notify.h"
#include "repository/package_list.h"
#include "repository/transfer_limits.h"
#include "rpmdb/dbdata.h"
#include "signature/metadata_signature.h"

namespace {

constexpr const char* kRepomdPath = "repodata/repomd.xml";
constexpr const char* kRepomdSignaturePath = "repodata/repomd.xml.asc";
constexpr const char* kRepomdFile = "repomd.xml";
constexpr const char* kRepomdSignatureFile = "repomd.xml.asc";
// A fetched index and signature wait under this suffix until the index has been accepted.
constexpr const char* kIncomingSuffix = ".new";

struct ListType {
    const char* type;
    int index;
    bool required;
};
constexpr ListType kListTypes[] = {{"primary", kPrimaryList, true}, {"tavdata", kTavdataList, false}};

bool readChecksum(xmlNodePtr element, Checksum& checksum) {
    Checksum read;
    if (!getXmlAttribute(element, "type", read.type) || !getXmlText(element, read.value)) {
        LOG(Debug, "failed parsing 'checksum' element");
        return false;
    }
    checksum = read;
    return true;
}

// Digits with an optional fraction, which is dropped; only the low 32 bits are kept.
bool readTimestamp(xmlNodePtr element, uint32_t& timestamp) {
    std::string text;
    if (!getXmlText(element, text)) return false;
    if (text.find_first_not_of("0123456789.") != std::string::npos) {
        LOG(Debug, "invalid characters in 'timestamp'");
        return false;
    }
    char* end = nullptr;
    unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || (*end != '\0' && *end != '.') || value == ULLONG_MAX) {
        LOG(Debug, "failed parsing 'timestamp'");
        return false;
    }
    timestamp = static_cast<uint32_t>(value & 0xffffffffULL);
    return true;
}

// A declared size bounds the download of the list: absent is allowed, malformed is not.
bool readSize(xmlNodePtr element, uint64_t& size) {
    std::string text;
    if (!getXmlText(element, text)) return false;
    if (parseDeclaredSize(text, size)) return true;
    LOG(Error, "invalid '%s' value '%s' in repository index", xmlName(element), text.c_str());
    return false;
}

// Children of other namespaces and text are ignored; a repeated child overwrites.
bool readDataElement(xmlNodePtr element, const std::string& cacheDir, RepoData& data) {
    if (!getXmlAttribute(element, "type", data.type)) {
        LOG(Debug, "no 'type' attribute in 'data' element");
        return false;
    }
    for (xmlNodePtr child = element->children; child; child = child->next) {
        if (child->type != XML_ELEMENT_NODE || !xmlSameNamespace(child, element)) continue;
        if (xmlNameIs(child, "location")) {
            if (!getXmlAttribute(child, "href", data.href)) return false;
        } else if (xmlNameIs(child, "checksum")) {
            if (!readChecksum(child, data.checksum)) return false;
        } else if (xmlNameIs(child, "open-checksum")) {
            if (!readChecksum(child, data.openChecksum)) return false;
        } else if (xmlNameIs(child, "timestamp")) {
            if (!readTimestamp(child, data.timestamp)) return false;
        } else if (xmlNameIs(child, "size")) {
            if (!readSize(child, data.size)) return false;
        } else if (xmlNameIs(child, "open-size")) {
            if (!readSize(child, data.openSize)) return false;
        }
    }
    // Only the type and the extension name the cached copy: whatever the href holds ("..",
    // "/", an empty last component), the file stays directly inside the cache directory.
    data.localPath = cacheDir + data.type + fileExtension(data.href);
    return true;
}

void countItem(ItemNotify& notifier) {
    notifier.increment();
    notifier.notify();
}

}  // namespace

bool RepoData::cachedCopyValid(const TransferPolicy& policy) const {
    if (!checksum.value.empty() && checksum.checkFile(localPath)) return true;
    if (openChecksum.value.empty()) return false;
    const TransferLimit content = listContentLimit(*this, policy);
    return openChecksum.checkUncompressed(localPath, content.maxBytes, content.origin.c_str());
}

Repository::Repository(const UpdaterConfig& options, const RepositoryEntry& entry, std::string indexRecord)
    : m_config(entry),
      m_noMetadataSigCheck(options.noMdSigCheck),
      m_freshness{options.metadataMaxAgeDays, options.acceptOlderMetadata},
      m_indexRecord(std::move(indexRecord)),
      m_policy(options.fetcher.transfer) {
    if (m_noMetadataSigCheck) LOG(Debug, "metadata signatures not checked: no signing time to record or compare");
    m_cacheDir = options.cacheDir;
    if (m_cacheDir.empty() || m_cacheDir.back() != '/') m_cacheDir += '/';
    m_cacheDir += m_config.id + "/";
    m_packagesDir = m_cacheDir + "packages/";
    setBaseUri(m_config.location);
}

Repository::~Repository() {
    LOG(Debug, "destroyed repository '%s' with cache dir '%s'", m_config.id.c_str(), m_cacheDir.c_str());
}

void Repository::setBaseUri(const std::string& uri) {
    m_baseUri = !uri.empty() && uri[0] == '/' ? "file://" + uri : uri;
}

bool Repository::isFileRepository() const {
    return m_baseUri.compare(0, 5, "file:") == 0;
}

bool Repository::allPresent(const std::vector<std::string>& names, std::string* firstMissing) const {
    for (const std::string& name : names) {
        if (!m_packages.findGroup(name)) {
            LOG(Debug, "package '%s' is not present in repository", name.c_str());
            if (firstMissing) *firstMissing = name;
            return false;
        }
        LOG(Trace, "package '%s' is present in repository", name.c_str());
    }
    return true;
}

bool Repository::update(const std::string& uri) {
    if (!uri.empty()) setBaseUri(uri);
    if (m_baseUri.empty()) {
        LOG(Error, "no repository URI set, cannot update");
        return false;
    }
    m_dataEntries.clear();
    m_packages = PackageStore();
    if (!ensureOwnDirectory(m_cacheDir)) return false;

    // Declared before the downloader, which keeps a pointer to it.
    ItemNotify notifier(m_noMetadataSigCheck ? 3 : 4);
    Downloader downloader;
    if (!downloader.open(m_baseUri)) {
        LOG(Error, "failed creating repository downloder from '%s'", m_baseUri.c_str());
        return false;
    }
    downloader.setNotifier(&notifier);

    // The index and its signature are never reused: they say which lists are current. They
    // replace the cached ones only once accepted, so a refused index is never read later.
    // Nothing signed tells their size, so fixed limits bound them.
    const std::string index = m_cacheDir + kRepomdFile + kIncomingSuffix;
    const std::string signature = m_cacheDir + kRepomdSignatureFile + kIncomingSuffix;
    DownloadSpec indexSpec;
    indexSpec.limit = indexLimit(m_policy);
    const bool indexFetched = downloader.download(kRepomdPath, index, true, indexSpec);
    addTotals(downloader);
    if (!indexFetched) {
        LOG(Error, "failed getting repository resource '%s'", kRepomdPath);
        return false;
    }
    countItem(notifier);
    if (!m_noMetadataSigCheck) {
        DownloadSpec signatureSpec;
        signatureSpec.limit = indexSignatureLimit(m_policy);
        const bool signatureFetched = downloader.download(kRepomdSignaturePath, signature, true, signatureSpec);
        addTotals(downloader);
        if (!signatureFetched) {
            LOG(Error, "failed getting repository resource '%s'", kRepomdSignaturePath);
            return false;
        }
        countItem(notifier);
    }
    if (!parseRepomd(index, signature)) {
        unlink(index.c_str());
        unlink(signature.c_str());
        LOG(Error, "failed parsing repository metadata from '%s'", kRepomdPath);
        return false;
    }
    if (!keepIncomingIndex(index, signature)) return false;
    for (const ListType& list : kListTypes) {
        if (!fetchData(list.type, list.required, downloader)) return false;
        countItem(notifier);
    }
    if (!parseLists(false)) return false;
    prunePartials();
    return true;
}

bool Repository::loadFromCache() {
    m_dataEntries.clear();
    m_packages = PackageStore();
    // A link in the cache directory's place is not read through.
    if (!ensureOwnDirectory(m_cacheDir)) return false;
    if (!parseRepomd()) {
        LOG(Error, "failed parsing repository metadata from '%s'", kRepomdPath);
        return false;
    }
    return parseLists(true);
}

bool Repository::parseRepomd() {
    return parseRepomd(m_cacheDir + kRepomdFile, m_cacheDir + kRepomdSignatureFile);
}

bool Repository::parseRepomd(const std::string& index, const std::string& signature) {
    if (!m_noMetadataSigCheck && !checkSignature(index, signature)) return false;
    m_revision.clear();
    if (!readRepomd(index)) return false;
    reportIndex(index, signature);
    return true;
}

// What the run report says of the index accepted: its SHA-256, revision and signing time.
void Repository::reportIndex(const std::string& index, const std::string& signature) const {
    Checksum sha256{"", "sha256"};
    std::vector<unsigned char> digest;
    std::string hex;
    if (sha256.digestFile(index, false, digest)) {
        static const char kDigits[] = "0123456789abcdef";
        for (unsigned char byte : digest) {
            hex += kDigits[byte >> 4];
            hex += kDigits[byte & 0x0f];
        }
    }
    SignatureTimes times;
    const bool timed = !m_noMetadataSigCheck && readSignatureTimes(signature, times) && times.hasCreated;
    RunReport::instance().setIndex(hex, m_revision, timed ? times.created : 0);
}

// The signature is valid, and the index is not older than the one accepted before; the
// cache-only load passes here too, so the record guards every read of an index.
bool Repository::checkSignature(const std::string& index, const std::string& signature) {
    if (!isReadable(signature)) {
        LOG(Error, "metadata signature missing or unreadable");
        return false;
    }
    PublicKeyList keys;
    if (!loadTrustedKeys(keys)) {
        LOG(Error, "failed to load public keys from RPM DB to check metadata signature");
        return false;
    }
    if (!verifyDetachedSignature(keys, index, signature)) {
        if (reportExpiredSignature(signature, time(nullptr))) {
            RunReport::instance().refuse(Refusal::SignatureExpired, kRepomdPath);
        } else {
            LOG(Error, "invalid metadata signature");
            RunReport::instance().refuse(Refusal::Signature, kRepomdPath);
        }
        return false;
    }
    return checkIndexFreshness(index, signature, m_freshness, time(nullptr), m_indexRecord);
}

bool Repository::keepIncomingIndex(const std::string& index, const std::string& signature) {
    const std::string cachedSignature = m_cacheDir + kRepomdSignatureFile;
    const std::string cachedIndex = m_cacheDir + kRepomdFile;
    if (!m_noMetadataSigCheck && rename(signature.c_str(), cachedSignature.c_str()) != 0) {
        LOG(Error, "cannot rename '%s' to '%s' (%s)", signature.c_str(), cachedSignature.c_str(), errnoText().c_str());
        return false;
    }
    if (rename(index.c_str(), cachedIndex.c_str()) != 0) {
        LOG(Error, "cannot rename '%s' to '%s' (%s)", index.c_str(), cachedIndex.c_str(), errnoText().c_str());
        return false;
    }
    return true;
}

bool Repository::readRepomd(const std::string& path) {
    XmlReaderPtr reader = openXmlReader(path);
    if (!reader) return false;
    XmlElementHandler revision{{"revision", kRepoNamespace}, 1};
    revision.handle = [this](xmlNodePtr element) {
        // Only reported: the index says what it is, nothing here depends on it.
        if (element && element->children) {
            XmlStringPtr text(xmlNodeListGetString(element->doc, element->children, 1));
            if (text) m_revision = reinterpret_cast<const char*>(text.get());
        }
        return true;
    };
    XmlElementHandler data{{"data", kRepoNamespace}};
    data.handle = [this](xmlNodePtr element) {
        RepoData read;
        if (!element || !readDataElement(element, m_cacheDir, read)) {
            LOG(Debug, "failed parsing 'data' element");
            return false;
        }
        // The first entry of a type wins.
        m_dataEntries.emplace(read.type, read);
        return true;
    };
    return walkXmlDocument(reader.get(), {{"repomd", kRepoNamespace}, LogLevel::Debug, "rempomd"}, {revision, data});
}

bool Repository::fetchData(const std::string& type, bool required, Downloader& downloader) {
    auto found = m_dataEntries.find(type);
    if (found == m_dataEntries.end()) {
        if (!required) {
            LOG(Debug, "no '%s' in repository metadata, ignored", type.c_str());
            return true;
        }
        LOG(Error, "no '%s' entry in repository metadata", type.c_str());
        return false;
    }
    if (!fetchResource(found->second, downloader)) {
        LOG(Error, "failed getting repository resource '%s'", found->second.href.c_str());
        return false;
    }
    return true;
}

bool Repository::fetchResource(const RepoData& data, Downloader& downloader) {
    if (isReadable(data.localPath) && data.cachedCopyValid(m_policy)) {
        LOG(Debug, "cached copy '%s' of '%s' is valid", data.localPath.c_str(), data.href.c_str());
        return true;
    }
    const TransferLimit limit = listLimit(data, m_policy);
    const std::string& name = data.checksum.value.empty() ? data.openChecksum.value : data.checksum.value;
    // A mismatch may come from a stale intermediate cache: one more try past it.
    for (int attempt = 0;; ++attempt) {
        if (!downloadChecked(downloader, data.href, data.localPath, limit, name, attempt, data.size)) {
            LOG(Error, "failed getting repository resource '%s'", data.href.c_str());
            return false;
        }
        if (data.cachedCopyValid(m_policy)) return true;
        if (attempt > 0) {
            LOG(Error, "invalid checksum on '%s'", data.href.c_str());
            RunReport::instance().refuse(Refusal::Checksum, data.href);
            return false;
        }
        LOG(Warn, "invalid checksum on '%s'; retrying with bypass of http caches", data.href.c_str());
    }
}

bool Repository::downloadChecked(Downloader& downloader, const std::string& href, const std::string& localPath,
                                 const TransferLimit& limit, const std::string& checksum, int attempt,
                                 uint64_t expected) {
    if (attempt == 0) m_totals.expected += expected;
    DownloadSpec spec;
    spec.limit = limit;
    if (attempt == 0) spec.partialPath = partialPathFor(checksum);
    const bool fetched = downloader.download(href, localPath, attempt > 0, spec);
    addTotals(downloader);
    // The directory goes when it holds nothing more: a sound transfer leaves no trace.
    if (!spec.partialPath.empty()) rmdir(partialDir().c_str());
    return fetched;
}

bool Repository::parseLists(bool verify) {
    for (const ListType& list : kListTypes) {
        auto found = m_dataEntries.find(list.type);
        if (found == m_dataEntries.end()) {
            if (!list.required) continue;
            LOG(Error, "no '%s' entry in repository metadata", list.type);
            return false;
        }
        const RepoData& data = found->second;
        if (verify && !data.cachedCopyValid(m_policy)) {
            LOG(Error, "invalid checksum on '%s'", data.href.c_str());
            return false;
        }
        const TransferLimit content = listContentLimit(data, m_policy);
        const ListResult result = parseList(data.localPath, list.index, m_packages, m_packagesDir, content.maxBytes,
                                            content.origin.c_str(), recordsLimit(m_policy));
        if (result == ListResult::OverMemoryLimit) {
            // The list is sound, the device too small for it: kept, it is not fetched again.
            RunReport::instance().refuse(Refusal::MemoryLimit, data.href);
            LOG(Error, "failed parsing repository resource '%s'", data.href.c_str());
            return false;
        }
        if (result != ListResult::Parsed) {
            LOG(Error, "failed parsing repository resource '%s'", data.href.c_str());
            // Kept, it would pass its checksum again and fail every later run the same way.
            if (unlink(data.localPath.c_str()) != 0 && errno != ENOENT)
                LOG(Warn, "failed removing file '%s' (%s)", data.localPath.c_str(), errnoText().c_str());
            return false;
        }
    }
    return true;
}
