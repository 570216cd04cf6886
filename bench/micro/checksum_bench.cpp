// Checksum::checkFile over a large file (200 MB, or UPDATER_BENCH_CHECKSUM_MB), to set
// against `openssl dgst -sha256` on the same file (bench/compare-checksum.sh).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/checksum.h"
#include "bench_fixture.h"

namespace {

size_t fileBytes() {
    const char* megabytes = std::getenv("UPDATER_BENCH_CHECKSUM_MB");
    return (megabytes ? std::strtoul(megabytes, nullptr, 10) : 200) << 20;
}

// The file, of bytes that do not compress to nothing; written once. UPDATER_BENCH_CHECKSUM_FILE
// names an existing file to use instead (the one openssl is timed on).
const std::string& bigFile() {
    static std::string path;
    if (!path.empty()) return path;
    if (const char* given = std::getenv("UPDATER_BENCH_CHECKSUM_FILE")) return path = given;
    path = scratchDir() + "/big.bin";
    FILE* file = std::fopen(path.c_str(), "wb");
    std::vector<unsigned char> block(1 << 20);
    uint32_t state = 12345;
    for (unsigned char& byte : block) byte = static_cast<unsigned char>((state = state * 1103515245u + 12345u) >> 24);
    for (size_t written = 0; written < fileBytes(); written += block.size()) {
        block[0] = static_cast<unsigned char>(written >> 20);
        std::fwrite(block.data(), 1, block.size(), file);
    }
    std::fclose(file);
    return path;
}

std::string hex(const std::vector<unsigned char>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

void BM_ChecksumCheckFile(benchmark::State& state) {
    quietLogger();
    const std::string& path = bigFile();
    Checksum checksum{"", "sha256"};
    std::vector<unsigned char> digest;
    if (!checksum.digestFile(path, false, digest)) {
        state.SkipWithError("could not read the file");
        return;
    }
    checksum.value = hex(digest);
    for (auto _ : state)
        if (!checksum.checkFile(path)) state.SkipWithError("the digest did not match");
    FILE* file = std::fopen(path.c_str(), "rb");
    std::fseek(file, 0, SEEK_END);
    const long size = std::ftell(file);
    std::fclose(file);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(size));
}
BENCHMARK(BM_ChecksumCheckFile)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
