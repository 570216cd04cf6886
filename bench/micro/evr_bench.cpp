// Version comparison and dependency matching: the resolver's innermost operations.
#include <benchmark/benchmark.h>

#include <vector>

#include "bench_fixture.h"
#include "package/dependency.h"
#include "package/evr.h"

namespace {

// Pairs of the kinds a repository holds: equal, release and version bumps, epochs,
// pre-releases with "~", letters against digits, long dotted versions.
const std::vector<std::pair<const char*, const char*>> kVersionPairs = {
    {"1.0-1", "1.0-1"},
    {"1.0-1", "1.0-2"},
    {"1.0-1", "2.0-1"},
    {"1:1.2-1", "3.0-1"},
    {"2.0~rc1-1", "2.0-1"},
    {"1.0a-1", "1.0.1-1"},
    {"4.18.0.123-5.el9", "4.18.0.124-1.el9"},
    {"2023.05.01-3", "2023.05.01-3.1"},
};

void BM_compareEVR(benchmark::State& state) {
    quietLogger();
    std::vector<std::pair<EVR, EVR>> pairs;
    for (const auto& [a, b] : kVersionPairs) pairs.emplace_back(EVR::fromString(a), EVR::fromString(b));
    for (auto _ : state)
        for (const auto& [a, b] : pairs) benchmark::DoNotOptimize(compareEVR(a, b));
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(pairs.size()));
}
BENCHMARK(BM_compareEVR);

void BM_DependencyMatches(benchmark::State& state) {
    quietLogger();
    // A provide against requirements of each sense, and unversioned ones on either side.
    const Dependency provide("cap-fx", EVR::fromString("2.0-1"), kSenseEqual);
    const Dependency plain("cap-fx");
    const std::vector<Dependency> requirements = {
        Dependency("cap-fx"),
        Dependency("cap-fx", EVR::fromString("1.0"), kSenseGreater | kSenseEqual),
        Dependency("cap-fx", EVR::fromString("2.0-1"), kSenseEqual),
        Dependency("cap-fx", EVR::fromString("2.0"), kSenseLess),
        Dependency("cap-fx", EVR::fromString("1:1.0"), kSenseGreater),
    };
    for (auto _ : state)
        for (const Dependency& requirement : requirements) {
            benchmark::DoNotOptimize(provide.matches(requirement));
            benchmark::DoNotOptimize(plain.matches(requirement));
        }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(2 * requirements.size()));
}
BENCHMARK(BM_DependencyMatches);

}  // namespace
