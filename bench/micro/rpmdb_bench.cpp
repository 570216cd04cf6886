// Reading the installed list from the fixture's rpm database, and one dependency check of
// the updates the fixture's repository offers against it.
#include <benchmark/benchmark.h>

#include <optional>

#include "bench_fixture.h"
#include "repository/package_list.h"
#include "resolver/resolver.h"
#include "rpmdb/dbdata.h"

namespace {

bool haveFixture(benchmark::State& state) {
    if (!fixtureDir().empty() && !fixturePrimaryList().empty()) return true;
    state.SkipWithError("no fixture (set UPDATER_BENCH_FIXTURE to a bench/make-fixture.py output)");
    return false;
}

// Empty counts as unreadable: every fixture records installed packages, so an empty list
// means the database was not the fixture's.
std::optional<PackageStore> readInstalled() {
    useRpmDatabase(fixtureDir() + "/rpmdb");
    RpmDB db;
    if (!db.open(true)) return std::nullopt;
    std::optional<PackageStore> installed = db.getInstalledPackages();
    if (installed && installed->size() == 0) return std::nullopt;
    return installed;
}

void BM_readInstalledPackages(benchmark::State& state) {
    quietLogger();
    if (!haveFixture(state)) return;
    size_t packages = 0;
    for (auto _ : state) {
        std::optional<PackageStore> installed = readInstalled();
        if (!installed) {
            state.SkipWithError("the rpm database could not be read");
            return;
        }
        packages = installed->size();
        benchmark::DoNotOptimize(installed);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(packages));
    state.counters["packages"] = static_cast<double>(packages);
}
BENCHMARK(BM_readInstalledPackages)->Unit(benchmark::kMillisecond);

void BM_checkDependencies(benchmark::State& state) {
    quietLogger();
    if (!haveFixture(state)) return;
    std::optional<PackageStore> installed = readInstalled();
    PackageStore repository;
    if (!installed || parseList(fixturePrimaryList(), kPrimaryList, repository, "") != ListResult::Parsed) {
        state.SkipWithError("the fixture could not be read");
        return;
    }
    Resolver resolver;
    if (!resolver.initFromInstalled(std::move(*installed), false, kRpmOnlyExcludedTypes)) {
        state.SkipWithError("the resolver refused the installed list");
        return;
    }
    const PackageSelection selection = resolver.selectNewer(repository, {}, {}, {}, {});
    DependencySet requires;
    DependencySet recommends;
    for (auto _ : state) benchmark::DoNotOptimize(resolver.checkDependencies(selection, requires, recommends));
    state.counters["selected"] = static_cast<double>(selection.size());
    state.counters["unsatisfied"] = static_cast<double>(requires.size() + recommends.size());
}
BENCHMARK(BM_checkDependencies)->Unit(benchmark::kMillisecond);

}  // namespace
