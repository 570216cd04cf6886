// The mapping of older rpmlib calls onto rpm 4.18.
#include <rpm/rpmlib.h>
#include <rpm/rpmlog.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "rpmdb/rpm_compat.h"

namespace {

std::vector<std::pair<int, std::string>> g_records;

void collect(int priority, const char* message) {
    g_records.emplace_back(priority, message);
}

void handler(int, siginfo_t*, void*) {}

TEST(RpmCompat, SignalRegistrationCountsLikeOlderRpmlib) {
    // A fresh registration answers 1; a second one tells the caller it was already there.
    EXPECT_EQ(rpmcompat::rpmsqEnable(SIGUSR1, handler), 1);
    EXPECT_EQ(rpmcompat::rpmsqEnable(SIGUSR1, nullptr), 2);
    EXPECT_EQ(rpmcompat::rpmsqEnable(-SIGUSR1, nullptr), 1);
    EXPECT_EQ(rpmcompat::rpmsqEnable(-SIGUSR1, nullptr), 0);
    // Releasing what is not registered stays at 0.
    EXPECT_EQ(rpmcompat::rpmsqEnable(-SIGUSR1, nullptr), 0);
    EXPECT_EQ(rpmcompat::rpmsqEnable(SIGTERM, nullptr), 1);
    EXPECT_EQ(rpmcompat::rpmsqEnable(-SIGTERM, nullptr), 0);
}

TEST(RpmCompat, LogRecordsReachTheSinkWithTheirPriority) {
    rpmcompat::routeRpmLog(collect);
    rpmlog(RPMLOG_ERR, "broken header\n");
    rpmlog(RPMLOG_WARNING, "odd tag");
    ASSERT_EQ(g_records.size(), 2u);
    EXPECT_EQ(g_records[0].first, RPMLOG_ERR);
    EXPECT_EQ(g_records[0].second, "broken header\n");
    EXPECT_EQ(g_records[1].first, RPMLOG_WARNING);
}

TEST(RpmCompat, PlatformScoreAcceptsThisMachineAndNoarchOnly) {
    ASSERT_EQ(rpmReadConfigFiles(nullptr, nullptr), 0);
    // rpm's name of this machine's architecture, which is not always the kernel's (an ARMv7
    // hard-float board is "armv7l" to uname but "armv7hnl" to rpm).
    const char* arch = nullptr;
    rpmGetArchInfo(&arch, nullptr);
    ASSERT_NE(arch, nullptr);
    const std::string machine = arch;
    const std::string suffix = "-pc-linux-gnu";
    EXPECT_GT(rpmcompat::rpmPlatformScore((machine + suffix).c_str()), 0);
    EXPECT_GT(rpmcompat::rpmPlatformScore(("noarch" + suffix).c_str()), 0);
    EXPECT_EQ(rpmcompat::rpmPlatformScore(("s390x" + suffix).c_str()), 0);
    EXPECT_EQ(rpmcompat::rpmPlatformScore((machine + "-pc-hpux").c_str()), 0);
    EXPECT_EQ(rpmcompat::rpmPlatformScore(suffix.c_str()), 0);
    EXPECT_EQ(rpmcompat::rpmPlatformScore(""), 0);
}

}  // namespace
