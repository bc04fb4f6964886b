#include "app/CopySearch.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <utility>

#include "engine/manifest/CopyEntries.h"
#include "engine/restore/FileVersions.h"

namespace vantrel {

namespace {

// Batches after the first: as often as a list is worth redrawing.
constexpr std::chrono::milliseconds kBatchEvery{150};

}  // namespace

CopySearch::CopySearch(const Workspace& ws, const TBackupSettings& settings, Deliver deliver)
    : m_ws(ws), m_settings(settings), m_deliver(std::move(deliver)) {}

CopySearch::~CopySearch() {
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
        m_waiting.reset();
        m_cancel = true;
    }
    m_changed.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

std::uint64_t CopySearch::start(std::int64_t copyId, std::string key, std::size_t limit,
                                MakeRow makeRow) {
    std::uint64_t search = 0;
    {
        std::lock_guard lock(m_mutex);
        search = ++m_last;
        m_waiting = Request{search, copyId, std::move(key), limit, std::move(makeRow)};
        m_cancel = true;  // the one under way, if any
        if (!m_thread.joinable()) {
            m_thread = std::thread([this] { loop(); });
        }
    }
    m_changed.notify_all();
    return search;
}

void CopySearch::stop() {
    std::lock_guard lock(m_mutex);
    m_waiting.reset();
    m_cancel = true;
}

void CopySearch::wait() {
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return !m_running && !m_waiting; });
}

void CopySearch::loop() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_quit || m_waiting; });
        if (m_quit) {
            return;
        }
        const Request request = std::move(*m_waiting);
        m_waiting.reset();
        m_cancel = false;
        m_running = true;
        lock.unlock();
        run(request);
        lock.lock();
        m_running = false;
        m_changed.notify_all();
    }
}

void CopySearch::run(const Request& request) {
    Batch batch;
    batch.search = request.search;
    std::size_t found = 0;
    bool delivered = false;
    auto last = std::chrono::steady_clock::now();
    const auto deliver = [&] {
        m_deliver(std::move(batch));
        batch = Batch{};
        batch.search = request.search;
        delivered = true;
        last = std::chrono::steady_clock::now();
    };
    try {
        // Copies of its own: what the window holds is the window thread's.
        std::vector<CopyEntries> copies = jobCopies(m_ws, m_settings);
        const auto copy = std::find_if(copies.begin(), copies.end(), [&](const CopyEntries& c) {
            return c.record().id == request.copyId && c.onDisk();
        });
        if (copy == copies.end()) {
            batch.error = "所选的备份已不存在";  // pruned, or taken away, since it was listed
        } else {
            const bool whole = findByName(
                *copy, request.key,
                [&](const ManifestEntry& e) {
                    if (found == request.limit) {
                        batch.more = true;
                        return false;
                    }
                    if (auto row = request.makeRow(e)) {
                        batch.rows.push_back(std::move(*row));
                        ++found;
                        if (!delivered) {
                            deliver();
                        }
                    }
                    return !m_cancel.load(std::memory_order_relaxed);
                },
                [&] {
                    if (!batch.rows.empty() &&
                        std::chrono::steady_clock::now() - last >= kBatchEvery) {
                        deliver();
                    }
                    return !m_cancel.load(std::memory_order_relaxed);
                });
            if (!whole && !batch.more) {
                return;  // stopped: a newer search, or none, is wanted
            }
        }
    } catch (const std::exception& e) {
        batch.error = e.what();
    }
    batch.done = true;
    deliver();
}

}  // namespace vantrel
