#include "config/config_file.h"

#include <cstring>

#include "base/handles.h"
#include "base/logger.h"
#include "base/xml_util.h"
#include "config/config_elements.h"
#include "config/proxy_config.h"

namespace {

enum class ConfigElement { None, Repository, Log, Product, UserAgent, Network, Metadata };

ConfigElement classify(const char* name) {
    if (strcmp(name, "repository") == 0) return ConfigElement::Repository;
    if (strcmp(name, "log") == 0) return ConfigElement::Log;
    if (strcmp(name, "product") == 0) return ConfigElement::Product;
    if (strcmp(name, "user-agent") == 0) return ConfigElement::UserAgent;
    if (strcmp(name, "network") == 0) return ConfigElement::Network;
    if (strcmp(name, "metadata") == 0) return ConfigElement::Metadata;
    return ConfigElement::None;
}

bool applyElement(UpdaterConfig& config, ConfigElement kind, xmlNodePtr element, bool isDefaults) {
    switch (kind) {
        case ConfigElement::Repository:
            return applyRepositoryElement(config, element, isDefaults);
        case ConfigElement::Log:
            return applyLogElement(config, element);
        case ConfigElement::Product:
            return applyProductElement(config, element);
        case ConfigElement::UserAgent:
            return applyUserAgentElement(config, element);
        case ConfigElement::Network:
            return applyNetworkElement(config, element);
        case ConfigElement::Metadata:
            return applyMetadataElement(config, element);
        case ConfigElement::None:
            break;
    }
    return true;
}

// Streams the document, expanding each recognised element wherever it occurs; reading
// then goes on into its children, so recognised elements nested in it count as well.
bool readConfigDocument(xmlTextReaderPtr reader, UpdaterConfig& config, bool isDefaults) {
    int result;
    while ((result = xmlTextReaderRead(reader)) == 1) {
        if (xmlTextReaderNodeType(reader) != XML_READER_TYPE_ELEMENT) continue;
        const char* name = reinterpret_cast<const char*>(xmlTextReaderConstName(reader));
        if (!name) return false;
        if (xmlTextReaderDepth(reader) == 0) {
            if (strcmp(name, "updater") != 0) {
                LOG(Error, "bad top-level element, '%s' instead of 'updater'", name);
                return false;
            }
            continue;
        }
        ConfigElement kind = classify(name);
        if (kind == ConfigElement::None) continue;
        xmlNodePtr element = xmlTextReaderExpand(reader);
        // Expansion fails only on malformed XML, which the parser reports itself.
        if (!element || !applyElement(config, kind, element, isDefaults)) return false;
    }
    // A reader error means malformed XML, which the parser reports itself.
    return result == 0;
}

}  // namespace

bool loadConfigFile(UpdaterConfig& config, const std::string& path, bool isDefaults, const std::string& proxyFile) {
    XmlReaderPtr reader = openXmlReader(path);
    if (!reader) {
        LOG(Error, "could not open configuration file '%s'", path.c_str());
        return false;
    }
    if (!readConfigDocument(reader.get(), config, isDefaults)) return false;
    // The device's proxy settings complete the site configuration, never the defaults.
    if (!isDefaults) loadProxyConfig(config.fetcher, proxyFile);
    return true;
}
