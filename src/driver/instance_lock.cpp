#include "driver/instance_lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/logger.h"
#include "base/own_files.h"
#include "base/util.h"
#include "driver/run_result.h"
#include "driver/signals.h"

namespace {

// The child of a background run: a session of its own and the standard streams on
// /dev/null, so that it outlives the terminal that started it.
void detachChild() {
    if (setsid() < 0) LOG(Error, "cannot create new session (%s)", errnoText().c_str());
    int devNull = open(paths::kDevNull, O_RDWR);
    if (devNull < 0) {
        LOG(Warn, "cannot open /dev/null to redirect stdin/out/err (%s)", errnoText().c_str());
        return;
    }
    close(STDIN_FILENO);
    close(STDOUT_FILENO);
    close(STDERR_FILENO);
    bool redirected = dup2(devNull, STDIN_FILENO) >= 0;
    redirected = dup2(devNull, STDOUT_FILENO) >= 0 && redirected;
    redirected = dup2(devNull, STDERR_FILENO) >= 0 && redirected;
    if (!redirected) LOG(Warn, "failed redirecting stdin/out/err to /dev/null (%s)", errnoText().c_str());
    if (devNull > STDERR_FILENO) close(devNull);
}

// Opens the lock file: never through a link, created new when missing, and only when it is
// the updater's own regular file. Its content is left alone: only the lock holder rewrites it.
// The descriptor is close-on-exec, so children (rpm, hooks) never inherit the lock.
bool openLockFile(const char* path, UniqueFd& fd) {
    switch (openOwnFile(path, O_RDWR | O_CREAT, 0666, fd)) {
        case OwnFileOpen::Opened:
            return true;
        case OwnFileOpen::Refused:
            return false;
        case OwnFileOpen::Failed:
            break;
    }
    LOG(Error, "failed creating lock file '%s' (%s).", path, errnoText().c_str());
    return false;
}

// One non-blocking request for the whole-file write lock; errno tells why it was refused.
bool tryLock(int fd) {
    struct flock request;
    memset(&request, 0, sizeof request);
    request.l_type = F_WRLCK;
    request.l_whence = SEEK_SET;
    request.l_start = 0;
    request.l_len = 0;  // to the end of the file
    return fcntl(fd, F_SETLK, &request) == 0;
}

}  // namespace

bool enterBackground(const UpdaterConfig& config, const char* modeName, const std::string& logToFile, RunResult& result,
                     const StatusPaths& statusPaths, const char* lockPath) {
    LOG(Debug, "going to background");
    // The status tells what an interrupted run left only when no instance runs: to the one
    // that runs, UPDATING is the step it is in. So it is read while this process holds the
    // lock, or right after failing to take it; in that case an UPDATING is left for the child
    // to judge once it holds the lock. The lock is released again before the fork: the child
    // takes it for itself.
    UniqueFd lockFile;
    if (!openLockFile(lockPath, lockFile)) {
        result = RUN_ERROR;
        return false;
    }
    const bool locked = tryLock(lockFile.get());
    UpdateStatus status = STATUS_READY;
    if (!loadStatus(status, statusPaths)) {
        LOG(Error, "cannot recover status, aborting");
        result = RUN_ERROR;
        return false;
    }
    if ((locked || status != STATUS_UPDATING) && !checkStatusAtStart(status, result, statusPaths)) return false;
    lockFile.reset();

    pid_t child = fork();
    if (child < 0) {
        LOG(Error, "failed forking to background (%s)", errnoText().c_str());
        return true;
    }
    if (child > 0) {
        if (!config.quiet) {
            LOG(Info, "--- MODE %s ---", modeName);
            LOG(Info, "%s switched to background", "updater");
            LOG(Info, "--- BACKGROUND PID %i ---", static_cast<int>(child));
        }
        if (!logToFile.empty()) Logger::instance().removeFile(logToFile);
        result = RUN_OK;
        return false;
    }
    detachChild();
    return true;
}

bool acquireInstanceLock(int lockTimeout, UniqueFd& lock, const char* path) {
    UniqueFd fd;
    if (!openLockFile(path, fd)) return false;

    for (int attempt = 1;; ++attempt) {
        if (tryLock(fd.get())) {
            if (attempt > 1) LOG(Info, "other instance terminated, got cache lock");
            if (ftruncate(fd.get(), 0) != 0) {
                LOG(Error, "failed truncating lock file '%s' (%s)", path, errnoText().c_str());
                return false;
            }
            char pidText[32];
            int length = snprintf(pidText, sizeof pidText, "%10i\n", static_cast<int>(getpid()));
            if (write(fd.get(), pidText, length) < length) LOG(Warn, "failed writing PID to lock file '%s'.", path);
            lock = std::move(fd);
            return true;
        }
        int error = errno;
        bool heldByOther = error == EAGAIN || error == EACCES;
        if (heldByOther && attempt <= lockTimeout) {
            if (attempt % 10 == 1)
                LOG(Info, "cache lock held by another instance, will timeout in %i secs", lockTimeout - attempt + 1);
            sleep(1);
            if (!terminationRequested()) continue;
        }
        if (!terminationRequested()) LOG(Error, "failed acquiring lock file '%s' (%s)", path, errnoText(error).c_str());
        return false;
    }
}

bool randomWait(int maxWaitTime, const char* randomSource, const StatusPaths& statusPaths) {
    const size_t wanted = sizeof(uint32_t);
    LOG(Debug, "requesting %zu random bytes", wanted);
    UniqueFd fd(open(randomSource, O_RDONLY | O_CLOEXEC));
    if (!fd) {
        LOG(Error, "could not open '%s' to gather random data (%s).", randomSource, errnoText().c_str());
        LOG(Error, "could not gather random data");
        return false;
    }
    uint32_t seed = 0;
    unsigned char* bytes = reinterpret_cast<unsigned char*>(&seed);
    size_t got = 0;
    while (got < wanted) {
        ssize_t n = read(fd.get(), bytes + got, wanted - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // A random source that fails after opening gives no usable seed either.
            LOG(Error, "could not read from '%s' to gather random data (%s).", randomSource,
                n < 0 ? errnoText().c_str() : "end of file");
            LOG(Error, "could not gather random data");
            return false;
        }
        got += static_cast<size_t>(n);
    }
    fd.reset();
    srand(seed);
    int64_t draw = rand();
    unsigned wait = static_cast<unsigned>(static_cast<int64_t>(maxWaitTime) * draw / 2147483647);

    LOG(Info, "waiting %u secs before connection", wait);
    if (!saveStatus(STATUS_DELAYING, false, statusPaths)) LOG(Warn, "failed updating status file");
    // A signal caught before the sleep began would not cut it short: test for one first.
    if (terminationRequested() || sleep(wait) != 0) LOG(Error, "wait interrupted");
    return true;
}
