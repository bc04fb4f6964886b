#include "engine/records/BackupRecordStore.h"
#include "engine/run/BackupJob.h"

#ifndef _WIN32
#include <sys/mount.h>
#endif

#include <gtest/gtest.h>

#include <fstream>

#include "engine/BackupError.h"
#include "engine/records/OperationLog.h"
#include "engine/records/RunHistory.h"
#include "platform/Database.h"
#include "platform/RunLock.h"
#include "platform/TextCodec.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FakeUi.h"
#include "tests/support/FaultyFileOps.h"
#include "tests/support/TempDir.h"

namespace vantrel {
namespace {

using test::at;

class BackupJobTest : public ::testing::Test {
protected:
    test::TempDir dir;
    test::FaultyFileOps files;
    test::FakeClock clock{at(2014, 5, 15, 9, 59, 49, 500)};  // a Thursday
    test::FakeUi ui;
    Workspace ws{dir.path(), files, clock, ui};
    BackupJob job{ws};
    // Thursdays at 10:00.
    TBackupSettings settings{
        pathToUtf8(dir / "data"), pathToUtf8(dir / "bak"), {10, 0, 0}, {0, 0, 0, 1, 0, 0, 0}, 3};
};

TEST_F(BackupJobTest, DueOnceForEachFireInstantWithinSixtySecondsOfIt) {
    const struct {
        Weekday day;
        int hour;
        unsigned date;           // May 2014: the 15th is a Thursday, the 18th a Sunday
        std::vector<int> ticks;  // ms from that date's fire instant; the first starts the timer
        std::vector<bool> due;
    } cases[] = {
        {Sunday, 10, 18, {-1000, 0}, {true}},
        {Tuesday, 10, 20, {-1000, 0}, {true}},  // its caption ends in a blank
        {Monday, 10, 18, {-1000, 0}, {false}},
        {Thursday, 10, 15, {-1000, -100, 900}, {false, true}},
        {Thursday, 10, 15, {-1000, 100, 600}, {true, false}},     // two ticks in one second
        {Thursday, 10, 15, {-10000, -200, 1100}, {false, true}},  // a tick skips the second
        {Thursday, 10, 15, {-10000, 60000}, {true}},
        {Thursday, 10, 15, {-10000, 61000}, {false}},
        {Thursday, 10, 15, {-5000, 0, -10000, 0}, {true, false, false}},  // clock set back
        {Thursday, 0, 14, {-1000, 0}, {false}},                           // Wednesday's midnight
        {Thursday, 0, 15, {-5000, 30000}, {true}},  // Thursday's, at 23:59:50 that day
    };
    for (const auto& c : cases) {
        settings.Days = {};
        settings.Days[c.day] = true;
        settings.RunTime = {c.hour, 0, 0};
        const LocalTime fire = at(2014, 5, c.date, c.hour ? c.hour - 1 : 23, 59, 50);
        BackupJob timetable{ws};
        clock.set(fire + std::chrono::milliseconds(c.ticks[0]));
        timetable.startTimetable();
        std::vector<bool> due;
        for (std::size_t i = 1; i < c.ticks.size(); ++i) {
            clock.set(fire + std::chrono::milliseconds(c.ticks[i]));
            due.push_back(timetable.isDue(settings).has_value());
        }
        EXPECT_EQ(due, c.due) << "case " << (&c - cases);
    }
    settings.RunTime = {10, 0, 0};
    settings.TargetFolder.clear();  // an empty path never runs
    job.startTimetable();
    clock.advanceSeconds(1);
    EXPECT_FALSE(job.isDue(settings));
}

TEST_F(BackupJobTest, RefusedStartStaysStoppedButAFailedWriteStillStarts) {
    settings.SourcePath.clear();
    EXPECT_FALSE(job.StartSchedule(settings));
    EXPECT_FALSE(job.started());
    EXPECT_EQ(ui.messages, std::vector<std::string>{"请输入要备份的文件地址！"});
    EXPECT_TRUE(ui.statuses.empty());

    settings.SourcePath = "/data";
    std::filesystem::create_directory(ws.configFile());
    EXPECT_TRUE(job.StartSchedule(settings));
    EXPECT_TRUE(job.started());
    EXPECT_EQ(ui.statuses, (std::vector<std::string>{"配置文件保存失败!", "启动备份计划"}));
}

TEST_F(BackupJobTest, CheckScheduleRunsAtTheInstantAndGoesOnAfterAFailure) {
    ASSERT_TRUE(job.StartSchedule(settings));
    clock.advanceSeconds(1);
    EXPECT_THROW(job.CheckSchedule(settings), BackupError);  // no source folder yet
    EXPECT_TRUE(job.started());

    std::filesystem::create_directories(dir / "data");
    test::writeBytes(dir / "data" / "a.txt", "hello");
    clock.set(at(2014, 5, 22, 9, 59, 49, 500));
    job.CheckSchedule(settings);  // a week later, half a second early
    clock.advanceSeconds(1);
    job.CheckSchedule(settings);
    EXPECT_EQ(test::readBytes(dir / "bak" / "data_20140522" / "a.txt"), "hello");
    clock.advanceSeconds(1);
    EXPECT_FALSE(job.CheckSchedule(settings));  // once per instant
}

using std::chrono::minutes;
using std::chrono::seconds;

// A job whose source holds one file, Thursdays at 10:00, and a history that began before.
class JobTest : public BackupJobTest {
protected:
    JobTest() {
        clock.set(at(2014, 5, 15, 12, 0, 0));  // Thursday, two instants unrun
        settings.CatchUpMissed = true;
        std::filesystem::create_directories(dir / "data");
        test::writeBytes(dir / "data" / "a.txt", "hello");
        RunRecord earlier;
        earlier.started = earlier.ended = at(2014, 5, 1, 9, 59, 50);  // a Thursday
        earlier.trigger = RunTrigger::Timetable;
        RunHistory(ws.databaseFile()).add(earlier);
    }

    std::vector<RunRecord> rows() { return RunHistory(ws.databaseFile()).list(); }
    std::vector<RunOutcome> outcomes() {
        std::vector<RunOutcome> result;
        for (const auto& r : rows()) {
            result.push_back(r.outcome);
        }
        return result;
    }
    // Ticks every `step` until `until`; returns the triggers of the runs made, which fail
    // without changing the outcome recorded.
    std::vector<RunTrigger> tickUntil(LocalTime until, seconds step = seconds{30}) {
        std::vector<RunTrigger> made;
        while (clock.now() + step <= until) {
            clock.set(clock.now() + step);
            try {
                if (const auto result = job.CheckSchedule(settings)) {
                    made.push_back(result->record.trigger);
                }
            } catch (const BackupError&) {
                made.push_back(rows().front().trigger);
            }
        }
        return made;
    }
};

TEST_F(JobTest, MissedInstantsAreRecordedAndCaughtUpOnceTwoMinutesAfterTheStart) {
    job.startTimetable();
    EXPECT_EQ(tickUntil(at(2014, 5, 15, 12, 1, 30)), std::vector<RunTrigger>{});
    EXPECT_EQ(outcomes(), (std::vector<RunOutcome>{RunOutcome::Missed, RunOutcome::Missed,
                                                   RunOutcome::Success}));
    EXPECT_EQ(rows()[1].fireInstant, at(2014, 5, 8, 9, 59, 50));
    EXPECT_EQ(tickUntil(at(2014, 5, 15, 12, 2, 0)), std::vector<RunTrigger>{RunTrigger::CatchUp});
    EXPECT_EQ(tickUntil(at(2014, 5, 15, 18, 0, 0), minutes{1}), std::vector<RunTrigger>{});
    EXPECT_EQ(outcomes(), (std::vector<RunOutcome>{RunOutcome::Success, RunOutcome::CaughtUp,
                                                   RunOutcome::CaughtUp, RunOutcome::Success}));
    EXPECT_EQ(rows()[0].targetPath, pathToUtf8(dir / "bak" / "data_20140515"));
    EXPECT_TRUE(std::filesystem::exists(dir / "bak" / "data_20140515" / "a.txt"));

    // A restart finds nothing more to catch up.
    job.StopSchedule();
    BackupJob again{ws};
    again.startTimetable();
    clock.advanceSeconds(200);
    EXPECT_FALSE(again.isDue(settings));
}

TEST_F(JobTest, ASecondTimetableInOneWorkingDirectoryRefusesToStart) {
    job.startTimetable();
    BackupJob second{ws};
    try {
        second.startTimetable();
        ADD_FAILURE() << "a second timetable started";
    } catch (const BackupError& e) {
        EXPECT_EQ(e.what(), std::string(kTimetableElsewhere));
    }
    EXPECT_FALSE(second.started());
    job.StopSchedule();
    second.startTimetable();
    EXPECT_TRUE(second.started());
}

// Instants a clock a year ahead recorded as missed: once the clock is right again they are
// not missed, and the instants really missed get one catch-up, not one a second.
TEST_F(JobTest, MissedInstantsLaterThanNowNeverLoop) {
    clock.set(at(2015, 5, 14, 12, 0, 0));  // a Thursday, a year ahead
    job.startTimetable();
    clock.advanceSeconds(61);
    EXPECT_FALSE(job.isDue(settings));  // records the missed instants of the year ahead
    job.StopSchedule();
    ASSERT_GE(outcomes().size(), 2u);
    ASSERT_EQ(outcomes().front(), RunOutcome::Missed);

    clock.set(at(2014, 5, 15, 12, 0, 0));
    BackupJob corrected{ws};
    corrected.startTimetable();
    int catchUps = 0;
    for (int s = 0; s < 240; ++s) {
        clock.advanceSeconds(1);
        if (const auto result = corrected.CheckSchedule(settings)) {
            catchUps += result->record.trigger == RunTrigger::CatchUp ? 1 : 0;
        }
    }
    EXPECT_EQ(catchUps, 1);
    EXPECT_EQ(corrected.health(settings).lastComplete, rows().front().started);
}

#ifndef _WIN32
// Detaches what a test mounted, however it ends.
struct Unmount {
    std::filesystem::path at;
    ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
};

// A record database the process may only read: each catch-up is refused before it copies,
// and the attempts keep their 15 min / 1 h / 4 h spacing though the history takes none.
TEST_F(JobTest, AReadOnlyDatabaseRefusesCatchUpsBeforeCopyingAndTheBackoffHolds) {
    for (const LocalTime fire : {at(2014, 5, 8, 9, 59, 50), at(2014, 5, 15, 9, 59, 50)}) {
        RunRecord missed;
        missed.started = missed.ended = fire;
        missed.trigger = RunTrigger::Timetable;
        missed.outcome = RunOutcome::Missed;
        missed.fireInstant = fire;
        RunHistory(ws.databaseFile()).add(missed);
    }
    const std::string db = ws.databaseFile().string();
    if (::mount(db.c_str(), db.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        GTEST_SKIP() << "cannot bind-mount here";
    }
    const Unmount unmount{ws.databaseFile()};
    ASSERT_EQ(::mount(nullptr, db.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0);

    job.startTimetable();
    const LocalTime start = clock.now();
    std::vector<long> minutesAfterStart;
    while (clock.now() < start + std::chrono::hours{8}) {
        clock.advanceSeconds(30);
        try {
            job.CheckSchedule(settings);
        } catch (const BackupError& e) {
            EXPECT_NE(std::string(e.what()).find("无法写入"), std::string::npos) << e.what();
            minutesAfterStart.push_back(
                std::chrono::duration_cast<minutes>(clock.now() - start).count());
        }
    }
    EXPECT_EQ(minutesAfterStart, (std::vector<long>{2, 17, 77, 317}));
    EXPECT_FALSE(std::filesystem::exists(dir / "bak"));
}

#endif

TEST_F(JobTest, WithoutCatchUpAMissedInstantIsOnlyRecorded) {
    settings.CatchUpMissed = false;
    job.startTimetable();
    EXPECT_EQ(tickUntil(at(2014, 5, 15, 13, 0, 0)), std::vector<RunTrigger>{});
    EXPECT_EQ(outcomes(), (std::vector<RunOutcome>{RunOutcome::Missed, RunOutcome::Missed,
                                                   RunOutcome::Success}));
}

TEST_F(JobTest, FailedCatchUpIsRetriedAfterQuarterHourHourAndFourHoursThenLeftAlone) {
    std::filesystem::remove_all(dir / "data");  // every run fails
    job.startTimetable();
    const LocalTime start = clock.now();
    std::vector<LocalTime> attempts;
    while (clock.now() < start + std::chrono::hours{30}) {
        clock.advanceSeconds(30);
        try {
            job.CheckSchedule(settings);
        } catch (const BackupError&) {
            attempts.push_back(clock.now());
        }
    }
    ASSERT_EQ(attempts.size(), 4u);
    const auto after = [&](std::size_t i) {
        return std::chrono::duration_cast<minutes>(attempts[i] - attempts[i - 1]).count();
    };
    EXPECT_EQ(attempts[0] - start, minutes{2});
    EXPECT_EQ((std::vector<minutes::rep>{after(1), after(2), after(3)}),
              (std::vector<minutes::rep>{15, 60, 240}));
    EXPECT_EQ(rows().front().outcome, RunOutcome::Failed);
    EXPECT_EQ(rows().front().trigger, RunTrigger::CatchUp);
    EXPECT_EQ(job.health(settings).state, JobHealth::State::Failed);
}

TEST_F(JobTest, ClockJumps) {
    // Last week's copy exists, so nothing is missed before the jump.
    RunRecord lastWeek;
    lastWeek.started = lastWeek.ended = at(2014, 5, 8, 9, 59, 50);
    lastWeek.fireInstant = lastWeek.started;
    RunHistory(ws.databaseFile()).add(lastWeek);

    // Forward over the set time (a wake from sleep): missed, then caught up 2 minutes later.
    clock.set(at(2014, 5, 15, 9, 0, 0));
    job.startTimetable();
    EXPECT_EQ(tickUntil(at(2014, 5, 15, 9, 30, 0)), std::vector<RunTrigger>{});
    clock.set(at(2014, 5, 15, 11, 0, 0));
    EXPECT_FALSE(job.isDue(settings));
    EXPECT_EQ(rows().front().outcome, RunOutcome::Missed);
    EXPECT_EQ(tickUntil(at(2014, 5, 15, 11, 1, 30)), std::vector<RunTrigger>{});
    EXPECT_EQ(tickUntil(at(2014, 5, 15, 11, 2, 0)), std::vector<RunTrigger>{RunTrigger::CatchUp});

    // Back over an instant already run: it is not run again.
    job.StopSchedule();
    BackupJob timetable{ws};
    clock.set(at(2014, 5, 22, 9, 59, 40));
    timetable.startTimetable();
    std::vector<RunTrigger> made;
    for (const auto t : {at(2014, 5, 22, 9, 59, 50), at(2014, 5, 22, 9, 59, 30),
                         at(2014, 5, 22, 9, 59, 50), at(2014, 5, 22, 10, 0, 10)}) {
        clock.set(t);
        if (const auto due = timetable.isDue(settings)) {
            made.push_back(due->trigger);
        }
    }
    EXPECT_EQ(made, std::vector<RunTrigger>{RunTrigger::Timetable});

    // Back from a run dated in the future: the timetable still runs at the true time.
    clock.set(at(2014, 5, 15, 9, 59, 45));
    EXPECT_FALSE(timetable.isDue(settings));
    clock.set(at(2014, 5, 15, 9, 59, 50, 500));
    const auto due = timetable.isDue(settings);
    ASSERT_TRUE(due);
    EXPECT_EQ(due->fireInstant, at(2014, 5, 15, 9, 59, 50));
}

TEST_F(JobTest, HistoryKeepsEveryOutcomeOfARun) {
    const RunRequest byHand = RunRequest::forTrigger(RunTrigger::Manual);
    clock.set(at(2014, 5, 16, 8, 0, 0));
    const RunResult ok = job.execute(settings, byHand);
    EXPECT_FALSE(ok.error);

    TBackupSettings inside = settings;
    inside.TargetFolder = settings.SourcePath + "/bak";
    const RunResult refused = job.execute(inside, byHand);
    EXPECT_FALSE(refused.error);
    EXPECT_EQ(refused.report.refusal.value().reason, RefusalReason::TargetInsideSource);

    std::atomic<bool> cancel{false};
    files.cancelOnCopy = &cancel;
    clock.set(at(2014, 5, 17, 8, 0, 0));
    const std::atomic<const char*> shutdown{kCancelledBySessionEnd};
    RunControl control{&cancel};
    control.cancelReason = &shutdown;
    const RunResult cancelled = job.execute(settings, byHand, control);
    files.cancelOnCopy = nullptr;
    EXPECT_FALSE(cancelled.error);
    EXPECT_FALSE(std::filesystem::exists(dir / "bak" / "data_20140517"));

    {
        auto held = RunLock::tryAcquire(ws.lockFile());
        const RunResult busy =
            job.execute(settings, RunRequest::forTrigger(RunTrigger::CommandLine));
        EXPECT_TRUE(busy.error);
        EXPECT_EQ(busy.report.refusal.value().reason, RefusalReason::Busy);
    }
    std::filesystem::remove_all(dir / "data");
    EXPECT_TRUE(job.execute(settings, byHand).error);

    const auto r = rows();
    ASSERT_EQ(r.size(), 6u);
    const std::vector<std::pair<RunOutcome, RunTrigger>> expected = {
        {RunOutcome::Failed, RunTrigger::Manual},    {RunOutcome::Refused, RunTrigger::CommandLine},
        {RunOutcome::Cancelled, RunTrigger::Manual}, {RunOutcome::Refused, RunTrigger::Manual},
        {RunOutcome::Success, RunTrigger::Manual},   {RunOutcome::Success, RunTrigger::Timetable}};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(std::pair(r[i].outcome, r[i].trigger), expected[i]) << i;
    }
    EXPECT_NE(r[0].message.find("文件备份失败！"), std::string::npos) << r[0].message;
    EXPECT_EQ(r[1].message, "另一个备份正在进行中，请稍后再试！");
    EXPECT_EQ(r[2].message, "已取消：系统关机或注销");
    EXPECT_EQ(r[3].message, "备份文件的目的地址不能位于源地址之内！");
    EXPECT_EQ(r[4].targetPath, pathToUtf8(dir / "bak" / "data_20140516"));
    EXPECT_EQ(r[4].bytes, ok.report.copied.bytes);
    EXPECT_EQ(formatLocalTime(r[4].started), "2014-05-16 08:00:00");
    // Only the successful run wrote a log line.
    EXPECT_EQ(OperationLog(ws.logFile()).LoadLines().size(), 1u);
}

// A run's row is written as it starts: a run killed mid-copy leaves it running, and the next
// run marks it interrupted (and clears the unfinished copy) without touching its own.
TEST_F(JobTest, ARunKilledMidCopyLeavesARowTheNextRunMarksInterrupted) {
    struct Killed {};
    std::vector<RunRecord> duringCopy;
    files.afterCopy = [&] {
        duringCopy = rows();
        throw Killed{};
    };
    EXPECT_THROW(job.execute(settings, RunRequest::forTrigger(RunTrigger::Manual)), Killed);
    files.afterCopy = nullptr;
    ASSERT_EQ(duringCopy.size(), 2u);
    EXPECT_EQ(duringCopy.front().outcome, RunOutcome::Running);
    EXPECT_EQ(rows().front().outcome, RunOutcome::Running);
    EXPECT_EQ(RunHistory(ws.databaseFile()).lastRun(clock.now())->started,
              at(2014, 5, 1, 9, 59, 50));

    clock.set(clock.now() + std::chrono::minutes{5});
    const RunResult next = job.execute(settings, RunRequest::forTrigger(RunTrigger::Manual));
    EXPECT_FALSE(next.error);
    const auto r = rows();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].outcome, RunOutcome::Success);
    EXPECT_EQ(r[0].id, next.record.id);
    EXPECT_EQ(r[1].outcome, RunOutcome::Failed);
    EXPECT_EQ(r[1].message, kRunInterrupted);
    for (const auto& entry : std::filesystem::directory_iterator(dir / "bak")) {
        EXPECT_FALSE(pathToUtf8(entry.path().filename()).ends_with(".new")) << entry.path();
    }
}

// Health believes only what is true now: a copy deleted by hand, and a row a clock running a
// year ahead wrote, are no copies.
TEST_F(JobTest, HealthIgnoresCopiesThatAreGoneAndRowsLaterThanNow) {
    ASSERT_FALSE(job.execute(settings, RunRequest::forTrigger(RunTrigger::Manual)).error);
    EXPECT_EQ(job.health(settings).state, JobHealth::State::Ok);
    std::filesystem::remove_all(dir / "bak" / "data_20140515");
    const JobHealth gone = job.health(settings);
    EXPECT_NE(gone.state, JobHealth::State::Ok);
    EXPECT_EQ(gone.lastComplete, at(2014, 5, 1, 9, 59, 50));  // the copy made before

    RunRecord ahead;
    ahead.started = ahead.ended = at(2015, 5, 15, 12, 0, 0);
    ahead.trigger = RunTrigger::Manual;
    RunHistory(ws.databaseFile()).add(ahead);
    const JobHealth later = job.health(settings);
    EXPECT_EQ(later.lastComplete, at(2014, 5, 1, 9, 59, 50));
    EXPECT_EQ(later.state, JobHealth::State::Overdue);
}

// A damaged page of the record database, in a table no query reads: found by the check health
// makes, and shown as a warning instead of 正常.
TEST_F(JobTest, ADamagedDatabasePageMakesHealthAWarning) {
    ASSERT_FALSE(job.execute(settings, RunRequest::forTrigger(RunTrigger::Manual)).error);
    {
        Database db(ws.databaseFile(), Database::Mode::OpenExisting);
        db.exec("CREATE TABLE filler (x TEXT)");
        db.exec(
            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 400) "
            "INSERT INTO filler SELECT printf('%.100c', 'x') FROM n");
    }
    const auto size = std::filesystem::file_size(ws.databaseFile());
    {
        std::fstream file(ws.databaseFile(), std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(static_cast<std::streamoff>(size - 4096));  // the last page: filler's
        file.write("\xff\xff\xff\xff\xff\xff\xff\xff", 8);
    }
    BackupJob fresh{ws};
    const JobHealth health = fresh.health(settings);
    EXPECT_EQ(health.state, JobHealth::State::Warning);
    EXPECT_EQ(health.reason.rfind("记录数据库已损坏：", 0), 0u) << health.reason;
}

TEST_F(JobTest, EachTriggerChecksAndPrunesByOneRule) {
    // No day ticked and a keep count of one: what each trigger makes of a run.
    settings.Days = {};
    settings.KeepCount = 1;
    const struct {
        RunTrigger trigger;
        RunOutcome outcome;
        std::size_t copiesLeft;
    } cases[] = {
        {RunTrigger::Manual, RunOutcome::Success, 2},       // copies what the fields say
        {RunTrigger::CommandLine, RunOutcome::Refused, 2},  // checks the settings first
        {RunTrigger::CatchUp, RunOutcome::Success, 1},      // prunes
    };
    clock.set(at(2014, 5, 19, 8, 0, 0));
    ASSERT_EQ(job.execute(settings, RunRequest::forTrigger(RunTrigger::Manual)).record.outcome,
              RunOutcome::Success);
    int day = 20;
    for (const auto& c : cases) {
        clock.set(at(2014, 5, day++, 8, 0, 0));
        const RunResult r = job.execute(settings, RunRequest::forTrigger(c.trigger));
        EXPECT_EQ(r.record.outcome, c.outcome) << displayName(c.trigger);
        EXPECT_EQ(BackupRecordStore(ws.databaseFile()).list().size(), c.copiesLeft)
            << displayName(c.trigger);
    }
    EXPECT_EQ(ui.messages, std::vector<std::string>{"请选定备份日期！"});
}

TEST(JobHealth, StatesAndExitStatuses) {
    using State = JobHealth::State;
    const auto run = [](RunOutcome outcome, LocalTime started, std::uint64_t pruneFailures = 0) {
        RunRecord r;
        r.outcome = outcome;
        r.started = r.ended = started;
        r.pruneFailures = pruneFailures;
        return std::optional<RunRecord>(r);
    };
    const LocalTime now = at(2014, 5, 23, 12, 0, 0);  // a Friday
    const LocalTime recent = at(2014, 5, 22, 9, 59, 50);
    const LocalTime twoWeeks = at(2014, 5, 8, 9, 59, 50);
    const TBackupSettings thursdays{"/a", "/b", {10, 0, 0}, {0, 0, 0, 1, 0, 0, 0}, 1};
    const std::nullopt_t none = std::nullopt;
    const struct {
        std::optional<RunRecord> last, complete;
        bool timetableOn;
        State state;
        int exit;
    } cases[] = {
        {none, none, false, State::Never, 4},
        // Only incomplete copies so far: there is a copy, with entries missing.
        {run(RunOutcome::Incomplete, recent), none, false, State::Warning, 3},
        {run(RunOutcome::Success, recent), run(RunOutcome::Success, recent), true, State::Ok, 0},
        {run(RunOutcome::Incomplete, recent),
         run(RunOutcome::Success, twoWeeks + std::chrono::days{7}), true, State::Warning, 3},
        {run(RunOutcome::Success, recent, 1), run(RunOutcome::Success, recent), true,
         State::Warning, 3},
        {run(RunOutcome::Failed, recent), run(RunOutcome::Success, recent - std::chrono::days{7}),
         true, State::Failed, 4},
        {run(RunOutcome::Refused, recent), none, false, State::Failed, 4},
        // The last two Thursdays made only an incomplete copy: nothing was missed.
        {run(RunOutcome::Incomplete, recent), run(RunOutcome::Success, twoWeeks), true,
         State::Warning, 3},
        // The last two Thursdays made no copy at all.
        {run(RunOutcome::Incomplete, twoWeeks), run(RunOutcome::Success, twoWeeks), true,
         State::Overdue, 4},
        // No timetable: 8 days are allowed.
        {run(RunOutcome::Success, recent - std::chrono::days{6}),
         run(RunOutcome::Success, recent - std::chrono::days{6}), false, State::Ok, 0},
        {run(RunOutcome::Success, twoWeeks), run(RunOutcome::Success, twoWeeks), false,
         State::Overdue, 4},
    };
    for (const auto& c : cases) {
        const JobHealth h = judgeHealth(c.last, c.complete, thursdays, c.timetableOn, now);
        EXPECT_EQ(h.state, c.state) << "case " << (&c - cases);
        EXPECT_EQ(h.exitStatus(), c.exit) << "case " << (&c - cases);
        EXPECT_EQ(h.nextRun.has_value(), c.timetableOn);
    }
    const JobHealth ok = judgeHealth(run(RunOutcome::Success, recent),
                                     run(RunOutcome::Success, recent), thursdays, true, now);
    EXPECT_EQ(ok.summaryLine(), "备份状态：正常");
    // Held pruning is a warning until confirmed, whatever the runs since; failures come first.
    EXPECT_EQ(judgeHealth(run(RunOutcome::Success, recent), run(RunOutcome::Success, recent),
                          thursdays, true, now, true)
                  .summaryLine(),
              "备份状态：警告（大量文件被修改或删除，旧备份暂不清理，待确认）");
    EXPECT_EQ(judgeHealth(run(RunOutcome::Failed, recent), run(RunOutcome::Success, recent),
                          thursdays, true, now, true)
                  .state,
              State::Failed);
    EXPECT_EQ(ok.lastCompleteLine(now), "上次完整备份：2014-05-22 09:59（1 天前）");
    EXPECT_EQ(ok.nextRunLine(), "下次备份：2014-05-29 09:59:50（星期四）");
    // 00:00 runs at 23:59:50 of the ticked day itself: Monday's run, seen on the Sunday
    // before, on the Monday and after it.
    TBackupSettings mondays = thursdays;
    mondays.RunTime = {0, 0, 0};
    mondays.Days = {1, 0, 0, 0, 0, 0, 0};
    for (const auto& [seen, next] :
         {std::pair{at(2026, 12, 13, 23, 59, 55), "2026-12-14 23:59:50（星期一）"},
          std::pair{at(2026, 12, 14, 0, 0, 5), "2026-12-14 23:59:50（星期一）"},
          std::pair{at(2026, 12, 14, 23, 59, 51), "2026-12-21 23:59:50（星期一）"}}) {
        EXPECT_EQ(judgeHealth(none, none, mondays, true, seen).nextRunLine(),
                  std::string("下次备份：") + next);
    }
}

}  // namespace
}  // namespace vantrel
