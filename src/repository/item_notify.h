// Download progress for the repository operations: counts completed items against the number
// expected and logs at most one progress line a minute, plus a final line for a download that
// took long enough to have reported progress. The fetchers call it on every transfer event, so
// it must stay cheap and quiet while nothing is due.
#pragma once

#include <ctime>
#include <functional>

#include "network/url_fetcher.h"

class ItemNotify : public URLFetcher::Notifier {
public:
    // Seconds on a clock that only moves forward; the default is the monotonic clock, so that
    // the system time being set (at boot, by NTP) neither floods nor silences the log.
    using Clock = std::function<std::time_t()>;
    static std::time_t monotonicSeconds();

    // The interval between progress lines, in seconds: a line is due when more than this many
    // seconds have passed since the last one.
    static constexpr std::time_t kReportInterval = 59;

    explicit ItemNotify(int total, Clock clock = monotonicSeconds);
    ~ItemNotify() override = default;
    ItemNotify(const ItemNotify&) = delete;
    ItemNotify& operator=(const ItemNotify&) = delete;

    // Transfer events of the fetchers; the arguments are not used.
    void notify(ne_session_status status, const ne_session_status_info* info) override;
    // For the owner, after it has counted a completed item.
    void notify();

    // The owner counts an item as completed before it notifies.
    void increment() { ++m_count; }
    int count() const { return m_count; }
    int total() const { return m_total; }
    bool started() const { return m_started; }
    bool finished() const { return m_finished; }

private:
    int m_total;
    int m_count = 0;
    bool m_started = false;   // a progress line was logged
    bool m_finished = false;  // the final line was logged; silent from then on
    Clock m_clock;
    std::time_t m_lastReport;
};
