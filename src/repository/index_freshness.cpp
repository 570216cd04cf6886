#include "repository/index_freshness.h"

#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <vector>

#include "base/checksum.h"
#include "base/logger.h"
#include "base/run_report.h"

namespace {

constexpr int64_t kSecondsPerDay = 24 * 60 * 60;

bool sha256Hex(const std::string& path, std::string& hex) {
    Checksum sha256;
    sha256.type = "sha256";
    std::vector<unsigned char> digest;
    if (!sha256.digestFile(path, false, digest)) {
        LOG(Error, "cannot compute the SHA-256 of '%s'", path.c_str());
        return false;
    }
    static const char kDigits[] = "0123456789abcdef";
    hex.clear();
    for (unsigned char byte : digest) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0x0f];
    }
    return true;
}

// "12 days 03:04:05".
std::string formatAge(int64_t seconds) {
    char text[64];
    std::snprintf(text, sizeof text, "%" PRId64 " days %02d:%02d:%02d", seconds / kSecondsPerDay,
                  static_cast<int>(seconds % kSecondsPerDay / 3600), static_cast<int>(seconds % 3600 / 60),
                  static_cast<int>(seconds % 60));
    return text;
}

void logRefusal(const IndexJudgement& judgement, const std::optional<IndexRecord>& record, const SignatureTimes& times,
                const FreshnessPolicy& policy) {
    const std::string signedAt = formatUtc(times.created);
    const std::string recorded = record ? formatUtc(record->signedAt) : "";
    if (judgement.verdict != IndexVerdict::Accept)
        RunReport::instance().refuse(
            judgement.verdict == IndexVerdict::RefuseTooOld ? Refusal::MaxAge : Refusal::Rollback,
            "repository index signed " + signedAt);
    switch (judgement.verdict) {
        case IndexVerdict::RefuseOlder:
            LOG(Error, "refusing repository index signed %s: older than the index accepted before, signed %s",
                signedAt.c_str(), recorded.c_str());
            break;
        case IndexVerdict::RefuseConflict:
            LOG(Error, "refusing repository index signed %s: another index with that signing time was accepted",
                signedAt.c_str());
            break;
        case IndexVerdict::RefuseTooOld:
            LOG(Error, "refusing repository index signed %s: it is %s old, more than the maximum of %d days",
                signedAt.c_str(), formatAge(judgement.age).c_str(), policy.maxAgeDays);
            break;
        case IndexVerdict::RefuseNoTime:
            LOG(Error, "refusing repository index: its signature has no creation time");
            break;
        case IndexVerdict::Accept:
            break;
    }
}

void logAcceptance(const IndexJudgement& judgement, const std::optional<IndexRecord>& record,
                   const SignatureTimes& times, int64_t now) {
    // Said once a run: the later passes read the same index from the cache.
    static bool s_clockBehindSaid = false;
    if (judgement.clockBehind && !s_clockBehindSaid) {
        s_clockBehindSaid = true;
        LOG(Warn, "device clock %s is behind the last accepted index, signed %s: its age is not checked",
            formatUtc(now).c_str(), formatUtc(record->signedAt).c_str());
    }
    if (judgement.overridden)
        LOG(Warn, "accepting repository index signed %s as asked (--accept-older-metadata)%s%s",
            formatUtc(times.created).c_str(), record ? "; the index accepted before was signed " : "",
            record ? formatUtc(record->signedAt).c_str() : "");
    if (!times.hasCreated) LOG(Warn, "repository index signature has no creation time: index not recorded");
}

}  // namespace

std::string formatUtc(int64_t seconds) {
    const time_t value = static_cast<time_t>(seconds);
    struct tm utc {};
    char text[64];
    if (!gmtime_r(&value, &utc) || std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &utc) == 0)
        return std::to_string(seconds);
    return text;
}

IndexJudgement judgeIndex(const std::optional<IndexRecord>& record, const SignatureTimes& times,
                          const std::string& sha256, const FreshnessPolicy& policy, int64_t now) {
    IndexJudgement judgement;
    if (!times.hasCreated) {
        if (record || policy.maxAgeDays > 0) judgement.verdict = IndexVerdict::RefuseNoTime;
        return judgement;
    }
    const int64_t created = times.created;
    if (record && (created < record->signedAt || (created == record->signedAt && sha256 != record->sha256))) {
        if (!policy.acceptOlder) {
            judgement.verdict = created < record->signedAt ? IndexVerdict::RefuseOlder : IndexVerdict::RefuseConflict;
            return judgement;
        }
        judgement.overridden = true;
    }
    if (policy.maxAgeDays > 0) {
        // A clock that boots in 1970 cannot tell an age; the record still stops replays.
        if (record && now < record->signedAt) {
            judgement.clockBehind = true;
        } else {
            judgement.age = now - created;
            if (judgement.age > int64_t{policy.maxAgeDays} * kSecondsPerDay) {
                if (!policy.acceptOlder) {
                    judgement.verdict = IndexVerdict::RefuseTooOld;
                    return judgement;
                }
                judgement.overridden = true;
            }
        }
    }
    judgement.record = !record || !(*record == IndexRecord{times.created, sha256});
    return judgement;
}

bool checkIndexFreshness(const std::string& index, const std::string& signature, const FreshnessPolicy& policy,
                         int64_t now, const std::string& recordPath) {
    SignatureTimes times;
    std::string sha256;
    std::optional<IndexRecord> record;
    if (!readSignatureTimes(signature, times) || !sha256Hex(index, sha256) || !loadIndexRecord(record, recordPath))
        return false;
    const IndexJudgement judgement = judgeIndex(record, times, sha256, policy, now);
    if (judgement.verdict != IndexVerdict::Accept) {
        logRefusal(judgement, record, times, policy);
        return false;
    }
    logAcceptance(judgement, record, times, now);
    if (!judgement.record) return true;
    LOG(Debug, "recording repository index signed %s in '%s'", formatUtc(times.created).c_str(), recordPath.c_str());
    return saveIndexRecord(IndexRecord{times.created, sha256}, recordPath);
}

bool reportExpiredSignature(const std::string& signature, int64_t now) {
    SignatureTimes times;
    if (!readSignatureTimes(signature, times) || !times.hasCreated || !times.hasExpiry || times.expiresAfter == 0)
        return false;
    const int64_t expired = int64_t{times.created} + times.expiresAfter;
    if (now < expired) return false;
    LOG(Error, "repository index expired at %s (signed %s)", formatUtc(expired).c_str(),
        formatUtc(times.created).c_str());
    return true;
}
