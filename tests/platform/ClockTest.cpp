#include "platform/Clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>

namespace vantrel {
namespace {

TEST(SystemClock, GivesLocalWallTimeNotUtc) {
    using namespace std::chrono;
    ::setenv("TZ", "CST-8", 1);  // eight hours east of UTC, no daylight saving
    ::tzset();
    const auto before = floor<milliseconds>(system_clock::now()).time_since_epoch();
    const auto local = SystemClock().now().time_since_epoch() - hours{8};
    EXPECT_GE(local, before);
    EXPECT_LE(local, ceil<milliseconds>(system_clock::now()).time_since_epoch());
}

}  // namespace
}  // namespace vantrel
