// User names and passwords for HTTP authentication, per server and realm: the entries of the
// device's network credentials file for one server, or the device's default credentials.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include <neon/ne_uri.h>

#include "base/paths.h"

struct CredentialEntry {
    std::string path;   // the URI path the entry covers; "/" when the URI has none
    std::string realm;  // empty: any realm
    std::string username;
    std::string password;
};

// The credentials of one server (scheme, host, port), in file order, with a search cursor
// that lets an authentication offer each entry at most once.
class CredentialStore {
public:
    // The default store: no server, filled directly.
    CredentialStore() = default;
    // The store of the server of a parsed URI; a URI without port stands for its scheme's
    // default port.
    explicit CredentialStore(const ne_uri& uri);

    const std::string& scheme() const { return m_scheme; }
    const std::string& host() const { return m_host; }
    unsigned port() const { return m_port; }
    const std::vector<CredentialEntry>& entries() const { return m_entries; }

    void append(CredentialEntry entry) { m_entries.push_back(std::move(entry)); }
    // Drops every entry and puts the cursor back on the (absent) first one.
    void clear();

private:
    friend const CredentialEntry* findCredential(CredentialStore& store, const std::string& realm,
                                                 const std::string& requestPath);
    friend void resetCursor(CredentialStore& store);

    std::string m_scheme;
    std::string m_host;
    unsigned m_port = 0;
    std::vector<CredentialEntry> m_entries;
    std::size_t m_cursor = 0;
};

// Appends the entries of the credentials file that belong to the store's server. False when
// the file cannot be opened or is malformed; entries read before the fault stay.
[[nodiscard]] bool loadCredentials(CredentialStore& store, const std::string& path = paths::kCredentialsFile);

// Evaluates one credential (any argument may be null) and appends it when its URI names the
// store's server; returns whether it was appended.
bool addCredential(CredentialStore& store, const char* uri, const char* realm, const char* username,
                   const char* password);

// The next entry after the cursor that covers the realm (or any realm) and of which the request
// path is a child; the cursor moves past it. Null when none is left. The pointer stays valid
// until the store changes.
const CredentialEntry* findCredential(CredentialStore& store, const std::string& realm, const std::string& requestPath);

// Puts the cursor on the first entry, for the first attempt of an authentication.
void resetCursor(CredentialStore& store);
