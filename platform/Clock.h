#pragma once

#include <chrono>
#include <cstdint>

namespace vantrel {

// Local wall-clock time, as shown to the user (no time zone attached).
using LocalTime = std::chrono::local_time<std::chrono::milliseconds>;

// The local wall-clock time of an instant given in nanoseconds since 1970 (a file's time).
LocalTime localTimeOf(std::int64_t epochNs);

class Clock {
public:
    virtual ~Clock() = default;
    virtual LocalTime now() const = 0;
};

class SystemClock final : public Clock {
public:
    LocalTime now() const override;
};

}  // namespace vantrel
