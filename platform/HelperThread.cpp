#include "platform/HelperThread.h"

#include <atomic>
#include <exception>
#include <mutex>
#include <optional>
#include <system_error>
#include <utility>

namespace vantrel {

HelperThread::HelperThread(std::function<void()> serve, std::function<void()> close)
    : m_close(std::move(close)) {
    try {
        m_thread = std::thread(std::move(serve));
    } catch (const std::system_error&) {
        // Without a second thread the caller does everything itself.
    }
}

HelperThread::~HelperThread() {
    if (!m_thread.joinable()) {
        return;
    }
    if (m_close) {
        m_close();
    }
    m_thread.join();
}

void forEachOnTwoThreads(std::size_t count, const std::function<void(std::size_t)>& each) {
    std::atomic<std::size_t> next{0};
    std::mutex mutex;
    std::exception_ptr thrown;
    const auto work = [&] {
        try {
            for (std::size_t i = next++; i < count; i = next++) {
                each(i);
            }
        } catch (...) {
            next = count;  // the other thread takes no more
            const std::lock_guard lock(mutex);
            if (!thrown) {
                thrown = std::current_exception();
            }
        }
    };
    {
        std::optional<HelperThread> helper;
        if (count > 1) {
            helper.emplace(work);
        }
        work();
    }
    if (thrown) {
        std::rethrow_exception(thrown);
    }
}

}  // namespace vantrel
