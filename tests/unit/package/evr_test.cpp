#include "package/evr.h"

#include <cstdio>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "fixtures/log_capture.h"
#include "fixtures/temp_dir.h"

namespace {

using TextPairs = std::vector<std::pair<std::string, std::string>>;

int sign(int value) {
    return (value > 0) - (value < 0);
}

TEST(EVRText, ParsesWhatItCanAndPrintsWithEpoch) {
    const struct {
        const char *text, *version, *release, *printed, *error;
        uint32_t epoch;
    } cases[] = {
        {"1:2.3-r4", "2.3", "r4", "1:2.3-r4", "", 1},
        {"2.3-r4", "2.3", "r4", "0:2.3-r4", "", 0},
        {"1.10", "1.10", "", "0:1.10", "", 0},
        {"1.0-r1-x", "1.0", "r1-x", "0:1.0-r1-x", "", 0},
        {"1:2:3-4", "2:3", "4", "1:2:3-4", "", 1},
        {"4294967295:1-2", "1", "2", "4294967295:1-2", "", UINT32_MAX},
        // The device's 32-bit strtoul saturates, and wraps a negated number.
        {"4294967296:1", "1", "", "4294967295:1", "", UINT32_MAX},
        {"-1:1", "1", "", "4294967295:1", "", UINT32_MAX},
        {"", "", "", "", "EVR string has no version release", 0},
        {"3:", "", "", "", "EVR string has no version release", 3},
        {"x:1.0", "1.0", "", "0:1.0", "failed parsing epoch from EVR string", 0},
        {"12x:1.0", "1.0", "", "12:1.0", "failed parsing epoch from EVR string", 12},
        {"1.0-", "1.0", "", "0:1.0", "empty release in EVR string", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        LogCapture log;
        const EVR evr = EVR::fromString(c.text);
        EXPECT_EQ(c.epoch, evr.epoch);
        EXPECT_EQ(c.version, evr.version);
        EXPECT_EQ(c.release, evr.release);
        EXPECT_EQ(c.printed, evr.toString());
        EXPECT_EQ(*c.error ? "ERROR: " + std::string(c.error) + "\n" : "", log.text());
    }
}

TEST(EVROrder, EpochsThenVersionsThenReleases) {
    const TextPairs olderNewer = {
        {"0:9", "4294967295:1"}, {"0:2.0", "1:1.0"}, {"1.0", "1.0-r1"}, {"1.0-r9", "1.1-r1"}, {"1.0-r1", "1.0-r2"}};
    for (const auto& [older, newer] : olderNewer) {
        const EVR a = EVR::fromString(older), b = EVR::fromString(newer);
        EXPECT_LT(compareEVR(a, b), 0) << older << " vs " << newer;
        EXPECT_GT(compareEVR(b, a), 0) << newer << " vs " << older;
        EXPECT_EQ(0, compareEVR(a, a)) << older;
    }
}

std::vector<std::string> words(const std::string& text) {
    std::istringstream stream(text);
    return {std::istream_iterator<std::string>(stream), std::istream_iterator<std::string>()};
}

// Pieces of versions and releases as distributions spell them, and their separators.
const std::vector<std::string> kPieces = words(
    "0 1 2 9 10 010 007 1.0 1.00 2.6.32 20230517 12345678901234567890 12345678901234567891 1a 1b a1 rc1 rc2 beta "
    "alpha pre3 git20200101 g1a2b3c svn1234 p1 FC5 fc4 el9 z B");
const std::vector<std::string> kSeparators = {".", ".", ".", "~", "^", "_", "+", ""};
const std::vector<uint32_t> kEpochs = {0, 0, 1, 2, 10, UINT32_MAX};

template <typename T>
const T& pick(const std::vector<T>& items, std::mt19937& rng) {
    return items[rng() % items.size()];
}

std::string randomPart(std::mt19937& rng) {
    std::string text = pick(kPieces, rng);
    for (unsigned n = rng() % 4; n > 0; --n) text += pick(kSeparators, rng) + pick(kPieces, rng);
    return text;
}

// Mostly a close relative of the part, so that many pairs tie on a prefix or entirely.
std::string nearPart(const std::string& part, std::mt19937& rng) {
    const unsigned kind = rng() % 5;
    if (kind == 0) return part;
    if (kind == 1) return part + pick(kSeparators, rng) + pick(kPieces, rng);
    if (kind == 2) return part.substr(0, 1 + rng() % part.size());
    if (kind == 3) return "0" + part;
    return randomPart(rng);
}

// Hand-picked tricky pairs, then a few hundred drawn from a fixed seed.
TextPairs comparedPairs() {
    const std::vector<std::string> tricky = words(
        "0:1.0~rc1-1 0:1.0-1  0:1.0~rc1-1 0:1.0~rc2-1  0:1.0~~-1 0:1.0~-1  0:1.0^-1 0:1.0-1  0:1.0^git1-1 0:1.0.1-1 "
        "0:1.0^git1-1 0:1.0~rc1^git1-1  0:1.0~rc1^git1-1 0:1.0~rc1-1  0:001-1 0:1-1  0:1.a-1 0:1.1-1  0:a-1 0:1-1 "
        "0:1.0-1 0:1.0.0-1  0:1..0-1 0:1.0-1  0:1_0-1 0:1.0-1  0:2.0.1a-1 0:2.0.1-1  0:1e-1 0:1.e-1  0:FC5-1 0:fc4-1 "
        "0:5.5p1-1 0:5.5p10-1  0:10xyz-1 0:10.1xyz-1  0:xyz10-1 0:xyz10.1-1  0:1.0-1.fc38 0:1.0-1.el9 "
        "0:1.0-r4 0:1.0-r10  0:2.3-0.rc1 0:2.3-1  0:1.0-1+b1 0:1.0-1  1:1.0-1 0:9.9-9  0:1.0-1 0:1.0-1 "
        "4294967295:1-1 0:2-1  0:4294967296-1 0:4294967295-1  0:99999999999999999999-1 0:100000000000000000000-1");
    TextPairs pairs;
    for (size_t i = 0; i + 1 < tricky.size(); i += 2) pairs.emplace_back(tricky[i], tricky[i + 1]);
    std::mt19937 rng(20240517);
    for (int i = 0; i < 300; ++i) {
        const uint32_t epoch = pick(kEpochs, rng), otherEpoch = rng() % 4 ? epoch : pick(kEpochs, rng);
        const std::string version = randomPart(rng), release = randomPart(rng);
        pairs.emplace_back(std::to_string(epoch) + ":" + version + "-" + release,
                           std::to_string(otherEpoch) + ":" + nearPart(version, rng) + "-" + nearPart(release, rng));
    }
    return pairs;
}

// rpm's own verdicts, from one run of rpm over all pairs.
std::vector<int> rpmVerdicts(const TextPairs& pairs) {
    TempDir dir("updater-evr");
    std::string script = "local out = {}\nfor _, c in ipairs({\n";
    for (const auto& [a, b] : pairs) script += "{\"" + a + "\", \"" + b + "\"},\n";
    script += "}) do out[#out + 1] = rpm.vercmp(c[1], c[2]) end\nprint(table.concat(out, \" \"))\n";
    writeFile(dir / "compare.lua", script);
    const std::string command = "rpm --eval '%{lua: dofile(\"" + dir / "compare.lua" + "\")}'";
    FILE* pipe = popen(command.c_str(), "r");
    std::vector<int> verdicts;
    if (!pipe) return verdicts;
    for (int verdict; fscanf(pipe, "%d", &verdict) == 1;) verdicts.push_back(verdict);
    EXPECT_EQ(0, pclose(pipe)) << command;
    return verdicts;
}

TEST(EVROrder, AgreesWithRpm) {
    const TextPairs pairs = comparedPairs();
    const std::vector<int> verdicts = rpmVerdicts(pairs);
    ASSERT_EQ(pairs.size(), verdicts.size());
    int outcomes[3] = {};
    for (size_t i = 0; i < pairs.size(); ++i) {
        const auto& [a, b] = pairs[i];
        const int ours = sign(compareEVR(EVR::fromString(a), EVR::fromString(b)));
        EXPECT_EQ(verdicts[i], ours) << a << " vs " << b;
        ++outcomes[ours + 1];
    }
    // Older, equal and newer all occur often enough to tell a faulty order apart.
    for (int count : outcomes) EXPECT_GE(count, 30);
}

}  // namespace
