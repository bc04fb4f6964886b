#pragma once

#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "engine/BackupSettings.h"
#include "engine/Texts.h"
#include "engine/records/RunHistory.h"
#include "engine/rules/JobHealth.h"
#include "engine/run/BackupRun.h"
#include "engine/run/Workspace.h"
#include "platform/Http.h"
#include "platform/RunLock.h"

namespace vantrel {

// A run the job is asked to make.
struct RunRequest {
    RunTrigger trigger = RunTrigger::Manual;
    PruneAfterRun prune = PruneAfterRun::No;
    // Check the settings as the save command does before copying (no day ticked, no keep
    // count: refused), not only what the copy itself needs.
    bool checkSettings = false;
    std::optional<LocalTime> fireInstant;  // the timetable's instant it answers

    // The run each trigger makes. Every run needs a source and a target, the target outside
    // the source. The timetable and its catch-up prune (their settings were checked when the
    // timetable started); the window's 手动执行备份 only copies what the fields say;
    // vantrel-cli backup, which the system's scheduler drives in place of a timetable, checks
    // the settings first and prunes.
    static RunRequest forTrigger(RunTrigger trigger,
                                 std::optional<LocalTime> fireInstant = std::nullopt);
};

// How a run ended, as recorded in the history.
struct RunResult {
    RunRecord record;
    RunReport report;
    std::exception_ptr error;  // the failure to show (BackupBusy too); none for success,
                               // a refusal of the settings or a cancel
};

// Why a second timetable of one working directory does not start.
inline constexpr std::string_view kTimetableElsewhere =
    "此工作目录的备份计划已在另一个窗口或 vantrel-cli schedule 中运行，不再启动第二个";

// Status texts of a run.
inline constexpr std::string_view kCountingStatus = "正在统计……";

// One backup job: a working directory's settings, run lock, history and timetable. Both
// front ends feed it ticks and settings and show what it reports.
class BackupJob {
public:
    explicit BackupJob(Workspace& ws) : m_ws(ws) {}
    ~BackupJob();
    BackupJob(const BackupJob&) = delete;
    BackupJob& operator=(const BackupJob&) = delete;

    Workspace& workspace() { return m_ws; }

    // Saves the settings; when they are refused, neither starts nor says so and returns
    // false. Otherwise starts (even when the file could not be written), shows "启动备份计划"
    // and returns true. Throws BackupError as startTimetable does.
    bool StartSchedule(const TBackupSettings& settings);
    // Why a timetable with these settings could never succeed (the save command's checks);
    // none when it can start.
    std::optional<std::string> timetableRefusal(const TBackupSettings& settings) const;
    // Starts without saving the settings (at launch, and on the command line); the
    // start time counts as the previous tick. Does nothing while started. Throws BackupError
    // (kTimetableElsewhere) when a timetable of this working directory runs in another window
    // or process: two would both run at each fire instant.
    void startTimetable();
    // Stops and shows "终止备份计划".
    void StopSchedule();
    bool started() const { return m_started; }

    // One tick's decision: the run due now, if any. A fire instant of a
    // ticked day is due when it lies in (previous tick, now] and at most 60 s before now; an
    // instant already run never runs twice, and a clock set back does not stop the timetable.
    // Instants that passed without a run are recorded as missed; with catch-up on, one
    // catch-up run follows 2 minutes after the start or after a jump of the clock, retried
    // after 15 minutes, 1 hour and 4 hours when it fails. With catch-up on, a run that found
    // the backup disk not connected is made again at the first tick that finds its mark.
    std::optional<RunRequest> isDue(const TBackupSettings& settings);

    // The tick handler where nothing else waits: when due, makes the run and records it. A
    // failure is recorded, then thrown.
    std::optional<RunResult> CheckSchedule(const TBackupSettings& settings,
                                           const RunControl& control = {});

    // Counts the source, makes the run and records its outcome. Touches only the files and
    // the database, so it may run on a worker thread while the owner keeps the timetable.
    RunResult execute(const TBackupSettings& settings, const RunRequest& request,
                      const RunControl& control = {});
    // Takes note of a run's end, on the owner's thread.
    void finished(const RunResult& result);

    // The job's health now; the next run is given when the timetable is on here or in
    // another process of the same working directory. The record database is checked page by
    // page on the first call and then once a day; damage found makes a healthy job a warning.
    JobHealth health(const TBackupSettings& settings);
    // A disk was plugged in or removed (on Windows, WM_DEVICECHANGE): the next tick looks for
    // the backup disk wherever its volume is now, not only at its folder.
    void disksChanged() { m_disksChanged = true; }
    // When the next catch-up run is planned.
    std::optional<LocalTime> plannedCatchUp() const { return m_catchUpAt; }

    // Whether a timetable of this working directory runs in another process.
    static bool timetableRunsElsewhere(const Workspace& ws);

    // Where alerts are posted; the system's client when none is set.
    void setHttp(HttpClient* http) { m_http = http; }

private:
    RunResult runAndRecord(const TBackupSettings& settings, const RunRequest& request,
                           const RunControl& control);
    void alertAbout(const TBackupSettings& settings, const RunResult& result);

    void sweepMissed(const TBackupSettings& settings, LocalTime upTo);
    std::optional<LocalTime> planCatchUp(LocalTime armedAt);
    void releaseTimetableLock();

    Workspace& m_ws;
    bool m_started = false;
    std::optional<LocalTime> m_lastTick;
    std::set<LocalTime> m_fired;         // instants run by this timetable
    LocalTime m_sweptUntil{};            // instants up to here have been looked at for missed runs
    std::optional<LocalTime> m_armedAt;  // start, or the jump, a catch-up counts from
    bool m_replan = false;
    std::optional<LocalTime> m_catchUpAt;
    std::optional<RunLock> m_timetableLock;
    // The catch-up attempts for one set of missed instants (named by its newest), kept here
    // as well as in the history, which may not take them.
    struct CatchUpTries {
        LocalTime forInstant{};
        std::size_t attempts = 0;
        LocalTime lastEnded{};
        bool copied = false;  // one made a copy: the set is done
    };
    std::optional<CatchUpTries> m_tries;
    // The record database's last quick check, made at most once a day by one job.
    std::optional<LocalTime> m_checkedAt;
    std::optional<std::string> m_databaseDamage;
    std::optional<LocalTime> m_catchUpFor;  // the set the catch-up now due answers
    bool m_waitingForDisk = false;          // the last run found the backup disk not connected
    bool m_disksChanged = false;            // a disk came or went since the last tick
    std::optional<LocalTime> m_diskTried;   // when a run last went for the disk that came back
    // Alerts: the client, the last unattended failure told, the last failure to send shown.
    HttpClient* m_http = nullptr;
    std::unique_ptr<HttpClient> m_ownHttp;
    std::string m_lastAlertedFailure;
    std::string m_alertFailureShown;
};

}  // namespace vantrel
