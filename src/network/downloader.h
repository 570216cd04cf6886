// Downloads paths relative to the repository's base URI into local files, atomically: the data
// goes to "<destination>.tmp", which replaces the destination by a rename only once the
// resource is complete, so a destination holds either its previous content or a complete new
// one. Owns one fetcher for the repository server and one for every server a redirect leads
// to, and follows at most five redirects in a row.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "config/handles.h"
#include "network/url_fetcher.h"

class Downloader {
public:
    static constexpr int kMaxRedirects = 5;

    Downloader() = default;
    ~Downloader();
    Downloader(const Downloader&) = delete;
    Downloader& operator=(const Downloader&) = delete;

    // True when the downloader is usable afterwards; false without a message when it is
    // already open, and closed again after any other failure.
    bool open(const std::string& uri);
    // Forgets the base URI, the fetchers and the notifier; the object can be opened again.
    void close();
    bool isOpen() const { return !m_vFetchers.empty(); }

    // Not owned; installed on the existing fetchers and on those created later.
    void setNotifier(URLFetcher::Notifier* notifier);

    // Fetches relativePath (no leading "/") below the base URI into destination. True when
    // the destination now holds the complete resource; on false it is untouched and no
    // temporary file remains. bypassCache goes with every request, redirects included.
    bool download(const std::string& relativePath, const std::string& destination, bool bypassCache);

    // Prefixes the base path, without any normalisation.
    void resolvePath(std::string& path) const;

    const std::string& basePath() const { return m_basePath; }
    std::size_t fetcherCount() const { return m_vFetchers.size(); }

private:
    // The fetcher for a redirect target: the first that serves its scheme, host and port, or
    // a new one. Null when none can be made (the reason is logged).
    URLFetcher* fetcherForRedirect(URLFetcher* current, const ne_uri& target);

    NeUri m_uri;
    std::vector<std::unique_ptr<URLFetcher>> m_vFetchers;  // [0] serves the base URI
    std::string m_basePath;                                // ends in "/" while open
    URLFetcher::Notifier* m_notifier = nullptr;
};
