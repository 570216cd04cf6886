#include "network/downloader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <utility>

#include <neon/ne_redirect.h>

#include "config/logger.h"
#include "config/own_files.h"
#include "config/util.h"

namespace {

// "<destination>.tmp", removed on every path unless it was moved into place.
class TempFile {
public:
    explicit TempFile(std::string path) : m_path(std::move(path)) {}
    ~TempFile() {
        m_fd.reset();
        if (m_created) unlink(m_path.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    // A leftover of an interrupted run is truncated and reused. A symbolic link in its place
    // is not followed, so the data never lands outside the destination's directory.
    bool create() {
        if (!removeStrayEntry(m_path)) return false;
        m_fd.reset(open(m_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666));
        if (!m_fd) {
            LOG(Error, "failed creating file '%s' (%s)", m_path.c_str(), errnoText().c_str());
            return false;
        }
        m_created = true;
        return true;
    }
    int fd() const { return m_fd.get(); }

    // Closes the file and renames it to destination.
    bool commit(const std::string& destination) {
        if (!m_fd.close()) {
            LOG(Error, "failed closing file '%s' (%s)", m_path.c_str(), errnoText().c_str());
            return false;
        }
        // What is in the destination's place goes, a directory included, but is never followed.
        if (!removeStrayEntry(destination)) return false;
        if (rename(m_path.c_str(), destination.c_str()) != 0) {
            LOG(Error, "failed renaming '%s' to '%s' (%s)", m_path.c_str(), destination.c_str(), errnoText().c_str());
            return false;
        }
        m_created = false;
        return true;
    }

private:
    std::string m_path;
    UniqueFd m_fd;
    bool m_created = false;
};

const char* text(const char* value) {
    return value ? value : "";
}

}  // namespace

Downloader::~Downloader() {
    close();
}

bool Downloader::open(const std::string& uri) {
    if (!m_vFetchers.empty()) return false;

    if (!m_uri.parse(uri.c_str())) {
        LOG(Error, "failed parsing repository URI '%s'", uri.c_str());
        close();
        return false;
    }
    const ne_uri& parsed = m_uri.get();
    // An empty host, as in "file:///media/usb", counts as present.
    if (!parsed.scheme || !parsed.host || !parsed.path) {
        LOG(Error, "repository URI '%s' missing host, path or scheme", uri.c_str());
        close();
        return false;
    }
    LOG(Debug, "opening repo downloader with URI scheme, host, port, path = '%s' '%s' %u '%s'", parsed.scheme,
        parsed.host, parsed.port, parsed.path);

    m_vFetchers.push_back(std::make_unique<URLFetcher>(parsed));
    if (!m_vFetchers.front()->valid()) {
        LOG(Error, "cannot create fetcher for '%s'", uri.c_str());
        close();
        return false;
    }
    if (m_notifier) m_vFetchers.front()->setNotifier(m_notifier);

    // The query and fragment of the base URI have no meaning for the paths below it.
    m_basePath = parsed.path;
    if (m_basePath.empty() || m_basePath.back() != '/') m_basePath += '/';
    LOG(Debug, "opened repo downloader with base URI '%s'", uri.c_str());
    return true;
}

void Downloader::close() {
    m_basePath.clear();
    m_vFetchers.clear();
    m_uri.reset();
    m_notifier = nullptr;
}

void Downloader::setNotifier(URLFetcher::Notifier* notifier) {
    m_notifier = notifier;
    for (const std::unique_ptr<URLFetcher>& fetcher : m_vFetchers) fetcher->setNotifier(notifier);
}

void Downloader::resolvePath(std::string& path) const {
    std::string resolved = m_basePath + path;
    LOG(Debug, "resolved URI path '%s' on '%s' to '%s'", path.c_str(), m_basePath.c_str(), resolved.c_str());
    path = std::move(resolved);
}

bool Downloader::download(const std::string& relativePath, const std::string& destination, bool bypassCache) {
    // After a failed open there is nothing to fetch with; the destination stays as it is.
    if (m_vFetchers.empty()) return false;

    TempFile temp(destination + ".tmp");
    LOG(Debug, "downloading path '%s' to '%s'", relativePath.c_str(), destination.c_str());
    std::string path = relativePath;
    resolvePath(path);
    if (!temp.create()) return false;

    URLFetcher* current = m_vFetchers.front().get();
    int budget = kMaxRedirects + 1;
    for (;;) {
        if (current->get(path, temp.fd(), bypassCache, relativePath)) {
            // Connections to redirect targets are not kept: a later download may well not go there.
            if (current != m_vFetchers.front().get()) current->closeConnection();
            if (!temp.commit(destination)) return false;
            LOG(Debug, "successfully downloaded path '%s' to '%s'", relativePath.c_str(), destination.c_str());
            return true;
        }
        // The fetcher has logged why it failed.
        if (!current->redirected()) return false;

        if (--budget == 0) {
            LOG(Error, "maximum number of redirects (%i) exceeded", kMaxRedirects);
            return false;
        }
        // A copy: the session's own record goes away with its next request.
        NeUri target;
        const ne_uri* location = ne_redirect_location(current->session());
        if (!location || !location->scheme || !location->host || !location->path) {
            LOG(Error, "got redirect with unparseable location");
            return false;
        }
        ne_uri_copy(&target.get(), location);
        LOG(Debug, "'%s' redirected to '%s://%s:%u%s", relativePath.c_str(), target->scheme, target->host, target->port,
            target->path);

        URLFetcher* next = fetcherForRedirect(current, target.get());
        if (!next) return false;
        current = next;
        path = target->path;
        if (target->query) {
            path += '?';
            path += target->query;
        }
        // A redirect answer wrote nothing, so the temporary file is still empty.
    }
}

URLFetcher* Downloader::fetcherForRedirect(URLFetcher* current, const ne_uri& target) {
    // A server must not be able to make the device copy its own files (or read /dev/zero
    // until the storage is full): local files are reachable through the base URI only.
    if (std::strcmp(target.scheme, "file") == 0) {
        MallocTextPtr unparsed(ne_uri_unparse(&target));
        LOG(Error, "cannot create fetcher for redirection to '%s'", text(unparsed.get()));
        current->closeConnection();
        return nullptr;
    }

    URLFetcher* found = nullptr;
    for (const std::unique_ptr<URLFetcher>& fetcher : m_vFetchers) {
        if (fetcher->matches(target)) {
            found = fetcher.get();
            break;
        }
    }
    if (found != current) current->closeConnection();
    if (found) return found;

    auto fetcher = std::make_unique<URLFetcher>(target);
    if (!fetcher->valid()) {
        MallocTextPtr unparsed(ne_uri_unparse(&target));
        LOG(Error, "cannot create fetcher for redirection to '%s'", text(unparsed.get()));
        return nullptr;
    }
    if (m_notifier) fetcher->setNotifier(m_notifier);
    m_vFetchers.push_back(std::move(fetcher));
    return m_vFetchers.back().get();
}
