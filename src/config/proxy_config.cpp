#include "config/proxy_config.h"

#include <cstdlib>

#include "base/handles.h"
#include "base/logger.h"
#include "base/xml_util.h"
#include "base/xml_walk.h"

namespace {

// The highest port accepted; 65535 is deliberately refused.
constexpr long kMaxProxyPort = 65534;

bool parsePort(const std::string& text, int& port) {
    char* end = nullptr;
    long value = strtol(text.c_str(), &end, 10);
    if (end == text.c_str() || *end != '\0' || value < 0 || value > kMaxProxyPort) return false;
    port = static_cast<int>(value);
    return true;
}

// Applies one `proxy` element; false stops reading the file, leaving the fetcher as it was.
bool applyProxyElement(FetcherConfig& fetcher, xmlNodePtr element) {
    if (!fetcher.proxyServer.empty()) LOG(Warn, "multiple proxy servers in configuration file, using last occurence");
    std::string server;
    if (!getXmlAttribute(element, "server", server) || server.empty()) {
        LOG(Error, "no 'server' attribute in 'proxy' element");
        return false;
    }
    std::string portText;
    if (!getXmlAttribute(element, "port", portText) || portText.empty()) {
        LOG(Error, "no 'port' attribute in 'proxy' element");
        return false;
    }
    int port = 0;
    if (!parsePort(portText, port)) {
        LOG(Error, "invalid port number '%s'", portText.c_str());
        return false;
    }
    std::string bypass;
    bool hasBypass = getXmlAttribute(element, "bypassLocalNetwork", bypass);

    fetcher.proxyServer = server;
    fetcher.proxyPort = port;
    fetcher.bypassLocalNetwork = !hasBypass || (bypass != "off" && bypass != "false");
    LOG(Debug, "configured proxy '%s' port %u bypass %i", server.c_str(), static_cast<unsigned>(port),
        fetcher.bypassLocalNetwork ? 1 : 0);
    // Credentials belong to one proxy: never carry them over from an earlier element.
    if (!getXmlAttribute(element, "username", fetcher.proxyUser)) fetcher.proxyUser.clear();
    if (!getXmlAttribute(element, "password", fetcher.proxyPassword)) fetcher.proxyPassword.clear();
    return true;
}

}  // namespace

void loadProxyConfig(FetcherConfig& fetcher, const std::string& path) {
    XmlReaderPtr reader = openXmlReader(path);
    if (!reader) {
        LOG(Debug, "no proxy configuration file '%s'", path.c_str());
        return;
    }
    // The attributes are all there is to a proxy: its content is skipped, never expanded.
    XmlElementHandler proxy{{"proxy"}};
    proxy.expand = false;
    proxy.handle = [&fetcher](xmlNodePtr element) { return element && applyProxyElement(fetcher, element); };
    // A malformed file simply ends reading; earlier `proxy` elements stay in effect, and
    // what ended it has been reported where it was found.
    (void)walkXmlDocument(reader.get(), {{"proxyconf"}}, {proxy});
}
