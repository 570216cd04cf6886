#include "repository/package_parser.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include <rpm/rpmmacro.h>

#include "base/handles.h"
#include "base/logger.h"
#include "base/util.h"
#include "base/xml_util.h"
#include "repository/metadata_namespaces.h"
#include "repository/transfer_limits.h"
#include "rpmdb/rpm_compat.h"

namespace {

// An optional attribute: its absence is not worth a log line.
bool readOptionalAttribute(xmlNodePtr node, const char* name, std::string& value) {
    XmlStringPtr text(xmlGetNoNsProp(node, BAD_CAST name));
    if (!text) return false;
    value = reinterpret_cast<const char*>(text.get());
    return true;
}

bool isElement(xmlNodePtr node) {
    return node->type == XML_ELEMENT_NODE;
}

PackageType packageType(const std::string& word) {
    if (word == "rpm") return PackageType::Rpm;
    if (word == "tavpkg") return PackageType::Tavpkg;
    if (word == "flashedfw") return PackageType::FlashedFw;
    return PackageType::Unknown;
}

// Digits only: strtoul alone would accept blanks and a sign, and wrap a negative number.
bool parseEpoch(const std::string& text, uint32_t& epoch) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    errno = 0;
    unsigned long long value = strtoull(text.c_str(), nullptr, 10);
    if (errno == ERANGE || value > UINT32_MAX) return false;
    epoch = static_cast<uint32_t>(value);
    return true;
}

// A whole decimal integer, optionally signed; only whether it is zero matters, so a value
// too large for any integer type still counts as non-zero.
bool parseDecimal(const std::string& text, bool& nonZero) {
    std::string::size_type digits = !text.empty() && (text[0] == '-' || text[0] == '+') ? 1 : 0;
    if (text.size() == digits || text.find_first_not_of("0123456789", digits) != std::string::npos) return false;
    nonZero = text.find_first_not_of('0', digits) != std::string::npos;
    return true;
}

// rpm's sense bits for a flags word; -1 for a word outside the table.
int32_t senseFromWord(const std::string& word) {
    if (word == "LT") return kSenseLess;
    if (word == "GT") return kSenseGreater;
    if (word == "EQ") return kSenseEqual;
    if (word == "LE") return kSenseLess | kSenseEqual;
    if (word == "GE") return kSenseGreater | kSenseEqual;
    return -1;
}

bool parseFormat(xmlNodePtr format, Package& package) {
    switch (package.type) {
        case PackageType::Rpm:
            return parseTypeData(format, kRpmNamespace, "rpm", package);
        case PackageType::Tavpkg:
            return parseTypeData(format, kTavNamespace, "tavpkg", package);
        case PackageType::FlashedFw:
        case PackageType::Unknown:
            break;
    }
    return true;
}

// The file size bounds its download; a record may leave it out, but not get it wrong.
bool readPackageSize(xmlNodePtr element, Package& package) {
    std::string text;
    if (!readOptionalAttribute(element, "package", text)) return true;
    if (parseDeclaredSize(text, package.size)) return true;
    LOG(Error, "invalid package size '%s' in line %li of the package list", text.c_str(),
        static_cast<long>(xmlGetLineNo(element)));
    return false;
}

// A record the list cannot be trusted with, named by its line so that the publisher finds it.
int refuseRecord(xmlNodePtr record, const char* element) {
    LOG(Error, "invalid or repeated '%s' element in the package record in line %li of the package list", element,
        static_cast<long>(xmlGetLineNo(record)));
    return -1;
}

int refuseIncompleteRecord(xmlNodePtr record, const char* element) {
    LOG(Error, "the package record in line %li of the package list has no '%s' element",
        static_cast<long>(xmlGetLineNo(record)), element);
    return -1;
}

}  // namespace

bool ArchFilter::compatible(const std::string& arch) {
    const auto known = m_answers.find(arch);
    if (known != m_answers.end()) return known->second;
    // Only our own macro text is expanded: the arch comes from the list, and expanding it
    // would run any %(...) shell command a list carried.
    MallocTextPtr suffix(rpmExpand("-%{_target_vendor}-%{_target_os}%{?_gnu}", nullptr));
    const bool answer = suffix && rpmcompat::rpmPlatformScore((arch + suffix.get()).c_str()) != 0;
    m_answers.emplace(arch, answer);
    return answer;
}

int parsePackage(xmlNodePtr element, Package& package, const std::string& packagesDir, ArchFilter& archFilter) {
    std::string typeText;
    readOptionalAttribute(element, "type", typeText);
    package.type = packageType(typeText);
    if (package.type == PackageType::Unknown) {
        LOG(Warn, "ignoring package of unknown type '%s'", typeText.c_str());
        return 0;
    }

    bool hasName = false, hasArch = false, hasVersion = false, hasLocation = false, hasChecksum = false;
    std::string arch;
    for (xmlNodePtr child = element->children; child; child = child->next) {
        if (!isElement(child) || !xmlSameNamespace(child, element)) continue;
        if (xmlNameIs(child, "name")) {
            if (hasName || !getXmlText(child, package.name)) return refuseRecord(element, "name");
            hasName = true;
        } else if (xmlNameIs(child, "arch")) {
            if (hasArch || !getXmlText(child, arch)) return refuseRecord(element, "arch");
            hasArch = true;
        } else if (xmlNameIs(child, "version")) {
            if (hasVersion || !parseEvr(child, package.evr)) return refuseRecord(element, "version");
            hasVersion = true;
        } else if (xmlNameIs(child, "location")) {
            if (hasLocation || !getXmlAttribute(child, "href", package.href)) return refuseRecord(element, "location");
            hasLocation = true;
        } else if (xmlNameIs(child, "checksum")) {
            if (hasChecksum) return refuseRecord(element, "checksum");
            if (!getXmlAttribute(child, "type", package.checksum.type) || !getXmlText(child, package.checksum.value)) {
                LOG(Debug, "failed parsing 'checksum' element");
                return refuseRecord(element, "checksum");
            }
            hasChecksum = true;
        } else if (xmlNameIs(child, "format")) {
            if (!parseFormat(child, package)) return refuseRecord(element, "format");
        } else if (xmlNameIs(child, "size")) {
            if (!readPackageSize(child, package)) return -1;  // logged with the size and its line
        }
    }
    if (!hasName) return refuseIncompleteRecord(element, "name");
    if (!hasVersion) return refuseIncompleteRecord(element, "version");
    // Firmware records describe what is flashed on the device: there is no file to fetch.
    const bool needsFile = package.type != PackageType::FlashedFw;
    if (needsFile && !hasChecksum) return refuseIncompleteRecord(element, "checksum");
    if (needsFile && !hasLocation) return refuseIncompleteRecord(element, "location");
    if (!packagesDir.empty() && hasLocation) package.localPath = packagesDir + lastPathComponent(package.href);

    package.arch = arch;
    if (!archFilter.compatible(arch)) {
        LOG(Warn, "skipping %s package '%s' of non-compatible arch '%s'", typeText.c_str(),
            (hasLocation ? lastPathComponent(package.href) : packageLabel(package)).c_str(), arch.c_str());
        return 0;
    }
    return 1;
}

bool parseTypeData(xmlNodePtr format, const char* namespaceUri, const char* typeWord, Package& package) {
    if (!xmlSearchNsByHref(format->doc, format, BAD_CAST namespaceUri)) {
        LOG(Debug, "no %s specific data in XML doc", typeWord);
        return true;
    }
    static const struct {
        const char* element;
        DependencySet Package::*set;
    } kDependencySets[] = {{"provides", &Package::provides},
                           {"requires", &Package::requires},
                           {"recommends", &Package::recommends},
                           {"obsoletes", &Package::obsoletes}};

    for (xmlNodePtr child = format->children; child; child = child->next) {
        if (!isElement(child) || !xmlInNamespace(child, namespaceUri)) continue;
        if (xmlNameIs(child, "group")) {
            if (!package.group.empty() || !getXmlText(child, package.group)) return false;
            continue;
        }
        for (const auto& kind : kDependencySets) {
            if (!xmlNameIs(child, kind.element)) continue;
            LOG(Trace, "parsing %s %s for '%s'", typeWord, kind.element, package.name.c_str());
            if (!parseEntries(child->children, namespaceUri, package.*kind.set)) return false;
        }
    }
    return true;
}

bool parseEntries(xmlNodePtr first, const char* namespaceUri, DependencySet& target) {
    for (xmlNodePtr node = first; node; node = node->next) {
        if (!isElement(node) || !xmlNameIs(node, "entry") || !xmlInNamespace(node, namespaceUri)) continue;
        Dependency dependency;
        if (!getXmlAttribute(node, "name", dependency.name)) {
            LOG(Debug, "failed getting 'name' from 'entry'");
            return false;
        }
        // rpm's own capabilities of its package format: never the updater's business.
        if (dependency.name.compare(0, 7, "rpmlib(") == 0) continue;

        if (xmlHasProp(node, BAD_CAST "missingok")) {
            std::string missingOk;
            if (!getXmlAttribute(node, "missingok", missingOk)) {
                LOG(Debug, "failed parsing '%s' property '%s'", "missingok", missingOk.c_str());
                return false;
            }
            bool nonZero = false;
            if (!parseDecimal(missingOk, nonZero)) return false;
            if (nonZero) {
                LOG(Trace, "skipping missingok dep '%s'", dependency.name.c_str());
                continue;
            }
        }
        // Without a version the flags word says nothing: the dependency is unversioned.
        if (xmlHasNsProp(node, BAD_CAST "ver", nullptr)) {
            if (!parseEvr(node, dependency.evr)) {
                LOG(Debug, "failed parsing EVR in entry");
                return false;
            }
            std::string word;
            if (!getXmlAttribute(node, "flags", word)) {
                LOG(Debug, "failed parsing 'flags' in 'entry'");
                return false;
            }
            dependency.flags = senseFromWord(word);
            if (dependency.flags < 0) {
                LOG(Debug, "invalid flags '%s' in 'entry'", word.c_str());
                return false;
            }
        }
        LOG(Trace, "%s", dependency.toString().c_str());
        target.insert(std::move(dependency));
    }
    return true;
}

bool parseEvr(xmlNodePtr element, EVR& evr) {
    std::string epoch, version, release;
    if (!getXmlAttribute(element, "epoch", epoch) || !getXmlAttribute(element, "ver", version)) {
        LOG(Debug, "failed parsing 'version' element");
        return false;
    }
    if (!parseEpoch(epoch, evr.epoch)) return false;
    readOptionalAttribute(element, "rel", release);
    evr.version = std::move(version);
    evr.release = std::move(release);
    return true;
}
