#include "config/config_file.h"

#include "base/handles.h"
#include "base/logger.h"
#include "base/xml_util.h"
#include "base/xml_walk.h"
#include "config/config_elements.h"
#include "config/proxy_config.h"

namespace {

enum class ConfigElement { Repository, Log, Product, UserAgent, Network, Metadata };

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
    }
    return true;
}

// Streams the document, expanding each recognised element wherever it occurs; reading
// then goes on into its children, so recognised elements nested in it count as well.
bool readConfigDocument(xmlTextReaderPtr reader, UpdaterConfig& config, bool isDefaults) {
    auto handlerFor = [&config, isDefaults](const char* name, ConfigElement kind) {
        XmlElementHandler handler{{name}};
        handler.skipContent = false;
        // Expansion fails only on malformed XML, which the parser reports itself.
        handler.handle = [&config, isDefaults, kind](xmlNodePtr element) {
            return element && applyElement(config, kind, element, isDefaults);
        };
        return handler;
    };
    return walkXmlDocument(
        reader, {{"updater"}},
        {handlerFor("repository", ConfigElement::Repository), handlerFor("log", ConfigElement::Log),
         handlerFor("product", ConfigElement::Product), handlerFor("user-agent", ConfigElement::UserAgent),
         handlerFor("network", ConfigElement::Network), handlerFor("metadata", ConfigElement::Metadata)});
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
