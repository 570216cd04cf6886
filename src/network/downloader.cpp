#include "network/downloader.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include <neon/ne_redirect.h>

#include "base/durable_file.h"
#include "base/logger.h"
#include "base/own_files.h"
#include "base/run_report.h"
#include "base/util.h"
#include "network/partial_file.h"

namespace {

// The download goes into "<destination>.tmp", removed on every path unless it was moved into
// place. A leftover of an interrupted run is truncated and reused. A symbolic link in its
// place is not followed, so the data never lands outside the destination's directory.
bool createDownloadFile(TempFile& temp, const std::string& path) {
    if (!removeStrayEntry(path)) return false;
    if (!temp.createAt(path, 0666)) {
        LOG(Error, "failed creating file '%s' (%s)", path.c_str(), errnoText().c_str());
        return false;
    }
    return true;
}

// Closes the file and renames it to destination.
bool commitDownloadFile(TempFile& temp, const std::string& destination) {
    if (!temp.close()) {
        LOG(Error, "failed closing file '%s' (%s)", temp.path().c_str(), errnoText().c_str());
        return false;
    }
    // What is in the destination's place goes, a directory included, but is never followed.
    if (!removeStrayEntry(destination)) return false;
    if (!temp.commit(destination)) {
        LOG(Error, "failed renaming '%s' to '%s' (%s)", temp.path().c_str(), destination.c_str(), errnoText().c_str());
        return false;
    }
    return true;
}

const char* text(const char* value) {
    return value ? value : "";
}

// The time a file may take, from now.
void setDeadline(Transfer& transfer) {
    const TransferPolicy& policy = URLFetcher::transferPolicy();
    transfer.deadlineSeconds = transferDeadlineSeconds(
        policy, transfer.limit.declaredSize ? transfer.limit.declaredSize
                                            : std::min<uint64_t>(transfer.limit.maxBytes, UINT32_MAX));
    transfer.deadline = monotonicSeconds() + transfer.deadlineSeconds;
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

bool staysInsideBase(const std::string& relativePath) {
    if (relativePath.empty() || relativePath[0] == '/') return false;
    std::string::size_type start = 0;
    for (;;) {
        std::string::size_type end = relativePath.find('/', start);
        if (relativePath.compare(start, end == std::string::npos ? std::string::npos : end - start, "..") == 0)
            return false;
        if (end == std::string::npos) return true;
        start = end + 1;
    }
}

bool Downloader::download(const std::string& relativePath, const std::string& destination, bool bypassCache,
                          const DownloadSpec& spec) {
    m_refused = false;
    // After a failed open there is nothing to fetch with; the destination stays as it is.
    if (m_vFetchers.empty()) return false;
    const bool local = !m_vFetchers.front()->session();
    // Over http the server decides what a path means; on the device's own storage "../" would
    // reach any file.
    if (local && !staysInsideBase(relativePath)) {
        LOG(Error, "refusing '%s': it leads outside the repository directory", relativePath.c_str());
        m_refused = true;
        return false;
    }
    LOG(Debug, "downloading path '%s' to '%s'", relativePath.c_str(), destination.c_str());

    Transfer transfer;
    transfer.limit = spec.limit;
    setDeadline(transfer);
    std::unique_ptr<PartialFile> partial;
    if (!local && !spec.partialPath.empty()) {
        partial = std::make_unique<PartialFile>(spec.partialPath);
        if (!partial->open(spec.limit.maxBytes)) partial.reset();
    }
    TempFile temp;
    if (partial) {
        transfer.fd = partial->fd();
        transfer.size = partial->size();
        transfer.validator = partial->validator();
        transfer.resumable = true;
        PartialFile* file = partial.get();
        transfer.saveValidator = [file](const std::string& validator) { return file->saveValidator(validator); };
    } else {
        if (!createDownloadFile(temp, destination + ".tmp")) return false;
        transfer.fd = temp.fd();
    }

    const bool fetched = fetch(relativePath, transfer, bypassCache);
    count(transfer);
    m_refused = transfer.refused;
    if (!fetched) {
        // A broken limit is not worth keeping; anything else may be resumed.
        if (partial && transfer.refused) partial->remove();
        if (partial && !transfer.refused) partial->keep(transfer.size);
        return false;
    }
    if (partial ? !partial->commit(destination) : !commitDownloadFile(temp, destination)) return false;
    LOG(Debug, "successfully downloaded path '%s' to '%s'", relativePath.c_str(), destination.c_str());
    return true;
}

TransferTotals Downloader::takeTotals() {
    TransferTotals taken = m_totals;
    m_totals = TransferTotals();
    return taken;
}

void Downloader::count(const Transfer& transfer) {
    m_totals.received += transfer.received;
    m_totals.resumed += transfer.resumed;
    m_totals.discarded += transfer.discarded;
}

bool Downloader::fetch(const std::string& relativePath, Transfer& transfer, bool bypassCache) {
    std::string path = relativePath;
    resolvePath(path);
    URLFetcher* current = m_vFetchers.front().get();
    int budget = kMaxRedirects + 1;
    for (;;) {
        if (current->get(path, transfer, bypassCache, relativePath)) {
            // Connections to redirect targets are not kept: a later download may well not go there.
            if (current != m_vFetchers.front().get()) current->closeConnection();
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

        URLFetcher* next = fetcherForRedirect(current, path, target.get());
        if (!next) {
            transfer.refused = true;
            return false;
        }
        current = next;
        path = target->path;
        if (target->query) {
            path += '?';
            path += target->query;
        }
        // A redirect answer wrote nothing, so the file holds what it held before.
    }
}

URLFetcher* Downloader::fetcherForRedirect(URLFetcher* current, const std::string& currentPath, const ne_uri& target) {
    // What came over TLS goes on over TLS only: anything else would hand the transfer to
    // whoever sits on the path.
    if (current->scheme() == "https" && std::strcmp(target.scheme, "https") != 0) {
        MallocTextPtr unparsed(ne_uri_unparse(&target));
        LOG(Error, "refusing redirect from '%s' to '%s', which leaves https", current->urlFor(currentPath).c_str(),
            text(unparsed.get()));
        RunReport::instance().refuse(Refusal::Downgrade, current->urlFor(currentPath) + " -> " + text(unparsed.get()));
        current->closeConnection();
        return nullptr;
    }
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
