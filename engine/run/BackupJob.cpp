#include "engine/run/BackupJob.h"

#include "engine/places/TargetMark.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <memory>

#include "engine/BackupError.h"
#include "engine/Settings.h"
#include "engine/manifest/CopyChecks.h"
#include "engine/notice/Alert.h"
#include "engine/notice/Notice.h"
#include "engine/records/OperationLog.h"
#include "engine/rules/ChangeGuard.h"
#include "engine/rules/Schedule.h"
#include "platform/StayAwake.h"
#include "platform/TextCodec.h"

namespace vantrel {

namespace {

using std::chrono::hours;
using std::chrono::minutes;
using std::chrono::seconds;

// A tick later than this after a fire instant no longer makes that run.
constexpr seconds kMaxLateness{60};
// A gap between ticks longer than this means the machine slept or the clock jumped.
constexpr seconds kClockJump{90};
// How far back a start looks for fire instants that passed without a run.
constexpr std::chrono::days kMissedLookBack{14};
// The catch-up waits this long after the start or the jump, then retries after these.
constexpr minutes kCatchUpDelay{2};
constexpr std::array<minutes, 3> kCatchUpRetries{minutes{15}, hours{1}, hours{4}};

std::filesystem::path timetableLockFile(const Workspace& ws) {
    return ws.dir / "vantrel.timetable.lock";
}

}  // namespace

RunRequest RunRequest::forTrigger(RunTrigger trigger, std::optional<LocalTime> fireInstant) {
    RunRequest request{trigger, PruneAfterRun::IfKeepCountSet, false, fireInstant};
    switch (trigger) {
        case RunTrigger::Timetable:
        case RunTrigger::CatchUp:
            break;
        case RunTrigger::Manual:
            request.prune = PruneAfterRun::No;
            break;
        case RunTrigger::CommandLine:
            request.checkSettings = true;
            break;
    }
    return request;
}

BackupJob::~BackupJob() = default;

std::optional<std::string> BackupJob::timetableRefusal(const TBackupSettings& settings) const {
    if (auto message = validateSettings(settings)) {
        return message;
    }
    if (targetInsideSource(m_ws, settings)) {
        return std::string(targetInsideSourceMessage());
    }
    return std::nullopt;
}

bool BackupJob::StartSchedule(const TBackupSettings& settings) {
    if (!SaveSettings(m_ws, settings)) {
        return false;
    }
    startTimetable();
    m_ws.ui.setStatus("启动备份计划");
    return true;
}

void BackupJob::startTimetable() {
    // A start while started keeps the timer's period; the span of the next tick stays as it was.
    if (m_started) {
        return;
    }
    // Tells other processes of this working directory that a timetable runs here; one that
    // already does refuses this start. A lock file that cannot be made does not stop it.
    std::optional<RunLock> lock;
    bool heldElsewhere = false;
    try {
        lock = RunLock::tryAcquire(timetableLockFile(m_ws));
        heldElsewhere = !lock;
    } catch (const std::exception&) {
    }
    if (heldElsewhere) {
        throw BackupError(std::string(kTimetableElsewhere));
    }
    m_timetableLock = std::move(lock);
    const LocalTime now = m_ws.clock.now();
    m_started = true;
    m_lastTick = now;
    m_armedAt = now;
    m_replan = true;
    m_catchUpAt.reset();
    // Instants before the job kept any history, or before its last complete copy, are not
    // missed runs.
    m_sweptUntil = now;
    try {
        const auto records = openOrMakeRecords(m_ws);
        RunHistory history(*records);
        if (const auto first = history.firstStarted()) {
            // A first row later than now (the clock ran ahead) hides nothing before it.
            m_sweptUntil = std::max(std::min(*first, now), now - kMissedLookBack);
            if (const auto complete = history.lastComplete(now)) {
                m_sweptUntil = std::max(m_sweptUntil, complete->started);
            }
        }
        const auto last = history.lastRun(now);
        m_waitingForDisk = last && last->outcome == RunOutcome::Failed &&
                           last->message.find(kNotConnectedWord) != std::string::npos;
    } catch (const std::exception&) {
        // Without a history nothing counts as missed; the run reports the database itself.
    }
}

void BackupJob::StopSchedule() {
    m_started = false;
    m_lastTick.reset();
    m_armedAt.reset();
    m_catchUpAt.reset();
    m_replan = false;
    releaseTimetableLock();
    m_ws.ui.setStatus("终止备份计划");
}

void BackupJob::releaseTimetableLock() {
    m_timetableLock.reset();
}

bool BackupJob::timetableRunsElsewhere(const Workspace& ws) {
    // A running timetable holds the lock file, so without one none runs; none is made here.
    if (!ws.files.stat(timetableLockFile(ws), true)) {
        return false;
    }
    try {
        return !RunLock::tryAcquire(timetableLockFile(ws)).has_value();
    } catch (const std::exception&) {
        return false;
    }
}

std::optional<RunRequest> BackupJob::isDue(const TBackupSettings& settings) {
    if (!m_started) {
        return std::nullopt;
    }
    const LocalTime now = m_ws.clock.now();
    const LocalTime previous = m_lastTick.value_or(now);
    m_lastTick = now;
    if (now - previous > kClockJump) {
        // Woken from sleep, or the clock was put forward: a missed run may follow soon.
        m_armedAt = now;
        m_replan = true;
    } else if (now < previous) {
        // Set back: instants from here on are looked at again; those already run stay run.
        m_sweptUntil = std::min(m_sweptUntil, now);
    }
    if (settings.SourcePath.empty() || settings.TargetFolder.empty()) {
        return std::nullopt;
    }

    std::optional<RunRequest> due;
    for (const LocalTime fire : fireInstantsBetween(settings, previous, now)) {
        if (now - fire <= kMaxLateness && !m_fired.contains(fire)) {
            due = RunRequest::forTrigger(RunTrigger::Timetable, fire);
        }
    }
    if (due) {
        m_fired.insert(*due->fireInstant);
        // Only recent instants can come round again; the rest need not be kept.
        while (m_fired.size() > 64) {
            m_fired.erase(m_fired.begin());
        }
    }
    if (now - kMaxLateness > m_sweptUntil) {
        sweepMissed(settings, now - kMaxLateness);
    }
    if (due) {
        return due;
    }

    if (!settings.CatchUpMissed) {
        return std::nullopt;
    }
    // The backup disk is back: what it missed is made now (a place that keeps failing, at
    // most once a minute).
    if (m_waitingForDisk && (!m_diskTried || now - *m_diskTried >= std::chrono::minutes{1}) &&
        (targetMarked(m_ws, settings) || (m_disksChanged && !targetNotConnected(m_ws, settings)))) {
        m_waitingForDisk = false;
        m_disksChanged = false;
        m_diskTried = now;
        return RunRequest::forTrigger(RunTrigger::CatchUp);
    }
    m_disksChanged = false;
    if (m_replan) {
        m_replan = false;
        m_catchUpAt = planCatchUp(m_armedAt.value_or(now));
    }
    if (!m_catchUpAt || now < *m_catchUpAt) {
        return std::nullopt;
    }
    // Checked again against the history: another process may have made the copy meanwhile.
    m_catchUpAt = planCatchUp(m_armedAt.value_or(now));
    if (!m_catchUpAt || now < *m_catchUpAt) {
        return std::nullopt;
    }
    m_catchUpAt.reset();
    RunRequest request = RunRequest::forTrigger(RunTrigger::CatchUp);
    // Counted at once, so that a run whose end is never reported still counts.
    if (!m_tries || m_tries->forInstant != *m_catchUpFor) {
        m_tries = CatchUpTries{*m_catchUpFor};
    }
    ++m_tries->attempts;
    m_tries->lastEnded = now;
    return request;
}

void BackupJob::sweepMissed(const TBackupSettings& settings, LocalTime upTo) {
    const auto instants = fireInstantsBetween(settings, m_sweptUntil, upTo);
    m_sweptUntil = upTo;
    if (instants.empty()) {
        return;
    }
    try {
        const auto records = openOrMakeRecords(m_ws);
        RunHistory history(*records);
        bool recorded = false;
        for (const LocalTime fire : instants) {
            if (m_fired.contains(fire) || history.answers(fire)) {
                continue;
            }
            RunRecord missed;
            missed.started = fire;
            missed.ended = fire;
            missed.trigger = RunTrigger::Timetable;
            missed.outcome = RunOutcome::Missed;
            missed.fireInstant = fire;
            history.add(missed);
            recorded = true;
        }
        if (recorded && !m_armedAt) {
            m_armedAt = m_ws.clock.now();
        }
        m_replan = m_replan || recorded;
    } catch (const std::exception&) {
        // A database that cannot be written shows itself at the next run.
    }
}

std::optional<LocalTime> BackupJob::planCatchUp(LocalTime armedAt) {
    const LocalTime now = m_ws.clock.now();
    std::size_t attempts = 0;
    LocalTime lastEnded{};
    LocalTime newest{};
    try {
        // Instants later than now have not passed: they are not missed, whatever a clock that
        // ran ahead recorded.
        const auto records = openOrMakeRecords(m_ws);
        RunHistory history(*records);
        const auto complete = history.lastComplete(now);
        const auto missed = history.missedAfter(complete ? complete->started : LocalTime{}, now);
        if (missed.empty()) {
            return std::nullopt;
        }
        newest = missed.back();
        const auto recorded = history.catchUpsAfter(newest, now);
        attempts = recorded.size();
        if (!recorded.empty()) {
            lastEnded = recorded.front().ended;
        }
    } catch (const std::exception&) {
        return std::nullopt;
    }
    // Attempts this timetable made count even where the history did not take them.
    if (m_tries && m_tries->forInstant == newest) {
        if (m_tries->copied) {
            return std::nullopt;
        }
        if (m_tries->attempts > attempts) {
            attempts = m_tries->attempts;
            lastEnded = m_tries->lastEnded;
        }
    }
    m_catchUpFor = newest;
    // One run for the set, and at most three retries.
    if (attempts == 0) {
        return armedAt + kCatchUpDelay;
    }
    if (attempts > kCatchUpRetries.size()) {
        return std::nullopt;
    }
    return lastEnded + kCatchUpRetries[attempts - 1];
}

std::optional<RunResult> BackupJob::CheckSchedule(const TBackupSettings& settings,
                                                  const RunControl& control) {
    const auto request = isDue(settings);
    if (!request) {
        return std::nullopt;
    }
    RunResult result = execute(settings, *request, control);
    finished(result);
    if (result.error) {
        std::rethrow_exception(result.error);
    }
    return result;
}

RunResult BackupJob::execute(const TBackupSettings& settings, const RunRequest& request,
                             const RunControl& control) {
    RunResult result = runAndRecord(settings, request, control);
    alertAbout(settings, result);
    return result;
}

// Tells the alert address about the run, once it is recorded. A failed alert is written to
// the log, and shown once until one arrives again; it never changes the run's outcome.
void BackupJob::alertAbout(const TBackupSettings& settings, const RunResult& result) {
    if (settings.NotifyUrl.empty()) {
        return;
    }
    try {
        NoticeContext context;
        context.jobDir = pathToUtf8(m_ws.dir);
        context.lastUnattendedFailure = &m_lastAlertedFailure;
        const RunNotice notice = makeNotice(result, context);
        const auto facts = alertFor(result, notice, settings, context.jobDir);
        if (!facts) {
            return;
        }
        if (m_http == nullptr) {
            m_ownHttp = HttpClient::system();
            m_http = m_ownHttp.get();
        }
        const auto epochMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
        const auto failure = sendAlert(*m_http, composeAlert(settings, *facts, epochMs));
        if (!failure) {
            m_alertFailureShown.clear();
            return;
        }
        try {
            OperationLog(m_ws.logFile())
                .Append(formatLocalTime(m_ws.clock.now()) + "   " + *failure);
        } catch (const std::exception&) {
            // the log's own trouble is the run's to tell
        }
        if (*failure != m_alertFailureShown) {
            m_alertFailureShown = *failure;
            m_ws.ui.showMessage(*failure);
        }
    } catch (const std::exception&) {
        // an alert never fails a backup
    }
}

RunResult BackupJob::runAndRecord(const TBackupSettings& settings, const RunRequest& request,
                                  const RunControl& control) {
    // The machine stays awake until the run has ended, whatever its outcome.
    const StayAwake awake;
    RunResult result;
    RunRecord& record = result.record;
    record.started = m_ws.clock.now();
    record.trigger = request.trigger;
    record.fireInstant = request.fireInstant;
    // The run's one record database, shared by every store it writes; opened once the run
    // gets that far, else for its history row.
    std::unique_ptr<RecordDatabase> records;
    try {
        if (request.checkSettings) {
            if (auto message = validateSettings(settings)) {
                m_ws.ui.showMessage(*message);
                result.report.refusal = Refusal{RefusalReason::Settings, *message};
                record.outcome = RunOutcome::Refused;
                record.message = std::move(*message);
                record.ended = record.started;
                return result;
            }
        }
        RunControl counted = control;
        counted.history = &record;
        if (counted.records == nullptr) {
            records = openOrMakeRecords(m_ws);
            counted.records = records.get();
        }
        // The total first, so progress can say how much is left; counted once the run holds
        // its locks, so a refused run does not wait for it. A source that cannot be counted
        // is left to the copy, which reports it.
        counted.countSource = [this, &control](const RunTarget& run) -> std::optional<TreeSize> {
            m_ws.ui.setStatus(kCountingStatus);
            TreeSize total;
            const auto measured = m_ws.files.measureTree(run.source, total, control.cancel,
                                                         run.exclusions.predicate());
            if (control.cancel && control.cancel->load()) {
                throw BackupCancelled();
            }
            m_ws.ui.setProgressTotal(measured.ok() ? total : TreeSize{});
            return measured.ok() ? std::optional<TreeSize>(total) : std::nullopt;
        };
        result.report = RunBackup(m_ws, settings, request.prune, counted);
        const RunReport& report = result.report;
        if (!report.ran) {
            record.outcome = RunOutcome::Refused;
            record.message = report.refusal ? report.refusal->text : std::string();
        } else {
            record.outcome = report.incomplete() ? RunOutcome::Incomplete : RunOutcome::Success;
            if (report.incomplete()) {
                record.message = notCopiedText(report.skipped.size(), report.carried.size());
            }
            record.files = report.copied.files;
            record.bytes = report.copied.bytes;
            record.targetPath = report.targetPath;
            record.pruneFailures = report.pruneFailures.size();
            if (report.changes) {
                record.changes = {report.changes->filesAdded, report.changes->filesModified,
                                  report.changes->filesDeleted};
            }
            for (const auto* warning : {&report.emptySource, &report.massChange}) {
                if (*warning) {
                    record.message += (record.message.empty() ? "" : "；") + **warning;
                }
            }
        }
    } catch (const BackupCancelled& e) {
        record.outcome = RunOutcome::Cancelled;
        if (const char* why = control.cancelReason ? control.cancelReason->load() : nullptr) {
            record.message = why;
        }
        m_ws.ui.setStatus(e.what());
    } catch (const BackupBusy& e) {
        // Refused, and shown as the failure it is to whoever asked for the run.
        record.outcome = RunOutcome::Refused;
        record.message = e.what();
        result.report.refusal = Refusal{RefusalReason::Busy, e.what()};
        result.error = std::current_exception();
    } catch (const std::exception& e) {
        record.outcome = RunOutcome::Failed;
        record.message = e.what();
        result.error = std::current_exception();
    }
    record.ended = m_ws.clock.now();
    try {
        if (control.records == nullptr && !records) {
            records = openOrMakeRecords(m_ws);
        }
        RunHistory history(control.records != nullptr ? *control.records : *records);
        if (record.id != 0) {
            history.update(record);  // written with the copy's row
        } else {
            history.add(record);
        }
        // A copy made covers the instants missed before it.
        if (record.outcome == RunOutcome::Success || record.outcome == RunOutcome::Incomplete) {
            history.markCaughtUp(record.started);
        }
    } catch (const std::exception&) {
        // The run's own failure is what the user needs to see; otherwise the history's.
        if (!result.error) {
            result.error = std::current_exception();
        }
    }
    return result;
}

void BackupJob::finished(const RunResult& result) {
    const RunRecord& record = result.record;
    m_waitingForDisk = record.outcome == RunOutcome::Failed &&
                       record.message.find(kNotConnectedWord) != std::string::npos;
    if (record.trigger == RunTrigger::CatchUp && m_tries) {
        m_tries->lastEnded = record.ended;
        m_tries->copied =
            record.outcome == RunOutcome::Success || record.outcome == RunOutcome::Incomplete;
    }
    // Whatever the outcome, the next catch-up is worked out from the history again.
    if (m_started) {
        m_replan = true;
    }
}

JobHealth BackupJob::health(const TBackupSettings& settings) {
    const bool timetableOn = m_started || timetableRunsElsewhere(m_ws);
    // A job that never ran has no record database yet; judging it makes none.
    const auto records = openRecords(m_ws);
    if (!records) {
        return judgeHealth(std::nullopt, std::nullopt, settings, timetableOn, m_ws.clock.now());
    }
    const LocalTime now = m_ws.clock.now();
    RunHistory history(*records);
    const bool held = ChangeGuard(*records).active().has_value();
    // The newest complete copy that is still there; a newer one that is gone is named. With
    // the backup disk not connected, the records are trusted: its copies are safe on it.
    const std::optional<std::string> notConnected = targetNotConnected(m_ws, settings);
    std::optional<RunRecord> complete;
    std::string lost;
    for (RunRecord& run : history.completeRuns(now)) {
        const std::filesystem::path place = pathFromUtf8(run.targetPath);
        if (run.targetPath.empty() || notConnected || m_ws.files.stat(m_ws.dir / place, false)) {
            complete = std::move(run);  // a row without a path (an earlier version's) is trusted
            break;
        }
        if (lost.empty()) {
            lost = run.targetPath;
        }
    }
    JobHealth health =
        judgeHealth(history.lastRun(now), complete, settings, timetableOn, now, held, lost);
    if (notConnected) {
        health.state = JobHealth::State::Failed;
        health.reason = *notConnected;
    }
    health.lastCheckLine = lastCheckLine(lastCheck(*records, CheckEntry::Kind::Verify));
    // A copy a check or a drill found damaged stays a warning until a check finds it intact.
    if (const auto damagedCopies = copiesFoundDamaged(*records); !damagedCopies.empty()) {
        std::string damaged = "校验发现备份已损坏：";
        for (std::size_t i = 0; i < damagedCopies.size(); ++i) {
            damaged += (i == 0 ? "" : "、") + escapedName(damagedCopies[i]);
        }
        if (health.state == JobHealth::State::Ok) {
            health.state = JobHealth::State::Warning;
            health.reason = damaged;
        } else {
            health.reason += "；" + damaged;
        }
    }
    if (!m_checkedAt || now < *m_checkedAt || now - *m_checkedAt >= std::chrono::days{1}) {
        m_checkedAt = now;
        m_databaseDamage = records->damage();
    }
    if (m_databaseDamage) {
        const std::string damaged = "记录数据库已损坏：" + *m_databaseDamage;
        if (health.state == JobHealth::State::Ok) {
            health.state = JobHealth::State::Warning;
            health.reason = damaged;
        } else {
            health.reason += "；" + damaged;
        }
    }
    return health;
}

}  // namespace vantrel
