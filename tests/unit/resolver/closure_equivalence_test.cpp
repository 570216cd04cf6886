// The closure checks everything every round when traced and only what a round changed
// otherwise. On many random systems both must pull the same packages, leave the same
// entries unsatisfied and log the same lines above trace level.
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fixtures/log_capture.h"
#include "resolver/resolver.h"

namespace {

struct Outcome {
    bool closed = false;
    std::vector<std::string> selected, requires, recommends, lines;
};

class RandomSystem {
public:
    explicit RandomSystem(unsigned seed) : m_random(seed) {
        const int names = pick(4, 14);
        for (int n = 0; n < names; ++n) {
            const std::string name = "p" + std::to_string(n);
            // Installed in version 1 (now and then twice, or not at all), in the repository
            // in versions 1 to 3.
            const int installedCopies = pick(0, 4) == 0 ? 0 : (pick(0, 5) == 0 ? 2 : 1);
            for (int i = 0; i < installedCopies; ++i) installed.emplace(name, record(name, 1, names));
            for (int version = 1, records = pick(1, 3); version <= records; ++version)
                repository.emplace(name, record(name, version, names));
        }
    }

    PackageMap installed, repository;

private:
    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(m_random); }

    Dependency capability(int names, bool versioned) {
        const std::string name = pick(0, 9) == 0 ? "/bin/sh" : "c" + std::to_string(pick(0, names + 2));
        if (!versioned || pick(0, 2) == 0) return Dependency(name);
        const int32_t senses[] = {kSenseEqual, kSenseLess, kSenseGreater | kSenseEqual, kSenseLess | kSenseEqual};
        return Dependency(name, EVR::fromString(std::to_string(pick(1, 3))), senses[pick(0, 3)]);
    }

    Package record(const std::string& name, int version, int names) {
        Package p;
        p.name = name;
        p.type = PackageType::Rpm;
        p.evr = EVR::fromString(std::to_string(version));
        for (int i = pick(0, 2); i > 0; --i) {
            Dependency provide = capability(names, false);
            if (provide.name[0] == '/') continue;
            if (pick(0, 1) == 0) provide = Dependency(provide.name, p.evr, kSenseEqual);
            p.provides.insert(provide);
        }
        for (int i = pick(0, 3); i > 0; --i) p.requires.insert(capability(names, true));
        for (int i = pick(0, 1); i > 0; --i) p.recommends.insert(capability(names, true));
        return p;
    }

    std::mt19937 m_random;
};

Outcome close(const RandomSystem& system, LogLevel level, bool ignoreRecommends) {
    Outcome out;
    LogCapture log(level);
    Resolver resolver;
    EXPECT_TRUE(resolver.initFromInstalled(system.installed, ignoreRecommends, 0));
    PackageSelection selection = resolver.selectNewer(system.repository, {}, {}, {}, {});
    DependencySet requires, recommends;
    out.closed = resolver.closeDependencies(system.repository, selection, requires, recommends, {});
    for (const auto& [name, record] : selection) out.selected.push_back(packageLabel(record));
    for (const Dependency& d : requires) out.requires.push_back(d.toString());
    for (const Dependency& d : recommends) out.recommends.push_back(d.toString());
    for (const std::string& line : log.lines())
        if (line.rfind("TRACE: ", 0) != 0) out.lines.push_back(line);
    return out;
}

TEST(ClosureEquivalence, IncrementalCheckDecidesAndLogsAsTheFullCheck) {
    int pulledSomewhere = 0, failedSomewhere = 0;
    for (unsigned seed = 1; seed <= 300; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        const RandomSystem system(seed);
        const bool ignoreRecommends = seed % 4 == 0;
        const Outcome full = close(system, LogLevel::Trace, ignoreRecommends);
        const Outcome incremental = close(system, LogLevel::Debug, ignoreRecommends);
        EXPECT_EQ(incremental.closed, full.closed);
        EXPECT_EQ(incremental.selected, full.selected);
        EXPECT_EQ(incremental.requires, full.requires);
        EXPECT_EQ(incremental.recommends, full.recommends);
        EXPECT_EQ(incremental.lines, full.lines);
        if (::testing::Test::HasFailure()) break;
        for (const std::string& line : full.lines) pulledSomewhere += line.find("pulling package") != std::string::npos;
        failedSomewhere += !full.closed;
    }
    // The systems must exercise what the rounds change, not only trivial closures.
    EXPECT_GT(pulledSomewhere, 100);
    EXPECT_GT(failedSomewhere, 10);
}

}  // namespace
