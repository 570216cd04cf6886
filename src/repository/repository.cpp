#include "repository/repository.h"

#include <climits>
#include <cstdlib>

#include "config/handles.h"
#include "config/logger.h"
#include "config/own_files.h"
#include "config/util.h"
#include "config/xml_util.h"
#include "network/downloader.h"
#include "repository/item_notify.h"
#include "repository/package_list.h"
#include "rpmdb/dbdata.h"
#include "signature/metadata_signature.h"

namespace {

constexpr const char* kRepomdPath = "repodata/repomd.xml";
constexpr const char* kRepomdSignaturePath = "repodata/repomd.xml.asc";
constexpr const char* kRepomdFile = "repomd.xml";
constexpr const char* kRepomdSignatureFile = "repomd.xml.asc";

struct ListType {
    const char* type;
    int index;
    bool required;
};
constexpr ListType kListTypes[] = {{"primary", kPrimaryList, true}, {"tavdata", kTavdataList, false}};

bool inNamespace(xmlNodePtr node, const xmlChar* namespaceUri) {
    return node->ns && node->ns->href && xmlStrEqual(node->ns->href, namespaceUri);
}

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

// Children of other namespaces and text are ignored; a repeated child overwrites.
bool readDataElement(xmlNodePtr element, const std::string& cacheDir, RepoData& data) {
    if (!getXmlAttribute(element, "type", data.type)) {
        LOG(Debug, "no 'type' attribute in 'data' element");
        return false;
    }
    const xmlChar* namespaceUri = element->ns ? element->ns->href : nullptr;
    for (xmlNodePtr child = element->children; child; child = child->next) {
        if (child->type != XML_ELEMENT_NODE) continue;
        if (namespaceUri ? !inNamespace(child, namespaceUri) : child->ns != nullptr) continue;
        if (xmlNameIs(child, "location")) {
            if (!getXmlAttribute(child, "href", data.href)) return false;
        } else if (xmlNameIs(child, "checksum")) {
            if (!readChecksum(child, data.checksum)) return false;
        } else if (xmlNameIs(child, "open-checksum")) {
            if (!readChecksum(child, data.openChecksum)) return false;
        } else if (xmlNameIs(child, "timestamp")) {
            if (!readTimestamp(child, data.timestamp)) return false;
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

bool RepoData::cachedCopyValid() const {
    if (!checksum.value.empty() && checksum.checkFile(localPath)) return true;
    return !openChecksum.value.empty() && openChecksum.checkUncompressed(localPath);
}

Repository::Repository(const UpdaterConfig& options, const RepositoryEntry& entry)
    : m_config(entry), m_noMetadataSigCheck(options.noMdSigCheck) {
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
        if (m_packages.find(name) == m_packages.end()) {
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
    m_packages.clear();
    if (!ensureOwnDirectory(m_cacheDir)) return false;

    // Declared before the downloader, which keeps a pointer to it.
    ItemNotify notifier(m_noMetadataSigCheck ? 3 : 4);
    Downloader downloader;
    if (!downloader.open(m_baseUri)) {
        LOG(Error, "failed creating repository downloder from '%s'", m_baseUri.c_str());
        return false;
    }
    downloader.setNotifier(&notifier);

    // The index and its signature are never reused: they say which lists are current.
    if (!downloader.download(kRepomdPath, m_cacheDir + kRepomdFile, true)) {
        LOG(Error, "failed getting repository resource '%s'", kRepomdPath);
        return false;
    }
    countItem(notifier);
    if (!m_noMetadataSigCheck) {
        if (!downloader.download(kRepomdSignaturePath, m_cacheDir + kRepomdSignatureFile, true)) {
            LOG(Error, "failed getting repository resource '%s'", kRepomdSignaturePath);
            return false;
        }
        countItem(notifier);
    }
    if (!parseRepomd()) {
        LOG(Error, "failed parsing repository metadata from '%s'", kRepomdPath);
        return false;
    }
    for (const ListType& list : kListTypes) {
        if (!fetchData(list.type, list.required, downloader)) return false;
        countItem(notifier);
    }
    return parseLists(false);
}

bool Repository::loadFromCache() {
    m_dataEntries.clear();
    m_packages.clear();
    // A link in the cache directory's place is not read through.
    if (!ensureOwnDirectory(m_cacheDir)) return false;
    if (!parseRepomd()) {
        LOG(Error, "failed parsing repository metadata from '%s'", kRepomdPath);
        return false;
    }
    return parseLists(true);
}

bool Repository::parseRepomd() {
    const std::string index = m_cacheDir + kRepomdFile;
    if (!m_noMetadataSigCheck) {
        const std::string signature = m_cacheDir + kRepomdSignatureFile;
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
            LOG(Error, "invalid metadata signature");
            return false;
        }
    }
    return readRepomd(index);
}

bool Repository::readRepomd(const std::string& path) {
    XmlReaderPtr reader = openXmlReader(path);
    if (!reader) return false;
    const xmlChar* repoNamespace = BAD_CAST kRepoNamespace;
    int result = xmlTextReaderRead(reader.get());
    while (result == 1) {
        if (xmlTextReaderNodeType(reader.get()) != XML_READER_TYPE_ELEMENT) {
            result = xmlTextReaderRead(reader.get());
            continue;
        }
        const xmlChar* localName = xmlTextReaderConstLocalName(reader.get());
        const bool ours = xmlStrEqual(xmlTextReaderConstNamespaceUri(reader.get()), repoNamespace);
        if (xmlTextReaderDepth(reader.get()) == 0 && !(ours && xmlStrEqual(localName, BAD_CAST "repomd"))) {
            LOG(Debug, "bad top-level element, '%s' instead of 'rempomd'",
                localName ? reinterpret_cast<const char*>(localName) : "");
            return false;
        }
        if (ours && xmlStrEqual(localName, BAD_CAST "data")) {
            xmlNodePtr element = xmlTextReaderExpand(reader.get());
            RepoData data;
            if (!element || !readDataElement(element, m_cacheDir, data)) {
                LOG(Debug, "failed parsing 'data' element");
                return false;
            }
            // The first entry of a type wins.
            m_dataEntries.emplace(data.type, data);
            result = xmlTextReaderNext(reader.get());
            continue;
        }
        result = xmlTextReaderRead(reader.get());
    }
    // A reader error means malformed or unreadable input, which libxml2 reports itself.
    return result == 0;
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
    if (isReadable(data.localPath) && data.cachedCopyValid()) {
        LOG(Debug, "cached copy '%s' of '%s' is valid", data.localPath.c_str(), data.href.c_str());
        return true;
    }
    // A mismatch may come from a stale intermediate cache: one more try past it.
    for (int attempt = 0;; ++attempt) {
        if (!downloader.download(data.href, data.localPath, attempt > 0)) {
            LOG(Error, "failed getting repository resource '%s'", data.href.c_str());
            return false;
        }
        if (data.cachedCopyValid()) return true;
        if (attempt > 0) {
            LOG(Error, "invalid checksum on '%s'", data.href.c_str());
            return false;
        }
        LOG(Warn, "invalid checksum on '%s'; retrying with bypass of http caches", data.href.c_str());
    }
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
        if (verify && !data.cachedCopyValid()) {
            LOG(Error, "invalid checksum on '%s'", data.href.c_str());
            return false;
        }
        if (!parseList(data.localPath, list.index, m_packages, m_packagesDir)) {
            LOG(Error, "failed parsing repository resource '%s'", data.href.c_str());
            return false;
        }
    }
    return true;
}
