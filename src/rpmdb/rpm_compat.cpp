#include "rpmdb/rpm_compat.h"

#include <map>

#include <rpm/rpmlog.h>
#include <rpm/rpmsq.h>

// rpmsqSetAction is marked obsolete in 4.18 but is still how rpmlib learns which
// handler to run for a signal its queue caught.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace rpmcompat {

namespace {

// rpm 4.18 keeps no registration count; older rpmlib did and answered "already enabled".
std::map<int, int>& registrations() {
    static std::map<int, int> counts;
    return counts;
}

LogSink g_sink = nullptr;

int logCallback(rpmlogRec rec, rpmlogCallbackData) {
    if (g_sink) g_sink(static_cast<int>(rpmlogRecPriority(rec)), rpmlogRecMessage(rec));
    return 0;  // no default output by rpmlib
}

}  // namespace

int rpmsqEnable(int signum, SignalAction handler) {
    if (signum == 0) return -1;
    int& count = registrations()[signum < 0 ? -signum : signum];
    if (signum > 0) {
        if (++count == 1) rpmsqSetAction(signum, handler ? handler : RPMSQ_IGN);
        return count;
    }
    if (count > 0 && --count == 0) rpmsqSetAction(-signum, RPMSQ_DFL);
    return count;
}

void routeRpmLog(LogSink sink) {
    g_sink = sink;
    rpmlogSetCallback(logCallback, nullptr);
}

}  // namespace rpmcompat
