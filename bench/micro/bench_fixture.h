// What the micro-benchmarks share: a quiet logger, rpm's configuration, and the fixture made
// by bench/make-fixture.py that UPDATER_BENCH_FIXTURE names.
#pragma once

#include <string>

// Logs errors only, so that the measured loops print nothing, and reads rpm's configuration
// once; called at the start of each benchmark.
void quietLogger();

// The fixture directory, empty when UPDATER_BENCH_FIXTURE is not set.
std::string fixtureDir();

// The fixture's primary list (repo/repodata/*-primary.xml.gz), empty when there is none.
std::string fixturePrimaryList();

// Points %_dbpath at the directory.
void useRpmDatabase(const std::string& dbPath);

// A scratch directory for generated files, removed at exit.
std::string scratchDir();
