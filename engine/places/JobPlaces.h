#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "engine/BackupSettings.h"
#include "engine/records/BackupRecordStore.h"
#include "engine/rules/Retention.h"
#include "engine/run/Workspace.h"

namespace vantrel {

// The places of the job a working directory holds, resolved once from its settings: the
// source as written and as its links lead, the name its copies carry, and the job's key.
struct JobPlaces {
    std::string sourceText;            // SourcePath as set (UTF-8)
    std::filesystem::path source;      // absolute, normalised, without a trailing separator
    std::filesystem::path realSource;  // the same with links followed, where it exists
    std::string stem;                  // the source's last component, as its copies are named
    std::string key;                   // eight hex digits naming the job (its working directory)

    // The text a copy's record keeps of the source it was made from.
    std::string recordedSource() const;
    // Whether `record` is a copy of this source: its recorded source is this one (as written,
    // or through links); a row of an earlier version, which records none, when its name is
    // "<stem>_yyyymmdd".
    bool madeFrom(FileOps& files, const BackupRecord& record) const;
};

// Whether the source recorded as `recorded` is `source`: as written, or through links.
bool sameSource(FileOps& files, std::string_view recorded, const std::filesystem::path& source);

// Whether the copy of `record`, at `place`, lies where pruning may delete: in the scope's
// folder under its name, and not recorded as made from another source.
bool recordInScope(FileOps& files, const BackupRecord& record, const std::filesystem::path& place,
                   const PruneScope& scope);

// The job's key: eight hex digits naming the working directory `workDir` as the file system
// knows it (links followed; on Windows one separator and one case), so that every spelling
// of one folder names one job. Its lock, mark, staging names, system task and single window
// all carry it.
std::string jobKey(FileOps& files, const std::filesystem::path& workDir);

// The form every spelling of one path shares: links resolved where they exist, and on
// Windows one separator and one case.
std::string canonicalKey(FileOps& files, const std::filesystem::path& p);
// `digits` hex digits of FNV-1a over `text`: stable across runs and builds, which the names
// made of it need.
std::string stableHash(std::string_view text, int digits);

// The places of the job `settings` describe. A source written relative to the working
// directory counts from there.
JobPlaces placesOf(const Workspace& ws, const TBackupSettings& settings);

}  // namespace vantrel
