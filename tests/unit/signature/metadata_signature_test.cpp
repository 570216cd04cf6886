// The repository index signature check with the real gpgv, keys made by gpg here, and
// stand-in gpgv programs for the ways the verifier itself can fail.
#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "fixtures/gpg_keys.h"
#include "fixtures/log_capture.h"
#include "fixtures/run_tool.h"
#include "fixtures/temp_dir.h"
#include "signature/metadata_signature.h"

namespace {

// An environment variable set for one scope and restored afterwards.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : m_name(name) {
        const char* old = getenv(name);
        m_had = old != nullptr;
        if (m_had) m_old = old;
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (m_had)
            setenv(m_name, m_old.c_str(), 1);
        else
            unsetenv(m_name);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* m_name;
    std::string m_old;
    bool m_had = false;
};

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    DIR* stream = opendir(dir.c_str());
    if (!stream) return {std::string("cannot open ") + dir};
    while (dirent* entry = readdir(stream)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(stream);
    return names;
}

std::string asText(const std::vector<uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

class MetadataSignatureTest : public ::testing::Test {
protected:
    // Two keys for the whole suite: one the device trusts, one it does not.
    static void SetUpTestSuite() {
        s_keys = new GpgKeys;
        s_trusted = s_keys->generate("Repository <repo@example.com>");
        s_untrusted = s_keys->generate("Stranger <stranger@example.com>");
        s_trustedKey = s_keys->exportKey(s_trusted);
        s_untrustedKey = s_keys->exportKey(s_untrusted);
    }
    static void TearDownTestSuite() {
        delete s_keys;
        s_keys = nullptr;
    }

    void SetUp() override {
        ASSERT_FALSE(s_trustedKey.empty());
        ASSERT_FALSE(s_untrustedKey.empty());
        makeDirs(m_keyringDir);
        makeDirs(m_gpgvHome);
        chmod(m_gpgvHome.c_str(), 0700);
        writeFile(m_index, "<repomd><data type=\"primary\"/></repomd>\n");
    }
    void TearDown() override {
        // Whatever happened, no keyring is left behind.
        EXPECT_EQ(entries(m_keyringDir), std::vector<std::string>{});
    }

    bool verify(const PublicKeyList& keys) {
        return verifyDetachedSignature(keys, m_index, m_signature, m_keyringDir + "/updater.XXXXXX");
    }
    bool sign(const std::string& fingerprint) { return s_keys->detachSign(fingerprint, m_index, m_signature); }

    // A stand-in gpgv, first in PATH, running script.
    std::string fakeGpgv(const std::string& script) {
        const std::string bin = m_dir / "bin";
        writeFile(bin + "/gpgv", "#!/bin/sh\n" + script + "\n", 0755);
        return bin + ":" + getenv("PATH");
    }

    static GpgKeys* s_keys;
    static std::string s_trusted;
    static std::string s_untrusted;
    static std::vector<uint8_t> s_trustedKey;
    static std::vector<uint8_t> s_untrustedKey;

    TempDir m_dir;
    const std::string m_keyringDir = m_dir / "keyrings";
    // gpgv reads its home directory's default files: keep it away from the user's.
    const std::string m_gpgvHome = m_dir / "gnupg";
    ScopedEnv m_home{"GNUPGHOME", m_gpgvHome};
    const std::string m_index = m_dir / "repomd.xml";
    const std::string m_signature = m_dir / "repomd.xml.asc";
    LogCapture m_log;
};

GpgKeys* MetadataSignatureTest::s_keys = nullptr;
std::string MetadataSignatureTest::s_trusted;
std::string MetadataSignatureTest::s_untrusted;
std::vector<uint8_t> MetadataSignatureTest::s_trustedKey;
std::vector<uint8_t> MetadataSignatureTest::s_untrustedKey;

TEST_F(MetadataSignatureTest, SignedByTrustedKeyPasses) {
    ASSERT_TRUE(sign(s_trusted));
    EXPECT_TRUE(verify({s_trustedKey}));
    EXPECT_TRUE(m_log.has("DEBUG: verifying " + m_index + " against signature " + m_signature));
    EXPECT_TRUE(m_log.has("DEBUG: gpgv exited with code 0"));
    // Among several keys too: the keyring holds them all.
    EXPECT_TRUE(verify({s_untrustedKey, s_trustedKey}));
}

TEST_F(MetadataSignatureTest, SignedByUntrustedKeyFails) {
    ASSERT_TRUE(sign(s_untrusted));
    EXPECT_FALSE(verify({s_trustedKey}));
    EXPECT_FALSE(m_log.has("DEBUG: gpgv exited with code 0"));
    EXPECT_NE(m_log.text().find("DEBUG: gpgv exited with code "), std::string::npos);
}

TEST_F(MetadataSignatureTest, TamperedAfterSigningFails) {
    ASSERT_TRUE(sign(s_trusted));
    writeFile(m_index, "<repomd><data type=\"primary\"/></repomd>\n<!-- -->\n");
    EXPECT_FALSE(verify({s_trustedKey}));
    EXPECT_FALSE(m_log.has("DEBUG: gpgv exited with code 0"));
    EXPECT_NE(m_log.text().find("DEBUG: gpgv exited with code "), std::string::npos);
}

TEST_F(MetadataSignatureTest, EmptyKeyListFailsWithoutRunningGpgv) {
    ASSERT_TRUE(sign(s_trusted));
    const std::string marker = m_dir / "gpgv-ran";
    ScopedEnv path("PATH", fakeGpgv("touch " + marker));
    EXPECT_FALSE(verify({}));
    EXPECT_TRUE(m_log.has("WARNING: no trusted keys to verify file"));
    EXPECT_FALSE(fileExists(marker));
    EXPECT_EQ(m_log.text().find("gpgv exited"), std::string::npos);
}

TEST_F(MetadataSignatureTest, KeysAsTheRpmDatabaseHoldsThem) {
    // rpm --import of the armored key stores its packets base64-encoded; decoded, they are
    // exactly what the database hands over and what gpg --export writes.
    const std::string armored = m_dir / "key.asc";
    writeFile(armored, s_keys->exportArmored(s_trusted));
    const std::string db = m_dir / "rpmdb";
    makeDirs(db);
    std::string output;
    ASSERT_TRUE(runTool({"rpm", "--dbpath", db, "--import", armored}, &output)) << output;
    ASSERT_TRUE(runTool({"rpm", "--dbpath", db, "-q", "gpg-pubkey", "--qf", "[%{PUBKEYS}\\n]"}, &output)) << output;
    // rpm breaks the text into lines of 64 characters.
    output.erase(std::remove(output.begin(), output.end(), '\n'), output.end());
    ASSERT_FALSE(output.empty());
    std::vector<uint8_t> decoded(output.size());
    const int length = EVP_DecodeBlock(decoded.data(), reinterpret_cast<const unsigned char*>(output.data()),
                                       static_cast<int>(output.size()));
    ASSERT_GT(length, 0) << output;
    // EVP_DecodeBlock counts the padding as zero bytes.
    size_t padding = 0;
    for (size_t i = output.size(); i > 0 && output[i - 1] == '='; --i) ++padding;
    decoded.resize(static_cast<size_t>(length) - padding);
    EXPECT_EQ(asText(decoded), asText(s_trustedKey));

    ASSERT_TRUE(sign(s_trusted));
    EXPECT_TRUE(verify({decoded}));
}

TEST_F(MetadataSignatureTest, CommandLineAndKeyringSeenByGpgv) {
    // The stand-in records its arguments and a copy of the keyring while that still exists.
    const std::string args = m_dir / "args";
    const std::string copy = m_dir / "keyring-copy";
    ScopedEnv path("PATH", fakeGpgv("printf '%s\\n' \"$0\" \"$@\" > " + args + "; cp \"$3\" " + copy +
                                    "; ls -l \"$3\" | cut -c1-10 >> " + args + "; exit 0"));
    const std::vector<uint8_t> second{0x99, 0x00, 0x01, 0x42};
    EXPECT_TRUE(verify({s_trustedKey, second}));
    std::vector<std::string> recorded;
    std::istringstream lines(readFile(args));
    for (std::string line; std::getline(lines, line);) recorded.push_back(line);
    ASSERT_EQ(recorded.size(), 8u);
    const std::string keyring = recorded[3];
    EXPECT_EQ(keyring.compare(0, m_keyringDir.size() + 9, m_keyringDir + "/updater."), 0) << keyring;
    EXPECT_EQ(keyring.size(), m_keyringDir.size() + 15);
    EXPECT_EQ(recorded, (std::vector<std::string>{m_dir / "bin/gpgv", "--quiet", "--keyring", keyring,
                                                  "--ignore-time-conflict", m_signature, m_index, "-rw-------"}));
    EXPECT_EQ(readFile(copy), asText(s_trustedKey) + asText(second));
    EXPECT_FALSE(fileExists(keyring));
}

TEST_F(MetadataSignatureTest, NonZeroExitCodeFails) {
    ScopedEnv path("PATH", fakeGpgv("exit 2"));
    EXPECT_FALSE(verify({s_trustedKey}));
    EXPECT_TRUE(m_log.has("DEBUG: gpgv exited with code 2"));
}

TEST_F(MetadataSignatureTest, GpgvMissingFromPathFails) {
    ASSERT_TRUE(sign(s_trusted));
    const std::string empty = m_dir / "empty-bin";
    makeDirs(empty);
    ScopedEnv path("PATH", empty);
    EXPECT_FALSE(verify({s_trustedKey}));
    EXPECT_TRUE(m_log.has("DEBUG: gpgv exited with code 1"));
}

TEST_F(MetadataSignatureTest, GpgvKilledBySignalFails) {
    ScopedEnv path("PATH", fakeGpgv("kill -KILL $$"));
    EXPECT_FALSE(verify({s_trustedKey}));
    EXPECT_TRUE(m_log.has("ERROR: signature verifier was killed by signal " + std::to_string(SIGKILL)));
    EXPECT_EQ(m_log.text().find("gpgv exited"), std::string::npos);
}

TEST_F(MetadataSignatureTest, KeyringThatCannotBeCreated) {
    ScopedEnv path("PATH", fakeGpgv("touch " + (m_dir / "gpgv-ran")));
    EXPECT_FALSE(verifyDetachedSignature({s_trustedKey}, m_index, m_signature, m_dir / "missing/updater.XXXXXX"));
    EXPECT_TRUE(m_log.has("ERROR: failed creating temporary keyring file: No such file or directory"));
    EXPECT_FALSE(fileExists(m_dir / "gpgv-ran"));
}

TEST_F(MetadataSignatureTest, WriteKeyringConcatenatesPrivately) {
    std::string path;
    ASSERT_TRUE(writeKeyring({{1, 2, 3}, {}, {4}, s_untrustedKey}, path, m_keyringDir + "/updater.XXXXXX"));
    EXPECT_EQ(readFile(path), std::string("\x01\x02\x03\x04", 4) + asText(s_untrustedKey));
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(unlink(path.c_str()), 0);

    std::string untouched = "unchanged";
    errno = 0;
    EXPECT_FALSE(writeKeyring({{1}}, untouched, m_dir / "missing/updater.XXXXXX"));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(untouched, "unchanged");
}

// Exits with 0 when writing a keyring bigger than the file size limit fails with EFBIG and
// leaves nothing in dir.
[[noreturn]] void writeOverSizeLimit(const std::string& dir) {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{4096, 4096};
    setrlimit(RLIMIT_FSIZE, &limit);
    const std::vector<uint8_t> small{1, 2};
    const std::vector<uint8_t> big(64 * 1024, 0x5A);
    std::string path;
    errno = 0;
    const bool written = writeKeyring({small, big}, path, dir + "/updater.XXXXXX");
    const int error = errno;
    _exit(!written && error == EFBIG && path.empty() && entries(dir).empty() ? 0 : 1);
}

TEST_F(MetadataSignatureTest, WriteKeyringFailureRemovesTheFile) {
    // The write fails part way, in a child process of its own.
    EXPECT_EXIT(writeOverSizeLimit(m_keyringDir), ::testing::ExitedWithCode(0), "");
}

}  // namespace
