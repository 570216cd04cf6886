// Reading a primary list, per package: generated lists of N packages shaped like
// createrepo_c's output (gzip-compressed, as published), and the fixture's own list.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <map>
#include <string>

#include "bench_fixture.h"
#include "repository/package_list.h"

namespace {

std::string entry(const std::string& name, const char* flags, const char* version) {
    std::string text = "      <rpm:entry name=\"" + name + "\"";
    if (flags) text += std::string(" flags=\"") + flags + "\" epoch=\"0\" ver=\"" + version + "\"";
    return text + "/>\n";
}

// One package in the layout of createrepo_c, with provides, requires, a recommendation and,
// on some, an obsolete and a file requirement.
std::string packageXml(int index, int count) {
    char name[32];
    snprintf(name, sizeof name, "fx-%05d", index);
    const std::string n = name;
    auto other = [&](int step) {
        char buffer[32];
        snprintf(buffer, sizeof buffer, "fx-%05d", (index + step) % count);
        return std::string(buffer);
    };
    std::string text =
        "<package type=\"rpm\">\n  <name>" + n +
        "</name>\n  <arch>noarch</arch>\n  <version epoch=\"0\" ver=\"2.0\" rel=\"1\"/>\n"
        "  <checksum type=\"sha256\" pkgid=\"YES\">"
        "523378954fc16aff0ba2012f493225d1beb87ae3f8dccbbe8ddeb8919cb96637</checksum>\n"
        "  <summary>Fixture package " +
        n + "</summary>\n  <description>Fixture package " + n +
        ".</description>\n  <packager></packager>\n  <url></url>\n"
        "  <time file=\"1796755875\" build=\"1796755875\"/>\n"
        "  <size package=\"5661\" installed=\"0\" archive=\"124\"/>\n  <location href=\"" +
        n +
        "-2.0-1.noarch.rpm\"/>\n  <format>\n    <rpm:license>MIT</rpm:license>\n"
        "    <rpm:vendor></rpm:vendor>\n    <rpm:group>Unspecified</rpm:group>\n"
        "    <rpm:buildhost>vm</rpm:buildhost>\n    <rpm:sourcerpm>fx-src-2.0-1.src.rpm</rpm:sourcerpm>\n"
        "    <rpm:header-range start=\"4504\" end=\"5613\"/>\n    <rpm:provides>\n" +
        entry("cap-" + n, "EQ", "2.0") + entry(n, "EQ", "2.0") + "    </rpm:provides>\n" + "    <rpm:requires>\n" +
        (index % 5 == 0 ? entry("/bin/sh", nullptr, nullptr) : "") + entry("cap-" + other(7), nullptr, nullptr) +
        entry(other(13), "GE", "1.0") + entry(other(29), nullptr, nullptr) + "    </rpm:requires>\n";
    if (index % 50 == 0) text += "    <rpm:obsoletes>\n" + entry(n + "-legacy", "LT", "2.0") + "    </rpm:obsoletes>\n";
    text += "    <rpm:recommends>\n" + entry(other(3), nullptr, nullptr) + "    </rpm:recommends>\n";
    return text + "  </format>\n</package>\n";
}

// Writes the list once per size and returns its path.
const std::string& generatedList(int count) {
    static std::map<int, std::string> lists;
    auto found = lists.find(count);
    if (found != lists.end()) return found->second;
    const std::string path = scratchDir() + "/primary-" + std::to_string(count) + ".xml.gz";
    gzFile file = gzopen(path.c_str(), "wb6");
    std::string head =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<metadata "
        "xmlns=\"http://linux.duke.edu/metadata/common\" "
        "xmlns:rpm=\"http://linux.duke.edu/metadata/rpm\" packages=\"" +
        std::to_string(count) + "\">\n";
    gzwrite(file, head.data(), static_cast<unsigned>(head.size()));
    for (int i = 0; i < count; ++i) {
        const std::string package = packageXml(i, count);
        gzwrite(file, package.data(), static_cast<unsigned>(package.size()));
    }
    gzputs(file, "</metadata>\n");
    gzclose(file);
    return lists.emplace(count, path).first->second;
}

void parseOnce(benchmark::State& state, const std::string& path) {
    size_t packages = 0;
    for (auto _ : state) {
        PackageStore map;
        if (parseList(path, kPrimaryList, map, "/var/cache/updater/packages") != ListResult::Parsed) {
            state.SkipWithError("the list did not parse");
            return;
        }
        packages = map.size();
        benchmark::DoNotOptimize(map);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(packages));
    state.counters["packages"] = static_cast<double>(packages);
    // Time per package: the inverse of the items rate, shown directly.
    state.counters["per_package"] = benchmark::Counter(
        static_cast<double>(packages), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_parsePrimaryList(benchmark::State& state) {
    quietLogger();
    parseOnce(state, generatedList(static_cast<int>(state.range(0))));
}
BENCHMARK(BM_parsePrimaryList)->Arg(500)->Arg(2000)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_parseFixturePrimaryList(benchmark::State& state) {
    quietLogger();
    const std::string path = fixturePrimaryList();
    if (path.empty()) {
        state.SkipWithError("no fixture (set UPDATER_BENCH_FIXTURE to a bench/make-fixture.py output)");
        return;
    }
    parseOnce(state, path);
}
BENCHMARK(BM_parseFixturePrimaryList)->Unit(benchmark::kMillisecond);

}  // namespace
