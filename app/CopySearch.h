#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/RestoreView.h"
#include "engine/BackupSettings.h"
#include "engine/manifest/Manifest.h"
#include "engine/run/Workspace.h"

namespace vantrel {

// Searches one of the job's copies by name on a thread of its own, reading the copy's entries
// one at a time, and hands what it finds back in batches: the first at once, then a few a
// second. A new search stops the one under way; only the newest one is ever waiting.
class CopySearch {
public:
    struct Batch {
        std::uint64_t search = 0;  // the number start() gave
        std::vector<RestoreEntryRow> rows;
        bool done = false;  // the search ended with this batch
        bool more = false;  // ended at the limit: there is more to find
        std::string error;  // ended because the copy could not be read
    };
    // Called on the search's thread.
    using Deliver = std::function<void(Batch&&)>;
    // The row of an entry found, on the search's thread; none to leave it out.
    using MakeRow = std::function<std::optional<RestoreEntryRow>(const ManifestEntry&)>;

    CopySearch(const Workspace& ws, const TBackupSettings& settings, Deliver deliver);
    // Stops a search under way and waits for its thread.
    ~CopySearch();
    CopySearch(const CopySearch&) = delete;
    CopySearch& operator=(const CopySearch&) = delete;

    // Searches the copy of row `copyId` for names holding `key` (nameSearchKey), up to `limit`
    // rows; a search under way is stopped. Returns the number its batches carry.
    std::uint64_t start(std::int64_t copyId, std::string key, std::size_t limit, MakeRow makeRow);
    // Stops the search under way, if any; it may still deliver a batch.
    void stop();
    // Blocks until no search is under way or waiting.
    void wait();

private:
    struct Request {
        std::uint64_t search = 0;
        std::int64_t copyId = 0;
        std::string key;
        std::size_t limit = 0;
        MakeRow makeRow;
    };
    void loop();
    void run(const Request& request);

    const Workspace& m_ws;
    TBackupSettings m_settings;
    Deliver m_deliver;

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::optional<Request> m_waiting;
    bool m_running = false;
    bool m_quit = false;
    std::uint64_t m_last = 0;
    std::atomic<bool> m_cancel{false};
    std::thread m_thread;
};

}  // namespace vantrel
