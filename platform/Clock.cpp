#include "platform/Clock.h"

#include <ctime>

namespace vantrel {

namespace {

LocalTime localTimeOfEpoch(std::chrono::milliseconds sinceEpoch) {
    using namespace std::chrono;
    const auto whole = floor<seconds>(sinceEpoch);
    const std::time_t secs = static_cast<std::time_t>(whole.count());
    const auto ms = floor<milliseconds>(sinceEpoch - whole);
    std::tm tm{};
#ifdef _WIN32
    localtime_s(&tm, &secs);
#else
    localtime_r(&secs, &tm);
#endif
    const local_days day{year{tm.tm_year + 1900} / (tm.tm_mon + 1) / tm.tm_mday};
    return day + hours{tm.tm_hour} + minutes{tm.tm_min} + seconds{tm.tm_sec} + ms;
}

}  // namespace

LocalTime SystemClock::now() const {
    using namespace std::chrono;
    return localTimeOfEpoch(duration_cast<milliseconds>(system_clock::now().time_since_epoch()));
}

LocalTime localTimeOf(std::int64_t epochNs) {
    using namespace std::chrono;
    return localTimeOfEpoch(floor<milliseconds>(nanoseconds{epochNs}));
}

}  // namespace vantrel
