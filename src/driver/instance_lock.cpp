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

#include "config/logger.h"
#include "config/util.h"
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

// Whether some process holds the instance lock now; neither takes the lock nor creates the file.
bool instanceLockHeld(const char* path) {
    UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd) return false;
    struct flock probe;
    memset(&probe, 0, sizeof probe);
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    return fcntl(fd.get(), F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
}

}  // namespace

bool enterBackground(const UpdaterConfig& config, const char* modeName, const std::string& logToFile, int& result,
                     const StatusPaths& statusPaths, const char* lockPath) {
    LOG(Debug, "going to background");
    UpdateStatus status = STATUS_READY;
    if (!loadStatus(status, statusPaths)) {
        LOG(Error, "cannot recover status, aborting");
        result = RUN_ERROR;
        return false;
    }
    // This check runs before the lock is taken: while another instance holds the lock, the
    // status is the step that instance is in, not what an interrupted run left (an UPDATING
    // taken for one would mark a sound installation CORRUPTED). The child checks the status
    // again once it holds the lock.
    if (!instanceLockHeld(lockPath) && !checkStatusAtStart(status, result, statusPaths)) return false;

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
        result = 0;
        return false;
    }
    detachChild();
    return true;
}

bool acquireInstanceLock(int lockTimeout, UniqueFd& lock, const char* path) {
    UniqueFd fd(open(path, O_RDWR | O_CREAT, 0666));
    if (!fd) {
        LOG(Error, "failed creating lock file '%s' (%s).", path, errnoText().c_str());
        return false;
    }
    // Children (rpm, hooks) must never inherit the lock.
    int flags = fcntl(fd.get(), F_GETFD);
    if (flags >= 0) fcntl(fd.get(), F_SETFD, flags | FD_CLOEXEC);

    struct flock request;
    memset(&request, 0, sizeof request);
    request.l_type = F_WRLCK;
    request.l_whence = SEEK_SET;
    request.l_start = 0;
    request.l_len = 0;  // to the end of the file

    for (int attempt = 1;; ++attempt) {
        if (fcntl(fd.get(), F_SETLK, &request) == 0) {
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
