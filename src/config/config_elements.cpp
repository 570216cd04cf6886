#include "config/config_elements.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/logger.h"
#include "base/xml_util.h"
#include "config/config_file.h"

namespace {

// The ID older configurations used for what is now "base".
constexpr char kLegacyBaseId[] = "kvt900";

bool readRepositoryChildren(xmlNodePtr element, RepositoryEntry& entry) {
    for (xmlNodePtr child = element->children; child; child = child->next) {
        if (!isChildElement(child, element)) continue;
        if (xmlNameIs(child, "name")) {
            if (!getXmlText(child, entry.name)) return false;
        } else if (xmlNameIs(child, "location")) {
            if (!getXmlAttribute(child, "href", entry.location)) {
                LOG(Error, "no 'href' attribute in 'location' element");
                return false;
            }
        }
    }
    return true;
}

bool applySyslogLogger(UpdaterConfig& config, xmlNodePtr logger) {
    std::string facility;
    bool found = false;
    for (xmlNodePtr child = logger->children; child; child = child->next) {
        if (!isChildElement(child, logger) || !xmlNameIs(child, "facility")) continue;
        if (!getXmlText(child, facility)) return false;
        found = true;
    }
    if (!found) return false;
    config.syslogFacility = parseSyslogFacility(facility);
    config.logToSyslog = true;
    return true;
}

bool applyPackagesElement(UpdaterConfig& config, xmlNodePtr packages) {
    for (xmlNodePtr child = packages->children; child; child = child->next) {
        if (!isChildElement(child, packages)) continue;
        if (xmlNameIs(child, "release")) {
            std::vector<std::string> release;
            if (!collectPackageNames(child->children, release, nullptr) || release.size() != 1) return false;
            config.releasePackage = release.front();
        } else if (xmlNameIs(child, "addons")) {
            if (!collectPackageNames(child->children, config.addonPackages, &config.addonGroups)) return false;
        } else if (xmlNameIs(child, "repo-required")) {
            if (!collectPackageNames(child->children, config.requiredPackages, nullptr)) return false;
        }
    }
    return true;
}

}  // namespace

bool isChildElement(xmlNodePtr node, xmlNodePtr parent) {
    // The document node has no namespace field: below it there is nothing to compare.
    if (node->type != XML_ELEMENT_NODE) return false;
    return !parent || parent->type != XML_ELEMENT_NODE || xmlSameNamespace(node, parent);
}

bool applyRepositoryElement(UpdaterConfig& config, xmlNodePtr element, bool isDefaults) {
    RepositoryEntry entry;
    if (!getXmlAttribute(element, "id", entry.id)) {
        LOG(Error, "no 'id' attribute in 'repository' element");
        return false;
    }
    if (entry.id == kLegacyBaseId) {
        LOG(Debug, "replacing repo ID '%s' by 'base' for backwards compatibility", entry.id.c_str());
        entry.id = "base";
    }
    std::string enabled;
    entry.enabled = getXmlAttribute(element, "enabled", enabled) ? enabled == "true" : true;
    if (!readRepositoryChildren(element, entry)) return false;
    if (entry.location.empty()) {
        LOG(Error, "no URI for repository '%s'", entry.id.c_str());
        return false;
    }

    // Any file may override a default definition; only the site file's own must be unique.
    auto existing = std::find_if(config.repositories.begin(), config.repositories.end(),
                                 [&entry](const RepositoryEntry& other) { return other.id == entry.id; });
    if (existing != config.repositories.end()) {
        if (!existing->fromDefaults) {
            LOG(Error, "more than one repository with same ID");
            return false;
        }
        LOG(Debug, "replacing default definition of repo '%s'", entry.id.c_str());
        config.repositories.erase(existing);
    }
    entry.fromDefaults = isDefaults;
    config.repositories.push_back(std::move(entry));
    return true;
}

bool applyLogElement(UpdaterConfig& config, xmlNodePtr element) {
    std::string level;
    if (getXmlAttribute(element, "level", level) && !level.empty()) config.logLevel = parseLogLevel(level);

    // Outputs are only switched on, so a site file adds to what the defaults enabled.
    for (xmlNodePtr child = element->children; child; child = child->next) {
        if (!isChildElement(child, element) || !xmlNameIs(child, "logger")) continue;
        std::string type;
        if (!getXmlAttribute(child, "type", type)) return false;
        if (type == "stderr") {
            config.logToStderr = true;
        } else if (type == "syslog") {
            if (!applySyslogLogger(config, child)) return false;
        } else {
            LOG(Debug, "ignoring unknown '%s' logger type", type.c_str());
        }
    }
    return true;
}

bool applyProductElement(UpdaterConfig& config, xmlNodePtr element) {
    for (xmlNodePtr child = element->children; child; child = child->next) {
        if (!isChildElement(child, element)) continue;
        if (xmlNameIs(child, "name")) {
            if (!getXmlText(child, config.productName)) return false;
        } else if (xmlNameIs(child, "packages")) {
            if (!applyPackagesElement(config, child)) return false;
        }
    }
    return true;
}

bool applyUserAgentElement(UpdaterConfig& config, xmlNodePtr element) {
    for (xmlNodePtr child = element->children; child; child = child->next) {
        if (!isChildElement(child, element)) continue;
        if (xmlNameIs(child, "base")) {
            if (!getXmlText(child, config.fetcher.userAgentBase)) return false;
        } else if (xmlNameIs(child, "prodname")) {
            if (!getXmlText(child, config.fetcher.userAgentProduct)) return false;
        }
    }
    return true;
}

bool collectPackageNames(xmlNodePtr first, std::vector<std::string>& packages, std::vector<std::string>* groups) {
    for (xmlNodePtr item = first; item; item = item->next) {
        if (!isChildElement(item, item->parent)) continue;
        bool isGroup = xmlNameIs(item, "group");
        if (!isGroup && !xmlNameIs(item, "package")) continue;
        for (xmlNodePtr child = item->children; child; child = child->next) {
            if (!isChildElement(child, item) || !xmlNameIs(child, "name")) continue;
            std::string name;
            if (!getXmlText(child, name)) return false;
            if (!isGroup) {
                packages.push_back(std::move(name));
            } else if (groups) {
                groups->push_back(std::move(name));
            } else {
                LOG(Warn, "ignoring package group named '%s' in config file line %hu", name.c_str(),
                    static_cast<unsigned short>(xmlGetLineNo(item)));
            }
        }
    }
    return true;
}

bool applyMetadataElement(UpdaterConfig& config, xmlNodePtr element) {
    // Ten years: anything above is a typing error, not a policy.
    constexpr long kMaxAgeDaysLimit = 3650;
    std::string text;
    if (!getXmlAttribute(element, "max-age-days", text)) return true;
    char* end = nullptr;
    errno = 0;
    const long days = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || errno != 0 ||
        days > kMaxAgeDaysLimit) {
        LOG(Error, "invalid 'max-age-days' value '%s' in 'metadata' element (0 to %ld)", text.c_str(),
            kMaxAgeDaysLimit);
        return false;
    }
    config.metadataMaxAgeDays = static_cast<int>(days);
    return true;
}
