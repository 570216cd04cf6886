#include "network/transfer.h"

#include <gtest/gtest.h>

#include "network/downloader.h"
#include "network/partial_file.h"

namespace {

TEST(TransferTest, ContentRangeMustContinueTheHeldBytes) {
    const struct {
        const char* header;
        bool parses;
        uint64_t offset;
        uint64_t declared;
        bool continues;
    } kCases[] = {
        {"bytes 100-199/200", true, 100, 200, true},
        {"bytes 100-199/200", true, 100, 0, true},
        {"bytes 100-199/200", true, 99, 200, false},   // starts elsewhere
        {"bytes 100-198/200", true, 100, 200, false},  // stops short of the total
        {"bytes 100-199/200", true, 100, 300, false},  // another file than declared
        {"bytes 0-0/1", true, 0, 1, true},
        {"bytes 100-199/*", false, 100, 0, false},  // unknown total
        {"bytes 200-100/300", false, 0, 0, false},
        {"bytes 0-200/200", false, 0, 0, false},  // last byte past the total
        {"bytes -1-5/6", false, 0, 0, false},
        {"bytes 1-2/3 ", false, 0, 0, false},
        {"items 1-2/3", false, 0, 0, false},
        {"bytes 1-2/99999999999999999999999", false, 0, 0, false},
        {"", false, 0, 0, false},
        {nullptr, false, 0, 0, false},
    };
    for (const auto& test : kCases) {
        ContentRange range;
        ASSERT_EQ(parseContentRange(test.header, range), test.parses) << (test.header ? test.header : "null");
        if (test.parses) {
            EXPECT_EQ(rangeContinues(range, test.offset, test.declared), test.continues) << test.header;
        }
    }
}

TEST(TransferTest, ResumeValidatorIsAStrongEtagElseLastModified) {
    EXPECT_EQ(resumeValidator("\"abc\"", "Mon, 07 Dec 2026 10:00:00 GMT"), "\"abc\"");
    EXPECT_EQ(resumeValidator("W/\"abc\"", "Mon, 07 Dec 2026 10:00:00 GMT"), "Mon, 07 Dec 2026 10:00:00 GMT");
    EXPECT_EQ(resumeValidator(nullptr, "Mon, 07 Dec 2026 10:00:00 GMT"), "Mon, 07 Dec 2026 10:00:00 GMT");
    EXPECT_EQ(resumeValidator("W/\"abc\"", nullptr), "");
    EXPECT_EQ(resumeValidator("", ""), "");
}

TEST(TransferTest, StallMeterJudgesEachWindow) {
    StallMeter meter(1000, 60, 0.0);
    EXPECT_TRUE(meter.add(30000, 30.0));   // window still open
    EXPECT_TRUE(meter.add(40000, 60.0));   // 70000 bytes in 60 s
    EXPECT_TRUE(meter.add(59000, 119.0));  // the next window is still open
    EXPECT_FALSE(meter.add(0, 121.0));     // 59000 bytes in 61 s: below the floor
    EXPECT_NEAR(meter.rate(), 59000.0 / 61.0, 0.01);
    StallMeter trickle(1000, 60, 0.0);
    EXPECT_FALSE(trickle.add(1, 119.0));  // one byte after nearly two minutes
}

TEST(TransferTest, DeadlineIsTheBasePlusTheSizeAtTheDeadlineRate) {
    TransferPolicy policy;
    EXPECT_DOUBLE_EQ(transferDeadlineSeconds(policy, 0), 300.0);
    EXPECT_DOUBLE_EQ(transferDeadlineSeconds(policy, 4096 * 100), 400.0);
}

TEST(TransferTest, LocalPathsStayInsideTheRepositoryDirectory) {
    for (const char* inside : {"a.rpm", "packages/a.rpm", "x..y/a.rpm", "..a/b", "a/..b", "./a", "a//b"})
        EXPECT_TRUE(staysInsideBase(inside)) << inside;
    for (const char* outside : {"", "/etc/passwd", "..", "../a", "a/../../b", "a/..", "packages/../../../x.rpm"})
        EXPECT_FALSE(staysInsideBase(outside)) << outside;
}

TEST(TransferTest, PartialsAreNamedByLowerCaseHexChecksums) {
    const std::string sha256(64, 'a');
    EXPECT_EQ(partialPathFor("/c/partial/", sha256), "/c/partial/" + sha256 + ".part");
    EXPECT_EQ(partialPathFor("/c/partial/", std::string(40, '0')), "/c/partial/" + std::string(40, '0') + ".part");
    for (const std::string& bad : {std::string(39, 'a'), std::string(64, 'A'), std::string(63, 'a') + "/",
                                   std::string("../") + std::string(61, 'a'), std::string()})
        EXPECT_EQ(partialPathFor("/c/partial/", bad), "") << bad;

    std::string checksum;
    EXPECT_TRUE(partialFileChecksum(sha256 + ".part", checksum));
    EXPECT_EQ(checksum, sha256);
    EXPECT_TRUE(partialFileChecksum(sha256 + ".validator", checksum));
    for (const std::string& other :
         {sha256 + ".validator.tmp", std::string(".part"), std::string("notes.part"), sha256, sha256 + ".PART"})
        EXPECT_FALSE(partialFileChecksum(other, checksum)) << other;
}

}  // namespace
