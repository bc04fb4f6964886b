#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>

#include "platform/Clock.h"

namespace vantrel {
namespace {

// Sets TZ for one test and restores it afterwards.
class TimeZone {
public:
    explicit TimeZone(const char* tz) {
        if (const char* old = std::getenv("TZ")) {
            m_old = old;
            m_had = true;
        }
        ::setenv("TZ", tz, 1);
        ::tzset();
    }
    ~TimeZone() {
        if (m_had) {
            ::setenv("TZ", m_old.c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }

private:
    std::string m_old;
    bool m_had = false;
};

TEST(SystemClock, GivesLocalWallTimeNotUtc) {
    using namespace std::chrono;
    TimeZone zone("CST-8");  // eight hours east of UTC, no daylight saving
    const auto before = floor<milliseconds>(system_clock::now()).time_since_epoch();
    const LocalTime local = SystemClock().now();
    const auto after = ceil<milliseconds>(system_clock::now()).time_since_epoch();
    const auto shifted = local.time_since_epoch() - hours{8};
    EXPECT_GE(shifted, before);
    EXPECT_LE(shifted, after);
}

}  // namespace
}  // namespace vantrel
