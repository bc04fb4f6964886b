#pragma once

#include <cstddef>
#include <functional>
#include <thread>

namespace vantrel {

// A second thread for work that splits in two: a tree copy hands it folders, a restore half
// of each batch. Where the system gives no thread the work is done on one, only more slowly.
class HelperThread {
public:
    // Runs `serve` on a second thread. `close`, called when the helper goes, tells a `serve`
    // that waits for more work to return.
    explicit HelperThread(std::function<void()> serve, std::function<void()> close = {});
    ~HelperThread();
    HelperThread(const HelperThread&) = delete;
    HelperThread& operator=(const HelperThread&) = delete;

    // Whether a second thread runs.
    bool running() const { return m_thread.joinable(); }

private:
    std::function<void()> m_close;
    std::thread m_thread;
};

// Calls `each(i)` once for every i below `count`, on this thread and a helper. An exception
// from `each` stops both and is thrown here once the helper has stopped.
void forEachOnTwoThreads(std::size_t count, const std::function<void(std::size_t)>& each);

}  // namespace vantrel
