// Fetches single resources from one server (scheme, host and port) into open files: over neon
// for "http" and "https", by a local copy for "file". The device runs unattended, so a fetcher
// identifies the device to the server, answers server and proxy authentication from the
// credentials file and the device's default credentials, bypasses a configured proxy for
// servers on a local network, retries transient failures twice and logs hints for the
// failures an installer can mend.
#pragma once

#include <string>
#include <vector>

#include <neon/ne_request.h>
#include <neon/ne_session.h>
#include <neon/ne_uri.h>

#include "base/handles.h"
#include "base/paths.h"
#include "config/updater_config.h"
#include "network/credential_store.h"
#include "network/device_identity.h"
#include "network/transfer.h"

class URLFetcher {
public:
    // Download progress: receives neon's session status events unchanged.
    class Notifier {
    public:
        virtual ~Notifier() = default;
        virtual void notify(ne_session_status status, const ne_session_status_info* info);
    };

    static constexpr int kReadTimeoutSeconds = 120;
    static constexpr int kConnectTimeoutSeconds = 180;
    // One request and at most two retries of a transient failure.
    static constexpr int kMaxRetries = 2;

    // Once per process, before the first fetcher: keeps the network options, reads the device
    // identity, builds the user agent and derives the default credentials. Later calls do
    // nothing. The paths are parameters so that tests can point them into a sandbox.
    static void initClass(const FetcherConfig& config, const std::string& cpuinfoPath = paths::kCpuInfoFile,
                          const std::string& i2cDriversDir = paths::kI2cDriversDir,
                          const std::string& credentialsFile = paths::kCredentialsFile);
    static bool classInitialized();
    static const std::string& userAgent();
    static const DeviceIdentity& deviceIdentity();
    // The byte limits, rate floor and deadline of the network options.
    static const TransferPolicy& transferPolicy();
    // Forgets the class state so that a test can initialise it again with other options.
    static void resetClassForTesting();

    // Always yields an object; valid() tells whether it can fetch.
    explicit URLFetcher(const ne_uri& uri);
    ~URLFetcher();
    URLFetcher(const URLFetcher&) = delete;
    URLFetcher& operator=(const URLFetcher&) = delete;

    // Writes the resource at requestPath into the transfer's file, which holds transfer.size
    // bytes (more than 0 only for a resumable transfer with a validator, which asks for the
    // rest). displayName names the resource in messages. After a false result, redirected()
    // tells whether the server redirected; the target is then ne_redirect_location(session()),
    // and transfer.refused whether the file broke its limit or its deadline.
    [[nodiscard]] bool get(const std::string& requestPath, Transfer& transfer, bool bypassCache,
                           const std::string& displayName);

    // Same scheme, host and port; a URI without port stands for its scheme's default port.
    bool matches(const ne_uri& uri) const;
    // Not owned; null removes it. Nothing happens for local files.
    void setNotifier(Notifier* notifier);
    // Closes the open connection; the session stays usable.
    void closeConnection();
    // Replaces the read and connect time-outs (seconds, above 0) for this fetcher's session.
    void setTimeouts(int readSeconds, int connectSeconds);

    // Resolves the host and keeps its addresses on a local network; with any, the session
    // connects to those addresses only. False when resolution or interface listing failed.
    [[nodiscard]] bool checkLocalNetwork();

    bool valid() const { return m_valid; }
    bool redirected() const { return m_redirected; }
    ne_session* session() const { return m_session.get(); }
    const std::string& scheme() const { return m_scheme; }
    const std::string& host() const { return m_host; }
    unsigned port() const { return m_port; }
    std::size_t localAddressCount() const { return m_localAddrs.size(); }

    // The text for a neon result code; for NE_OK and NE_ERROR the session's own error string.
    std::string errorText(int code) const;

    // "scheme://host:port/path", as messages name what was fetched.
    std::string urlFor(const std::string& path) const;

private:
    [[nodiscard]] int request(const std::string& path, Transfer& transfer, bool bypassCache, int& statusClass);
    [[nodiscard]] bool startBody(ne_request* request, int code, bool ranged, const std::string& path,
                                 Transfer& transfer);
    [[nodiscard]] int receiveBody(ne_request* request, int code, bool ranged, const std::string& path,
                                  Transfer& transfer);
    // Sets the session error for a failed write (errno tells why); false.
    void failWriting();  // records the write error on the session, for the request's message
    [[nodiscard]] int discardBody(ne_request* request, const std::string& path, Transfer& transfer);
    [[nodiscard]] bool checkPace(StallMeter& meter, uint64_t bytes, const std::string& path, Transfer& transfer);
    void clearLocalAddresses();
    void restartCredentialSearch(int attempt);
    [[nodiscard]] int lookupCredentials(CredentialStore& store, const char* kind, const char* realm, int attempt,
                                        char* username, char* password);

    static int serverAuthDigest(void* userdata, const char* realm, int attempt, char* username, char* password);
    static int serverAuthDefault(void* userdata, const char* realm, int attempt, char* username, char* password);
    static int proxyAuth(void* userdata, const char* realm, int attempt, char* username, char* password);
    static void notifyStatus(void* userdata, ne_session_status status, const ne_session_status_info* info);

    bool m_valid = false;
    std::string m_scheme;
    std::string m_host;
    unsigned m_port = 0;
    NeSessionPtr m_session;
    bool m_redirected = false;
    // neon keeps pointers into m_addrList, whose entries m_localAddrs owns.
    std::vector<NeInetAddrPtr> m_localAddrs;
    std::vector<const ne_inet_addr*> m_addrList;
    CredentialStore m_credentials;
    const std::string* m_requestPath = nullptr;  // set only while a request runs
    std::vector<char> m_buffer;                  // body blocks on their way to the file
};
