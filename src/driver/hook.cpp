#include "driver/hook.h"

#include "base/child_process.h"
#include "base/logger.h"
#include "base/run_report.h"
#include "base/version.h"
#include "driver/run_result.h"

RunResult runHook(const char* name, const std::string* countText, const char* program) {
    LOG(Info, "running %s hook", name);
    ChildProcess hook(program);
    hook.addArg(name);
    hook.addArg(kUpdaterVersion);
    if (countText) hook.addArg(*countText);
    if (!hook.run()) {
        LOG(Warn, "failed starting hook, continuing anyways");
        return RUN_OK;
    }
    if (!hook.exited()) {
        LOG(Error, "hook was interrupted");
        RunReport::instance().refuse(Refusal::Hook, std::string(name) + " hook interrupted");
        return RUN_ERROR;
    }
    if (hook.exitCode() != 0) {
        LOG(Error, "hook failed (exit code %i)", hook.exitCode());
        RunReport::instance().refuse(Refusal::Hook,
                                     std::string(name) + " hook exit code " + std::to_string(hook.exitCode()));
        return RUN_RETRY_UPDATER;
    }
    return RUN_OK;
}
