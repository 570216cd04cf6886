// The command line: options parsed by rpm's popt-based initialisation, then package names.
#pragma once

#include <popt.h>

#include <set>
#include <string>

#include "config/updater_config.h"

// Values of the options as popt stores them; strings are owned (popt hands out copies).
struct CommandLineOptions {
    int quiet = 0;
    char* logLevel = nullptr;
    char* repo = nullptr;
    char* repoUrl = nullptr;
    int logToStderr = 0;
    char* logTo = nullptr;
    int checkOnly = 0;
    int test = 0;
    int noSigCheck = 0;
    int noPkgSigCheck = 0;
    int noMdSigCheck = 0;
    int ignoreRecommends = 0;
    int noReboot = 0;
    int background = 0;
    int cacheOnly = 0;
    int noCacheClean = 0;
    int checkDbHeaders = 0;
    int maxWaitTime = 0;
    int lockTimeout = 0;
    char* cacheDir = nullptr;
    char* confFile = nullptr;
    int acceptOlderMd = 0;
    int version = 0;

    CommandLineOptions() = default;
    CommandLineOptions(const CommandLineOptions&) = delete;
    CommandLineOptions& operator=(const CommandLineOptions&) = delete;
    ~CommandLineOptions();
};

// The popt option table whose entries store into options; valid while options lives.
struct poptOption* buildOptionTable(CommandLineOptions& options);

// Applies the overrides of the command line to the configuration read from the files.
void applyCommandLine(const CommandLineOptions& options, UpdaterConfig& config);

// The --repo-url and --repo choices; false (with the message logged) when the run must end.
[[nodiscard]] bool applyRepositoryChoice(const CommandLineOptions& options, UpdaterConfig& config);
