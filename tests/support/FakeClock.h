#pragma once

#include <atomic>
#include <chrono>

#include "platform/Clock.h"

namespace vantrel::test {

// A clock that stands still until moved. The copy thread may read it while a test moves it.
class FakeClock final : public Clock {
public:
    FakeClock() = default;
    explicit FakeClock(LocalTime t) : m_now(t) {}

    LocalTime now() const override { return m_now.load(); }
    void set(LocalTime t) { m_now.store(t); }
    void advanceMilliseconds(long long ms) { advance(std::chrono::milliseconds(ms)); }
    void advanceSeconds(long long s) { advance(std::chrono::seconds(s)); }

private:
    void advance(std::chrono::milliseconds by) {
        LocalTime t = m_now.load();
        while (!m_now.compare_exchange_weak(t, t + by)) {
        }
    }

    std::atomic<LocalTime> m_now{};
};

// Local time from calendar fields, e.g. at(2014, 5, 15, 9, 59, 50).
LocalTime at(int year, unsigned month, unsigned day, int hour = 0, int minute = 0, int second = 0,
             int millisecond = 0);

}  // namespace vantrel::test
