#include "network/credential_store.h"

#include <cstring>
#include <optional>
#include <utility>

#include "base/handles.h"
#include "base/logger.h"
#include "base/xml_util.h"
#include "base/xml_walk.h"

namespace {

constexpr char kXLinkNamespace[] = "http://www.w3.org/1999/xlink";

// A parsed URI; neon allocates its parts even when parsing fails, so it is always freed.
class ParsedUri {
public:
    ParsedUri() { std::memset(&m_uri, 0, sizeof m_uri); }
    ~ParsedUri() { ne_uri_free(&m_uri); }
    ParsedUri(const ParsedUri&) = delete;
    ParsedUri& operator=(const ParsedUri&) = delete;

    bool parse(const char* text) { return ne_uri_parse(text, &m_uri) == 0; }
    const ne_uri* operator->() const { return &m_uri; }

private:
    ne_uri m_uri;
};

// neon compares the scheme without checking for null.
unsigned defaultPort(const char* scheme) {
    return scheme ? ne_uri_defaultport(scheme) : 0;
}

const char* orNull(const char* value) {
    return value ? value : "<null>";
}

std::string orEmpty(const char* value) {
    return value ? value : "";
}

// The value of an attribute without namespace, absent when the element lacks it.
std::optional<std::string> attribute(xmlNodePtr element, const char* name) {
    std::string value;
    if (!getXmlAttribute(element, name, value)) return std::nullopt;
    return value;
}

const char* cString(const std::optional<std::string>& value) {
    return value ? value->c_str() : nullptr;
}

void addCredentialElement(CredentialStore& store, xmlNodePtr element) {
    XmlStringPtr href(xmlGetNsProp(element, reinterpret_cast<const xmlChar*>("href"),
                                   reinterpret_cast<const xmlChar*>(kXLinkNamespace)));
    std::optional<std::string> realm = attribute(element, "realm");
    std::optional<std::string> username = attribute(element, "username");
    std::optional<std::string> password = attribute(element, "password");
    addCredential(store, reinterpret_cast<const char*>(href.get()), cString(realm), cString(username),
                  cString(password));
}

}  // namespace

CredentialStore::CredentialStore(const ne_uri& uri)
    : m_scheme(orEmpty(uri.scheme)), m_host(orEmpty(uri.host)), m_port(uri.port ? uri.port : defaultPort(uri.scheme)) {}

void CredentialStore::clear() {
    m_entries.clear();
    m_cursor = 0;
}

bool loadCredentials(CredentialStore& store, const std::string& path) {
    XmlReaderPtr reader = openXmlReader(path);
    if (!reader) {
        LOG(Error, "could not open network credentials file");
        return false;
    }
    LOG(Trace, "loading network credentials for scheme '%s', host '%s', port '%u'", store.scheme().c_str(),
        store.host().c_str(), store.port());

    // Only direct children of `credits` are credentials; deeper ones are content.
    XmlElementHandler credential{{"creditentials"}, 1};
    credential.handle = [&store](xmlNodePtr element) {
        if (!element) {
            LOG(Error, "failed to expand node in network credentials file");
            return false;
        }
        addCredentialElement(store, element);
        return true;
    };
    return walkXmlDocument(reader.get(), {{"credits"}}, {credential});
}

bool addCredential(CredentialStore& store, const char* uri, const char* realm, const char* username,
                   const char* password) {
    if (!uri) {
        LOG(Warn, "ignoring network credential with no URI");
        return false;
    }
    // Log files leave the device in support bundles: the password is never written.
    LOG(Trace, "evaluating credentials URI = '%s', Realm = '%s', User = '%s', Password = '%s'", uri, orNull(realm),
        orNull(username), password ? "<hidden>" : "<null>");

    ParsedUri parsed;
    if (!parsed.parse(uri)) {
        LOG(Warn, "invalid syntax for URI '%s' in network credentials\n", uri);
        return false;
    }
    unsigned port = parsed->port ? parsed->port : defaultPort(parsed->scheme);
    // Exact comparisons: neither a capitalised scheme nor a host's address stands for the host.
    bool matches = parsed->scheme && store.scheme() == parsed->scheme && parsed->host && store.host() == parsed->host &&
                   store.port() == port;
    if (!matches) {
        LOG(Trace, "server does not match, discarded");
        return false;
    }
    LOG(Trace, "server matches, loaded");
    const char* path = parsed->path && *parsed->path ? parsed->path : "/";
    store.append(CredentialEntry{path, orEmpty(realm), orEmpty(username), orEmpty(password)});
    return true;
}

const CredentialEntry* findCredential(CredentialStore& store, const std::string& realm,
                                      const std::string& requestPath) {
    LOG(Trace, "%p searching credentials for '%s' @ '%s'", static_cast<void*>(&store), realm.c_str(),
        requestPath.c_str());
    const std::vector<CredentialEntry>& entries = store.m_entries;
    while (store.m_cursor < entries.size()) {
        const CredentialEntry& entry = entries[store.m_cursor++];
        // ne_path_childof refuses the path itself: an entry never covers its own path.
        if ((entry.realm.empty() || entry.realm == realm) && ne_path_childof(entry.path.c_str(), requestPath.c_str()))
            return &entry;
    }
    return nullptr;
}

void resetCursor(CredentialStore& store) {
    store.m_cursor = 0;
}
