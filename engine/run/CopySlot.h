#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/places/RunTarget.h"
#include "engine/records/BackupRecordStore.h"
#include "engine/records/CopyJournal.h"
#include "engine/run/Workspace.h"
#include "platform/RunLock.h"

namespace vantrel {

// Added to the history row of a run that was killed after its copy took the dated name, when
// a later run records it.
inline constexpr std::string_view kFinishedLater = "运行在记录完成前中断，由之后的一次运行补记";

// The place where one job's copy for one dated path is made and put in: the staging and
// set-aside folders beside the dated path, the lock on that path, and the journal that lets
// the next run finish or undo a run killed while the dated name changes hands.
//
// Names: ".vantrel-<job>-<yyyymmdd>.new" (staging) and ".old" (set aside), in the target
// folder, where <job> is eight hex digits from the working directory's path. They are as long
// whatever the source is called, and two jobs never share one.
class CopySlot {
public:
    // Steps of putting a copy in, for tests that stop a run between two of them.
    enum class Step { Journaled, SetAside, Swapped, Logged, Recorded };
    using StepHook = std::function<void(Step)>;

    // Locks the run's dated path for it. Throws BackupBusy while another run holds it.
    CopySlot(Workspace& ws, BackupRecordStore& store, const RunTarget& run);

    // Finishes or undoes what earlier runs of this job left in the journal, then removes this
    // job's stale staging and set-aside folders of any date in the target folder.
    void recover();

    const std::filesystem::path& staging() const { return m_staging; }
    const std::filesystem::path& target() const { return m_target; }

    // Puts the staged copy under the dated name: flushed, journaled (with `manifest`, the
    // encoded manifest, and `run`, the run's history row as the copy ends it), swapped with
    // the copy it replaces (or that one moved aside), the folder flushed, the line logged, and
    // the row recorded in one transaction with the run's exclusion rules, the manifest and the
    // history row; the replaced copy is removed last. A run killed after the journal entry is
    // finished by the next one, manifest and history row included. Throws BackupError,
    // having removed the staging, when the copy could not take the dated name.
    Committed commit(const std::string& logLine, const std::string& date,
                     const std::vector<FailedEntry>& failed, std::string_view manifest = {},
                     std::optional<RunRecord> run = std::nullopt);

    // Removes the staging folder.
    void discard();

    void setStepHook(StepHook hook) { m_hook = std::move(hook); }

    // The lock file for the dated path `target`, in its folder: one for all dates of a name.
    static std::filesystem::path lockFileFor(FileOps& files, const std::filesystem::path& target);

private:
    void step(Step s) {
        if (m_hook) {
            m_hook(s);
        }
    }
    void finish(JournalEntry entry);
    void undo(const JournalEntry& entry);

    Workspace& m_ws;
    BackupRecordStore& m_store;
    CopyJournal m_journal{m_store.records()};
    std::filesystem::path m_target;
    std::string m_targetText;
    std::string m_rules;   // the exclusion rules the copy is made with
    std::string m_source;  // the source it is made from, as its row records it
    std::filesystem::path m_folder;
    std::filesystem::path m_staging;
    std::filesystem::path m_aside;
    std::string m_job;
    std::optional<RunLock> m_lock;
    StepHook m_hook;
};

}  // namespace vantrel
