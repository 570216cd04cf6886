#include "config/config_file.h"

#include <random>

#include <gtest/gtest.h>

#include "fixtures/log_capture.h"
#include "fixtures/temp_dir.h"

namespace {

// Loads configuration text with every message captured in a log file read back by the test.
class ConfigFileTest : public testing::Test {
protected:
    bool logged(const std::string& line) const { return m_log.has(line); }
    bool load(const std::string& body, bool isDefaults = false) {
        writeFile(m_dir / "updater.conf", "<updater>" + body + "</updater>");
        return loadConfigFile(m_config, m_dir / "updater.conf", isDefaults, m_dir / "tavproxy.conf");
    }
    std::vector<std::string> repoIds() const {
        std::vector<std::string> ids;
        for (const RepositoryEntry& entry : m_config.repositories) ids.push_back(entry.id);
        return ids;
    }

    LogCapture m_log;
    TempDir m_dir;
    UpdaterConfig m_config{(m_dir / "usb").c_str(), (m_dir / "legacy").c_str()};
};

std::string repo(const std::string& id, const std::string& href, const std::string& attrs = "") {
    return "<repository id='" + id + "' " + attrs + "><location href='" + href + "'/></repository>";
}

TEST_F(ConfigFileTest, BuiltInUsbRepositoryPrefersCurrentMountPoint) {
    const RepositoryEntry& usb = m_config.repositories.at(0);
    EXPECT_EQ("local-usb", usb.id);
    EXPECT_EQ(m_dir / "usb", usb.location);
    EXPECT_FALSE(usb.enabled);
    EXPECT_TRUE(usb.fromDefaults);

    makeDirs(m_dir / "legacy");
    UpdaterConfig legacy((m_dir / "usb").c_str(), (m_dir / "legacy").c_str());
    EXPECT_EQ(m_dir / "legacy", legacy.repositories[0].location);
    EXPECT_TRUE(logged("WARNING: falling back to legacy USB update source '" + m_dir / "legacy" + "'"));

    // A current mount point that exists, or cannot be examined, wins over the legacy one.
    makeDirs(m_dir / "usb");
    writeFile(m_dir / "file", "");
    for (const std::string& usbDir : {m_dir / "usb", m_dir / "file/usb"})
        EXPECT_EQ(usbDir, UpdaterConfig(usbDir.c_str(), (m_dir / "legacy").c_str()).repositories[0].location);
}

TEST_F(ConfigFileTest, SiteRepositoryAfterMissingDefaults) {
    EXPECT_FALSE(loadConfigFile(m_config, m_dir / "none.conf", true));
    EXPECT_TRUE(logged("ERROR: could not open configuration file '" + m_dir / "none.conf" + "'"));
    ASSERT_TRUE(load("<repository id='main'><name>Main</name><location href='http://h/r'/></repository>"));
    ASSERT_EQ((std::vector<std::string>{"local-usb", "main"}), repoIds());
    const RepositoryEntry* main = m_config.findRepository("main");
    EXPECT_EQ("Main", main->name);
    EXPECT_EQ("http://h/r", main->location);
    EXPECT_TRUE(main->enabled);
    EXPECT_FALSE(main->fromDefaults);
    EXPECT_FALSE(m_config.findRepository("Main"));
    EXPECT_FALSE(m_config.repositories[0].enabled);
}

TEST_F(ConfigFileTest, RepositoryMergeRules) {
    ASSERT_TRUE(load(repo("a", "/one") + repo("b", "/b") + repo("a", "/two"), true));
    EXPECT_EQ((std::vector<std::string>{"local-usb", "b", "a"}), repoIds());
    EXPECT_EQ("/two", m_config.findRepository("a")->location);

    ASSERT_TRUE(load(repo("local-usb", "/stick", "enabled='true'") + repo("kvt900", "/k")));
    EXPECT_TRUE(logged("DEBUG: replacing default definition of repo 'local-usb'"));
    EXPECT_TRUE(logged("DEBUG: replacing repo ID 'kvt900' by 'base' for backwards compatibility"));
    EXPECT_EQ((std::vector<std::string>{"b", "a", "local-usb", "base"}), repoIds());
    EXPECT_TRUE(m_config.findRepository("local-usb")->enabled);
    EXPECT_FALSE(m_config.findRepository("local-usb")->fromDefaults);

    // Site definitions are final: the stored "base" collides with a later one.
    EXPECT_FALSE(load(repo("base", "/b2")));
    EXPECT_TRUE(logged("ERROR: more than one repository with same ID"));
}

TEST_F(ConfigFileTest, OnlyExactTrueEnablesRepository) {
    ASSERT_TRUE(load(repo("t", "/t", "enabled='true'") + repo("cap", "/c", "enabled='True'") +
                     repo("yes", "/y", "enabled='yes'") + repo("one", "/1", "enabled='1'") + repo("absent", "/a")));
    std::vector<bool> enabled;
    for (const RepositoryEntry& entry : m_config.repositories) enabled.push_back(entry.enabled);
    EXPECT_EQ((std::vector<bool>{false, true, false, false, false, true}), enabled);
}

TEST_F(ConfigFileTest, IncompleteRepositoryFailsTheFile) {
    const std::pair<std::string, std::string> cases[] = {
        {"<repository><location href='/x'/></repository>", "ERROR: no 'id' attribute in 'repository' element"},
        {"<repository id='x'><name>X</name></repository>", "ERROR: no URI for repository 'x'"},
        {"<repository id='x'><location href=''/></repository>", "ERROR: no URI for repository 'x'"},
        {"<repository id='x'><location/></repository>", "ERROR: no 'href' attribute in 'location' element"},
        {"<repository id='x'><name/><location href='/x'/></repository>", "DEBUG: no string list for node 'name'"},
    };
    for (const auto& [body, message] : cases) {
        EXPECT_FALSE(load(repo("kept", "/k") + body)) << body;
        EXPECT_TRUE(logged(message)) << body;
        EXPECT_TRUE(m_config.findRepository("kept")) << "changes before the failure stay";
        m_config.repositories.clear();
    }
}

TEST_F(ConfigFileTest, LogElement) {
    ASSERT_TRUE(
        load("<log level='debug'><logger type='stderr'/><logger type='file'/>"
             "<logger type='syslog'><facility>local3</facility><facility>local9</facility></logger></log>"));
    EXPECT_EQ(LogLevel::Debug, m_config.logLevel);
    EXPECT_TRUE(m_config.logToStderr);
    EXPECT_TRUE(m_config.logToSyslog);
    EXPECT_EQ(LOG_DAEMON, m_config.syslogFacility);
    EXPECT_TRUE(logged("ERROR: unrecognized syslog facility 'local9' using 'daemon'"));
    EXPECT_TRUE(logged("DEBUG: ignoring unknown 'file' logger type"));

    // A later file neither switches outputs off nor changes the level with an empty one.
    ASSERT_TRUE(load("<log level=''/><log><logger type='syslog'><facility>local5</facility></logger></log>"));
    EXPECT_EQ(LogLevel::Debug, m_config.logLevel);
    EXPECT_TRUE(m_config.logToStderr);
    EXPECT_EQ(LOG_LOCAL5, m_config.syslogFacility);

    ASSERT_TRUE(load("<log level='INFO'/>"));
    EXPECT_EQ(LogLevel::Info, m_config.logLevel);
    EXPECT_TRUE(logged("ERROR: unrecognized logger level 'INFO' using 'info'"));
    for (const char* bad : {"<logger/>", "<logger type='syslog'/>", "<logger type='syslog'><facility/></logger>"})
        EXPECT_FALSE(load(std::string("<log>") + bad + "</log>")) << bad;
}

TEST_F(ConfigFileTest, ProductAndUserAgent) {
    const std::string product =
        "<product><name>KVT</name><packages><release><package><name>rel</name></package></release>"
        "<addons><group><name>extras</name></group><package><name>tools</name></package></addons>"
        "<repo-required><package><name>req</name></package>\n<group><name>g</name></group></repo-required>"
        "</packages></product><user-agent><base>Agent</base><prodname>Prod</prodname></user-agent>";
    ASSERT_TRUE(load(product, true));
    ASSERT_TRUE(load(product));
    EXPECT_EQ("KVT", m_config.productName);
    EXPECT_EQ("rel", m_config.releasePackage);
    EXPECT_EQ((std::vector<std::string>{"tools", "tools"}), m_config.addonPackages);
    EXPECT_EQ((std::vector<std::string>{"extras", "extras"}), m_config.addonGroups);
    EXPECT_EQ((std::vector<std::string>{"req", "req"}), m_config.requiredPackages);
    EXPECT_TRUE(logged("WARNING: ignoring package group named 'g' in config file line 2"));
    EXPECT_EQ("Agent", m_config.fetcher.userAgentBase);
    EXPECT_EQ("Prod", m_config.fetcher.userAgentProduct);

    for (const char* release : {"", "<package><name>a</name></package><package><name>b</name></package>",
                                "<package><name>a</name><name>b</name></package>", "<group><name>g</name></group>"})
        EXPECT_FALSE(load(std::string("<product><packages><release>") + release + "</release></packages></product>"))
            << release;
    EXPECT_FALSE(load("<product><name/></product>"));
    EXPECT_FALSE(load("<user-agent><prodname></prodname></user-agent>"));
}

TEST_F(ConfigFileTest, MetadataMaximumAge) {
    EXPECT_EQ(m_config.metadataMaxAgeDays, 0);
    ASSERT_TRUE(load("<metadata/>"));
    EXPECT_EQ(m_config.metadataMaxAgeDays, 0);
    ASSERT_TRUE(load("<metadata max-age-days='14'/>"));
    EXPECT_EQ(m_config.metadataMaxAgeDays, 14);
    ASSERT_TRUE(load("<metadata max-age-days='0'/>"));
    EXPECT_EQ(m_config.metadataMaxAgeDays, 0);
    for (const char* bad : {"", "-1", "14d", " 14", "3651", "99999999999999999999"}) {
        EXPECT_FALSE(load(std::string("<metadata max-age-days='") + bad + "'/>")) << bad;
        EXPECT_EQ(m_config.metadataMaxAgeDays, 0) << bad;
    }
}

TEST_F(ConfigFileTest, ElementsCountAtAnyDepthAndOnlyInTheirParentsNamespace) {
    ASSERT_TRUE(load("<site><product><name>P</name>" + repo("nested", "/n") +
                     "</product></site>"
                     "<repository id='ns' xmlns:o='urn:o'><o:location href='/other'/><location href='/mine'/>"
                     "<name xmlns='urn:o'/></repository>"));
    EXPECT_EQ("P", m_config.productName);
    EXPECT_TRUE(m_config.findRepository("nested"));
    EXPECT_EQ("/mine", m_config.findRepository("ns")->location);
}

TEST_F(ConfigFileTest, ProxyFileFollowsOnlyASuccessfulSiteFile) {
    writeFile(m_dir / "tavproxy.conf", "<proxyconf><proxy server='p' port='3128'/></proxyconf>");
    ASSERT_TRUE(load("", true));
    EXPECT_FALSE(load("<log><logger/></log>"));
    EXPECT_EQ("", m_config.fetcher.proxyServer);
    ASSERT_TRUE(load(""));
    EXPECT_EQ("p", m_config.fetcher.proxyServer);
}

TEST_F(ConfigFileTest, BadDocumentsFailCleanly) {
    writeFile(m_dir / "top.conf", "<config/>");
    EXPECT_FALSE(loadConfigFile(m_config, m_dir / "top.conf", false, m_dir / "tavproxy.conf"));
    EXPECT_TRUE(logged("ERROR: bad top-level element, 'config' instead of 'updater'"));

    // Malformed XML is left to the parser's own report and to the caller's.
    ASSERT_TRUE(Logger::instance().removeFile(m_log.path()));
    ASSERT_TRUE(Logger::instance().addFile(m_dir / "log2", LogLevel::Trace, false));
    writeFile(m_dir / "broken.conf", "<updater><log></updater>");
    EXPECT_FALSE(loadConfigFile(m_config, m_dir / "broken.conf", false, m_dir / "tavproxy.conf"));
    std::mt19937 random(1234);
    std::string noise(1 << 20, '\0');
    for (char& c : noise) c = static_cast<char>(random());
    testing::internal::CaptureStderr();  // the parser echoes the binary noise
    for (const char* prefix : {"<updater><product><packages><addons><package><name>", ""}) {
        writeFile(m_dir / "noise.conf", prefix + noise);
        EXPECT_FALSE(loadConfigFile(m_config, m_dir / "noise.conf", false, m_dir / "tavproxy.conf"));
    }
    testing::internal::GetCapturedStderr();
    EXPECT_EQ("", readFile(m_dir / "log2"));
}

TEST_F(ConfigFileTest, NetworkElementSetsTheTransferPolicyAndRefusesMalformedValues) {
    const TransferPolicy defaults;
    ASSERT_TRUE(
        load("<network><limits index-bytes='2097152' package-bytes='5' records-bytes='7'/><stall bytes-per-second='10' "
             "seconds='2'/><deadline seconds='30' bytes-per-second='100'/><resume enabled='false'/>"
             "</network>"));
    const TransferPolicy& policy = m_config.fetcher.transfer;
    EXPECT_EQ(policy.indexMaxBytes, 2097152u);
    EXPECT_EQ(policy.signatureMaxBytes, defaults.signatureMaxBytes);
    EXPECT_EQ(policy.undeclaredListMaxBytes, defaults.undeclaredListMaxBytes);
    EXPECT_EQ(policy.undeclaredPackageMaxBytes, 5u);
    EXPECT_EQ(policy.recordsMaxBytes, 7u);
    EXPECT_EQ(policy.stallBytesPerSecond, 10u);
    EXPECT_EQ(policy.stallSeconds, 2u);
    EXPECT_EQ(policy.deadlineBaseSeconds, 30u);
    EXPECT_EQ(policy.deadlineBytesPerSecond, 100u);
    EXPECT_FALSE(policy.resume);

    for (const char* bad :
         {"<limits index-bytes='-1'/>", "<limits list-bytes='0'/>", "<limits signature-bytes='1k'/>",
          "<limits records-bytes='0'/>", "<limits package-bytes='99999999999999999999'/>", "<stall seconds=''/>",
          "<stall bytes-per-second=' 5'/>", "<deadline seconds='9999999999'/>", "<resume enabled='yes'/>"}) {
        UpdaterConfig fresh((m_dir / "usb").c_str(), (m_dir / "legacy").c_str());
        writeFile(m_dir / "bad.conf", std::string("<updater><network>") + bad + "</network></updater>");
        EXPECT_FALSE(loadConfigFile(fresh, m_dir / "bad.conf", false, m_dir / "tavproxy.conf")) << bad;
    }
}

}  // namespace

namespace {

// A document may define and use its own entities, but never pull in another file: what it
// reads ends up in names and log lines that leave the device.
TEST(XmlReaderTest, OwnEntitiesAreSubstitutedButExternalOnesNeverLoaded) {
    LogCapture log;
    TempDir dir;
    writeFile(dir / "secret", "s3cret-password");
    for (const std::string& entity : {"SYSTEM 'file://" + dir / "secret" + "'", "SYSTEM '" + dir / "secret" + "'"}) {
        writeFile(dir / "updater.conf", "<!DOCTYPE updater [<!ENTITY own 'product'><!ENTITY ext " + entity +
                                            ">]>\n<updater><product><name>&own;-&ext;</name></product></updater>");
        UpdaterConfig config((dir / "usb").c_str(), (dir / "legacy").c_str());
        EXPECT_TRUE(loadConfigFile(config, dir / "updater.conf", false, dir / "tavproxy.conf"));
        EXPECT_EQ(config.productName.find("s3cret"), std::string::npos) << config.productName;
        EXPECT_EQ(config.productName.rfind("product", 0), 0u) << config.productName;
    }
    EXPECT_FALSE(log.text().find("s3cret") != std::string::npos);
}

}  // namespace
