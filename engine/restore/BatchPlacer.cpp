#include "engine/restore/BatchPlacer.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>
#include <tuple>

#include "engine/restore/RestorePlan.h"
#include "engine/run/CopyNaming.h"
#include "platform/ErrorText.h"
#include "platform/HelperThread.h"
#include "platform/TextCodec.h"

namespace vantrel {

namespace fs = std::filesystem;

namespace {

// Renamed into place after a flush of this much: a restore killed half-way leaves at most
// this many temporary files.
constexpr std::uint64_t kBatchBytes = std::uint64_t{1} << 30;
constexpr std::size_t kBatchFiles = 32768;

}  // namespace

std::optional<EntryStat> RestoreScope::lstat(const fs::path& p) const {
    return files.stat(p, false);
}

bool RestoreScope::cancelled() {
    if (cancelAsked()) {
        out.cancelled = true;
    }
    return out.cancelled;
}

void RestoreScope::fail(const fs::path& where, const std::error_code& error) {
    out.failed.push_back({pathToUtf8(where), describeError(error)});
}

void RestoreScope::fail(const fs::path& where, std::string reason) {
    out.failed.push_back({pathToUtf8(where), std::move(reason)});
}

void RestoreScope::fail(std::string where, std::string reason) {
    out.failed.push_back({std::move(where), std::move(reason)});
}

void RestoreScope::advance(std::uint64_t bytes) {
    ++progress.files;
    progress.bytes += bytes;
    report(progress);
}

void RestoreScope::report(const RestoreProgress& now) const {
    if (m_control.progress) {
        m_control.progress(now);
    }
}

fs::path RestoreScope::besideOf(const fs::path& place, int n) const {
    return place.parent_path() / pathFromUtf8(besideName(pathToUtf8(place.filename()), digits, n));
}

FileOpResult RestoreScope::syncDestination() {
    fs::path root = syncRoot;
    while (!files.stat(root, true) && root.has_relative_path()) {
        root = root.parent_path();
    }
    if (std::find(m_roots.begin(), m_roots.end(), root) == m_roots.end()) {
        m_roots.push_back(root);
    }
    return files.syncFileSystem(root);
}

void RestoreScope::syncAll() {
    for (const fs::path& root : m_roots) {
        files.syncFileSystem(root);
    }
}

fs::path restoreTempFor(const fs::path& place) {
    std::uint64_t h = 14695981039346656037ull;
    for (unsigned char c : pathToUtf8(place.filename())) {
        h = (h ^ c) * 1099511628211ull;
    }
    char name[40];
    std::snprintf(name, sizeof name, ".vantrel-%016llx.tmp", static_cast<unsigned long long>(h));
    return place.parent_path() / name;
}

void BatchPlacer::add(PendingFile file) {
    if (file.staged == nullptr) {
        // Two entries of one batch bound for one name would share a temporary name.
        if (!m_places.insert(pathKey(file.to)).second) {
            flush();
            m_places.insert(pathKey(file.to));
        }
        file.temp = restoreTempFor(file.to);
        file.shown = file.to;
    }
    m_bytes += file.bytes;
    m_pending.push_back(std::move(file));
    if (m_bytes >= kBatchBytes || m_pending.size() >= kBatchFiles) {
        flush();
    }
}

void BatchPlacer::flush() {
    if (m_pending.empty()) {
        return;
    }
    std::vector<PendingFile> batch = std::move(m_pending);
    m_pending.clear();
    m_places.clear();
    m_bytes = 0;
    writeBatch(batch);
    const FileOpResult synced = m_scope.syncDestination();
    if (synced.ok() && !m_scope.cancelled()) {
        forEachOnTwoThreads(batch.size(), [&](std::size_t i) {
            PendingFile& p = batch[i];
            if (p.written.ok() && p.staged == nullptr) {
                p.placed = m_scope.placer.place(p.temp, p.to, p.replace);
            }
        });
    }
    for (PendingFile& p : batch) {
        settle(p, synced);
    }
}

// Small files cost the kernel per file, and two threads write them nearly twice as fast as
// one. Only this thread reports.
void BatchPlacer::writeBatch(std::vector<PendingFile>& batch) {
    std::atomic<std::uint64_t> files{0}, bytes{0};
    const std::thread::id reporter = std::this_thread::get_id();
    FilePlacer& placer = m_scope.placer;
    forEachOnTwoThreads(batch.size(), [&](std::size_t i) {
        PendingFile& p = batch[i];
        if (m_scope.cancelAsked()) {
            p.written = {p.temp, std::make_error_code(std::errc::operation_canceled)};
            return;
        }
        p.written = p.pipe   ? placer.writePipe(p.source, p.temp)
                    : p.link ? placer.writeLink(p.source, p.temp)
                             : placer.writeFile(p.source, p.temp);
        ++files;
        bytes += p.bytes;
        if (m_scope.reports() && std::this_thread::get_id() == reporter) {
            RestoreProgress now = m_scope.progress;
            now.files += files;
            now.bytes += bytes;
            m_scope.report(now);
        }
    });
    m_scope.progress.files += files;
    m_scope.progress.bytes += bytes;
}

// Tells what became of a written file once the batch was flushed and renamed.
void BatchPlacer::settle(PendingFile& p, const FileOpResult& synced) {
    FilePlacer& placer = m_scope.placer;
    if (!p.written.ok()) {
        if (p.pipe && p.written.error == std::errc::not_supported) {
            m_scope.fail(p.shown, "特殊文件（设备、套接字等）不能恢复");
        } else if (p.written.error != std::errc::operation_canceled) {
            m_scope.fail(p.written.failedPath == p.source ? p.source
                         : p.beside                       ? p.existing
                                                          : p.shown,
                         p.written.error);
        }
        return;
    }
    if (!synced.ok() || m_scope.cancelled()) {
        placer.removeFile(p.temp);
        if (!synced.ok()) {
            m_scope.fail(p.beside ? p.existing : p.shown, synced.error);
        }
        return;
    }
    if (p.staged != nullptr) {
        ++p.staged->files;
        if (p.linkedAs) {
            p.staged->linked.emplace_back(*p.linkedAs, p.temp.lexically_relative(p.staged->temp));
        }
        return;
    }
    FileOpResult& placed = p.placed;
    // Something took the name since it was looked at: it stays, as any file would.
    for (int n = 1; placed.error == std::errc::file_exists && n <= kMaxBesideNames; ++n) {
        const fs::path kept = p.beside ? p.existing : p.to;
        p.beside = true;
        p.existing = kept;
        p.to = m_scope.besideOf(kept, n);
        placed = placer.place(p.temp, p.to, false);
    }
    if (!placed.ok()) {
        placer.removeFile(p.temp);
        m_scope.fail(p.beside ? p.existing : p.to, placed.error);
        return;
    }
    if (p.beside) {
        m_scope.out.besides.push_back({pathToUtf8(p.existing), pathToUtf8(p.to)});
    } else {
        ++m_scope.out.restored;
    }
    if (p.linkedAs) {
        noteLinked(*p.linkedAs, p.to);
    }
}

void BatchPlacer::noteLinked(const FileId& id, fs::path place) {
    m_linked.emplace_back(id, std::move(place));
}

void BatchPlacer::linkTogether() {
    std::stable_sort(m_linked.begin(), m_linked.end(), [](const auto& a, const auto& b) {
        return std::tie(a.first.device, a.first.inode) < std::tie(b.first.device, b.first.inode);
    });
    for (std::size_t i = 1; i < m_linked.size(); ++i) {
        const auto& [id, place] = m_linked[i];
        std::size_t first = i;
        while (first > 0 && m_linked[first - 1].first == id) {
            --first;
        }
        if (first == i) {
            continue;
        }
        const fs::path temp = restoreTempFor(place);
        if (m_scope.placer.writeHardLink(m_linked[first].second, temp).ok() &&
            !m_scope.placer.place(temp, place, true).ok()) {
            m_scope.placer.removeFile(temp);
        }
    }
}

}  // namespace vantrel
