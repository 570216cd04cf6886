// Whether a repository index whose signature gpgv accepted is fresh: not signed before the
// index the device accepted last (a replayed old index proves who published it, not when),
// not older than the configured maximum age, and not the same signing time with other content.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/paths.h"
#include "repository/index_record.h"
#include "signature/signature_times.h"

struct FreshnessPolicy {
    int maxAgeDays = 0;        // 0: any age
    bool acceptOlder = false;  // this run accepts an index the checks would refuse (a rollback on purpose)
};

enum class IndexVerdict {
    Accept,
    RefuseOlder,     // signed before the recorded index
    RefuseConflict,  // the recorded signing time with other content
    RefuseTooOld,    // older than the maximum age by the device clock
    RefuseNoTime,    // no signing time to compare while a record or a maximum age asks for one
};

struct IndexJudgement {
    IndexVerdict verdict = IndexVerdict::Accept;
    bool record = false;       // the accepted index must replace the record
    bool overridden = false;   // accepted only because the policy accepts older indexes
    bool clockBehind = false;  // the device clock is before the recorded signing time: age not checked
    int64_t age = 0;           // seconds between signing and now, when the age was checked
};

// The decision alone, for an index with these signature times and this SHA-256, now being the
// device clock in seconds since the epoch. A signature made in the future is never refused for
// its time.
IndexJudgement judgeIndex(const std::optional<IndexRecord>& record, const SignatureTimes& times,
                          const std::string& sha256, const FreshnessPolicy& policy, int64_t now);

// Judges the index file by its signature file and the record, logs a refusal (one error line
// with the times in UTC), and records an accepted index that differs from the record.
[[nodiscard]] bool checkIndexFreshness(const std::string& index, const std::string& signature,
                                       const FreshnessPolicy& policy, int64_t now,
                                       const std::string& recordPath = paths::kIndexRecordFile);

// After gpgv refused the signature: when the signature states an expiry that has passed, logs
// the index as expired and returns true; otherwise logs nothing and returns false.
bool reportExpiredSignature(const std::string& signature, int64_t now);

// "2026-12-09 04:48:25 UTC".
std::string formatUtc(int64_t seconds);
