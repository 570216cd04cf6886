// The run options: filled from the defaults file, the site file, the proxy file and
// the command line, in that order.
#pragma once

#include <syslog.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/logger.h"
#include "base/paths.h"

struct RepositoryEntry {
    std::string id;
    std::string name;
    std::string location;  // a URI, or an absolute path taken as a file URI
    bool enabled = true;
    bool fromDefaults = false;  // defined by the defaults file or built in
};

// What a transfer may take: byte limits for the files whose size nothing signed declares, the
// rate floor and the deadline of one file, and whether interrupted downloads are resumed.
// The `<network>` element of the configuration files changes them.
struct TransferPolicy {
    uint64_t indexMaxBytes = 1024 * 1024;                        // repodata/repomd.xml
    uint64_t signatureMaxBytes = 64 * 1024;                      // repodata/repomd.xml.asc
    uint64_t undeclaredListMaxBytes = 256ULL * 1024 * 1024;      // a list without declared sizes
    uint64_t undeclaredPackageMaxBytes = 1024ULL * 1024 * 1024;  // a package record without a size
    uint64_t recordsMaxBytes = 0;                                // records in memory; 0: a quarter of RAM
    uint64_t stallBytesPerSecond = 1000;                         // a transfer slower than this ...
    unsigned stallSeconds = 60;                                  // ... for this long is aborted
    unsigned deadlineBaseSeconds = 300;                          // one file may take this long ...
    uint64_t deadlineBytesPerSecond = 4096;                      // ... plus its size at this rate
    bool resume = true;                                          // keep interrupted downloads for a ranged resume
};

// The network part of the options, handed unchanged to the fetcher class.
struct FetcherConfig {
    std::string proxyServer;  // empty: no proxy
    int proxyPort = 0;
    bool bypassLocalNetwork = false;
    std::string proxyUser;
    std::string proxyPassword;
    std::string userAgentBase;
    std::string userAgentProduct;
    TransferPolicy transfer;
};

struct UpdaterConfig {
    bool quiet = false;
    bool cacheOnly = false;
    bool checkOnly = false;
    bool test = false;
    bool noPkgSigCheck = false;
    bool noMdSigCheck = false;
    bool ignoreRecommends = false;
    bool noReboot = false;
    bool checkDbHeaders = false;
    bool noCacheClean = false;
    // Refuse an index signed more than this many days ago by the device clock; 0: any age.
    int metadataMaxAgeDays = 0;
    // Accept, this run only, an index signed before the last accepted one.
    bool acceptOlderMetadata = false;
    int lockTimeout = 120;  // seconds
    std::string cacheDir = paths::kCacheDir;
    int maxWaitTime = 600;  // seconds
    bool background = false;
    LogLevel logLevel = LogLevel::Info;
    bool logToStderr = false;
    bool logToSyslog = false;
    int syslogFacility = LOG_DAEMON;
    std::string productName;
    std::string releasePackage;
    std::vector<std::string> requiredPackages;
    std::vector<std::string> addonPackages;
    std::vector<std::string> addonGroups;
    std::vector<RepositoryEntry> repositories;
    FetcherConfig fetcher;

    // The record before any file is read: the built-in "local-usb" repository included.
    // The USB directories are parameters so that tests can point them elsewhere.
    UpdaterConfig();
    UpdaterConfig(const char* usbUpdatesDir, const char* legacyUsbUpdatesDir);

    // Exact, case-sensitive lookup by ID; null when absent.
    RepositoryEntry* findRepository(const std::string& id);
};
