#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/Texts.h"
#include "engine/records/RecordDatabase.h"
#include "platform/Clock.h"

namespace vantrel {

// What started a run.
enum class RunTrigger { Timetable, CatchUp, Manual, CommandLine };

// How a run ended. Missed: a fire instant passed with no run; CaughtUp: such an instant that
// a later catch-up run has covered; Running: the run is under way (its row is written when it
// starts), or it was killed and no later run has looked at it yet.
enum class RunOutcome {
    Success,
    Incomplete,
    Failed,
    Refused,
    Cancelled,
    Missed,
    CaughtUp,
    Running
};

// The message of a run that never ended (the process was killed, crashed or lost its power):
// a later run of the job finds its row still running and marks it failed with this.
inline constexpr std::string_view kRunInterrupted =
    "运行未正常结束（程序被强行结束、崩溃或断电），本次没有完成备份";

struct RunRecord {
    std::int64_t id = 0;
    LocalTime started{};
    LocalTime ended{};
    RunTrigger trigger = RunTrigger::Manual;
    RunOutcome outcome = RunOutcome::Success;
    std::string message;  // the failure's or refusal's text, or what was left out (UTF-8)
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;
    std::string targetPath;                // TargetPath of the copy, when one was made
    std::optional<LocalTime> fireInstant;  // the timetable's instant the row answers
    std::uint64_t pruneFailures = 0;       // old copies that could not be deleted
    // What the copy changed against the previous one: files added, modified, deleted;
    // none when the run made no copy or they were not counted.
    std::optional<std::array<std::uint64_t, 3>> changes;

    // A copy with everything in it.
    bool complete() const { return outcome == RunOutcome::Success; }
};

// Stored names, as kept in the table, and the Chinese words shown for them.
std::string_view storedName(RunTrigger trigger);
std::string_view storedName(RunOutcome outcome);
std::string_view displayName(RunTrigger trigger);
// The trigger of a stored name; Manual for one it does not know.
RunTrigger triggerFrom(std::string_view stored);
std::string_view displayName(RunOutcome outcome);

// A row as `vantrel-cli history` and the window show it: start and end (yyyy-mm-dd hh:mm:ss),
// trigger, outcome, files, bytes, copy path, "新增 A 个，修改 B 个，删除 C 个" (empty when the
// run made no copy or did not count), and the message (empty when none).
std::vector<std::string> shownFields(const RunRecord& record);

// Every run of the job, in table `run_history` of the record database beside the copies'
// table, which it leaves alone.
class RunHistory {
public:
    // Opens the record database (creating it with its copies' table when missing) and adds
    // the history table when it is not there yet. Throws BackupError naming the file.
    explicit RunHistory(const std::filesystem::path& dbFile);
    // A view of the history in `records`, whose history table it adds when missing.
    explicit RunHistory(RecordDatabase& records);

    std::int64_t add(const RunRecord& record);
    // Writes `record` inside whatever transaction the database has open, and returns its id:
    // over row `record.id`, else over the row the same run wrote at its start (same start
    // and trigger, still running or marked interrupted since), else as a new row. Throws
    // DatabaseError.
    std::int64_t write(const RunRecord& record);
    // Rewrites the row `record.id` (written at the run's start or with its copy) as the run
    // ended; writes it again when it is gone.
    void update(const RunRecord& record);
    // Marks every row still running, but `current`, failed with kRunInterrupted. Only a run
    // that holds the job's run lock may call it: no other run of the job is under way.
    void markInterrupted(std::int64_t current);
    // Newest first; all rows when `limit` is 0.
    std::vector<RunRecord> list(std::size_t limit = 0);

    // Rows that started later than `now` (written while the clock ran ahead) are no evidence
    // of a run done, a copy made or an instant missed: the queries below that take `now`
    // leave them out.

    // The newest row of a run that was tried (not missed, caught up or cancelled).
    std::optional<RunRecord> lastRun(LocalTime now);
    std::optional<RunRecord> lastComplete(LocalTime now);
    // Complete runs up to `now`, newest first.
    std::vector<RunRecord> completeRuns(LocalTime now);
    // The oldest row's start: when the job began keeping history.
    std::optional<LocalTime> firstStarted();
    // Whether any row answers the fire instant.
    bool answers(LocalTime fireInstant);
    // Missed rows of instants in (after, now] that are not covered yet.
    std::vector<LocalTime> missedAfter(LocalTime after, LocalTime now);
    // Catch-up runs started in (after, now], newest first.
    std::vector<RunRecord> catchUpsAfter(LocalTime after, LocalTime now);
    // Marks the missed rows of instants up to `upTo` as caught up.
    void markCaughtUp(LocalTime upTo);

private:
    std::vector<RunRecord> query(std::string_view where, std::string_view order, std::size_t limit,
                                 std::optional<LocalTime> bound,
                                 std::optional<LocalTime> now = std::nullopt);

    RecordsRef m_records;
};

}  // namespace vantrel
