#include "rpmdb/rpm_compat.h"

#include <algorithm>
#include <iterator>
#include <map>
#include <string>

#include <rpm/rpmdb.h>
#include <rpm/rpmlib.h>
#include <rpm/rpmlog.h>
#include <rpm/rpmmacro.h>
#include <rpm/rpmpgp.h>
#include <rpm/rpmsq.h>
#include <rpm/rpmts.h>

#include "base/handles.h"

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

int rpmPlatformScore(const char* platform) {
    if (!platform) return 0;
    const std::string text(platform);
    const std::string::size_type archEnd = text.find('-');
    if (archEnd == std::string::npos) return 0;
    const std::string::size_type vendorEnd = text.find('-', archEnd + 1);
    if (vendorEnd == std::string::npos) return 0;
    const std::string arch = text.substr(0, archEnd);
    const std::string os = text.substr(vendorEnd + 1, text.find('-', vendorEnd + 1) - vendorEnd - 1);
    if (arch.empty() || os.empty() || rpmMachineScore(RPM_MACHTABLE_INSTOS, os.c_str()) == 0) return 0;
    return rpmMachineScore(RPM_MACHTABLE_INSTARCH, arch.c_str());
}

Header rpmmiNext(rpmdbMatchIterator iterator) {
    return rpmdbNextIterator(iterator);
}

std::optional<unsigned> countIndexedHeaders(rpmts ts) {
    RpmDbIndexIteratorPtr names(rpmdbIndexIteratorInit(rpmtsGetRdb(ts), RPMDBI_NAME));
    if (!names) return std::nullopt;
    unsigned count = 0;
    const void* key = nullptr;
    size_t keyLength = 0;
    while (rpmdbIndexIteratorNext(names.get(), &key, &keyLength) == 0) count += rpmdbIndexIteratorNumPkgs(names.get());
    return count;
}

rpmts rpmioFreePoolItem(rpmts ts) {
    return rpmtsFree(ts);
}

std::optional<std::string> expandDbApi() {
    MallocTextPtr expansion(rpmExpand("%{_dbapi}", nullptr));
    if (!expansion) return std::nullopt;
    return std::string(expansion.get());
}

int pgpPubkeyFingerprint(const uint8_t* pkt, size_t pktlen, uint8_t* keyId) {
    if (!pkt || !keyId) return -1;
    pgpKeyID_t id = {};
    if (::pgpPubkeyKeyID(pkt, pktlen, id) != 0) return -1;
    std::copy(std::begin(id), std::end(id), keyId);
    return 0;
}

}  // namespace rpmcompat
