// The one place where the updater's use of rpm maps onto the rpm 4.18 library.
// Older rpm releases offered calls that 4.18 lacks or renamed; the rest of the code
// speaks in the older terms and this unit translates.
#pragma once

#include <rpm/rpmtypes.h>
#include <signal.h>

#include <cstddef>
#include <cstdint>

#include <optional>
#include <string>

namespace rpmcompat {

using SignalAction = void (*)(int, siginfo_t*, void*);

// Registers (signum > 0) or releases (signum < 0, handler null) a signal with rpmlib's
// signal bookkeeping. Returns the number of registrations held after the call: 1 for a
// fresh registration, 2 or more when the signal was already enabled, 0 after the last
// release. The handler is what rpmlib calls for a signal it caught itself; null means
// "ignore" for a registration.
int rpmsqEnable(int signum, SignalAction handler);

// rpmlib's log records: priority (rpmlog's 0 emergency ... 7 debug) and message.
using LogSink = void (*)(int priority, const char* message);

// Routes every rpmlib log record to the sink and nothing to rpm's own default output.
void routeRpmLog(LogSink sink);

// Older rpmlib scored a platform string "arch-vendor-os[-gnu]" against its configured
// platform patterns; 4.18 has no patterns, only the compatibility tables of the running
// machine. So the architecture part is scored with rpmMachineScore(RPM_MACHTABLE_INSTARCH)
// and the OS part must be a compatible install OS; the vendor is not compared (the old
// patterns matched any vendor). Returns 0 for an incompatible or malformed platform,
// otherwise the architecture's score (1 the machine's own, higher ones less preferred).
// Needs rpm's configuration loaded (rpmcliInit or rpmReadConfigFiles).
[[nodiscard]] int rpmPlatformScore(const char* platform);

// Older rpmlib's rpmmiNext is 4.18's rpmdbNextIterator: the next header of a database
// iterator, owned by the iterator (valid until the next step or its release); null at the end.
Header rpmmiNext(rpmdbMatchIterator iterator);

// The number of headers the open database of ts lists in its name index, none when the
// index cannot be read. 4.18's database iterator skips a header whose blob it cannot import
// (or, checking headers, whose digest fails) with no more than a log line; the index still
// lists it, so a count of headers iterated below this one shows the skip.
[[nodiscard]] std::optional<unsigned> countIndexedHeaders(rpmts ts);

// Older rpmlib released a transaction set back to its object pool with rpmioFreePoolItem;
// 4.18 transaction sets are reference counted and rpmtsFree drops the reference (closing
// the database with the last one). Null is accepted; always returns null.
rpmts rpmioFreePoolItem(rpmts ts);

// Older rpmlib named its database backend by number in %{_dbapi} (3: Berkeley DB); 4.18
// names it in %{_db_backend} and defines no _dbapi of its own. A device configuration that
// still defines it keeps its meaning, so the macro is expanded as before: an undefined one
// comes back unexpanded ("%{_dbapi}"), never "3". None when the expansion fails.
[[nodiscard]] std::optional<std::string> expandDbApi();

// Older rpmlib's pgpPubkeyFingerprint wrote the 8-byte key ID of the first (public key)
// packet of pkt; 4.18's function of that name yields the whole fingerprint and
// pgpPubkeyKeyID the key ID. Returns 0 on success, -1 when the packets hold no usable
// public key (keyId then holds nothing of use).
[[nodiscard]] int pgpPubkeyFingerprint(const uint8_t* pkt, size_t pktlen, uint8_t* keyId);

}  // namespace rpmcompat
