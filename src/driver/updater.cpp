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
#include "driver/version.h"
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

// Everything after the refusal checks: the status check, the "init" hook, the choice of
// repository, the random wait and the update work. Returns the run result.
int runUpdate(const UpdaterConfig& config, const std::set<std::string>& includeNames, const char* mode,
              const std::string& logTo) {
    if (config.background) {
        int result = RUN_ERROR;
        if (!enterBackground(config, mode, logTo, result)) return result;
    }

    UniqueFd lock;  // held until the process ends
    if (!acquireInstanceLock(config.lockTimeout, lock)) return RUN_ERROR;
    // From here on the run is this instance's own: its report is written at the end, and
    // the hooks learn where to find the last one.
    RunReport::instance().begin(mode);
    setenv(paths::kRunReportVariable, paths::kRunReportFile, 1);
    lock.release();

    Logger::instance().addFile(paths::kLastLogFile, LogLevel::Info, false, true);

    if (!config.quiet) {
        LOG(Info, "%s version %s, product %s", kUpdaterName, kUpdaterVersion, config.productName.c_str());
        LOG(Info, "--- MODE %s ---", mode);
        if (!config.fetcher.proxyServer.empty())
            LOG(Info, "using HTTP proxy '%s' port %u", config.fetcher.proxyServer.c_str(),
                static_cast<unsigned>(config.fetcher.proxyPort));
    }

    // What a killed run left; no other instance runs now to need it.
    removeOwnLeftovers();

    // Once per process: user agent, device identity and default credentials.
    URLFetcher::initClass(config.fetcher);

    std::string vetoReason;
    if (readUpdateVeto(vetoReason)) {
        LOG(Error, "firmware update is disabled: %s", vetoReason.c_str());
        return RUN_ERROR;
    }

    UpdateStatus status = STATUS_READY;
    if (!loadStatus(status)) {
        LOG(Error, "cannot recover status, aborting");
        return RUN_ERROR;
    }
    int refusal = RUN_ERROR;
    if (!checkStatusAtStart(status, refusal)) {
        if (refusal == RUN_FATAL) {
            const char* word = statusName(status);
            RunReport::instance().refuse(Refusal::CorruptedSystem, std::string("status ") + (word ? word : "unknown"));
        }
        return refusal;
    }

    int hookResult = runHook("init");
    if (hookResult != RUN_OK) {
        saveReadyStatus();
        // A hook that exited with an error code asks for a retry, which a run that has not
        // started cannot make: the run ends as a plain error.
        return hookResult == RUN_RETRY_UPDATER ? RUN_ERROR : hookResult;
    }

    if (config.repositories.empty()) {
        LOG(Error, "no repositories configured, nothing to do");
        saveReadyStatus();
        return RUN_ERROR;
    }
    const RepositoryEntry* active = nullptr;
    for (const RepositoryEntry& entry : config.repositories) {
        if (entry.enabled) {
            active = &entry;
            break;
        }
    }
    if (!active) {
        LOG(Error, "no active repository, nothing to do");
        saveReadyStatus();
        return RUN_ERROR;
    }
    if (!config.quiet)
        LOG(Info, "updating packages from repository '%s' (URI '%s')", active->id.c_str(), active->location.c_str());
    auto repository = std::make_unique<Repository>(config, *active);
    RunReport::instance().setRepository(active->id, repository->baseUri());

    // A local repository serves no rush of devices: no need to spread their connections.
    if (!repository->isFileRepository() && !config.cacheOnly && config.maxWaitTime > 0) {
        if (!randomWait(config.maxWaitTime)) {
            repository.reset();
            saveReadyStatus();
            return RUN_ERROR;
        }
    }
    if (terminationRequested()) {
        repository.reset();
        saveReadyStatus();
        return RUN_ERROR;
    }

    // Packages installed by other means than this updater count as installed.
    PackageMap externalPackages;
    (void)loadExternalPackages(externalPackages);

    int result = runUpdatePasses(config, includeNames, externalPackages, *repository);
    const TransferTotals& moved = repository->transferTotals();
    RunReport::instance().addBytes(moved.expected, moved.received, moved.resumed, moved.discarded);
    repository.reset();
    // A fatal result leaves the status the passes recorded (CORRUPTED) for the next start.
    if (result != RUN_FATAL) saveReadyStatus();
    return result;
}

}  // namespace

int updaterMain(int argc, char** argv) {
    UpdaterConfig config;
    Logger::instance().setIdent(programName(argc > 0 ? argv[0] : nullptr));
    if (!installSignalHandlers()) return RUN_ERROR;

    std::set_new_handler(outOfMemory);
    xmlCheckVersion(20901);
    routeXmlErrorsToLog();
    // OpenSSL 3 loads its algorithms on demand and cleans up at exit by itself.
    OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr);
    ne_oom_callback(outOfMemory);
    if (ne_sock_init() != 0) {
        LOG(Error, "failed initializing (neon)");
        return RUN_ERROR;
    }

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

    std::set<std::string> includeNames;
    while (const char* name = poptGetArg(context.get())) includeNames.insert(name);

    std::string logTo = options.logTo ? options.logTo : "";
    if (!logTo.empty()) Logger::instance().addFile(logTo, LogLevel::Trace, true);
    if (options.logLevel) {
        // Lets the reading of the configuration itself be traced.
        std::string early = options.logLevel;
        if (early == "trace") Logger::instance().setLevel(LogLevel::Trace);
        if (early == "debug") Logger::instance().setLevel(LogLevel::Debug);
    }

    if (!loadConfigFile(config, paths::kDefaultsConfigFile, true))
        LOG(Debug, "missing or incorrect defaults file '%s'", paths::kDefaultsConfigFile);
    std::string configFile = options.confFile ? options.confFile : paths::kConfigFile;
    if (!loadConfigFile(config, configFile, false)) {
        LOG(Error, "failed parsing configuration file '%s'", configFile.c_str());
        return RUN_ERROR;
    }

    applyCommandLine(options, config);
    if (!applyRepositoryChoice(options, config)) return RUN_ERROR;

    Logger& logger = Logger::instance();
    logger.setLevel(config.logLevel);
    logger.setStderr(config.logToStderr);
    logger.setSyslog(config.logToSyslog, LOG_PID, config.syslogFacility);
    LOG(Debug, "initialized OK");

    if (chdir("/") != 0) {
        LOG(Error, "failed to change to the root directory (%s)", errnoText().c_str());
        return RUN_ERROR;
    }
    ensureHome();

    int iRet = RUN_ERROR;
    const char* mode = modeName(config);
    if (!runningDisabled()) iRet = runUpdate(config, includeNames, mode, logTo);

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
