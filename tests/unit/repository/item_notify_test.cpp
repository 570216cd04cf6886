#include "repository/item_notify.h"

#include <gtest/gtest.h>
#include <neon/ne_socket.h>

#include "fixtures/http_server.h"
#include "fixtures/log_capture.h"
#include "fixtures/temp_dir.h"
#include "network/downloader.h"

namespace {

class ItemNotifyTest : public testing::Test {
protected:
    ItemNotify::Clock clock() {
        return [this] { return m_now; };
    }
    // The progress lines logged so far.
    std::vector<std::string> progress() const {
        std::vector<std::string> result;
        for (const std::string& line : m_log.lines())
            if (line.rfind("INFO: download", 0) == 0) result.push_back(line);
        return result;
    }

    LogCapture m_log;
    std::time_t m_now = 1000;
};

TEST_F(ItemNotifyTest, ItemsWithinAMinuteLogNothing) {
    ItemNotify notify(3, clock());
    for (int i = 0; i < 3; ++i) {
        m_now += 19;
        notify.notify(ne_status_recving, nullptr);
        notify.increment();
        notify.notify();
    }
    EXPECT_EQ(3, notify.count());
    EXPECT_TRUE(progress().empty());
    EXPECT_FALSE(notify.started());
    EXPECT_FALSE(notify.finished());
}

TEST_F(ItemNotifyTest, OneLineAMinuteAndTheFinalLine) {
    ItemNotify notify(3, clock());
    EXPECT_EQ(3, notify.total());
    m_now = 1059;  // 59 seconds are not yet a minute
    notify.notify(ne_status_sending, nullptr);
    EXPECT_TRUE(progress().empty());
    m_now = 1060;
    notify.notify(ne_status_recving, nullptr);
    notify.notify(ne_status_recving, nullptr);  // the same second: no second line
    EXPECT_EQ(std::vector<std::string>{"INFO: downloading... (0/3)"}, progress());
    EXPECT_TRUE(notify.started());

    notify.increment();
    m_now = 1100;
    notify.notify();
    m_now = 1121;
    notify.notify();
    notify.increment();
    m_now = 1150;
    notify.notify();
    notify.increment();
    notify.notify();
    EXPECT_TRUE(notify.finished());
    EXPECT_EQ((std::vector<std::string>{"INFO: downloading... (0/3)", "INFO: downloading... (1/3)",
                                        "INFO: downloaded (3/3)"}),
              progress());

    // Silent once finished.
    m_now = 5000;
    notify.notify();
    notify.notify(ne_status_disconnected, nullptr);
    EXPECT_EQ(3u, progress().size());
}

TEST_F(ItemNotifyTest, SkippedItemMeansNoFinalLine) {
    ItemNotify notify(3, clock());
    m_now += 61;
    notify.notify();
    notify.increment();
    notify.increment();  // the third item was valid in the cache and is not counted
    m_now += 61;
    notify.notify();
    EXPECT_FALSE(notify.finished());
    EXPECT_EQ((std::vector<std::string>{"INFO: downloading... (0/3)", "INFO: downloading... (2/3)"}), progress());
}

TEST_F(ItemNotifyTest, ReportsTheTransferEventsOfADownloader) {
    ne_sock_init();
    URLFetcher::resetClassForTesting();
    TempDir dir;
    writeFile(dir / "cpuinfo", "Hardware\t: Mirest\n");
    URLFetcher::initClass(FetcherConfig{}, dir / "cpuinfo", dir / "i2c", dir / "tavpasswd.xml");
    {
        HttpTestServer server;
        server.addFile("repo/a", "first");
        server.addFile("repo/b", std::string(50000, 'b'));
        // Every reading of the clock is a minute later, as on a very slow line.
        ItemNotify notify(2, [this] { return m_now += 60; });
        Downloader downloader;
        downloader.setNotifier(&notify);
        ASSERT_TRUE(downloader.open(server.url("/repo")));
        ASSERT_TRUE(downloader.download("a", dir / "a", false));
        notify.increment();
        notify.notify();
        ASSERT_FALSE(progress().empty());
        EXPECT_EQ("INFO: downloading... (0/2)", progress().front());
        EXPECT_EQ("INFO: downloading... (1/2)", progress().back());
        ASSERT_TRUE(downloader.download("b", dir / "b", false));
        notify.increment();
        notify.notify();
        EXPECT_EQ("INFO: downloaded (2/2)", progress().back());
        EXPECT_TRUE(notify.finished());
    }
    URLFetcher::resetClassForTesting();
    ne_sock_exit();
}

}  // namespace
