#include "network/credential_store.h"

#include <random>

#include <gtest/gtest.h>

#include "base/xml_util.h"
#include "fixtures/log_capture.h"
#include "fixtures/temp_dir.h"

namespace {

CredentialStore storeFor(const char* uri) {
    ne_uri parsed{};
    EXPECT_EQ(0, ne_uri_parse(uri, &parsed)) << uri;
    CredentialStore store(parsed);
    ne_uri_free(&parsed);
    return store;
}

std::string entry(const std::string& attributes) {
    return "<creditentials " + attributes + "/>";
}

class CredentialStoreTest : public testing::Test {
protected:
    void SetUp() override { routeXmlErrorsToLog(); }
    bool load(CredentialStore& store, const std::string& body, const std::string& top = "credits") {
        writeFile(m_dir / "tavpasswd.xml",
                  "<" + top + " xmlns:xlink='http://www.w3.org/1999/xlink'>" + body + "</" + top + ">");
        return loadCredentials(store, m_dir / "tavpasswd.xml");
    }
    std::vector<std::string> paths(const CredentialStore& store) {
        std::vector<std::string> result;
        for (const CredentialEntry& e : store.entries()) result.push_back(e.path);
        return result;
    }

    LogCapture m_log;
    TempDir m_dir;
};

TEST_F(CredentialStoreTest, OnlyEntriesOfTheSameSchemeHostAndPortApply) {
    CredentialStore http = storeFor("http://srv");
    EXPECT_EQ(80u, http.port());
    for (const char* uri : {"http://srv/a", "http://srv:80/b", "http://srv:/c"})
        EXPECT_TRUE(addCredential(http, uri, nullptr, nullptr, nullptr)) << uri;
    for (const char* uri :
         {"https://srv/", "http://srv:8080/", "HTTP://srv/", "http://SRV/", "http://127.0.0.1/", "//srv/x", "/x"})
        EXPECT_FALSE(addCredential(http, uri, "r", "u", "p")) << uri;
    EXPECT_EQ((std::vector<std::string>{"/a", "/b", "/c"}), paths(http));
    EXPECT_TRUE(m_log.has("TRACE: server does not match, discarded"));

    CredentialStore https = storeFor("https://srv/repo");
    EXPECT_EQ(443u, https.port());
    EXPECT_TRUE(addCredential(https, "https://srv", "", "u", "p"));
    EXPECT_FALSE(addCredential(https, "https://srv:8443/", "", "u", "p"));
    EXPECT_TRUE(m_log.has("TRACE: server matches, loaded"));
    ASSERT_EQ(1u, https.entries().size());
    EXPECT_EQ("/", https.entries()[0].path);
}

TEST_F(CredentialStoreTest, FileEntriesInOrderWithMalformedOnesSkipped) {
    CredentialStore store = storeFor("http://srv");
    std::string longUser(256, 'u');
    ASSERT_TRUE(load(store, entry("xlink:href='http://srv/one' realm='A' username='" + longUser + "' password='p1'") +
                                entry("href='http://srv/nons' username='x'") +
                                entry("xlink:href='http://[::1' username='x'") +
                                "<creditentials xlink:href='http://srv/two'>" + entry("xlink:href='http://srv/in'") +
                                "</creditentials><group>" + entry("xlink:href='http://srv/deep'") + "</group>"));
    EXPECT_EQ((std::vector<std::string>{"/one", "/two"}), paths(store));
    EXPECT_EQ(longUser, store.entries()[0].username);
    EXPECT_EQ("A", store.entries()[0].realm);
    EXPECT_EQ("", store.entries()[1].username);
    EXPECT_TRUE(m_log.has("WARNING: ignoring network credential with no URI"));
    // The message carries a newline of its own, so an empty line follows it.
    EXPECT_NE(std::string::npos,
              m_log.text().find("WARNING: invalid syntax for URI 'http://[::1' in network credentials\n\n"));
}

TEST_F(CredentialStoreTest, BadFilesFailKeepingWhatWasRead) {
    CredentialStore store = storeFor("http://srv");
    EXPECT_FALSE(load(store, entry("xlink:href='http://srv/x'"), "credentials"));
    EXPECT_TRUE(m_log.has("ERROR: bad top-level element, 'credentials' instead of 'credits'"));
    EXPECT_FALSE(loadCredentials(store, m_dir / "missing.xml"));
    EXPECT_TRUE(m_log.has("ERROR: could not open network credentials file"));

    std::mt19937 random(5);
    std::string noise(4096, '\0');
    for (char& c : noise) c = static_cast<char>(random());
    writeFile(m_dir / "noise.xml", noise);
    EXPECT_FALSE(loadCredentials(store, m_dir / "noise.xml"));
    EXPECT_TRUE(store.entries().empty());

    writeFile(m_dir / "cut.xml", "<credits xmlns:l='http://www.w3.org/1999/xlink'>" +
                                     entry("l:href='http://srv/kept'") + "<creditentials l:href='http://srv/cut'><");
    EXPECT_FALSE(loadCredentials(store, m_dir / "cut.xml"));
    EXPECT_EQ((std::vector<std::string>{"/kept"}), paths(store));
}

TEST_F(CredentialStoreTest, SearchFollowsPathRealmAndFileOrder) {
    CredentialStore store = storeFor("http://srv");
    addCredential(store, "http://srv/repo", "A", "repoA", nullptr);
    addCredential(store, "http://srv/", nullptr, "any", nullptr);
    auto user = [&](const char* realm, const char* path) {
        const CredentialEntry* found = findCredential(store, realm, path);
        return found ? found->username : "<none>";
    };
    EXPECT_EQ("repoA", user("A", "/repo/repodata/repomd.xml"));
    EXPECT_EQ("any", user("A", "/repo/repodata/repomd.xml"));  // the second 401
    EXPECT_EQ("<none>", user("A", "/repo/repodata/repomd.xml"));
    EXPECT_EQ("<none>", user("A", "/other/file"));  // the cursor stays at the end
    resetCursor(store);
    EXPECT_EQ("any", user("B", "/repo/repodata/repomd.xml"));
    resetCursor(store);
    EXPECT_EQ("any", user("A", "/other/file"));
    resetCursor(store);
    EXPECT_EQ("any", user("A", "/repo"));  // neither entry covers its own path
    resetCursor(store);
    EXPECT_EQ("<none>", user("A", "/"));
}

TEST_F(CredentialStoreTest, PasswordsNeverReachTheLog) {
    CredentialStore store = storeFor("http://srv");
    ASSERT_TRUE(load(store, entry("xlink:href='http://srv/a' realm='R' username='alice' password='Pw-Matching-1'") +
                                entry("xlink:href='http://other/' username='bob' password='Pw-Discarded-2'") +
                                entry("xlink:href='http://srv/b' username='carol'")));
    resetCursor(store);
    ASSERT_NE(nullptr, findCredential(store, "R", "/a/file"));
    EXPECT_EQ("Pw-Matching-1", store.entries()[0].password);
    EXPECT_TRUE(m_log.has(
        "TRACE: evaluating credentials URI = 'http://srv/a', Realm = 'R', User = 'alice', Password = '<hidden>'"));
    EXPECT_TRUE(m_log.has(
        "TRACE: evaluating credentials URI = 'http://srv/b', Realm = '<null>', User = 'carol', Password = '<null>'"));
    EXPECT_EQ(std::string::npos, m_log.text().find("Pw-"));
}

}  // namespace
