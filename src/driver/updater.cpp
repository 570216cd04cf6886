#include "driver/updater.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <set>
#include <string>

#include <libxml/parser.h>
#include <ne_alloc.h>
#include <ne_socket.h>
#include <openssl/evp.h>
#include <rpm/rpmcli.h>
#include <rpm/rpmlog.h>

#include "base/handles.h"
#include "base/logger.h"
#include "base/paths.h"
#include "base/run_report.h"
#include "base/util.h"
#include "base/version.h"
#include "base/xml_util.h"
#include "config/config_file.h"
#include "config/updater_config.h"
#include "driver/command_line.h"
#include "driver/hook.h"
#include "driver/instance_lock.h"
#include "driver/leftovers.h"
#include "driver/reboot.h"
#include "driver/run_result.h"
#include "driver/signals.h"
#include "driver/status_file.h"
#include "driver/update_passes.h"
#include "driver/update_veto.h"
#include "network/url_fetcher.h"
#include "repository/repository.h"
#include "resolver/external_packages.h"
#include "rpmdb/rpm_compat.h"

namespace {

using PoptContextPtr = std::unique_ptr<std::remove_pointer_t<poptContext>, CFree<rpmcliFini>>;

// rpmlib's own log output goes to /dev/null (every record reaches the logger through the
// callback); the stream is handed back before it is closed.
class RpmLogRouting {
public:
    RpmLogRouting(rpmcompat::LogSink sink) {
        rpmcompat::routeRpmLog(sink);
        m_devNull.reset(fopen(paths::kDevNull, "w"));
        if (m_devNull)
            rpmlogSetFile(m_devNull.get());
        else
            LOG(Warn, "failed opening /dev/null output");
    }
    ~RpmLogRouting() { close(); }
    void close() {
        rpmlogSetFile(nullptr);
        m_devNull.reset();
    }

private:
    FilePtr m_devNull;
};

[[noreturn]] void outOfMemory() {
    LOG(Fatal, "out of memory, aborting execution");
    _exit(RUN_FATAL);
}

void rpmLogSink(int priority, const char* message) {
    LogLevel level;
    if (priority <= RPMLOG_CRIT)
        level = LogLevel::Fatal;
    else if (priority == RPMLOG_ERR)
        level = LogLevel::Error;
    else if (priority == RPMLOG_WARNING)
        level = LogLevel::Warn;
    else if (priority == RPMLOG_NOTICE || priority == RPMLOG_INFO)
        level = LogLevel::Info;
    else if (priority == RPMLOG_DEBUG)
        level = LogLevel::Debug;
    else
        level = LogLevel::Error;
    if (!Logger::instance().passes(level)) return;
    std::string text = message ? message : "";
    if (!text.empty() && text.back() == '\n') text.pop_back();
    Logger::instance().log(level, "rpmlib: %s", text.c_str());
}

// The base name of the invocation path, for syslog.
std::string programName(const char* argv0) {
    std::string path = argv0 ? argv0 : kUpdaterName;
    std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void ensureHome() {
    if (getenv("HOME")) return;
    struct passwd* user = getpwuid(getuid());
    if (!user) {
        LOG(Warn, "HOME not set in environment but no entry in user database for current user");
        return;
    }
    if (setenv("HOME", user->pw_dir, 0) == 0)
        LOG(Debug, "HOME set to '%s' in environment", user->pw_dir);
    else
        LOG(Warn, "failed to set HOME in environment");
}

// True when the no-run file forbids running.
bool runningDisabled() {
    struct stat st;
    if (lstat(paths::kNoRunFile, &st) != 0) {
        if (errno != EACCES) return false;
        LOG(Error, "failed checking existence of '%s' (%s)", paths::kNoRunFile, errnoText().c_str());
    }
    LOG(Error, "running is disabled by \"no run\" file '%s'", paths::kNoRunFile);
    return true;
}

const char* modeName(const UpdaterConfig& config) {
    if (config.checkOnly) return "check";
    if (config.test) return "test";
    return "update";
}

void saveReadyStatus() {
    if (!saveStatus(STATUS_READY, false)) LOG(Warn, "failed updating status file");
}

// Takes the run for this instance: into the background when asked, then the instance lock.
// From here on the run is this instance's own: its report is written at the end, and the
// hooks learn where to find the last one.
[[nodiscard]] bool takeTheRun(const UpdaterConfig& config, const char* mode, const std::string& logTo,
                              RunResult& result) {
    result = RUN_ERROR;
    if (config.background && !enterBackground(config, mode, logTo, result)) return false;
    UniqueFd lock;  // held until the process ends
    if (!acquireInstanceLock(config.lockTimeout, lock)) {
        result = RUN_ERROR;
        return false;
    }
    RunReport::instance().begin(mode);
    setenv(paths::kRunReportVariable, paths::kRunReportFile, 1);
    lock.release();
    // A log file that cannot be opened (logged) does not stop an update.
    (void)Logger::instance().addFile(paths::kLastLogFile, LogLevel::Info, false, true);
    return true;
}

void logRunStart(const UpdaterConfig& config, const char* mode) {
    if (config.quiet) return;
    LOG(Info, "%s version %s, product %s", kUpdaterName, kUpdaterVersion, config.productName.c_str());
    LOG(Info, "--- MODE %s ---", mode);
    if (!config.fetcher.proxyServer.empty())
        LOG(Info, "using HTTP proxy '%s' port %u", config.fetcher.proxyServer.c_str(),
            static_cast<unsigned>(config.fetcher.proxyPort));
}

// The device's veto and the status an earlier run left; false with the result that ends the run.
[[nodiscard]] bool startIsAllowed(RunResult& result) {
    result = RUN_ERROR;
    std::string vetoReason;
    if (readUpdateVeto(vetoReason)) {
        LOG(Error, "firmware update is disabled: %s", vetoReason.c_str());
        return false;
    }
    UpdateStatus status = STATUS_READY;
    if (!loadStatus(status)) {
        LOG(Error, "cannot recover status, aborting");
        return false;
    }
    if (checkStatusAtStart(status, result)) return true;
    if (result == RUN_FATAL) {
        const char* word = statusName(status);
        RunReport::instance().refuse(Refusal::CorruptedSystem, std::string("status ") + (word ? word : "unknown"));
    }
    return false;
}

// The first enabled repository of the configuration; null (logged) when there is none.
const RepositoryEntry* activeRepository(const UpdaterConfig& config) {
    if (config.repositories.empty()) {
        LOG(Error, "no repositories configured, nothing to do");
        return nullptr;
    }
    for (const RepositoryEntry& entry : config.repositories)
        if (entry.enabled) return &entry;
    LOG(Error, "no active repository, nothing to do");
    return nullptr;
}

// The random wait before the first connection, and a last look at the termination signals.
[[nodiscard]] bool waitYourTurn(const UpdaterConfig& config, const Repository& repository) {
    // A local repository serves no rush of devices: no need to spread their connections.
    if (!repository.isFileRepository() && !config.cacheOnly && config.maxWaitTime > 0 &&
        !randomWait(config.maxWaitTime))
        return false;
    return !terminationRequested();
}

// The update work on the active repository: the passes, and what they moved.
RunResult updateFrom(const UpdaterConfig& config, const RepositoryEntry& active, const NameSet& includeNames) {
    if (!config.quiet)
        LOG(Info, "updating packages from repository '%s' (URI '%s')", active.id.c_str(), active.location.c_str());
    auto repository = std::make_unique<Repository>(config, active);
    RunReport::instance().setRepository(active.id, repository->baseUri());
    if (!waitYourTurn(config, *repository)) return RUN_ERROR;

    // Packages installed by other means than this updater count as installed; without the
    // file, or with what an unusable one gave before its error, the run goes on.
    PackageMap externalPackages;
    loadExternalPackages(externalPackages);

    const RunResult result = runUpdatePasses(config, includeNames, externalPackages, *repository);
    const TransferTotals& moved = repository->transferTotals();
    RunReport::instance().addBytes(moved.expected, moved.received, moved.resumed, moved.discarded);
    return result;
}

// Everything after the refusal checks: the status check, the "init" hook, the choice of
// repository, the random wait and the update work. Returns the run result.
RunResult runUpdate(const UpdaterConfig& config, const NameSet& includeNames, const char* mode,
                    const std::string& logTo) {
    RunResult result = RUN_ERROR;
    if (!takeTheRun(config, mode, logTo, result)) return result;
    logRunStart(config, mode);

    // What a killed run left; no other instance runs now to need it.
    removeOwnLeftovers();
    // Once per process: user agent, device identity and default credentials.
    URLFetcher::initClass(config.fetcher);

    if (!startIsAllowed(result)) return result;

    const RunResult hookResult = runHook("init");
    if (hookResult != RUN_OK) {
        saveReadyStatus();
        // A hook that exited with an error code asks for a retry, which a run that has not
        // started cannot make: the run ends as a plain error.
        return hookResult == RUN_RETRY_UPDATER ? RUN_ERROR : hookResult;
    }

    const RepositoryEntry* active = activeRepository(config);
    result = active ? updateFrom(config, *active, includeNames) : RUN_ERROR;
    // A fatal result leaves the status the passes recorded (CORRUPTED) for the next start.
    if (result != RUN_FATAL) saveReadyStatus();
    return result;
}

// The process-wide setup of the libraries; false when the run cannot start.
[[nodiscard]] bool initializeLibraries() {
    if (!installSignalHandlers()) return false;
    std::set_new_handler(outOfMemory);
    xmlCheckVersion(20901);
    routeXmlErrorsToLog();
    // OpenSSL 3 loads its algorithms on demand and cleans up at exit by itself.
    OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr);
    ne_oom_callback(outOfMemory);
    if (ne_sock_init() != 0) {
        LOG(Error, "failed initializing (neon)");
        return false;
    }
    return true;
}

// The log file of --log-to, and the level of --log-level early, so that the reading of the
// configuration itself can be traced.
void startEarlyLogging(const CommandLineOptions& options, const std::string& logTo) {
    if (!logTo.empty()) (void)Logger::instance().addFile(logTo, LogLevel::Trace, true);
    if (!options.logLevel) return;
    const std::string early = options.logLevel;
    if (early == "trace") Logger::instance().setLevel(LogLevel::Trace);
    if (early == "debug") Logger::instance().setLevel(LogLevel::Debug);
}

// The defaults file, the site file and the command line, in that order of precedence.
[[nodiscard]] bool loadConfiguration(const CommandLineOptions& options, UpdaterConfig& config) {
    if (!loadConfigFile(config, paths::kDefaultsConfigFile, true))
        LOG(Debug, "missing or incorrect defaults file '%s'", paths::kDefaultsConfigFile);
    const std::string configFile = options.confFile ? options.confFile : paths::kConfigFile;
    if (!loadConfigFile(config, configFile, false)) {
        LOG(Error, "failed parsing configuration file '%s'", configFile.c_str());
        return false;
    }
    applyCommandLine(options, config);
    return applyRepositoryChoice(options, config);
}

void configureLogger(const UpdaterConfig& config) {
    Logger& logger = Logger::instance();
    logger.setLevel(config.logLevel);
    logger.setStderr(config.logToStderr);
    logger.setSyslog(config.logToSyslog, LOG_PID, config.syslogFacility);
    LOG(Debug, "initialized OK");
}

// The run from the refusal checks on; the reboot when it asks for one.
RunResult runAndReboot(const UpdaterConfig& config, const NameSet& includeNames, const std::string& logTo) {
    if (chdir("/") != 0) {
        LOG(Error, "failed to change to the root directory (%s)", errnoText().c_str());
        return RUN_ERROR;
    }
    ensureHome();
    return runningDisabled() ? RUN_ERROR : runUpdate(config, includeNames, modeName(config), logTo);
}

}  // namespace

int updaterMain(int argc, char** argv) {
    UpdaterConfig config;
    Logger::instance().setIdent(programName(argc > 0 ? argv[0] : nullptr));
    if (!initializeLibraries()) return RUN_ERROR;

    RpmLogRouting rpmLog(rpmLogSink);

    CommandLineOptions options;
    PoptContextPtr context(rpmcliInit(argc, argv, buildOptionTable(options)));
    if (!context) {
        LOG(Error, "failed initializing (rpm)");
        return RUN_ERROR;
    }

    if (options.version) {
        std::printf("%s %s\n", kUpdaterName, kUpdaterVersion);
        return RUN_OK;
    }

    NameSet includeNames;
    while (const char* name = poptGetArg(context.get())) includeNames.insert(name);

    const std::string logTo = options.logTo ? options.logTo : "";
    startEarlyLogging(options, logTo);
    if (!loadConfiguration(options, config)) return RUN_ERROR;
    configureLogger(config);

    RunResult iRet = runAndReboot(config, includeNames, logTo);

    // Shutdown: every path from the refusal checks on ends here.
    context.reset();
    rpmLog.close();
    ne_sock_exit();

    if (iRet == RUN_REBOOT) {
        RunReport::instance().setRebootRequested();
        iRet = runRebootSequence();
    }
    if (iRet < 0) {
        LOG(Fatal, "assertion failed: iRet >= 0 (%i)", iRet);
        abort();
    }
    // Only a run that took the lock reports: a second instance never overwrites the report.
    if (RunReport::instance().begun()) RunReport::instance().write(paths::kRunReportFile, iRet, runResultWord(iRet));
    if (!config.quiet) LOG(Info, "--- EXIT %s ---", runResultWord(iRet));

    (void)enableTerminationSignals();
    if (terminationRequested() && iRet != RUN_OK) reraiseTerminationSignal();
    return iRet;
}
