#include "network/url_fetcher.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include <neon/ne_auth.h>
#include <neon/ne_redirect.h>
#include <neon/ne_request.h>
#include <neon/ne_utils.h>

#include "base/logger.h"
#include "base/run_report.h"
#include "base/util.h"
#include "base/version.h"
#include "network/local_network.h"

namespace {

constexpr std::size_t kCopyBlockSize = 4096;
constexpr std::size_t kReceiveBlockSize = 64 * 1024;
// A partial file is written out this often, so that a power cut keeps most of it.
constexpr uint64_t kPartialSyncBytes = 4 * 1024 * 1024;
// The most of an error answer's body that is read before the connection is given up.
constexpr uint64_t kMaxDiscardedBytes = 1024 * 1024;

// Digits only, within 64 bits.
bool parseDecimal(const char* text, uint64_t& value) {
    if (!text || *text < '0' || *text > '9') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long parsed = std::strtoull(text, &end, 10);
    if (errno == ERANGE || *end != '\0') return false;
    value = parsed;
    return true;
}

// One copy for the process, filled by URLFetcher::initClass.
struct ClassState {
    bool initialized = false;
    FetcherConfig config;
    DeviceIdentity identity;
    std::string userAgent;
    CredentialStore defaultCredentials;
    std::string credentialsFile = paths::kCredentialsFile;
};

ClassState& classState() {
    static ClassState state;
    return state;
}

unsigned defaultPort(const char* scheme) {
    return scheme ? ne_uri_defaultport(scheme) : 0;
}

// Copies into neon's buffers of NE_ABUFSIZ bytes; names and passwords that do not fit with
// their terminating zero are refused rather than cut.
int fillCredentials(const char* kind, const std::string& user, const std::string& secret, char* username,
                    char* password) {
    if (user.empty()) {
        LOG(Error, "%s authentication requested but no credentials set", kind);
        return -1;
    }
    if (user.size() >= NE_ABUFSIZ) {
        LOG(Error, "%s username length (%zu) exceeds maximum supported (%i)", kind, user.size(), NE_ABUFSIZ);
        return -1;
    }
    if (secret.size() >= NE_ABUFSIZ) {
        LOG(Error, "%s password length (%zu) exceeds maximum supported (%i)", kind, secret.size(), NE_ABUFSIZ);
        return -1;
    }
    LOG(Trace, "attempting %s authentication as user '%s'", kind, user.c_str());
    std::memcpy(username, user.c_str(), user.size() + 1);
    std::memcpy(password, secret.c_str(), secret.size() + 1);
    return 0;
}

bool refuseOverLimit(const std::string& url, Transfer& transfer) {
    LOG(Error, "'%s' exceeds the %" PRIu64 " bytes %s", url.c_str(), transfer.limit.maxBytes,
        transfer.limit.origin.c_str());
    RunReport::instance().refuse(Refusal::SizeLimit, url);
    transfer.refused = true;
    return false;
}

// A local file as it is, but no more of it than the limit allows (a repository on a stick
// may hold a link to a device that never ends).
bool copyFile(const std::string& path, Transfer& transfer) {
    UniqueFd input(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!input) {
        LOG(Error, "failed copying file '%s' (%s)", path.c_str(), errnoText().c_str());
        return false;
    }
    char buffer[kCopyBlockSize];
    for (;;) {
        ssize_t count = read(input.get(), buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) continue;
        if (count > 0 && transfer.size + static_cast<uint64_t>(count) > transfer.limit.maxBytes)
            return refuseOverLimit("file://" + path, transfer);
        if (count < 0 || !writeAll(transfer.fd, buffer, static_cast<size_t>(count))) {
            LOG(Error, "failed copying file '%s' (%s)", path.c_str(), errnoText().c_str());
            return false;
        }
        if (count == 0) return true;
        transfer.size += static_cast<uint64_t>(count);
        transfer.received += static_cast<uint64_t>(count);
    }
}

// [from, to) of a partial download has just been written, [previous, from) was started the
// time before: waits for that and starts the new piece without waiting. A power cut then
// keeps most of what a slow link brought, and the transfer never waits on the storage for
// more than one piece.
void writeOut(int fd, uint64_t previous, uint64_t from, uint64_t to) {
    if (from > previous) {
        sync_file_range(fd, static_cast<off_t>(previous), static_cast<off_t>(from - previous),
                        SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
    }
    sync_file_range(fd, static_cast<off_t>(from), static_cast<off_t>(to - from), SYNC_FILE_RANGE_WRITE);
}

// Starts the file again from its first byte.
bool rewind(Transfer& transfer) {
    if (lseek(transfer.fd, 0, SEEK_SET) != 0 || ftruncate(transfer.fd, 0) != 0) return false;
    transfer.discarded += transfer.size;
    transfer.size = 0;
    return true;
}

}  // namespace

void URLFetcher::Notifier::notify(ne_session_status, const ne_session_status_info*) {}

void URLFetcher::initClass(const FetcherConfig& config, const std::string& cpuinfoPath,
                           const std::string& i2cDriversDir, const std::string& credentialsFile) {
    ClassState& state = classState();
    if (state.initialized) return;
    state.config = config;
    state.credentialsFile = credentialsFile;
    state.initialized = true;

    // Without an identity (logged where it failed) the user agent names no serial, and the
    // default credentials below cannot be made.
    (void)readDeviceIdentity(state.identity, cpuinfoPath);
    state.userAgent = config.userAgentBase + "/" + kUpdaterVersion;
    if (!state.identity.serial.empty())
        state.userAgent += " (" + config.userAgentProduct + "-" + state.identity.serial + ")";

    if (!setupDefaultCredentials(state.defaultCredentials, state.identity, config.userAgentProduct, i2cDriversDir))
        LOG(Warn, "cannot recover default authentication credentials");
}

bool URLFetcher::classInitialized() {
    return classState().initialized;
}

const std::string& URLFetcher::userAgent() {
    return classState().userAgent;
}

const DeviceIdentity& URLFetcher::deviceIdentity() {
    return classState().identity;
}

const TransferPolicy& URLFetcher::transferPolicy() {
    return classState().config.transfer;
}

void URLFetcher::resetClassForTesting() {
    classState() = ClassState{};
}

URLFetcher::URLFetcher(const ne_uri& uri) {
    const ClassState& state = classState();
    if (!state.initialized) {
        LOG(Error, "URLFetcher class not initialized before calling constructor");
        return;
    }
    if (!uri.host || !uri.scheme) {
        LOG(Error, "URI missing host or scheme, cannot build fetcher");
        return;
    }
    m_scheme = uri.scheme;
    m_host = uri.host;
    m_port = uri.port;
    m_credentials = CredentialStore(uri);

    if (m_scheme == "file") {
        if (!m_host.empty() && m_host != "localhost") {
            LOG(Error, "only local file: URIs supported");
            return;
        }
    } else {
        if (m_port == 0) m_port = defaultPort(uri.scheme);
        if (m_port == 0) {
            LOG(Error, "scheme '%s' not supported", m_scheme.c_str());
            return;
        }
        m_session.reset(ne_session_create(m_scheme.c_str(), m_host.c_str(), m_port));
        if (!m_session) {
            LOG(Error, "could not open session for scheme '%s', host '%s', port %u", m_scheme.c_str(), m_host.c_str(),
                m_port);
            return;
        }
        ne_session* session = m_session.get();
        // The system's certificate authorities only: no client certificate, no override.
        if (m_scheme == "https") ne_ssl_trust_default_ca(session);

        // A file that cannot be read to its end (logged) offers none of its credentials: half a
        // file may lack the entry meant for this server's realm and hand out another.
        if (isReadable(state.credentialsFile) && !loadCredentials(m_credentials, state.credentialsFile))
            m_credentials.clear();

        // Digest first, so that a Digest challenge reaches the handler that also offers the
        // device's default credentials; the other schemes get the configured entries only.
        ne_add_server_auth(session, NE_AUTH_DIGEST, serverAuthDigest, this);
        ne_add_server_auth(session, NE_AUTH_DEFAULT, serverAuthDefault, this);

        const FetcherConfig& config = state.config;
        if (config.proxyServer.empty()) {
            LOG(Debug, "no proxy configured");
        } else {
            if (config.bypassLocalNetwork && !checkLocalNetwork())
                LOG(Warn, "could not check if addresses for host '%s' are in local net, using proxy", m_host.c_str());
            if (m_localAddrs.empty()) {
                ne_session_proxy(session, config.proxyServer.c_str(), static_cast<unsigned>(config.proxyPort));
                ne_set_proxy_auth(session, proxyAuth, this);
                LOG(Debug, "using proxy for %s", m_host.c_str());
            } else {
                LOG(Debug, "bypassing proxy since %s is local", m_host.c_str());
            }
        }

        ne_set_useragent(session, state.userAgent.c_str());
        // Redirects end the request; the owner decides where to follow them.
        ne_redirect_register(session);
        ne_set_read_timeout(session, kReadTimeoutSeconds);
        ne_set_connect_timeout(session, kConnectTimeoutSeconds);
    }
    m_valid = true;
    LOG(Debug, "URI fetcher %p for scheme '%s', host '%s', port %u created", static_cast<void*>(this), m_scheme.c_str(),
        m_host.c_str(), m_port);
}

URLFetcher::~URLFetcher() {
    clearLocalAddresses();
    if (m_session) {
        LOG(Debug, "destroying session for %s://%s:%u", m_scheme.c_str(), m_host.c_str(), m_port);
        m_session.reset();
    }
}

void URLFetcher::clearLocalAddresses() {
    if (m_session && !m_addrList.empty()) ne_set_addrlist(m_session.get(), nullptr, 0);
    m_addrList.clear();
    m_localAddrs.clear();
}

bool URLFetcher::checkLocalNetwork() {
    clearLocalAddresses();
    if (!findLocalAddresses(m_host, m_localAddrs)) return false;
    for (const NeInetAddrPtr& address : m_localAddrs) m_addrList.push_back(address.get());
    if (m_session && !m_addrList.empty()) ne_set_addrlist(m_session.get(), m_addrList.data(), m_addrList.size());
    return true;
}

bool URLFetcher::matches(const ne_uri& uri) const {
    if (!uri.scheme || !uri.host || m_scheme != uri.scheme || m_host != uri.host) return false;
    unsigned port = uri.port ? uri.port : defaultPort(uri.scheme);
    unsigned own = m_port ? m_port : defaultPort(m_scheme.c_str());
    return port == own;
}

void URLFetcher::setNotifier(Notifier* notifier) {
    if (!m_session) return;
    if (notifier)
        ne_set_notifier(m_session.get(), notifyStatus, notifier);
    else
        ne_set_notifier(m_session.get(), nullptr, nullptr);
}

void URLFetcher::closeConnection() {
    if (m_session) ne_close_connection(m_session.get());
}

void URLFetcher::setTimeouts(int readSeconds, int connectSeconds) {
    if (!m_session) return;
    ne_set_read_timeout(m_session.get(), readSeconds);
    ne_set_connect_timeout(m_session.get(), connectSeconds);
}

std::string URLFetcher::errorText(int code) const {
    switch (code) {
        case NE_OK:
            return m_session ? ne_get_error(m_session.get()) : "no error";
        case NE_ERROR:
            return m_session ? ne_get_error(m_session.get()) : "generic error";
        case NE_LOOKUP:
            return "server or proxy hostname lookup failed";
        case NE_AUTH:
            return "authentication failed on server";
        case NE_PROXYAUTH:
            return "authentication failed on proxy";
        case NE_CONNECT:
            return "could not connect to server";
        case NE_TIMEOUT:
            return "connection timed out";
        case NE_FAILED:
            return "the precondition failed";
        case NE_RETRY:
            return "retry the request";
        case NE_REDIRECT:
            return "received server redirect";
        default:
            return "<unknown error code>";
    }
}

std::string URLFetcher::urlFor(const std::string& path) const {
    return m_scheme + "://" + m_host + ":" + std::to_string(m_port) + path;
}

bool URLFetcher::get(const std::string& requestPath, Transfer& transfer, bool bypassCache,
                     const std::string& displayName) {
    if (!m_valid) return false;
    m_redirected = false;
    LOG(Trace, "URLFetcher::get() this = %p", static_cast<void*>(this));
    if (!m_session) return copyFile(requestPath, transfer);

    int retries = 0;
    int result;
    int statusClass = 0;
    for (;;) {
        transfer.stalled = false;
        result = request(requestPath, transfer, bypassCache, statusClass);
        if (result == NE_REDIRECT) {
            m_redirected = true;
            return false;
        }
        // Over a limit or past the deadline: said where it was found, and asking again is futile.
        if (transfer.refused) return false;
        bool transient = result == NE_ERROR || result == NE_CONNECT || result == NE_TIMEOUT;
        if (!transient || retries >= kMaxRetries) break;
        ++retries;
        LOG(Warn, "failed fetching '%s' (%s); retrying", displayName.c_str(), errorText(result).c_str());
        // A retry continues a resumable file; any other starts from an empty one, or the
        // output would hold parts of two answers.
        const bool resumes = transfer.resumable && !transfer.validator.empty();
        if (!resumes && !rewind(transfer)) {
            LOG(Error, "failed rewinding, cannot retry");
            break;
        }
    }
    if (result == NE_OK && statusClass == 2) {
        if (retries > 0) LOG(Info, "fetched '%s' in retry %i", displayName.c_str(), retries);
        return true;
    }
    // Another status than 2xx comes with NE_OK, whose text is neon's status line.
    LOG(Error, "failed fetching '%s' (%s)", displayName.c_str(), errorText(result).c_str());
    if (transfer.stalled) RunReport::instance().refuse(Refusal::Stall, urlFor(requestPath));
    if (result == NE_LOOKUP)
        LOG(Error,
            "make sure that a network gateway and DNS servers are configured\n"
            "and that the unit is connected to the network");
    else if (result == NE_PROXYAUTH)
        LOG(Error, "make sure the proper username and password are configured in the proxy settings");
    return false;
}

// neon's dispatch loop written out, so that the headers of an answer are judged before its
// body is read, and the body is counted as it arrives.
int URLFetcher::request(const std::string& path, Transfer& transfer, bool bypassCache, int& statusClass) {
    NeRequestPtr request(ne_request_create(m_session.get(), "GET", path.c_str()));
    m_requestPath = &path;
    if (bypassCache) {
        ne_add_request_header(request.get(), "Cache-Control", "no-cache");
        ne_add_request_header(request.get(), "Pragma", "no-cache");
    }
    const bool ranged = transfer.resumable && transfer.size > 0 && !transfer.validator.empty();
    if (ranged) {
        ne_print_request_header(request.get(), "Range", "bytes=%" PRIu64 "-", transfer.size);
        ne_add_request_header(request.get(), "If-Range", transfer.validator.c_str());
    }
    statusClass = 0;
    transfer.completeAsIs = false;
    int result;
    do {
        result = ne_begin_request(request.get());
        if (result != NE_OK) break;
        const ne_status* status = ne_get_status(request.get());
        if (status->klass == 2) {
            result = receiveBody(request.get(), status->code, ranged, path, transfer);
        } else {
            // Nothing left to send: the bytes held are the whole file, for the checksum to judge.
            transfer.completeAsIs = ranged && status->code == 416;
            result = discardBody(request.get(), path, transfer);
        }
        if (result != NE_OK) {
            // The rest of the answer is still on the wire: the connection cannot be reused.
            ne_close_connection(m_session.get());
            break;
        }
        result = ne_end_request(request.get());
    } while (result == NE_RETRY);
    if (result == NE_OK) statusClass = transfer.completeAsIs ? 2 : ne_get_status(request.get())->klass;
    request.reset();
    m_requestPath = nullptr;
    return result;
}

// A 206 must continue the file exactly; a 200 starts it again and brings the validator of a
// later resume, recorded before its first byte.
bool URLFetcher::startBody(ne_request* request, int code, bool ranged, const std::string& path, Transfer& transfer) {
    if (code == 206) {
        const char* header = ne_get_response_header(request, "Content-Range");
        ContentRange range;
        if (!ranged || !parseContentRange(header, range) ||
            !rangeContinues(range, transfer.size, transfer.limit.declaredSize)) {
            LOG(Warn, "'%s' answered with range '%s', which does not continue the %" PRIu64 " bytes held",
                urlFor(path).c_str(), header ? header : "", transfer.size);
            // The next attempt asks for the whole file.
            transfer.validator.clear();
            if (!rewind(transfer)) {
                failWriting();
                return false;
            }
            ne_set_error(m_session.get(), "unusable partial answer");
            return false;
        }
        transfer.resumed += transfer.size;
        if (lseek(transfer.fd, static_cast<off_t>(transfer.size), SEEK_SET) < 0) {
            failWriting();
            return false;
        }
        return true;
    }
    if (transfer.size > 0 && !rewind(transfer)) {
        failWriting();
        return false;
    }
    if (!transfer.resumable) return true;
    transfer.validator =
        resumeValidator(ne_get_response_header(request, "ETag"), ne_get_response_header(request, "Last-Modified"));
    if (!transfer.saveValidator || transfer.saveValidator(transfer.validator)) return true;
    ne_set_error(m_session.get(), "failed recording how to resume the download");
    return false;
}

void URLFetcher::failWriting() {
    ne_set_error(m_session.get(), "failed writing downloaded data to file (%s)", errnoText().c_str());
}

int URLFetcher::receiveBody(ne_request* request, int code, bool ranged, const std::string& path, Transfer& transfer) {
    if (!startBody(request, code, ranged, path, transfer)) return NE_ERROR;
    // A length announced beyond the limit is refused before its body is read.
    const char* length = ne_get_response_header(request, "Content-Length");
    uint64_t announced = 0;
    const uint64_t room = transfer.limit.maxBytes - std::min(transfer.size, transfer.limit.maxBytes);
    if (length && parseDecimal(length, announced) && announced > room) {
        refuseOverLimit(urlFor(path), transfer);
        return NE_ERROR;
    }
    const TransferPolicy& policy = classState().config.transfer;
    StallMeter meter(policy.stallBytesPerSecond, policy.stallSeconds, monotonicSeconds());
    uint64_t previous = transfer.size;
    uint64_t started = transfer.size;
    if (m_buffer.empty()) m_buffer.resize(kReceiveBlockSize);
    for (;;) {
        ssize_t count = ne_read_response_block(request, m_buffer.data(), m_buffer.size());
        if (count < 0) return NE_ERROR;
        if (count == 0) return NE_OK;
        const uint64_t bytes = static_cast<uint64_t>(count);
        transfer.received += bytes;
        if (transfer.size + bytes > transfer.limit.maxBytes) {
            refuseOverLimit(urlFor(path), transfer);
            return NE_ERROR;
        }
        if (!writeAll(transfer.fd, m_buffer.data(), static_cast<size_t>(count))) {
            failWriting();
            return NE_ERROR;
        }
        transfer.size += bytes;
        // A power cut then keeps most of what a slow link brought.
        if (transfer.resumable && transfer.size - started >= kPartialSyncBytes) {
            writeOut(transfer.fd, previous, started, transfer.size);
            previous = started;
            started = transfer.size;
        }
        if (!checkPace(meter, bytes, path, transfer)) return NE_ERROR;
    }
}

// The rate floor (a stall is retried like a dropped connection) and the deadline of the file
// (past it, no attempt can succeed).
bool URLFetcher::checkPace(StallMeter& meter, uint64_t bytes, const std::string& path, Transfer& transfer) {
    const double now = monotonicSeconds();
    const TransferPolicy& policy = classState().config.transfer;
    if (!meter.add(bytes, now)) {
        LOG(Warn, "transfer of '%s' stalled at %.0f bytes per second for %u seconds", urlFor(path).c_str(),
            meter.rate(), policy.stallSeconds);
        ne_set_error(m_session.get(), "transfer slower than %" PRIu64 " bytes per second", policy.stallBytesPerSecond);
        transfer.stalled = true;
        return false;
    }
    if (transfer.deadline > 0 && now > transfer.deadline) {
        LOG(Error, "'%s' is not complete within its %.0f seconds", urlFor(path).c_str(), transfer.deadlineSeconds);
        RunReport::instance().refuse(Refusal::Deadline, urlFor(path));
        transfer.refused = true;
        return false;
    }
    return true;
}

// Error answers are read to keep the connection for the next request (an authentication
// retry in particular), but only so far: a body that does not end is not waited for.
int URLFetcher::discardBody(ne_request* request, const std::string& path, Transfer& transfer) {
    if (m_buffer.empty()) m_buffer.resize(kReceiveBlockSize);
    uint64_t seen = 0;
    for (;;) {
        ssize_t count = ne_read_response_block(request, m_buffer.data(), m_buffer.size());
        if (count < 0) return NE_ERROR;
        if (count == 0) return NE_OK;
        seen += static_cast<uint64_t>(count);
        if (seen > kMaxDiscardedBytes) {
            LOG(Error, "'%s' answered %i with a body of more than %" PRIu64 " bytes", urlFor(path).c_str(),
                ne_get_status(request)->code, kMaxDiscardedBytes);
            transfer.refused = true;
            return NE_ERROR;
        }
    }
}

int URLFetcher::lookupCredentials(CredentialStore& store, const char* kind, const char* realm, int attempt,
                                  char* username, char* password) {
    const CredentialEntry* entry = findCredential(store, realm ? realm : "", m_requestPath ? *m_requestPath : "/");
    if (!entry) return -1;
    LOG(Debug, "trying %s authentication for '%s' in attempt %i", kind, entry->username.c_str(), attempt);
    return fillCredentials("http", entry->username, entry->password, username, password);
}

// A new challenge round starts at the first entry of both stores; within a round every entry
// is offered once, so that a refused entry makes neon ask again with the next one.
void URLFetcher::restartCredentialSearch(int attempt) {
    if (attempt != 0) return;
    resetCursor(m_credentials);
    resetCursor(classState().defaultCredentials);
}

int URLFetcher::serverAuthDigest(void* userdata, const char* realm, int attempt, char* username, char* password) {
    URLFetcher* self = static_cast<URLFetcher*>(userdata);
    self->restartCredentialSearch(attempt);
    if (self->lookupCredentials(self->m_credentials, "user", realm, attempt, username, password) == 0) return 0;
    return self->lookupCredentials(classState().defaultCredentials, "default user", realm, attempt, username, password);
}

int URLFetcher::serverAuthDefault(void* userdata, const char* realm, int attempt, char* username, char* password) {
    URLFetcher* self = static_cast<URLFetcher*>(userdata);
    self->restartCredentialSearch(attempt);
    return self->lookupCredentials(self->m_credentials, "user", realm, attempt, username, password);
}

int URLFetcher::proxyAuth(void*, const char*, int attempt, char* username, char* password) {
    const FetcherConfig& config = classState().config;
    // One proxy login per request: a refusal will not change by asking again.
    if (attempt > 0) {
        LOG(Error, "proxy authentication as user '%s' failed", config.proxyUser.c_str());
        return -1;
    }
    return fillCredentials("proxy", config.proxyUser, config.proxyPassword, username, password);
}

void URLFetcher::notifyStatus(void* userdata, ne_session_status status, const ne_session_status_info* info) {
    static_cast<Notifier*>(userdata)->notify(status, info);
}
