#include "engine/run/CopySlot.h"

#include <algorithm>
#include <cstdint>
#include <system_error>

#include "engine/BackupError.h"
#include "engine/places/JobPlaces.h"
#include "engine/records/OperationLog.h"
#include "engine/run/CopyNaming.h"
#include "platform/ErrorText.h"
#include "platform/TextCodec.h"

namespace vantrel {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kPrefix = ".vantrel-";

std::optional<RunLock> lockPath(FileOps& files, const fs::path& target) {
    const auto file = CopySlot::lockFileFor(files, target);
    try {
        return RunLock::tryAcquire(file);
    } catch (const std::system_error& e) {
        throw BackupError("无法打开文件“" + pathToUtf8(file) + "”：" +
                          describeWriteError(file, e.code()));
    }
}

[[noreturn]] void fail(const FileOpResult& r, const fs::path& fallback) {
    const auto& path = r.failedPath.empty() ? fallback : r.failedPath;
    throw BackupError("文件备份失败！“" + pathToUtf8(path) + "”：" + describeError(r.error));
}

// Whether `p` is absolute and written without "." or ".." parts.
bool plainAbsolute(const fs::path& p) {
    if (!p.is_absolute()) {
        return false;
    }
    for (const fs::path& part : p.relative_path()) {
        if (part == "." || part == "..") {
            return false;
        }
    }
    return true;
}

// Whether a journal entry names only what a run of job `job` writes: a dated copy, and beside
// it, in the same folder, the job's own staging and set-aside names of that date. Recovery
// follows no other entry, whatever the database was made to say.
bool soundEntry(const JournalEntry& entry, std::string_view job) {
    const fs::path target = pathFromUtf8(entry.target);
    const fs::path staging = pathFromUtf8(entry.staging);
    const fs::path aside = pathFromUtf8(entry.aside);
    if (!plainAbsolute(target) || !plainAbsolute(staging) || !plainAbsolute(aside)) {
        return false;
    }
    const std::string copyName = pathToUtf8(target.filename());
    const auto name = parseCopyName(copyName);
    if (!name) {
        return false;
    }
    const std::string stem =
        std::string(kPrefix) + std::string(job) + "-" + std::string(name->digits);
    const std::string folder = pathKey(target.parent_path());
    return pathKey(staging.parent_path()) == folder && pathKey(aside.parent_path()) == folder &&
           pathToUtf8(staging.filename()) == stem + ".new" &&
           pathToUtf8(aside.filename()) == stem + ".old";
}

}  // namespace

fs::path CopySlot::lockFileFor(FileOps& files, const fs::path& target) {
    // Keyed on the dated path without its date, so one file serves every day's copy of one
    // source and no lock file piles up per day; two jobs writing one dated path still meet.
    std::string key = canonicalKey(files, target);
    if (parseCopyName(key)) {
        key.resize(key.size() - 8);
    }
    const auto name = std::string(kPrefix) + stableHash(key, 16) + ".lock";
    return target.lexically_normal().parent_path() / pathFromUtf8(name);
}

CopySlot::CopySlot(Workspace& ws, BackupRecordStore& store, const RunTarget& run)
    : m_ws(ws),
      m_store(store),
      m_target(run.target.lexically_normal()),
      m_targetText(run.targetText),
      m_rules(run.exclusions.text()),
      m_source(run.places.recordedSource()),
      m_folder(m_target.parent_path()),
      m_job(run.places.key) {
    const auto stem = std::string(kPrefix) + m_job + "-" + run.dateDigits;
    m_staging = m_folder / pathFromUtf8(stem + ".new");
    m_aside = m_folder / pathFromUtf8(stem + ".old");
    if (const auto made = ws.files.createFolders(m_folder); !made.ok()) {
        fail(made, m_folder);
    }
    m_lock = lockPath(ws.files, m_target);
    if (!m_lock) {
        throw BackupBusy();
    }
}

void CopySlot::recover() {
    std::vector<fs::path> pending;
    for (const auto& entry : m_journal.entries()) {
        if (!soundEntry(entry, m_job)) {
            // Reported and dropped, never followed: it could lead anywhere.
            m_ws.ui.showMessage("记录数据库中的一条替换记录无效（“" + entry.target + "”、“" +
                                entry.staging + "”、“" + entry.aside + "”），已忽略");
            m_journal.drop(entry.id);
            continue;
        }
        const auto target = pathFromUtf8(entry.target);
        std::optional<RunLock> other;
        // Other dates of this name share the lock this run holds already.
        FileOps& files = m_ws.files;
        if (canonicalKey(files, lockFileFor(files, target)) !=
            canonicalKey(files, lockFileFor(files, m_target))) {
            // A target folder out of reach (a disk not connected) keeps its entry for later.
            const auto folder = files.stat(target.parent_path(), true);
            if (folder && folder->type == EntryType::Folder) {
                try {
                    other = lockPath(files, target);
                } catch (const BackupError&) {
                }
            }
            if (!other) {
                // Out of reach, or another job is writing there now: it waits for a later run.
                pending.push_back(pathFromUtf8(entry.staging));
                pending.push_back(pathFromUtf8(entry.aside));
                continue;
            }
        }
        if (files.fileId(target) == entry.newCopy) {
            finish(entry);
        } else {
            undo(entry);
        }
    }

    // Staging and set-aside folders of this job that no journal entry accounts for are what
    // a run killed before its journal entry, or after its record, left behind.
    const std::string mine = std::string(kPrefix) + m_job + "-";
    for (const fs::path& entry : m_ws.files.list(m_folder)) {
        const auto name = pathToUtf8(entry.filename());
        const bool ours = name.size() == mine.size() + 12 && name.starts_with(mine) &&
                          (name.ends_with(".new") || name.ends_with(".old")) &&
                          name.find_first_not_of("0123456789", mine.size()) == mine.size() + 8;
        if (ours && std::find(pending.begin(), pending.end(), entry) == pending.end()) {
            m_ws.files.removeTree(entry);
        }
    }
}

void CopySlot::finish(JournalEntry entry) {
    OperationLog log(m_ws.logFile());
    if (!log.hasLineAfter(entry.logOffset, entry.logLine)) {
        log.Append(entry.logLine);
    }
    if (entry.run) {
        // The run that made the copy never ended: its row says so, and when it was finished.
        entry.run->ended = m_ws.clock.now();
        entry.run->message +=
            std::string(entry.run->message.empty() ? "" : "；") + std::string(kFinishedLater);
    }
    m_journal.commit(entry);
    if (entry.run) {
        RunHistory(m_store.records()).markCaughtUp(entry.run->started);
    }
    m_ws.files.removeTree(pathFromUtf8(entry.staging));
    m_ws.files.removeTree(pathFromUtf8(entry.aside));
}

void CopySlot::undo(const JournalEntry& entry) {
    const auto target = pathFromUtf8(entry.target);
    const auto aside = pathFromUtf8(entry.aside);
    // Killed between moving the old copy aside and renaming the new one in.
    if (!m_ws.files.stat(target, false) && m_ws.files.stat(aside, false)) {
        if (auto r = m_ws.files.rename(aside, target); !r.ok()) {
            fail(r, aside);
        }
    }
    m_ws.files.removeTree(pathFromUtf8(entry.staging));
    m_journal.drop(entry.id);
}

Committed CopySlot::commit(const std::string& logLine, const std::string& date,
                           const std::vector<FailedEntry>& failed, std::string_view manifest,
                           std::optional<RunRecord> run) {
    // Everything staged reaches the disk before the copy can be called by its dated name.
    if (auto r = m_ws.files.syncFileSystem(m_staging); !r.ok()) {
        discard();
        fail(r, m_staging);
    }
    JournalEntry entry;
    entry.targetText = m_targetText;
    entry.target = pathToUtf8(m_target);
    entry.staging = pathToUtf8(m_staging);
    entry.aside = pathToUtf8(m_aside);
    entry.newCopy = m_ws.files.fileId(m_staging).value_or(FileId{});
    entry.logLine = logLine;
    entry.logOffset = OperationLog(m_ws.logFile()).size();
    entry.date = date;
    entry.failed = failed;
    entry.rules = m_rules;
    entry.source = m_source;
    entry.manifest = manifest;
    entry.run = std::move(run);
    try {
        entry.id = m_journal.add(entry);
    } catch (const BackupError&) {
        discard();
        throw;
    }
    // Kept in the journal's table from here on.
    entry.manifest = {};
    step(Step::Journaled);

    auto undoAndFail = [&](const FileOpResult& r, const fs::path& where) {
        undo(entry);
        fail(r, where);
    };
    if (!m_ws.files.stat(m_target, false)) {
        if (auto r = m_ws.files.rename(m_staging, m_target); !r.ok()) {
            undoAndFail(r, m_target);
        }
    } else if (auto r = m_ws.files.exchange(m_staging, m_target); !r.ok()) {
        if (r.error != std::errc::not_supported) {
            undoAndFail(r, m_target);
        }
        // No atomic swap here: the old copy steps aside, the new one takes its name.
        if (auto aside = m_ws.files.rename(m_target, m_aside); !aside.ok()) {
            undoAndFail(aside, m_target);
        }
        step(Step::SetAside);
        if (auto in = m_ws.files.rename(m_staging, m_target); !in.ok()) {
            undoAndFail(in, m_target);
        }
    }
    step(Step::Swapped);
    // Some file systems cannot flush a folder; the rename stands either way.
    m_ws.files.syncFolder(m_folder);

    OperationLog(m_ws.logFile()).Append(logLine);
    step(Step::Logged);
    const Committed done = m_journal.commit(entry);
    step(Step::Recorded);
    // After an exchange the staging name holds the replaced copy.
    m_ws.files.removeTree(m_staging);
    m_ws.files.removeTree(m_aside);
    return done;
}

void CopySlot::discard() {
    m_ws.files.removeTree(m_staging);
}

}  // namespace vantrel
