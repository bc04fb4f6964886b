#pragma once

namespace vantrel {

// Keeps the machine from sleeping for its lifetime, on the thread that made it: a backup is
// not cut off by the idle timer. On Windows the thread's execution state; elsewhere nothing
// (a run there holds no sleep inhibitor).
class StayAwake {
public:
#ifdef _WIN32
    StayAwake();
    ~StayAwake();
#else
    StayAwake() {}
    ~StayAwake() {}  // NOLINT: a guard's lifetime is its use
#endif
    StayAwake(const StayAwake&) = delete;
    StayAwake& operator=(const StayAwake&) = delete;
};

}  // namespace vantrel
