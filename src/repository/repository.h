// The one repository the updater works against: its metadata index (repodata/repomd.xml and
// its detached signature), the package lists it names, the cache directory that keeps them
// between runs and the package cache below it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "base/checksum.h"
#include "base/paths.h"
#include "config/updater_config.h"
#include "network/downloader.h"
#include "package/package.h"
#include "package/package_store.h"
#include "repository/index_freshness.h"
#include "repository/metadata_namespaces.h"

// One "data" entry of the index.
struct RepoData {
    std::string type;       // "primary", "tavdata", ...
    std::string href;       // relative to the base URI
    std::string localPath;  // cache directory + type + extension of href
    Checksum checksum;      // of the file as published (usually compressed)
    Checksum openChecksum;  // of its uncompressed content
    uint32_t timestamp = 0;
    uint64_t size = 0;      // declared bytes of the file as published; 0: not declared
    uint64_t openSize = 0;  // declared bytes of its uncompressed content; 0: not declared

    // A cached copy is valid when it matches the published checksum or, failing that, the
    // published open checksum (its content within the limit the policy gives it); an entry
    // that publishes neither is never valid.
    bool cachedCopyValid(const TransferPolicy& policy) const;
};

class Repository {
public:
    // The rpm-md namespace of the index.
    static constexpr const char* kRepoNamespace = kRepomdNamespace;

    Repository() = default;
    // Nothing is read or created on disk until the first update or load. indexRecord keeps
    // the signing time of the last accepted index, to refuse older ones.
    Repository(const UpdaterConfig& options, const RepositoryEntry& entry,
               std::string indexRecord = paths::kIndexRecordFile);
    ~Repository();
    Repository(const Repository&) = delete;
    Repository& operator=(const Repository&) = delete;

    // An absolute path becomes a file URI; anything else is taken as it is.
    void setBaseUri(const std::string& uri);
    const std::string& baseUri() const { return m_baseUri; }
    bool isFileRepository() const;

    const std::string& id() const { return m_config.id; }
    // The repository's directory in the program's cache; ends in "/".
    const std::string& cacheDir() const { return m_cacheDir; }
    // Where downloaded packages are kept; ends in "/".
    const std::string& packagesDir() const { return m_packagesDir; }
    void setPackagesDir(std::string dir) { m_packagesDir = std::move(dir); }
    bool noMetadataSigCheck() const { return m_noMetadataSigCheck; }
    // Where interrupted downloads wait for a resume; ends in "/".
    std::string partialDir() const { return m_cacheDir + "partial/"; }
    // Bytes moved by the downloads of this run so far.
    const TransferTotals& transferTotals() const { return m_totals; }

    // Refreshes the index and the lists from the repository, reusing cached lists whose
    // checksums match the fresh index; an empty uri keeps the current base URI.
    [[nodiscard]] bool update(const std::string& uri = "");
    // Rebuilds the index and the lists from the cache directory alone.
    [[nodiscard]] bool loadFromCache();

    // Reads the cached index into the entries, after checking its signature unless
    // metadata signatures are off.
    [[nodiscard]] bool parseRepomd();
    // Parses the primary list and then, when present, the tavdata list into the packages;
    // with verify the cached copies must match their checksums first.
    [[nodiscard]] bool parseLists(bool verify);

    const std::map<std::string, RepoData>& dataEntries() const { return m_dataEntries; }

    // Every record of the lists.
    const PackageStore& packages() const { return m_packages; }
    PackageStore& packages() { return m_packages; }

    // True when every name has at least one package; otherwise the first missing name is
    // copied to firstMissing when given. An empty list is true.
    bool allPresent(const std::vector<std::string>& names, std::string* firstMissing = nullptr) const;

    // Brings the file of every chosen package into the package cache with a matching
    // checksum; valid cached files are kept. The first failure ends the operation.
    [[nodiscard]] bool fetchPackages(const std::map<std::string, Package>& selection);
    // Removes every file from the package cache. Removal failures are logged but do not make
    // the result false; a missing directory is success.
    [[nodiscard]] bool cleanPackages();

private:
    [[nodiscard]] bool fetchData(const std::string& type, bool required, Downloader& downloader);
    [[nodiscard]] bool fetchResource(const RepoData& data, Downloader& downloader);
    [[nodiscard]] bool fetchPackage(const Package& package, Downloader& downloader, bool& downloaded);
    // One file with its limit, resumable when it has a usable checksum; the first attempt
    // may resume a partial, the retry after a checksum mismatch starts afresh.
    [[nodiscard]] bool downloadChecked(Downloader& downloader, const std::string& href, const std::string& localPath,
                                       const TransferLimit& limit, const std::string& checksum, int attempt,
                                       uint64_t expected);
    // The partial for a checksum, when resuming is on and the partial directory is usable.
    std::string partialPathFor(const std::string& checksum);
    // Drops the partials that no record of the fresh metadata names any more.
    void prunePartials();
    void addTotals(Downloader& downloader);
    [[nodiscard]] bool parseRepomd(const std::string& index, const std::string& signature);
    [[nodiscard]] bool checkSignature(const std::string& index, const std::string& signature);
    [[nodiscard]] bool keepIncomingIndex(const std::string& index, const std::string& signature);
    [[nodiscard]] bool readRepomd(const std::string& path);
    void reportIndex(const std::string& index, const std::string& signature) const;

    RepositoryEntry m_config;
    bool m_noMetadataSigCheck = false;
    FreshnessPolicy m_freshness;
    std::string m_indexRecord = paths::kIndexRecordFile;
    std::string m_cacheDir;
    std::string m_packagesDir;
    std::string m_baseUri;
    std::map<std::string, RepoData> m_dataEntries;
    PackageStore m_packages;
    TransferPolicy m_policy;
    TransferTotals m_totals;
    std::string m_revision;  // of the index read last, for the run report
};
