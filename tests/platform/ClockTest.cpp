#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>

#include "platform/Clock.h"

namespace vantrel {
namespace {

TEST(SystemClock, GivesLocalWallTimeNotUtc) {
    using namespace std::chrono;
    // Eight hours east of UTC, no daylight saving. Each test runs in its own process.
    ::setenv("TZ", "CST-8", 1);
    ::tzset();
    const auto before = floor<milliseconds>(system_clock::now()).time_since_epoch();
    const LocalTime local = SystemClock().now();
    const auto after = ceil<milliseconds>(system_clock::now()).time_since_epoch();
    const auto shifted = local.time_since_epoch() - hours{8};
    EXPECT_GE(shifted, before);
    EXPECT_LE(shifted, after);
}

}  // namespace
}  // namespace vantrel
