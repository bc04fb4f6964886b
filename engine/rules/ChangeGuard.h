#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "engine/manifest/CopyEntries.h"
#include "engine/manifest/Manifest.h"
#include "engine/run/Workspace.h"
#include "platform/Clock.h"

namespace vantrel {

// The guard against mass changes. After ransomware or a mass deletion, ordinary runs would
// rotate every good copy out; a run whose copy changed or deleted at least half of the files
// of the job's previous complete copy, and at least 20 of them, instead holds pruning back
// (nothing older than its copy goes) until the user confirms the changes.
inline constexpr std::uint64_t kMassChangeFloor = 20;

// Whether the counts, taken against the previous complete copy, are a mass change.
bool isMassChange(const ChangeCounts& sinceComplete);
// "本次备份发现 N 个文件被修改或删除（占上一个备份的
// X%），为防止误删或勒索软件造成损失，旧备份暂不清理， 请确认这些变化。"
std::string massChangeWarning(const ChangeCounts& sinceComplete);
// What confirming says, when there was something to confirm and when there was not.
inline constexpr std::string_view kChangesConfirmed = "已确认这些变化，旧备份将照常清理";
inline constexpr std::string_view kNothingToConfirm = "没有待确认的变化";
// The health's reason while a hold waits for the user.
inline constexpr std::string_view kHoldReason = "大量文件被修改或删除，旧备份暂不清理，待确认";

// What a new copy changed: against the job's previous copy (what `changes` lists), and
// against its previous complete copy (what the guard measures; most often the same copy).
struct CopyChanges {
    ChangeCounts sincePrevious;
    std::optional<ChangeCounts> sinceComplete;  // none when no earlier complete copy exists
};

// Compares the new copy at `newCopy`, whose manifest's BLOB the run holds as `newManifest`
// (read on disk when null), with the job's earlier copies on disk. Every manifest is read
// entry by entry, never held decoded.
// Only copies made from the source `settings` name count.
CopyChanges measureNewCopy(const Workspace& ws, const TBackupSettings& settings,
                           const std::filesystem::path& newCopy, const std::string* newManifest);

// A hold on pruning, set by the run that saw the changes.
struct ChangeHold {
    std::int64_t recordId = 0;  // the row of that run's copy: copies older than it are kept
    LocalTime started{};        // when that run started
    std::uint64_t changed = 0;  // files changed or deleted
    std::uint64_t filesBefore = 0;
};

class RecordDatabase;

// The holds, in table vantrel_change_hold of the record database, until confirmed.
class ChangeGuard {
public:
    // Opens an existing record database. Throws BackupError naming the file.
    explicit ChangeGuard(const std::filesystem::path& dbFile);
    // A view of the holds in `records`.
    explicit ChangeGuard(RecordDatabase& records);
    ~ChangeGuard();

    void hold(const ChangeHold& hold);
    // The oldest hold not yet confirmed.
    std::optional<ChangeHold> active();
    // Confirms every hold; returns how many were waiting. Later runs prune as before.
    std::size_t confirm(LocalTime when);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// The job's hold waiting to be confirmed; none without a record database, which is not made.
std::optional<ChangeHold> activeHold(const Workspace& ws);

}  // namespace vantrel
