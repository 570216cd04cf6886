// The record of the accepted repository index and the decision on a new one: what is refused
// as replayed, too old or conflicting, what is accepted and what is recorded.
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "fixtures/log_capture.h"
#include "fixtures/temp_dir.h"
#include "repository/index_freshness.h"
#include "repository/index_record.h"

namespace {

constexpr int64_t kDay = 24 * 3600;
constexpr uint32_t kT = 1800000000;  // the recorded signing time
const std::string kSha(64, 'a');
const std::string kOtherSha(64, 'b');

SignatureTimes signedAt(int64_t seconds) {
    SignatureTimes times;
    times.hasCreated = true;
    times.created = static_cast<uint32_t>(seconds);
    return times;
}

struct Case {
    const char* what;
    bool hasRecord;
    SignatureTimes times;
    std::string sha;
    FreshnessPolicy policy;
    int64_t now;
    IndexVerdict verdict;
    bool record;
    bool overridden;
    bool clockBehind;
};

TEST(IndexFreshnessTest, Decisions) {
    const FreshnessPolicy none;
    const FreshnessPolicy maxAge{14, false};
    const FreshnessPolicy older{0, true};
    const FreshnessPolicy olderMaxAge{14, true};
    const int64_t now = kT + kDay;
    const Case cases[] = {
        {"first index", false, signedAt(kT), kSha, none, now, IndexVerdict::Accept, true, false, false},
        {"newer", true, signedAt(kT + 1), kOtherSha, none, now, IndexVerdict::Accept, true, false, false},
        {"same index", true, signedAt(kT), kSha, none, now, IndexVerdict::Accept, false, false, false},
        {"older", true, signedAt(kT - 1), kSha, none, now, IndexVerdict::RefuseOlder, false, false, false},
        {"same time, other content", true, signedAt(kT), kOtherSha, none, now, IndexVerdict::RefuseConflict, false,
         false, false},
        {"older, accepted on request", true, signedAt(kT - kDay), kOtherSha, older, now, IndexVerdict::Accept, true,
         true, false},
        {"conflict, accepted on request", true, signedAt(kT), kOtherSha, older, now, IndexVerdict::Accept, true, true,
         false},
        {"no time, no record", false, SignatureTimes(), kSha, none, now, IndexVerdict::Accept, false, false, false},
        {"no time, a record", true, SignatureTimes(), kSha, none, now, IndexVerdict::RefuseNoTime, false, false, false},
        {"no time, a maximum age", false, SignatureTimes(), kSha, maxAge, now, IndexVerdict::RefuseNoTime, false, false,
         false},
        {"within the maximum age", true, signedAt(kT + 1), kOtherSha, maxAge, kT + 14 * kDay + 1, IndexVerdict::Accept,
         true, false, false},
        {"beyond the maximum age", false, signedAt(kT), kSha, maxAge, kT + 14 * kDay + 1, IndexVerdict::RefuseTooOld,
         false, false, false},
        {"beyond the maximum age, accepted on request", false, signedAt(kT), kSha, olderMaxAge, kT + 20 * kDay,
         IndexVerdict::Accept, true, true, false},
        {"signed in the future", false, signedAt(kT + 100 * kDay), kSha, maxAge, kT, IndexVerdict::Accept, true, false,
         false},
        {"clock behind the record", true, signedAt(kT + 1), kOtherSha, maxAge, 0, IndexVerdict::Accept, true, false,
         true},
        {"clock behind the record, older index", true, signedAt(kT - 1), kOtherSha, maxAge, 0,
         IndexVerdict::RefuseOlder, false, false, false},
    };
    for (const Case& c : cases) {
        std::optional<IndexRecord> record;
        if (c.hasRecord) record = IndexRecord{kT, kSha};
        const IndexJudgement judgement = judgeIndex(record, c.times, c.sha, c.policy, c.now);
        EXPECT_EQ(judgement.verdict, c.verdict) << c.what;
        EXPECT_EQ(judgement.record, c.record) << c.what;
        EXPECT_EQ(judgement.overridden, c.overridden) << c.what;
        EXPECT_EQ(judgement.clockBehind, c.clockBehind) << c.what;
    }
    EXPECT_EQ(formatUtc(kT), "2027-01-15 08:00:00 UTC");
}

TEST(IndexRecordTest, OnlyTheWrittenFormIsRead) {
    const IndexRecord record{kT, kSha};
    const std::string text = formatIndexRecord(record);
    EXPECT_EQ(text, "signed 1800000000\nsha256 " + kSha + "\n");
    IndexRecord read;
    ASSERT_TRUE(parseIndexRecord(text, read));
    EXPECT_EQ(read, record);
    for (const std::string& bad :
         {std::string(), text.substr(0, text.size() - 1), text.substr(0, 20), text + "x", " " + text,
          "signed 01800000000\nsha256 " + kSha + "\n", "signed 4294967296\nsha256 " + kSha + "\n",
          "signed -1\nsha256 " + kSha + "\n", "signed 1\nsha256 " + std::string(64, 'A') + "\n",
          "signed 1\nsha256 " + std::string(63, 'a') + "\n", std::string("\x8f\x01\xff\x00zz", 6)})
        EXPECT_FALSE(parseIndexRecord(bad, read)) << bad;
}

TEST(IndexRecordTest, OnlyAnAbsentFileMeansNoRecord) {
    TempDir dir;
    LogCapture log;
    const std::string path = dir / "accepted-index";
    std::optional<IndexRecord> record;
    ASSERT_TRUE(loadIndexRecord(record, path));
    EXPECT_FALSE(record);

    ASSERT_TRUE(saveIndexRecord(IndexRecord{kT, kSha}, path));
    ASSERT_TRUE(loadIndexRecord(record, path));
    ASSERT_TRUE(record);
    EXPECT_EQ(*record, (IndexRecord{kT, kSha}));
    EXPECT_FALSE(fileExists(path + ".tmp"));

    // A kill after the temporary file was written but before the rename leaves it behind:
    // the record stays whole, and the next save goes through.
    writeFile(path + ".tmp", "signed 17");
    ASSERT_TRUE(loadIndexRecord(record, path));
    EXPECT_EQ(*record, (IndexRecord{kT, kSha}));
    ASSERT_TRUE(saveIndexRecord(IndexRecord{kT + 1, kOtherSha}, path));
    ASSERT_TRUE(loadIndexRecord(record, path));
    EXPECT_EQ(*record, (IndexRecord{kT + 1, kOtherSha}));

    const std::string good = readFile(path);
    for (const std::string& bad :
         {std::string(), good.substr(0, 30), std::string("\x01\xfe\x7f\x80", 4), good + std::string(300, 'x')}) {
        writeFile(path, bad);
        EXPECT_FALSE(loadIndexRecord(record, path)) << bad;
    }
    unlink(path.c_str());
    makeDirs(path);
    EXPECT_FALSE(loadIndexRecord(record, path));
    EXPECT_FALSE(saveIndexRecord(IndexRecord{kT, kSha}, path));
    removeTree(path);
    writeFile(dir / "elsewhere", good);
    ASSERT_EQ(symlink((dir / "elsewhere").c_str(), path.c_str()), 0);
    EXPECT_FALSE(loadIndexRecord(record, path));
    // A link planted at the temporary name is not written through.
    unlink(path.c_str());
    ASSERT_EQ(symlink((dir / "elsewhere").c_str(), (path + ".tmp").c_str()), 0);
    EXPECT_FALSE(saveIndexRecord(IndexRecord{kT, kSha}, path));
    EXPECT_EQ(readFile(dir / "elsewhere"), good);
}

}  // namespace
