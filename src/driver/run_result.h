// The result of a run or an update pass; the non-negative ones are exit statuses.
#pragma once

enum RunResult : int {
    RUN_OK = 0,             // success
    RUN_ERROR = 1,          // the run failed, nothing was damaged
    RUN_FATAL = 2,          // the system may be corrupted, or the reboot failed to start
    RUN_REBOOT = -1,        // success, a reboot is required
    RUN_RETRY_UPDATER = -2  // a pass failed; a retry restricted to the updater may help
};

// "OK", "ERROR" or "FATAL" for the exit line.
inline const char* runResultWord(int result) {
    switch (result) {
        case RUN_OK:
            return "OK";
        case RUN_ERROR:
            return "ERROR";
        case RUN_FATAL:
            return "FATAL";
        case RUN_REBOOT:
            return "REBOOT";
        case RUN_RETRY_UPDATER:
            return "RETRY_UPDATER";
    }
    return "UNKNOWN";
}
