#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/BackupSettings.h"
#include "platform/FileOps.h"

namespace vantrel {

// Which copies pruning keeps: the one rule that pruning follows, that the free-space check
// uses to say what pruning would free, and that the prune preview shows.

// How many copies a keep count keeps: the count rounded up, so rounding never deletes more
// copies than were asked to be kept; none when absent or below 1, which prunes nothing.
std::optional<std::size_t> copiesToKeep(std::optional<double> keepValue);

// Where a row says its copy is, in the two forms that tell one place: the key of its spelling,
// and the identity of what is there, when anything is.
struct Place {
    std::string key;
    std::optional<FileId> id;

    friend bool samePlace(const Place& a, const Place& b) {
        return a.key == b.key || (a.id && a.id == b.id);
    }
};
Place placeOf(FileOps& files, const std::filesystem::path& path);

// Where pruning may delete on disk: directly in the current target folder, under the
// current source's name followed by "_" and eight digits.
struct PruneScope {
    std::filesystem::path targetFolder;  // absolute
    std::string copyStem;                // the source's last component (UTF-8)
    // The source the copies are made from (absolute); a copy recorded as made from another
    // is out of scope, and the newest copy holding a file the source still has is never
    // deleted. Empty: any copy, none protected for that reason.
    std::filesystem::path source = {};
};

// Whether the copy at `copy` holds a file (or link, or special file) that `source` still holds
// at the same path. Reads until the first one found.
bool holdsFileOfSource(FileOps& files, const std::filesystem::path& copy,
                       const std::filesystem::path& source);

// Whether a copy at `place` lies where pruning may delete it.
bool inPruneScope(FileOps& files, const std::filesystem::path& place, const PruneScope& scope);

// What pruning keeps: the newest complete copies, and besides them the oldest complete copy
// of each of the most recent calendar months and years that hold one.
struct RetentionPolicy {
    std::size_t newest = 1;   // the keep count, rounded up
    std::size_t monthly = 0;  // months (this one included) whose oldest complete copy is kept
    std::size_t yearly = 0;   // likewise for calendar years
};

// The settings' policy; none without a keep count of at least 1, which prunes nothing.
std::optional<RetentionPolicy> retentionOf(const TBackupSettings& settings);

// One recorded copy as retention sees it.
struct RetentionRow {
    bool complete = true;
    Place place;
    // Directly in the current target folder, under the current source's name and a date:
    // only such a copy counts toward the policy and is ever deleted on disk. Any other row
    // (a copy in the target folder used before, on a disk not plugged in now) is kept, so
    // the copy stays listed and restorable and is the job's own again when the folder returns.
    bool inScope = false;
    std::optional<std::chrono::year_month_day> date;  // the run's; none when unreadable
    bool pinned = false;                              // kept for good by the user
    bool held = false;                                // held back from pruning by a guard
    // Holds a file the source still has. Only the newest such copy counts, so the caller may
    // stop looking once it has found one.
    bool holdsSourceFiles = false;
};

enum class Fate {
    Kept,        // the row stays
    Superseded,  // a newer row names its place: the row goes, the copy (the newer row's) stays
    Forgotten,   // the row goes; its copy is left on disk (out of scope, or a kept row's)
    Deleted,     // its copy is deleted, then the row goes
};

// Why a row is kept; one row may have several reasons.
struct KeepReasons {
    bool newest = false;     // among the newest complete copies (or newer than the oldest of them)
    bool monthly = false;    // the oldest complete copy of one of the months kept
    bool yearly = false;     // the oldest complete copy of one of the years kept
    bool pinned = false;     // kept for good
    bool held = false;       // a guard holds it
    bool elsewhere = false;  // outside the current target folder, where nothing is deleted
    // The newest copy that holds files the source still has, whatever the copies after it
    // hold (rules that leave them out, a source emptied by hand).
    bool lastWithSourceFiles = false;

    bool any() const {
        return newest || monthly || yearly || pinned || held || elsewhere || lastWithSourceFiles;
    }
};

struct Verdict {
    Fate fate = Fate::Forgotten;
    KeepReasons reasons;  // for a kept row
    // For a superseded row: the newer row that names its place.
    std::size_t supersededBy = 0;
};

// The verdict on each row, given newest first. Rows out of scope are kept and count for
// nothing. Keeps the newest `policy.newest` complete copies in scope that are not pinned and
// every copy newer than the oldest of them; with fewer
// complete copies than that, every complete copy and as many of the newest incomplete ones.
// Keeps too the oldest complete copy of each of the `monthly` most recent calendar months
// holding one, likewise for years, every pinned or held copy, and the newest copy in scope
// that holds files the source still has. A pin or hold on a superseded row passes to the row
// that names its place now. Pure.
std::vector<Verdict> selectPrunable(const std::vector<RetentionRow>& newestFirst,
                                    const RetentionPolicy& policy);

// What the prune preview says of a copy: each reason it is kept ("保留（最近 2 个）",
// "保留（每月）", "保留（每年）", "保留（永久保留）", "保留（异常变化保护）",
// "保留（来自以前的源或目标文件夹，不会删除）", "保留（最后一个含有源中现有文件的备份）",
// joined by "；"), or "将删除".
std::string verdictText(const Verdict& verdict, const RetentionPolicy& policy);
// The preview's word for every copy when no keep count is set, which prunes nothing.
inline constexpr std::string_view kKeptWithoutKeepCount = "保留（未设备份个数，不清理）";

}  // namespace vantrel
