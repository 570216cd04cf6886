#include "driver/command_line.h"

#include <cstdlib>
#include <cstring>

#include "base/logger.h"

CommandLineOptions::~CommandLineOptions() {
    for (char* text : {logLevel, repo, repoUrl, logTo, cacheDir, confFile}) free(text);
}

struct poptOption* buildOptionTable(CommandLineOptions& o) {
    // Every option stores into its own variable: no callbacks, popt value 0.
    static struct poptOption table[] = {
        {"quiet", 'q', POPT_ARG_NONE, nullptr, 0, "Do not output messages if nothing to be done.", nullptr},
        {"log-level", 'l', POPT_ARG_STRING, nullptr, 0,
         "Set the log level to one of trace, debug, info, warn, error or fatal.", nullptr},
        {"repo", 'r', POPT_ARG_STRING, nullptr, 0,
         "Use the specified repo from the configuration file instead of the default.", "repo-id"},
        {"repo-url", 0, POPT_ARG_STRING, nullptr, 0, "Override the URL for a specific repository ID.", "repo-id:url"},
        {"log-to-stderr", 0, POPT_ARG_NONE, nullptr, 0,
         "Output logs to stderr in addition to the outputs in the config file.", nullptr},
        {"log-to", 0, POPT_ARG_STRING, nullptr, 0, "Output logs also to the given file (not truncated)", "file"},
        {"check-only", 'n', POPT_ARG_NONE, nullptr, 0,
         "Checks and reports if any updates are required, does not update any packages.", nullptr},
        {"test", 'N', POPT_ARG_NONE, nullptr, 0, "Tests the updates but does not install them.", nullptr},
        {"no-sig-check", 0, POPT_ARG_NONE, nullptr, 0, "disables checking of metadata and package signatures.",
         nullptr},
        {"no-pkg-sig-check", 0, POPT_ARG_NONE, nullptr, 0, "disables checking of package signatures.", nullptr},
        {"no-md-sig-check", 0, POPT_ARG_NONE, nullptr, 0, "disables checking of metadata signatures.", nullptr},
        {"ignore-recommends", 0, POPT_ARG_NONE, nullptr, 0, "ignore package recommends while solving dependencies.",
         nullptr},
        {"no-reboot", 0, POPT_ARG_NONE, nullptr, 0,
         "Prevent reboot after updates, even if program determines that a reboot is necessary.", nullptr},
        {"background", 'b', POPT_ARG_NONE, nullptr, 0, "Background and detach process after initialization.", nullptr},
        {"cache-only", 'C', POPT_ARG_NONE, nullptr, 0,
         "runs from the cache, but required packages are still downloaded.", nullptr},
        {"no-cache-clean", 0, POPT_ARG_NONE, nullptr, 0,
         "prevents the cleaning of cached packages at startup / exit, mostly intended for debugging.", nullptr},
        {"check-db-headers", 0, POPT_ARG_NONE, nullptr, 0,
         "Force checking of package headers in rpm database; these are not checked by default since it is "
         "fairly slow.",
         nullptr},
        {"max-wait-time", 0, POPT_ARG_INT, nullptr, 0,
         "Specifies a maximum wait time before processing starts; the actual wait is a random duration "
         "between 0 and the specified value. Should be greater than zero or negative to disable.",
         "seconds"},
        {"lock-timeout", 0, POPT_ARG_INT, nullptr, 0,
         "Specifies the timeout when waiting to obtain the cache lock. Should be greater than zero or "
         "negative to disable.",
         "seconds"},
        {"cache-dir", 0, POPT_ARG_STRING, nullptr, 0, "Specify a cache directory other than the default.", "<dir>"},
        {"conf-file", 0, POPT_ARG_STRING, nullptr, 0,
         "Specify a configuration file other than the default '/etc/updater.conf'.", "<file>"},
        {"accept-older-metadata", 0, POPT_ARG_NONE, nullptr, 0,
         "Accept, this run only, a repository index signed before the last accepted one (a rollback on purpose).",
         nullptr},
        {"version", 0, POPT_ARG_NONE, nullptr, 0, "Print the program's name and version and exit.", nullptr},
        {nullptr, '\0', POPT_ARG_INCLUDE_TABLE, nullptr, 0, "Help options:", nullptr},
        POPT_TABLEEND};
    void* targets[] = {&o.quiet,        &o.logLevel,         &o.repo,        &o.repoUrl,     &o.logToStderr,
                       &o.logTo,        &o.checkOnly,        &o.test,        &o.noSigCheck,  &o.noPkgSigCheck,
                       &o.noMdSigCheck, &o.ignoreRecommends, &o.noReboot,    &o.background,  &o.cacheOnly,
                       &o.noCacheClean, &o.checkDbHeaders,   &o.maxWaitTime, &o.lockTimeout, &o.cacheDir,
                       &o.confFile,     &o.acceptOlderMd,    &o.version,     poptHelpOptions};
    static_assert(sizeof targets / sizeof targets[0] == sizeof table / sizeof table[0] - 1, "one target per option");
    for (size_t i = 0; i < sizeof targets / sizeof targets[0]; ++i) table[i].arg = targets[i];
    return table;
}

void applyCommandLine(const CommandLineOptions& o, UpdaterConfig& config) {
    // Flags only ever switch a setting on.
    if (o.quiet) config.quiet = true;
    if (o.cacheOnly) config.cacheOnly = true;
    if (o.checkOnly) config.checkOnly = true;
    if (o.test) config.test = true;
    if (o.noSigCheck) config.noPkgSigCheck = config.noMdSigCheck = true;
    if (o.noPkgSigCheck) config.noPkgSigCheck = true;
    if (o.noMdSigCheck) config.noMdSigCheck = true;
    if (o.ignoreRecommends) config.ignoreRecommends = true;
    if (o.noReboot) config.noReboot = true;
    if (o.checkDbHeaders) config.checkDbHeaders = true;
    if (o.noCacheClean) config.noCacheClean = true;
    if (o.background) config.background = true;
    if (o.acceptOlderMd) config.acceptOlderMetadata = true;
    if (o.logToStderr) config.logToStderr = true;
    if (o.maxWaitTime != 0) config.maxWaitTime = o.maxWaitTime;
    if (o.lockTimeout != 0) config.lockTimeout = o.lockTimeout;
    if (o.cacheDir) config.cacheDir = o.cacheDir;
    if (o.logLevel) config.logLevel = parseLogLevel(o.logLevel);

    if (config.cacheDir.empty()) {
        config.cacheDir = "./";
        LOG(Warn, "cache dir empty, assuming '%s'", config.cacheDir.c_str());
    } else if (config.cacheDir[0] != '/') {
        LOG(Warn, "cache dir '%s' is not an absolute path", config.cacheDir.c_str());
    }
    if (config.cacheDir.back() != '/') config.cacheDir += '/';

    if (!config.logToStderr && !config.logToSyslog) {
        config.logToStderr = true;
        LOG(Error, "no log output! enabling stderr");
    }
}

bool applyRepositoryChoice(const CommandLineOptions& o, UpdaterConfig& config) {
    if (o.repoUrl) {
        const char* colon = strchr(o.repoUrl, ':');
        if (!colon) {
            LOG(Error, "missing ':' in --repo-url option");
            return false;
        }
        std::string id(o.repoUrl, colon - o.repoUrl);
        std::string url(colon + 1);
        if (id.empty()) {
            LOG(Error, "missing ID in --repo-url option");
            return false;
        }
        if (url.empty()) {
            LOG(Error, "missing URL in --repo-url option");
            return false;
        }
        if (RepositoryEntry* entry = config.findRepository(id))
            entry->location = url;
        else
            LOG(Warn, "ignoring URL override for non-existing repo '%s'", id.c_str());
    }

    if (o.repo) {
        RepositoryEntry* chosen = config.findRepository(o.repo);
        if (!chosen) {
            LOG(Error, "no repository with ID '%s'", o.repo);
            return false;
        }
        // A repository disabled in the configuration can be chosen this way.
        for (RepositoryEntry& entry : config.repositories) entry.enabled = false;
        chosen->enabled = true;
        return true;
    }
    int enabled = 0;
    for (const RepositoryEntry& entry : config.repositories)
        if (entry.enabled) ++enabled;
    if (enabled >= 2) {
        LOG(Error, "only one active repository supported");
        return false;
    }
    return true;
}
