#pragma once

#include <chrono>

namespace vantrel {

// Local wall-clock time, as shown to the user (no time zone attached).
using LocalTime = std::chrono::local_time<std::chrono::milliseconds>;

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
