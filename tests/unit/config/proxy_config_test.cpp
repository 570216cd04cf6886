#include "config/proxy_config.h"

#include <gtest/gtest.h>

#include "fixtures/log_capture.h"
#include "fixtures/temp_dir.h"

namespace {

class ProxyConfigTest : public testing::Test {
protected:
    std::string log() const { return m_log.text(); }
    bool logged(const std::string& line) const { return m_log.has(line); }
    // Reads a fresh fetcher record from the given proxy elements.
    FetcherConfig load(const std::string& body, const std::string& top = "proxyconf") {
        writeFile(m_dir / "tavproxy.conf", "<" + top + ">" + body + "</" + top + ">");
        FetcherConfig fetcher;
        loadProxyConfig(fetcher, m_dir / "tavproxy.conf");
        return fetcher;
    }

    LogCapture m_log;
    TempDir m_dir;
};

TEST_F(ProxyConfigTest, MissingFileLeavesNoProxy) {
    FetcherConfig fetcher;
    loadProxyConfig(fetcher, m_dir / "none.conf");
    EXPECT_TRUE(logged("DEBUG: no proxy configuration file '" + m_dir / "none.conf" + "'"));
    EXPECT_EQ("", fetcher.proxyServer);
}

TEST_F(ProxyConfigTest, ProxyAttributes) {
    FetcherConfig fetcher = load("<proxy server='proxy.lan' port='3128' username='u' password='p'/>");
    EXPECT_EQ("proxy.lan", fetcher.proxyServer);
    EXPECT_EQ(3128, fetcher.proxyPort);
    EXPECT_TRUE(fetcher.bypassLocalNetwork);
    EXPECT_EQ("u", fetcher.proxyUser);
    EXPECT_EQ("p", fetcher.proxyPassword);
    EXPECT_TRUE(logged("DEBUG: configured proxy 'proxy.lan' port 3128 bypass 1"));

    const std::pair<const char*, bool> bypass[] = {{"off", false}, {"false", false}, {"no", true}, {"OFF", true}};
    for (const auto& [value, on] : bypass)
        EXPECT_EQ(
            on, load(std::string("<proxy server='s' port='1' bypassLocalNetwork='") + value + "'/>").bypassLocalNetwork)
            << value;

    const std::pair<const char*, int> ports[] = {{"0", 0}, {"65534", 65534}, {" 80", 80}, {"+81", 81}};
    for (const auto& [text, port] : ports)
        EXPECT_EQ(port, load(std::string("<proxy server='s' port='") + text + "'/>").proxyPort) << text;
}

TEST_F(ProxyConfigTest, InvalidElementStopsReadingAndChangesNothing) {
    const std::pair<std::string, std::string> cases[] = {
        {"server=''", "ERROR: no 'server' attribute in 'proxy' element"},
        {"port='1'", "ERROR: no 'server' attribute in 'proxy' element"},
        {"server='s' port=''", "ERROR: no 'port' attribute in 'proxy' element"},
        {"server='s'", "ERROR: no 'port' attribute in 'proxy' element"},
        {"server='s' port='8080x'", "ERROR: invalid port number '8080x'"},
        {"server='s' port='65535'", "ERROR: invalid port number '65535'"},
        {"server='s' port='-1'", "ERROR: invalid port number '-1'"},
        {"server='s' port='80 '", "ERROR: invalid port number '80 '"},
    };
    for (const auto& [attrs, message] : cases) {
        FetcherConfig fetcher =
            load("<proxy server='first' port='1' username='u'/><proxy " + attrs + "/><proxy server='third' port='3'/>");
        EXPECT_TRUE(logged(message)) << attrs;
        EXPECT_EQ("first", fetcher.proxyServer) << attrs;
        EXPECT_EQ(1, fetcher.proxyPort) << attrs;
        EXPECT_EQ("u", fetcher.proxyUser) << attrs;
    }
}

TEST_F(ProxyConfigTest, LastProxyWinsWithoutEarlierCredentials) {
    FetcherConfig fetcher = load(
        "<proxy server='a' port='1' username='u' password='p'/>"
        "<group><proxy server='b' port='2' bypassLocalNetwork='off'>"
        "<proxy server='child' port='3'/></proxy></group>");
    EXPECT_EQ("b", fetcher.proxyServer);
    EXPECT_EQ(2, fetcher.proxyPort);
    EXPECT_FALSE(fetcher.bypassLocalNetwork);
    EXPECT_EQ("", fetcher.proxyUser);
    EXPECT_EQ("", fetcher.proxyPassword);
    const std::string warning = "WARNING: multiple proxy servers in configuration file, using last occurence\n";
    std::string text = log();
    EXPECT_NE(std::string::npos, text.find(warning));
    EXPECT_EQ(text.find(warning), text.rfind(warning)) << "the children of a proxy are not read";
}

TEST_F(ProxyConfigTest, BadTopLevelElement) {
    EXPECT_EQ("", load("<proxy server='s' port='1'/>", "proxies").proxyServer);
    EXPECT_TRUE(logged("ERROR: bad top-level element, 'proxies' instead of 'proxyconf'"));

    writeFile(m_dir / "tavproxy.conf", "<proxy server='s' port='1'/>");
    FetcherConfig fetcher;
    loadProxyConfig(fetcher, m_dir / "tavproxy.conf");
    EXPECT_EQ("", fetcher.proxyServer);
    EXPECT_TRUE(logged("ERROR: bad top-level element, 'proxy' instead of 'proxyconf'"));
}

}  // namespace
