#include <windows.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/CopyFaults.h"
#include "platform/FileOps.h"
#include "platform/FileOpsCommon.h"
#include "platform/FileStat.h"
#include "platform/win/WinCommon.h"
#include "platform/win/WinCopySteps.h"
#include "platform/win/WinFileCopy.h"

// The Windows tree copy. One thread walks the source, makes the folders and copies links and
// big files; small files go to a few workers, since on Windows each file costs several
// round trips to the file system (and often a virus scanner's look) rather than bandwidth.
// A folder's time is set once everything in it is placed, by whichever thread places the last.
namespace vantrel {

namespace fs = std::filesystem;
using detail::withoutTrailingSeparator;
using namespace win;

namespace {

constexpr std::size_t kWorkers = 4;
// Files up to this size go to the workers; bigger ones are copied by the walking thread, so
// that a disk never seeks between several big files at once.
constexpr std::uint64_t kSmallFile = 1024 * 1024;
// A copy of a few files is done before threads would have started.
constexpr std::uint64_t kFilesBeforeWorkers = 32;
// Files waiting for a worker at most; the walk waits beyond it, so a tree of any size is
// held in a bounded amount of memory.
constexpr std::size_t kQueueLimit = 256;

// A folder of the copy, finished (time, attributes, reported) once everything in it is placed.
struct FolderDone {
    std::wstring to;
    FILETIME written{};
    DWORD kept = 0;  // the attributes it is given
    fs::path rel, shownTo;
    std::shared_ptr<FolderDone> parent;
    std::atomic<int> pending{1};  // its listing, and each file and subfolder not yet placed
};

// A file to copy, with what its folder's listing said of it.
struct FileJob {
    std::wstring from, to;
    DWORD attributes = 0;
    FILETIME written{};
    std::uint64_t size = 0;
    std::optional<EntryStat> source;
    fs::path shownFrom, shownTo, rel;
    std::shared_ptr<FolderDone> folder;  // none when the copy's source is this file
};

class WinTreeCopier {
public:
    WinTreeCopier(const CopyOptions& options, const ProgressFn& progress)
        : m_options(options), m_progress(progress), m_calls(fileCopyCalls()) {}

    ~WinTreeCopier() {
        m_stop = true;
        closeQueue();
    }

    WinTreeCopier(const WinTreeCopier&) = delete;
    WinTreeCopier& operator=(const WinTreeCopier&) = delete;

    bool topEntry = false;  // the source itself is a file: it is never left out

    // The folder `from` whose attributes and time are given, with everything in it. `rel` is
    // its path below the copy's top. Returns whether the copy goes on.
    bool copyFolder(const std::wstring& from, const std::wstring& to, DWORD attributes,
                    const FILETIME& written, const fs::path& shownFrom, const fs::path& shownTo,
                    const fs::path& rel, bool keepAttributes,
                    const std::shared_ptr<FolderDone>& parent) {
        std::vector<Listed> entries;
        if (const DWORD err = listFolder(from, entries); err != 0) {
            // A folder held by another program is not waited for: only files are tried again.
            const EntryFault fault = sourceFault(osError(err));
            return entryFault(fault == EntryFault::Held ? EntryFault::Unreadable : fault, err,
                              shownFrom, shownFrom);
        }
        if (!CreateDirectoryW(to.c_str(), nullptr)) {
            const DWORD err = GetLastError();
            return entryFault(targetFault(osError(err)), err, shownFrom, shownTo);
        }
        if (rel.empty()) {
            // A destination inside the source must not be copied into itself.
            m_topId = fileIdOf(to);
        }
        auto folder = std::make_shared<FolderDone>();
        folder->to = to;
        folder->written = written;
        folder->kept = keepAttributes ? attributes & kKeptAttributes : 0;
        folder->rel = rel;
        folder->shownTo = shownTo;
        folder->parent = parent;
        if (parent) {
            ++parent->pending;
        }
        for (const Listed& e : entries) {
            if (stopped(shownFrom / e.name)) {
                break;
            }
            const std::wstring childFrom = child(from, e.name.c_str());
            const std::wstring childTo = child(to, e.name.c_str());
            const bool isFolder = isDirectory(e.attributes) && !isLink(e.attributes);
            // Left out on purpose: an excluded folder is never listed.
            if (m_options.exclude && m_options.exclude(rel / e.name, isFolder)) {
                continue;
            }
            if (isLink(e.attributes)) {
                copyLink(childFrom, childTo, e.attributes, e.written, shownFrom / e.name,
                         shownTo / e.name, rel / e.name);
            } else if (isFolder) {
                if (!skipped(childFrom)) {
                    copyFolder(childFrom, childTo, e.attributes, e.written, shownFrom / e.name,
                               shownTo / e.name, rel / e.name, true, folder);
                }
            } else {
                FileJob job;
                job.from = childFrom;
                job.to = childTo;
                job.attributes = e.attributes;
                job.written = e.written;
                job.size = e.size;
                if (e.changedNs) {
                    job.source = statOfListed(e);
                } else {
                    job.source = statEntry(fs::path(childFrom));
                }
                job.shownFrom = shownFrom / e.name;
                job.shownTo = shownTo / e.name;
                job.rel = rel / e.name;
                job.folder = folder;
                ++folder->pending;
                if (e.size > kSmallFile || ++m_filesMet <= kFilesBeforeWorkers) {
                    copyFile(job, false);
                    release(job.folder);
                } else {
                    enqueue(std::move(job));
                }
            }
        }
        release(folder);
        return !m_stop;
    }

    // The copy's source is the file `job` describes.
    void copyTopFile(FileJob job) {
        topEntry = true;
        copyFile(job, false);
    }

    // Waits for the workers, then tries the files that were held once more, after a pause.
    // Rethrows what a callback threw on a worker.
    CopyResult finish() {
        closeQueue();
        retryHeld();
        if (m_thrown) {
            std::rethrow_exception(m_thrown);
        }
        std::sort(result.skipped.begin(), result.skipped.end(),
                  [](const SkippedEntry& a, const SkippedEntry& b) { return a.path < b.path; });
        result.done = m_done;
        return std::move(result);
    }

    void failCancelled(const fs::path& path) {
        fail(path, std::make_error_code(std::errc::operation_canceled));
    }

    bool cancelled() const { return m_options.cancel && m_options.cancel->load(); }

private:
    struct ChunkContext {
        WinTreeCopier* copier;
        std::uint64_t fileBytes = 0;  // bytes of the file counted so far
        bool flushed = false;         // its data is on disk, through the copy's own handle
        DWORD flushError = 0;
    };

    // Whether the copy is over; a cancel is recorded as the copy's end, at `where`.
    bool stopped(const fs::path& where) {
        if (cancelled()) {
            failCancelled(where);
        }
        return m_stop;
    }

    void fail(const fs::path& path, std::error_code error) {
        const std::lock_guard lock(m_mutex);
        if (!m_stop.exchange(true)) {
            static_cast<FileOpResult&>(result) = {path, error};
        }
        m_room.notify_all();
    }

    void fail(const fs::path& path, DWORD err) { fail(path, windowsError(err)); }

    // An entry (not a file) that failed: `entry` names it, `runPath` where the copy stops when
    // the fault is not the entry's own. Returns whether the copy goes on.
    bool entryFault(EntryFault fault, DWORD err, const fs::path& entry, const fs::path& runPath) {
        switch (faultStep(fault, m_options.skipFailedEntries, topEntry, true)) {
            case FaultStep::StopCopy:
                fail(fault == EntryFault::Run ? runPath : entry, err);
                return false;
            case FaultStep::LeaveOut: {
                const std::lock_guard lock(m_mutex);
                result.skipped.push_back({entry, windowsError(err)});
                return true;
            }
            case FaultStep::Drop:
            case FaultStep::RetryLater:
                return true;
        }
        return true;
    }

    void fileFault(const FileJob& job, EntryFault fault, DWORD err, bool retried) {
        if (faultStep(fault, m_options.skipFailedEntries, topEntry, retried) ==
            FaultStep::RetryLater) {
            const std::lock_guard lock(m_mutex);
            m_held.push_back(job);
            return;
        }
        entryFault(fault, err, job.shownFrom, job.shownTo);
    }

    // Folders listed to be skipped, and the copy's own top.
    bool skipped(const std::wstring& folder) {
        if (!m_topId && m_options.skipFolders.empty()) {
            return false;
        }
        const std::optional<FileId> id = fileIdOf(folder);
        if (!id) {
            return false;
        }
        return id == m_topId ||
               std::find(m_options.skipFolders.begin(), m_options.skipFolders.end(), *id) !=
                   m_options.skipFolders.end();
    }

    void placed(const fs::path& rel, EntryType type, std::uint64_t size, const FILETIME& written,
                bool shared, const fs::path& shownTo, const EntryStat* source = nullptr,
                const EntryStat* held = nullptr) {
        if (type != EntryType::Folder) {
            const std::lock_guard lock(m_mutex);
            ++m_done.files;
            if (m_progress) {
                m_progress(m_done);
            }
        }
        if (m_options.onEntry) {
            CopiedEntry e;
            e.relative = rel;
            e.type = type;
            e.size = size;
            e.mtimeNs = nanoseconds(written);
            e.shared = shared;
            e.written = &shownTo;
            e.source = source;
            e.held = held;
            m_options.onEntry(e);
        }
    }

    // One thing fewer that `folder` waits for; the last one finishes it, then its parent.
    void release(const std::shared_ptr<FolderDone>& folder) {
        if (!folder || --folder->pending != 0) {
            return;
        }
        if (!m_stop) {
            // The folder's time last, after its contents stopped changing it.
            if (const DWORD err = setFolderTime(folder->to, folder->written); err != 0) {
                fail(folder->shownTo, err);
            } else if (folder->kept != 0 && !SetFileAttributesW(folder->to.c_str(), folder->kept)) {
                fail(folder->shownTo, GetLastError());
            } else {
                placed(folder->rel, EntryType::Folder, 0, folder->written, false, folder->shownTo);
            }
        }
        release(folder->parent);
    }

    // The copy keeps the contents, the attributes and the modification time to the 100 ns,
    // and puts the contents on disk.
    void copyFile(const FileJob& job, bool retried) {
        if (stopped(job.shownFrom)) {
            return;
        }
        const EntryStat* source = job.source ? &*job.source : nullptr;
        if (const DWORD err = linkFromPrevious(m_options, job.to, job.rel, job.attributes,
                                               job.written, job.size, source);
            err == 0) {
            {
                const std::lock_guard lock(m_mutex);
                ++result.shared;
                m_done.bytes += job.size;
            }
            placed(job.rel, EntryType::File, job.size, job.written, true, job.shownTo, source);
            return;
        } else if (linkFallsBackToCopy(osError(err))) {
            const std::lock_guard lock(m_mutex);
            ++result.shareFallbacks;
        } else if (!isMissing(err)) {
            fail(job.shownTo, err);
            return;
        }
        ChunkContext context{this};
        PlacedFile kept;
        if (const DWORD err =
                m_calls.copyFile(job.from.c_str(), job.to.c_str(), &onChunk, &context, &kept);
            err != 0) {
            if (err == ERROR_REQUEST_ABORTED && context.flushError != 0) {
                fail(job.shownTo, context.flushError);
                return;
            }
            if (err == ERROR_REQUEST_ABORTED && cancelled()) {
                DeleteFileW(job.to.c_str());
                failCancelled(job.shownFrom);
                return;
            }
            // By the copy's own error: a sharing or lock violation is the source's, which
            // another program holds; opening the source would not show a byte-range lock.
            EntryFault fault = EntryFault::Run;
            DWORD reason = err;
            if (osError(err) == OsError::BadName) {
                fault = EntryFault::NameRefused;
            } else if (osError(err) == OsError::Held) {
                fault = EntryFault::Held;
            } else if (const DWORD readErr = sourceReadError(job.from); readErr != 0) {
                // The same reason from the source alone: the file, not the target, is at fault.
                fault = sourceFault(osError(readErr));
                reason = fault == EntryFault::Run ? err : readErr;
            }
            if (fault != EntryFault::Run) {
                DeleteFileW(job.to.c_str());
            }
            fileFault(job, fault, reason, retried);
            return;
        }
        if (!context.flushed && job.size > 0) {
            if (const DWORD err = flushByReopening(job.to, job.attributes); err != 0) {
                fail(job.shownTo, err);
                return;
            }
        }
        {
            // What the callback left uncounted: some systems (Wine) never call it.
            const std::lock_guard lock(m_mutex);
            m_done.bytes += job.size - std::min(job.size, context.fileBytes);
        }
        // The new file as the target keeps it, where the copy read that through its handle:
        // the manifest then need not open it again.
        std::optional<EntryStat> held;
        if (kept.known) {
            held.emplace();
            held->size = static_cast<std::uint64_t>(kept.standard.EndOfFile.QuadPart);
            held->allocatedBytes =
                static_cast<std::uint64_t>(kept.standard.AllocationSize.QuadPart);
            held->mtimeNs = nanosecondsOfTicks(kept.basic.LastWriteTime.QuadPart);
            held->ctimeNs = nanosecondsOfTicks(kept.basic.ChangeTime.QuadPart);
            held->permissions = (kept.basic.FileAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
            held->linkCount = kept.standard.NumberOfLinks;
        }
        placed(job.rel, EntryType::File, job.size, job.written, false, job.shownTo, source,
               held ? &*held : nullptr);
    }

    // A link is copied as a link, never followed.
    void copyLink(const std::wstring& from, const std::wstring& to, DWORD attributes,
                  const FILETIME& written, const fs::path& shownFrom, const fs::path& shownTo,
                  const fs::path& rel) {
        const BOOL ok = isDirectory(attributes)
                            ? CreateDirectoryExW(from.c_str(), to.c_str(), nullptr)
                            : CopyFileExW(from.c_str(), to.c_str(), nullptr, nullptr, nullptr,
                                          COPY_FILE_COPY_SYMLINK | COPY_FILE_FAIL_IF_EXISTS);
        if (!ok) {
            const DWORD err = GetLastError();
            entryFault(targetFault(osError(err)), err, shownFrom, shownTo);
            return;
        }
        placed(rel, EntryType::Link, 0, written, false, shownTo);
    }

    static DWORD CALLBACK onChunk(LARGE_INTEGER total, LARGE_INTEGER transferred,
                                  LARGE_INTEGER streamSize, LARGE_INTEGER streamTransferred,
                                  DWORD streamNumber, DWORD reason, HANDLE, HANDLE destination,
                                  LPVOID data) {
        auto* context = static_cast<ChunkContext*>(data);
        WinTreeCopier& copier = *context->copier;
        if (copier.cancelled()) {
            return PROGRESS_CANCEL;
        }
        // Each stream goes to disk through the copy's own handle as its last chunk is
        // written: the new file is never opened again, so a scanner or an indexer that opened
        // it meanwhile cannot stand in the way.
        if (reason == CALLBACK_CHUNK_FINISHED &&
            streamTransferred.QuadPart == streamSize.QuadPart) {
            if (!FlushFileBuffers(destination)) {
                context->flushError = GetLastError();
                return PROGRESS_CANCEL;
            }
            context->flushed = context->flushed || streamNumber == 1;
        }
        const auto now = static_cast<std::uint64_t>(transferred.QuadPart);
        const std::lock_guard lock(copier.m_mutex);
        copier.m_done.bytes += now - std::min(now, context->fileBytes);
        context->fileBytes = std::max(now, context->fileBytes);
        // Big files report as they go; every file reports when it is done.
        if (copier.m_progress && transferred.QuadPart < total.QuadPart) {
            copier.m_progress(copier.m_done);
        }
        return PROGRESS_CONTINUE;
    }

    void enqueue(FileJob job) {
        std::unique_lock lock(m_mutex);
        if (m_workers.empty()) {
            for (std::size_t i = 0; i < kWorkers; ++i) {
                try {
                    m_workers.emplace_back([this] { serve(); });
                } catch (const std::system_error&) {
                    break;  // without threads to be had, fewer do the work
                }
            }
        }
        m_room.wait(lock, [&] { return m_jobs.size() < kQueueLimit || m_stop; });
        if (m_workers.empty() || m_stop) {
            lock.unlock();
            copyFile(job, false);
            release(job.folder);
            return;
        }
        m_jobs.push_back(std::move(job));
        m_work.notify_one();
    }

    void serve() {
        for (;;) {
            FileJob job;
            {
                std::unique_lock lock(m_mutex);
                m_work.wait(lock, [&] { return !m_jobs.empty() || m_closing; });
                if (m_jobs.empty()) {
                    return;
                }
                job = std::move(m_jobs.front());
                m_jobs.pop_front();
                m_room.notify_one();
            }
            try {
                copyFile(job, false);
                release(job.folder);
            } catch (...) {
                // A callback threw: kept for the walking thread, and everything winds down.
                const std::lock_guard lock(m_mutex);
                if (!m_thrown) {
                    m_thrown = std::current_exception();
                }
                m_stop = true;
                m_room.notify_all();
            }
        }
    }

    void closeQueue() {
        {
            const std::lock_guard lock(m_mutex);
            m_closing = true;
        }
        m_work.notify_all();
        for (std::thread& worker : m_workers) {
            worker.join();
        }
        m_workers.clear();
    }

    void retryHeld() {
        if (m_held.empty() || m_stop) {
            return;
        }
        std::sort(m_held.begin(), m_held.end(),
                  [](const FileJob& a, const FileJob& b) { return a.shownFrom < b.shownFrom; });
        const auto until = std::chrono::steady_clock::now() + m_calls.heldRetryPause;
        while (std::chrono::steady_clock::now() < until) {
            if (stopped(m_held.front().shownFrom)) {
                return;
            }
            Sleep(50);
        }
        for (const FileJob& job : std::exchange(m_held, {})) {
            copyFile(job, true);
            // Its folder was finished without it; the file made (or tried) changed its time.
            if (job.folder && !m_stop) {
                if (const DWORD err = setFolderTime(job.folder->to, job.folder->written)) {
                    fail(job.folder->shownTo, err);
                }
            }
        }
    }

    const CopyOptions& m_options;
    const ProgressFn& m_progress;
    const FileCopyCalls m_calls;
    std::optional<FileId> m_topId;
    std::uint64_t m_filesMet = 0;  // files the walk met, for when the workers start

    std::mutex m_mutex;  // guards what follows, and every call of the progress callback
    CopyResult result;
    CopyProgress m_done;
    std::vector<FileJob> m_held;  // files another program held, to be tried once more
    std::deque<FileJob> m_jobs;
    std::condition_variable m_work;  // a job queued, or the queue closed
    std::condition_variable m_room;  // a job taken, or the copy stopped
    bool m_closing = false;
    std::exception_ptr m_thrown;      // from a callback on a worker
    std::atomic<bool> m_stop{false};  // a failure or a cancel: every thread winds down
    std::vector<std::thread> m_workers;
};

}  // namespace

CopyResult RealFileOps::copyTree(const fs::path& from, const fs::path& to,
                                 const CopyOptions& options, const ProgressFn& progress) {
    const fs::path shownFrom = withoutTrailingSeparator(from);
    const fs::path shownTo = withoutTrailingSeparator(to);
    const std::wstring src = extended(shownFrom);
    const std::wstring dst = extended(shownTo);

    // The source itself is followed when it is a link: what it names is copied.
    HANDLE h = openShared(src, FILE_READ_ATTRIBUTES);
    if (h == INVALID_HANDLE_VALUE) {
        return FileOpResult{from, windowsError(GetLastError())};
    }
    BY_HANDLE_FILE_INFORMATION info;
    const BOOL ok = GetFileInformationByHandle(h, &info);
    const DWORD infoErr = GetLastError();
    CloseHandle(h);
    if (!ok) {
        return FileOpResult{from, windowsError(infoErr)};
    }
    if (GetFileAttributesW(dst.c_str()) != INVALID_FILE_ATTRIBUTES) {
        return FileOpResult{to, std::make_error_code(std::errc::file_exists)};
    }
    const size_t cut = dst.find_last_of(L'\\');
    if (cut != std::wstring::npos && cut > 7) {
        if (const DWORD err = makeFolders(dst.substr(0, cut)); err != 0) {
            return FileOpResult{shownTo.parent_path(), windowsError(err)};
        }
    }
    WinTreeCopier copier(options, progress);
    const DWORD attributes = info.dwFileAttributes & ~FILE_ATTRIBUTE_REPARSE_POINT;
    if (isDirectory(attributes)) {
        // A drive root is hidden and a system folder; its copy should not be.
        const bool fromRoot = !shownFrom.has_relative_path();
        copier.copyFolder(src, dst, attributes, info.ftLastWriteTime, shownFrom, shownTo, {},
                          !fromRoot, nullptr);
    } else {
        FileJob job;
        job.from = src;
        job.to = dst;
        job.attributes = attributes;
        job.written = info.ftLastWriteTime;
        job.size = sizeOf(info.nFileSizeHigh, info.nFileSizeLow);
        job.source = statEntry(fs::path(src));
        job.shownFrom = shownFrom;
        job.shownTo = shownTo;
        copier.copyTopFile(std::move(job));
    }
    CopyResult result = copier.finish();
    if (result.ok() && copier.cancelled()) {
        // Cancelled while the last files were copied: what was asked for is not all there.
        result.failedPath = shownFrom;
        result.error = std::make_error_code(std::errc::operation_canceled);
    }
    return result;
}

}  // namespace vantrel
