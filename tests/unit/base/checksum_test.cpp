#include "base/checksum.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include <gtest/gtest.h>

#include "base/logger.h"
#include "fixtures/log_capture.h"
#include "fixtures/temp_dir.h"

namespace {

// The hex digest a coreutils tool prints for what a shell command writes to standard output.
std::string toolDigest(const std::string& tool, const std::string& source) {
    std::string text;
    if (FILE* pipe = popen((source + " | " + tool).c_str(), "r")) {
        char line[256] = "";
        if (fgets(line, sizeof line, pipe)) text = line;
        pclose(pipe);
    }
    std::string digest = text.substr(0, text.find(' '));
    EXPECT_FALSE(digest.empty()) << tool << " on " << source;
    return digest;
}

std::string sha1Of(const std::string& path) {
    return toolDigest("sha1sum", "cat " + path);
}
std::string sha256Of(const std::string& path) {
    return toolDigest("sha256sum", "cat " + path);
}

std::string gzipTo(const std::string& source, const std::string& target) {
    EXPECT_EQ(0, system(("gzip -n -c < " + source + " > " + target).c_str()));
    return target;
}

// Deterministic bytes that a compressor cannot squeeze away.
std::string noise(size_t size) {
    std::string data(size, '\0');
    unsigned state = 12345;
    for (char& c : data) c = static_cast<char>((state = state * 1103515245u + 12345u) >> 23);
    return data;
}

class ChecksumTest : public testing::Test {
protected:
    TempDir m_dir;
    LogCapture m_log;
};

TEST_F(ChecksumTest, DigestsMatchCoreutils) {
    writeFile(m_dir / "empty", "");
    writeFile(m_dir / "empty-member", "");
    gzipTo(m_dir / "empty-member", m_dir / "empty.gz");
    writeFile(m_dir / "big", noise(3 * 1024 * 1024 + 517));  // not a multiple of the read chunk
    for (const std::string name : {"empty", "empty.gz", "big"}) {
        const std::string path = m_dir / name;
        EXPECT_TRUE((Checksum{sha1Of(path), "sha"}.checkFile(path))) << name;
        EXPECT_TRUE((Checksum{sha256Of(path), "sha256"}.checkFile(path))) << name;
        // Plain files pass through the gzip reader unchanged.
        if (name != "empty.gz") {
            EXPECT_TRUE((Checksum{sha256Of(path), "sha256"}.checkUncompressed(path))) << name;
        }
    }
    EXPECT_TRUE((Checksum{sha256Of(m_dir / "empty"), "sha256"}.checkUncompressed(m_dir / "empty.gz")));
    EXPECT_TRUE(m_log.has("DEBUG: 'sha' checksum of '" + m_dir / "empty" +
                          "' (da39a3ee5e6b4b0d3255bfef95601890afd80709) checks against "
                          "da39a3ee5e6b4b0d3255bfef95601890afd80709"));
}

TEST_F(ChecksumTest, CompressedFileStoredAndUncompressed) {
    writeFile(m_dir / "primary.xml", noise(200000) + std::string(50000, 'x'));
    const std::string gz = gzipTo(m_dir / "primary.xml", m_dir / "primary.xml.gz");
    const std::string stored = sha256Of(gz), open = toolDigest("sha256sum", "gzip -dc " + gz);
    ASSERT_NE(stored, open);

    EXPECT_TRUE((Checksum{stored, "sha256"}.checkFile(gz)));
    EXPECT_TRUE((Checksum{open, "sha256"}.checkUncompressed(gz)));
    EXPECT_FALSE((Checksum{open, "sha256"}.checkFile(gz)));
    EXPECT_FALSE((Checksum{stored, "sha256"}.checkUncompressed(gz)));
    EXPECT_TRUE((Checksum{toolDigest("sha1sum", "gzip -dc " + gz), "sha"}.checkUncompressed(gz)));
}

TEST_F(ChecksumTest, ValuesAreComparedExactly) {
    writeFile(m_dir / "file", "content\n");
    const std::string path = m_dir / "file", lower = sha256Of(path);
    std::string upper = lower;
    for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));

    EXPECT_FALSE((Checksum{upper, "sha256"}.checkFile(path)));
    EXPECT_TRUE(m_log.has("DEBUG: 'sha256' checksum of '" + path + "' (" + lower + ") FAILS against " + upper));
    EXPECT_FALSE((Checksum{lower.substr(0, 40), "sha256"}.checkFile(path)));
}

TEST_F(ChecksumTest, UnknownTypesAreRefused) {
    writeFile(m_dir / "file", "content\n");
    const std::string path = m_dir / "file";
    for (const std::string type : {"sha1", "SHA256", "sha512", ""}) {
        EXPECT_FALSE((Checksum{sha1Of(path), type}.checkFile(path)));
        EXPECT_TRUE(m_log.has("ERROR: unsupported checksum type '" + type + "'")) << type;
    }
}

// The warning flag lives for the whole process, so each case runs in a fresh one.
class ChecksumMd5Test : public testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }

    // Exits 0 when every check failed; the logger writes to standard error, at the given
    // threshold for the first check and at trace level afterwards.
    [[noreturn]] static void checkMd5Repeatedly(LogLevel first, int count) {
        bool anyPassed = false;
        {
            TempDir dir;  // removed before exit, which skips the destructors of outer scopes
            const std::string path = dir / "file";
            writeFile(path, "content\n");
            Checksum md5{toolDigest("md5sum", "cat " + path), "md5"};
            Logger::instance().setLevel(first);
            anyPassed = md5.checkFile(path);
            Logger::instance().setLevel(LogLevel::Trace);
            for (int i = 1; i < count; ++i) anyPassed |= md5.checkFile(path) || md5.checkUncompressed(path);
        }
        std::exit(anyPassed ? 1 : 0);
    }
};

TEST_F(ChecksumMd5Test, WarnedOncePerProcess) {
    EXPECT_EXIT(checkMd5Repeatedly(LogLevel::Trace, 20), testing::ExitedWithCode(0),
                "^WARNING: encountered insecure MD5 checksums: discarding them\n$");
}

TEST_F(ChecksumMd5Test, SuppressedWarningStillCounts) {
    EXPECT_EXIT(checkMd5Repeatedly(LogLevel::Error, 5), testing::ExitedWithCode(0), "^$");
}

TEST_F(ChecksumTest, UnreadableInputFails) {
    const std::string missing = m_dir / "missing";
    Checksum sha{std::string(40, '0'), "sha"};
    EXPECT_FALSE(sha.checkFile(missing));
    EXPECT_FALSE(sha.checkUncompressed(missing));
    EXPECT_FALSE(sha.checkFile(m_dir.path()));  // opens, but reading a directory fails
    EXPECT_FALSE(sha.checkUncompressed(m_dir.path()));
    // The empty-value refusal comes before the file is touched.
    EXPECT_FALSE((Checksum{"", "sha"}.checkUncompressed(missing)));

    const std::string openError =
        "ERROR: failed opening '" + missing + "' for checksumming (No such file or directory)";
    const std::string readError = "ERROR: failed while reading from '" + m_dir.path() + "'";
    EXPECT_EQ((std::vector<std::string>{openError, openError, readError, readError,
                                        "ERROR: attempted to check an empty checksum"}),
              m_log.lines());
}

TEST_F(ChecksumTest, CorruptedGzipFailsCleanly) {
    writeFile(m_dir / "list", noise(10000));
    std::string gz = readFile(gzipTo(m_dir / "list", m_dir / "list.gz"));
    const std::string open = sha256Of(m_dir / "list");

    std::string badCrc = gz;
    badCrc[badCrc.size() - 8] ^= 0x5a;
    writeFile(m_dir / "crc.gz", badCrc);
    EXPECT_FALSE((Checksum{open, "sha256"}.checkUncompressed(m_dir / "crc.gz")));
    EXPECT_TRUE(m_log.has("ERROR: failed while reading from '" + m_dir / "crc.gz" + "'"));

    // zlib reports a cut-off member as a short read; the digest then no longer matches.
    writeFile(m_dir / "cut.gz", gz.substr(0, gz.size() / 2));
    EXPECT_FALSE((Checksum{open, "sha256"}.checkUncompressed(m_dir / "cut.gz")));
}

}  // namespace
