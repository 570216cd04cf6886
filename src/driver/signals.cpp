#include "driver/signals.h"

#include <signal.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "base/logger.h"
#include "base/util.h"
#include "rpmdb/rpm_compat.h"

namespace {

// Written only by the handler, and only once: the first termination signal wins.
volatile sig_atomic_t g_terminationRequested = 0;
volatile sig_atomic_t g_requestedSignal = 0;

void terminationHandler(int signum, siginfo_t*, void*) {
    // The flag goes first: a second signal interrupting this handler then leaves the
    // number of the first one in place.
    if (g_terminationRequested == 0) {
        g_terminationRequested = 1;
        g_requestedSignal = signum;
    }
}

struct InstalledDisposition {
    bool ignore;                // SIG_IGN rather than terminationHandler
    struct sigaction previous;  // what the installation replaced, restored verbatim
};

// An entry exists exactly while the updater's own disposition is in force.
std::map<int, InstalledDisposition>& signalRegistry() {
    static std::map<int, InstalledDisposition> registry;
    return registry;
}

constexpr int kTerminationSignals[] = {SIGINT, SIGTERM, SIGQUIT};  // SIGHUP handled apart

}  // namespace

bool setSignalHandler(int signum, bool ignore) {
    auto& registry = signalRegistry();
    auto found = registry.find(signum);
    if (found != registry.end()) {
        if (found->second.ignore == ignore) return true;
        // Restore first so that the saved previous action stays the one from before the
        // updater, never the updater's own handler.
        if (!restoreSignalHandler(signum)) {
            LOG(Error, "failed uninstalling signal handler to install new one for signal %i", signum);
            return false;
        }
    }

    if (rpmcompat::rpmsqEnable(signum, ignore ? nullptr : terminationHandler) >= 2) {
        // Give back the reference just taken, so that the earlier holder's release still
        // clears rpmlib's bookkeeping.
        rpmcompat::rpmsqEnable(-signum, nullptr);
        LOG(Error, "handler for signal %i was already installed in rpmlib", signum);
        return false;
    }

    struct sigaction action;
    memset(&action, 0, sizeof action);
    sigemptyset(&action.sa_mask);
    if (ignore) {
        action.sa_handler = SIG_IGN;
        action.sa_flags = SA_RESTART;
    } else {
        action.sa_sigaction = terminationHandler;
        action.sa_flags = SA_RESTART | SA_SIGINFO;
    }
    InstalledDisposition entry;
    entry.ignore = ignore;
    if (sigaction(signum, &action, &entry.previous) != 0) {
        int error = errno;
        rpmcompat::rpmsqEnable(-signum, nullptr);
        LOG(Error, "failed installing handler for signal %i (%s)", signum, errnoText(error).c_str());
        return false;
    }
    registry[signum] = entry;
    return true;
}

bool restoreSignalHandler(int signum) {
    auto& registry = signalRegistry();
    auto found = registry.find(signum);
    if (found == registry.end()) return true;

    bool ok = true;
    if (sigaction(signum, &found->second.previous, nullptr) != 0) {
        LOG(Error, "failed uninstalling handler for signal %i (%s)", signum, errnoText().c_str());
        ok = false;
    }
    if (rpmcompat::rpmsqEnable(-signum, nullptr) != 0) {
        LOG(Error, "could not uninstall handler for signal %i from rpm", signum);
        ok = false;
    }
    registry.erase(found);
    return ok;
}

bool isSignalIgnored(int signum) {
    const auto& registry = signalRegistry();
    auto found = registry.find(signum);
    return found != registry.end() && found->second.ignore;
}

bool installSignalHandlers() {
    bool ok = setSignalHandler(SIGHUP, false) && setSignalHandler(SIGINT, false) && setSignalHandler(SIGTERM, false) &&
              setSignalHandler(SIGQUIT, false) && setSignalHandler(SIGPIPE, true);
    if (!ok) LOG(Error, "failed intializing signal handlers");
    return ok;
}

bool disableTerminationSignals() {
    // Once SIGHUP is ignored it stays so: the download must survive a hang-up.
    bool ok = isSignalIgnored(SIGHUP) || setSignalHandler(SIGHUP, false);
    for (int signum : kTerminationSignals) ok = ok && setSignalHandler(signum, false);
    if (!ok) LOG(Error, "failed disabling termination signals");
    return ok;
}

bool enableTerminationSignals() {
    bool ok = isSignalIgnored(SIGHUP) || restoreSignalHandler(SIGHUP);
    for (int signum : kTerminationSignals) ok = ok && restoreSignalHandler(signum);
    if (!ok) LOG(Error, "failed enabling termination signals");
    return ok;
}

bool ignoreSighup() {
    if (isSignalIgnored(SIGHUP)) return true;
    if (!setSignalHandler(SIGHUP, true)) {
        LOG(Error, "failed setting SIGHUP to be ignored");
        return false;
    }
    return true;
}

bool terminationRequested() {
    return g_terminationRequested != 0;
}

int requestedSignal() {
    return g_terminationRequested != 0 ? static_cast<int>(g_requestedSignal) : 0;
}

void reraiseTerminationSignal() {
    if (g_terminationRequested == 0) return;
    int signum = g_requestedSignal;
    LOG(Error, "terminated by signal #%i: %s", signum, strsignal(signum));
    raise(signum);
}
