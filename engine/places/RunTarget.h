#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

#include "engine/BackupSettings.h"
#include "engine/places/JobPlaces.h"
#include "engine/rules/Exclusions.h"
#include "engine/rules/Retention.h"
#include "engine/run/Workspace.h"
#include "platform/Clock.h"

namespace vantrel {

// Why a run was refused before it copied anything.
enum class RefusalReason {
    NoSource,            // no source was set
    NoTarget,            // no target folder was set
    TargetInsideSource,  // the copy would land inside what it copies
    Settings,            // the settings fail the save command's checks
    Busy,                // another run of the working directory holds its lock
};

// A refusal and the text the user was shown for it.
struct Refusal {
    RefusalReason reason;
    std::string text;
};

// Where a run's copy goes: the target folder, and which copies in it are this job's. Pruning,
// sharing and the listing of copies ask it the one question.
struct Destination {
    std::filesystem::path folder;  // absolute, normalised
    PruneScope scope;              // this job's copies in the folder: where pruning may delete

    // Whether the copy of `record`, at `place`, is one of this job's copies here: in this
    // folder (or an alias of it) under this source's name, and not recorded as made from
    // another source.
    bool owns(FileOps& files, const BackupRecord& record,
              const std::filesystem::path& place) const {
        return recordInScope(files, record, place, scope);
    }
};

// What one run copies where, resolved once from the settings and the clock at its start;
// every step of the run takes its paths, names and date from here.
struct RunTarget {
    LocalTime started{};
    JobPlaces places;                 // the job's source and key, resolved once
    std::string sourceText;           // SourcePath as set (UTF-8), as the log names it
    std::filesystem::path source;     // resolved in the working directory, a link followed
    std::filesystem::path target;     // the dated path of the copy, normalised
    std::string targetText;           // TargetPath as recorded and logged (UTF-8)
    std::string stem;                 // the source's last component, as its copies are named
    std::string dateDigits;           // "yyyymmdd" of the start
    std::string date;                 // "yyyy-mm-dd" of the start, as the records keep it
    std::chrono::year_month_day day;  // the same date
    std::optional<RetentionPolicy> retention;  // what pruning keeps; none when it keeps all
    Exclusions exclusions;                     // what the copy leaves out

    // The folder the copy lands in.
    std::filesystem::path targetFolder() const { return target.parent_path(); }
    // Where pruning may delete: this folder, copies of this source.
    PruneScope pruneScope() const { return {targetFolder(), stem, places.source}; }
    // The folder and this job's copies in it.
    Destination destination() const { return {targetFolder(), pruneScope()}; }
};

// A run's target, or why there is none.
struct ResolvedRun {
    RunTarget target;
    std::optional<Refusal> refusal;
};

// The target of a run starting at `when`. Refused: an empty source or target folder, and a
// target inside the source, as written, with links resolved, or through an alias of the
// source such as a bind mount (copying a folder into itself would never end). Throws
// BackupError naming a malformed exclusion rule.
ResolvedRun resolveRun(const Workspace& ws, const TBackupSettings& settings, LocalTime when);

// The run's message for a target inside the source.
std::string_view targetInsideSourceMessage();

// Whether the run would refuse the settings because the target lies inside the source,
// resolved as a run resolves it.
bool targetInsideSource(const Workspace& ws, const TBackupSettings& settings);

// Rejects the settings the run would refuse because the target lies inside the source.
// Shows the run's message and returns false then.
bool checkTargetOutsideSource(Workspace& ws, const TBackupSettings& settings);

}  // namespace vantrel
