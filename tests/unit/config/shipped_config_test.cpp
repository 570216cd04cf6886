// The configuration files the package installs (data/): the defaults and the example site
// file must parse, and together mean what their comments say.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/config_file.h"
#include "fixtures/log_capture.h"
#include "fixtures/temp_dir.h"

namespace {

TEST(ShippedConfigTest, DefaultsThenExampleSiteFileMakeAWorkingConfiguration) {
    LogCapture log;
    TempDir dir;
    UpdaterConfig config{(dir / "usb").c_str(), (dir / "legacy").c_str()};
    ASSERT_TRUE(loadConfigFile(config, UPDATER_SOURCE_DIR "/data/defaults.conf", true, dir / "tavproxy.conf"));
    EXPECT_TRUE(config.logToSyslog);
    EXPECT_FALSE(config.logToStderr);
    EXPECT_EQ(config.fetcher.userAgentBase, "updater");
    ASSERT_TRUE(loadConfigFile(config, UPDATER_SOURCE_DIR "/data/updater.conf", false, dir / "tavproxy.conf"));
    for (const std::string& line : log.lines())
        EXPECT_TRUE(line.rfind("DEBUG: ", 0) == 0 || line.rfind("TRACE: ", 0) == 0) << line;

    EXPECT_EQ(config.logLevel, LogLevel::Info);
    EXPECT_TRUE(config.logToSyslog && config.logToStderr);
    EXPECT_EQ(config.syslogFacility, LOG_DAEMON);
    EXPECT_EQ(config.productName, "example-product");
    EXPECT_EQ(config.releasePackage, "example-release");
    EXPECT_EQ(config.addonPackages, std::vector<std::string>{"example-extras"});
    EXPECT_EQ(config.addonGroups, std::vector<std::string>{"Languages"});
    EXPECT_EQ(config.requiredPackages, std::vector<std::string>{"example-release"});
    EXPECT_EQ(config.fetcher.userAgentProduct, "example-product");
    // The built-in USB repository stays disabled; the example's is the one enabled.
    ASSERT_EQ(config.repositories.size(), 2u);
    EXPECT_EQ(config.repositories[0].id, "local-usb");
    EXPECT_FALSE(config.repositories[0].enabled);
    EXPECT_EQ(config.repositories[1].id, "base");
    EXPECT_TRUE(config.repositories[1].enabled);
    EXPECT_EQ(config.repositories[1].location, "https://updates.example.com/example-product/");
}

}  // namespace
