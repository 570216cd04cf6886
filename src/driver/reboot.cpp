#include "driver/reboot.h"

#include "base/child_process.h"
#include "base/logger.h"
#include "base/paths.h"
#include "driver/run_result.h"

RunResult runRebootSequence(const StatusPaths& statusPaths) {
    LOG(Info, "rebooting for upgrades to take full effect");

    // Let init pick up a replaced init binary or libraries before the reboot.
    ChildProcess telinit(paths::kTelinitProgram);
    telinit.addArg("u");
    if (!telinit.run())
        LOG(Warn, "failed to call telinit");
    else if (!telinit.exited())
        LOG(Warn, "telinit was interrupted");
    else if (telinit.exitCode() != 0)
        LOG(Warn, "failed re-execing init (exit code %i)", telinit.exitCode());

    // The reboot outlives the updater: started in the background and never waited for.
    ChildProcess shutdown(paths::kShutdownProgram);
    shutdown.addArg("-r");
    shutdown.addArg("+1");
    shutdown.addArg("rebooting after upgrade");
    if (!shutdown.runBackground()) {
        LOG(Fatal, "failed to start reboot process");
        return RUN_FATAL;
    }
    if (!saveStatus(STATUS_REBOOTING, true, statusPaths)) LOG(Warn, "failed updating status file");
    return RUN_OK;
}
