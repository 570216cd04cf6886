// Downloads paths relative to the repository's base URI into local files, atomically: the data
// goes to "<destination>.tmp", which replaces the destination by a rename only once the
// resource is complete, so a destination holds either its previous content or a complete new
// one. Owns one fetcher for the repository server and one for every server a redirect leads
// to, and follows at most five redirects in a row.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "base/handles.h"
#include "network/transfer.h"
#include "network/url_fetcher.h"

// What one download may be, beyond its path.
struct DownloadSpec {
    TransferLimit limit;
    // Where an interrupted download is kept and resumed from (see PartialFile); empty: the
    // download goes to "<destination>.tmp" and starts from its first byte every time.
    std::string partialPath;
};

// What the downloads of one downloader moved, in bytes.
struct TransferTotals {
    uint64_t expected = 0;  // what the metadata declared of the files fetched
    uint64_t received = 0;
    uint64_t resumed = 0;
    uint64_t discarded = 0;

    TransferTotals& operator+=(const TransferTotals& other) {
        expected += other.expected;
        received += other.received;
        resumed += other.resumed;
        discarded += other.discarded;
        return *this;
    }
};

// True when a path relative to a local repository's directory stays inside it: no ".."
// segment and no leading "/".
bool staysInsideBase(const std::string& relativePath);

class Downloader {
public:
    static constexpr int kMaxRedirects = 5;

    Downloader() = default;
    ~Downloader();
    Downloader(const Downloader&) = delete;
    Downloader& operator=(const Downloader&) = delete;

    // True when the downloader is usable afterwards; false without a message when it is
    // already open, and closed again after any other failure.
    [[nodiscard]] bool open(const std::string& uri);
    // Forgets the base URI, the fetchers and the notifier; the object can be opened again.
    void close();
    bool isOpen() const { return !m_vFetchers.empty(); }

    // Not owned; installed on the existing fetchers and on those created later.
    void setNotifier(URLFetcher::Notifier* notifier);

    // Fetches relativePath (no leading "/") below the base URI into destination. True when
    // the destination now holds the complete resource; on false it is untouched and no
    // temporary file remains (a partial is kept for a resume unless the file broke its limit).
    // bypassCache goes with every request, redirects included. A download past its limit or
    // its deadline is not retried, and refused() says so afterwards.
    [[nodiscard]] bool download(const std::string& relativePath, const std::string& destination, bool bypassCache,
                                const DownloadSpec& spec = DownloadSpec());
    bool refused() const { return m_refused; }
    // What the downloads since the last call moved; the count starts again.
    TransferTotals takeTotals();

    // Prefixes the base path, without any normalisation.
    void resolvePath(std::string& path) const;

    const std::string& basePath() const { return m_basePath; }
    std::size_t fetcherCount() const { return m_vFetchers.size(); }

private:
    // Follows redirects from the base fetcher until the resource is in the transfer's file.
    [[nodiscard]] bool fetch(const std::string& relativePath, Transfer& transfer, bool bypassCache);
    void count(const Transfer& transfer);
    // The fetcher for a redirect target: the first that serves its scheme, host and port, or
    // a new one. Null when none can be made (the reason is logged).
    URLFetcher* fetcherForRedirect(URLFetcher* current, const std::string& currentPath, const ne_uri& target);

    NeUri m_uri;
    std::vector<std::unique_ptr<URLFetcher>> m_vFetchers;  // [0] serves the base URI
    std::string m_basePath;                                // ends in "/" while open
    URLFetcher::Notifier* m_notifier = nullptr;
    bool m_refused = false;
    TransferTotals m_totals;
};
