#include "repository/item_notify.h"

#include <chrono>
#include <utility>

#include "base/logger.h"

std::time_t ItemNotify::monotonicSeconds() {
    return static_cast<std::time_t>(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch()).count());
}

ItemNotify::ItemNotify(int total, Clock clock) : m_total(total), m_clock(std::move(clock)) {
    if (!m_clock) m_clock = monotonicSeconds;
    m_lastReport = m_clock();
}

void ItemNotify::notify(ne_session_status, const ne_session_status_info*) {
    notify();
}

void ItemNotify::notify() {
    if (m_finished) return;
    // The final line only closes a download that reported progress; a quick one stays silent.
    if (m_count == m_total && m_started) {
        m_finished = true;
        LOG(Info, "downloaded (%i/%i)", m_count, m_count);
        return;
    }
    std::time_t now = m_clock();
    if (now - m_lastReport > kReportInterval) {
        LOG(Info, "downloading... (%i/%i)", m_count, m_total);
        m_lastReport = now;
        m_started = true;
    }
}
