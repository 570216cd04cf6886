#include "bench_fixture.h"

#include <rpm/rpmlib.h>
#include <rpm/rpmmacro.h>

#include <cstdlib>
#include <filesystem>

#include "base/logger.h"

namespace fs = std::filesystem;

void quietLogger() {
    Logger::instance().setLevel(LogLevel::Error);
    // The architecture checks of the list parser need rpm's configuration, as in the updater.
    static const bool loaded = rpmReadConfigFiles(nullptr, nullptr) == 0;
    (void)loaded;
}

std::string fixtureDir() {
    // Absolute: rpm takes a relative database path from the root directory.
    const char* dir = std::getenv("UPDATER_BENCH_FIXTURE");
    return dir && *dir ? fs::absolute(dir).string() : "";
}

std::string fixturePrimaryList() {
    if (fixtureDir().empty()) return "";
    const fs::path repodata = fs::path(fixtureDir()) / "repo" / "repodata";
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(repodata, error)) {
        const std::string name = entry.path().filename().string();
        if (name.size() > 20 && name.compare(name.size() - 15, 15, "-primary.xml.gz") == 0) return entry.path();
    }
    return "";
}

void useRpmDatabase(const std::string& dbPath) {
    quietLogger();
    rpmPushMacro(nullptr, "_dbpath", nullptr, dbPath.c_str(), RMIL_CMDLINE);
}

namespace {
struct Scratch {
    fs::path path;
    Scratch() {
        std::string pattern = (fs::temp_directory_path() / "updater-bench.XXXXXX").string();
        if (mkdtemp(pattern.data())) path = pattern;
    }
    ~Scratch() {
        std::error_code error;
        if (!path.empty()) fs::remove_all(path, error);
    }
};
}  // namespace

std::string scratchDir() {
    static Scratch scratch;
    return scratch.path.string();
}
