#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <unordered_set>
#include <utility>
#include <vector>

#include "engine/restore/Restore.h"
#include "platform/FileOps.h"
#include "platform/FilePlacer.h"

namespace vantrel {

// What the parts of one restore share: the file systems, the outcome they add to, the
// progress told and the cancel.
class RestoreScope {
public:
    RestoreScope(FileOps& files, FilePlacer& placer, const RestoreControl& control,
                 RestoreOutcome& out)
        : files(files), placer(placer), out(out), m_control(control) {}

    FileOps& files;
    FilePlacer& placer;
    RestoreOutcome& out;
    std::string digits;              // the date of the copy restored from, for names beside
    std::filesystem::path syncRoot;  // a folder on the destination's file system
    RestoreProgress progress;        // files placed or found in place so far

    std::optional<EntryStat> lstat(const std::filesystem::path& p) const;
    // Whether a stop was asked for; once it was, the outcome says so.
    bool cancelled();
    // The same without noting it, for any thread.
    bool cancelAsked() const { return m_control.cancel && m_control.cancel->load(); }
    void fail(const std::filesystem::path& where, const std::error_code& error);
    void fail(const std::filesystem::path& where, std::string reason);
    void fail(std::string where, std::string reason);
    // One more file done, and said.
    void advance(std::uint64_t bytes);
    void report(const RestoreProgress& now) const;
    bool reports() const { return static_cast<bool>(m_control.progress); }
    // The n-th name beside `place` in its folder.
    std::filesystem::path besideOf(const std::filesystem::path& place, int n) const;
    // Flushes the file system that holds syncRoot (its nearest folder that exists).
    FileOpResult syncDestination();
    // Flushes once more every file system flushed: what was renamed and linked since.
    void syncAll();

private:
    const RestoreControl& m_control;
    std::vector<std::filesystem::path> m_roots;  // destinations flushed
};

// A temporary name beside `place`, the same for the same name each time, so what a killed
// restore left is taken up by the next; short whatever the name's length.
std::filesystem::path restoreTempFor(const std::filesystem::path& place);

// A folder made now under a temporary name: what is restored into it is written at its own
// names there, and the whole folder is renamed into place once it is on disk.
struct StagedFolder {
    std::filesystem::path temp;
    std::filesystem::path place;
    std::filesystem::path wanted;  // the name the copy gives it, where `place` lies beside it
    std::uint64_t files = 0;       // placed in it, counted once it is in place
    // Files in it whose copy has other names: the copy's file, and the path below `temp`.
    std::vector<std::pair<FileId, std::filesystem::path>> linked;
};

// One file, link or pipe to write.
struct PendingFile {
    std::filesystem::path source;  // in the copy
    std::filesystem::path to;
    // Where it is written first; the place itself in a staged folder.
    std::filesystem::path temp;
    std::filesystem::path shown;  // its place as the user knows it, for a failure
    // In a folder staged now: written at its own name, placed with the folder.
    StagedFolder* staged = nullptr;
    // The copy's file, when it has other names: files hard-linked in the source are
    // hard-linked in the copy, and come back so.
    std::optional<FileId> linkedAs;
    bool replace = false;
    bool beside = false;
    std::filesystem::path existing;  // the file kept, when written beside it
    std::uint64_t bytes = 0;
    bool link = false;
    bool pipe = false;
    FileOpResult written;
    FileOpResult placed;
};

// Writes files in batches: each under a temporary name, on two threads, then the file system
// is flushed, then each is renamed into place. A restore killed half-way leaves at most one
// batch of temporary files, which a later restore of the same files replaces.
class BatchPlacer {
public:
    explicit BatchPlacer(RestoreScope& scope) : m_scope(scope) {}

    // Adds a file, and writes the batch out once it holds enough.
    void add(PendingFile file);
    // Writes out and places what the batch holds.
    void flush();
    // A file placed now whose copy has other names: the copy's file, and where it went.
    void noteLinked(const FileId& id, std::filesystem::path place);
    // Makes the files placed now that are one file in the copy one file again: each after
    // the first becomes a hard link to it. Where the system makes no link they stay files of
    // their own, with the same contents.
    void linkTogether();

private:
    void writeBatch(std::vector<PendingFile>& batch);
    void settle(PendingFile& p, const FileOpResult& synced);

    RestoreScope& m_scope;
    std::vector<PendingFile> m_pending;
    std::unordered_set<std::string> m_places;  // where the batch's files go
    std::uint64_t m_bytes = 0;
    std::vector<std::pair<FileId, std::filesystem::path>> m_linked;
};

}  // namespace vantrel
