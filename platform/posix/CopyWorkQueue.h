#pragma once

#include <sys/stat.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "platform/FileOps.h"
#include "platform/HelperThread.h"
#include "platform/posix/PosixFd.h"

// The two threads of one tree copy: a copy hands whole subfolders to a second thread while it
// copies others itself, and waits for what it handed over before it finishes a folder.
namespace vantrel::posix {

// One folder being copied: the source, its copy, and its counterpart in the copy shared
// from (when there is one).
struct Folder {
    Fd src, dst, share;
    FileId srcId, dstId, shareId;
    std::filesystem::path srcPath, dstPath, rel;
    int depth = 0;
};

// Folders this shallow may be handed to the copy's second thread; deeper ones stay with the
// thread that meets them, so descriptors are released and taken back by one thread only.
inline constexpr int kHandOverDepth = 8;

struct IdLess {
    bool operator()(const FileId& a, const FileId& b) const {
        return std::tie(a.device, a.inode) < std::tie(b.device, b.inode);
    }
};

// A folder handed over, made and opened, waiting for a thread to copy its entries.
struct FolderTask {
    Folder folder;
    std::vector<std::string> names;
    struct stat st;
    int* pending;  // the handing folder's count of subfolders not yet done
};

// What the threads of one copy share. Two threads copy different folders at once: linking
// and small files cost the kernel per entry, entries of one folder do not go faster in
// parallel but separate folders do, and while one thread waits for the disk the other goes
// on. `mutex` guards the result, the progress, the queue and every call of the progress
// callback, which therefore never runs twice at once; `onEntry` is called outside it.
// A name in the copy that a source file became; `shared` when it is linked from the copy
// shared from.
struct LinkedName {
    std::filesystem::path path;
    bool shared = false;
};

struct CopyShared {
    std::mutex mutex;
    std::condition_variable changed;  // a task queued or finished, or the helper told to end
    FileOpResult failure;             // the copy's first failure
    bool failed = false;
    std::exception_ptr thrown;  // from a callback; rethrown once every thread has stopped
    std::vector<SkippedEntry> skipped;
    CopyProgress done;
    std::uint64_t shared = 0;
    std::uint64_t shareFallbacks = 0;
    std::deque<FolderTask> queue;
    bool helping = false;  // a second thread takes tasks
    bool closing = false;
    std::atomic<bool> stop{false};  // a failure: every thread winds down
    // Held while a file with several names is looked up and copied, so that its names in
    // folders copied at once still end up as one file.
    std::mutex linkMutex;
    // The file each source file with several names became in the copy, for its other names.
    std::map<FileId, LinkedName, IdLess> links;

    // Records the copy's first failure and stops every thread.
    void fail(FileOpResult what);
    // Keeps the first exception from a callback and stops every thread.
    void raised(std::exception_ptr e);
};

// Copies the entries of handed-over folders; each thread of a copy has its own.
class FolderWorker {
public:
    // Copies a handed-over folder; records what goes wrong in the shared state, never throws.
    virtual void copyHandedOver(FolderTask& task) = 0;

protected:
    ~FolderWorker() = default;
};

// Hands `child` to the other thread when that one is free (one folder waits at most: the
// other thread stays busy, and the rest is copied here). Returns whether it was taken;
// `pending` then counts it until it is done.
bool handOver(CopyShared& shared, Folder& child, std::vector<std::string>& names,
              const struct stat& st, int& pending);

// Waits until the subfolders a folder handed over are done, copying queued ones with `worker`
// meanwhile rather than sitting idle.
void waitForHandedOver(CopyShared& shared, FolderWorker& worker, int& pending);

// The copy's second thread: runs `serve` (which makes the thread's worker and calls
// serveQueue) until the copy closes. Without a thread to be had, the copy goes on with one.
class HelperThread {
public:
    HelperThread(CopyShared& shared, std::function<void()> serve);

private:
    vantrel::HelperThread m_thread;
};

// Takes handed-over folders and copies them with `worker` until the copy closes.
void serveQueue(CopyShared& shared, FolderWorker& worker);

}  // namespace vantrel::posix
