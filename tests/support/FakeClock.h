#pragma once

#include <chrono>

#include "platform/Clock.h"

namespace vantrel::test {

// A clock that stands still until moved.
class FakeClock final : public Clock {
public:
    FakeClock() = default;
    explicit FakeClock(LocalTime t) : m_now(t) {}

    LocalTime now() const override { return m_now; }
    void set(LocalTime t) { m_now = t; }
    void advanceMilliseconds(long long ms) { m_now += std::chrono::milliseconds(ms); }
    void advanceSeconds(long long s) { m_now += std::chrono::seconds(s); }

private:
    LocalTime m_now{};
};

// Local time from calendar fields, e.g. at(2014, 5, 15, 9, 59, 50).
LocalTime at(int year, unsigned month, unsigned day, int hour = 0, int minute = 0, int second = 0,
             int millisecond = 0);

}  // namespace vantrel::test
