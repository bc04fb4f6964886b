#include "platform/posix/CopyWorkQueue.h"

#include <utility>

namespace vantrel::posix {

namespace {

// Takes the first queued folder and copies it, unlocking `lock` (on the shared mutex, with
// a folder queued) meanwhile; tells the folder that handed it over when done.
void runQueued(CopyShared& shared, FolderWorker& worker, std::unique_lock<std::mutex>& lock) {
    FolderTask task = std::move(shared.queue.front());
    shared.queue.pop_front();
    lock.unlock();
    worker.copyHandedOver(task);
    lock.lock();
    --*task.pending;
    shared.changed.notify_all();
}

}  // namespace

void CopyShared::fail(FileOpResult what) {
    std::lock_guard lock(mutex);
    if (!failed) {
        failed = true;
        failure = std::move(what);
    }
    stop = true;
}

void CopyShared::raised(std::exception_ptr e) {
    std::lock_guard lock(mutex);
    if (!thrown) {
        thrown = std::move(e);
    }
    failed = true;
    stop = true;
}

bool handOver(CopyShared& shared, Folder& child, std::vector<std::string>& names,
              const struct stat& st, int& pending) {
    if (child.depth >= kHandOverDepth) {
        return false;
    }
    std::lock_guard lock(shared.mutex);
    if (!shared.helping || !shared.queue.empty()) {
        return false;
    }
    ++pending;
    shared.queue.push_back({std::move(child), std::move(names), st, &pending});
    shared.changed.notify_all();
    return true;
}

void waitForHandedOver(CopyShared& shared, FolderWorker& worker, int& pending) {
    std::unique_lock lock(shared.mutex);
    while (pending > 0) {
        if (!shared.queue.empty()) {
            runQueued(shared, worker, lock);
            continue;
        }
        shared.changed.wait(lock);
    }
}

HelperThread::HelperThread(CopyShared& shared, std::function<void()> serve)
    : m_thread(std::move(serve), [&shared] {
          {
              std::lock_guard lock(shared.mutex);
              shared.closing = true;
              shared.helping = false;
          }
          shared.changed.notify_all();
      }) {
    if (m_thread.running()) {
        std::lock_guard lock(shared.mutex);
        shared.helping = true;
    }
}

void serveQueue(CopyShared& shared, FolderWorker& worker) {
    std::unique_lock lock(shared.mutex);
    for (;;) {
        shared.changed.wait(lock, [&] { return shared.closing || !shared.queue.empty(); });
        if (shared.queue.empty()) {
            return;  // closing, and nothing is left to do
        }
        runQueued(shared, worker, lock);
    }
}

}  // namespace vantrel::posix
