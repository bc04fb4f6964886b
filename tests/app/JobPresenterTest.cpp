#include "app/JobPresenter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <tuple>

#include "app/ExclusionPresets.h"
#include "app/LogPresenter.h"
#include "engine/Settings.h"
#include "engine/records/BackupRecordStore.h"
#include "engine/records/OperationLog.h"
#include "engine/records/RunHistory.h"
#include "engine/rules/ChangeGuard.h"
#include "platform/TextCodec.h"
#include "tests/app/FakeJobView.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FaultyFileOps.h"
#include "tests/support/TempDir.h"

namespace vantrel {
namespace {

using test::at;
using test::readBytes;
using test::writeBytes;

bool startsWith(const std::string& text, std::string_view head) {
    return text.rfind(head, 0) == 0;
}

class JobPresenterTest : public ::testing::Test {
protected:
    JobPresenterTest() { presenter.create(); }

    // Valid fields: a source with a nested file, an empty target, Thursday, keep one copy.
    std::filesystem::path fillValid() {
        std::filesystem::create_directories(dir / "src/data/sub");
        std::filesystem::create_directories(dir / "bak");
        writeBytes(dir / "src/data/sub/b.txt", "beta");
        view.form.setText(Setting::Source, pathToUtf8(dir / "src/data"));
        view.form.setText(Setting::Target, pathToUtf8(dir / "bak"));
        view.form.setDay(Thursday, true);
        view.form.setText(Setting::Keep, "1");
        return dir / "src/data";
    }
    // Lets the run end and its outcome reach the window.
    void finish() {
        presenter.waitForRun();
        view.deliver();
    }
    void tickAt(unsigned day, int second) {
        clock.set(at(2014, 5, day, 9, 59, second, 900));
        presenter.tick();
        finish();
    }
    std::size_t records() { return BackupRecordStore(dir / "wenjianming.mdb").list().size(); }

    test::TempDir dir;
    test::FaultyFileOps files;
    test::FakeClock clock{at(2014, 5, 15, 9, 0, 0)};  // a Thursday
    test::FakeJobView view;
    JobPresenter presenter{dir.path(), files, clock, view};
};

TEST_F(JobPresenterTest, ShowingLoadsTheFileOnceIntoTheFields) {
    for (const char* made : {"Log", "TempBackupFile", "wenjianming.mdb"}) {
        EXPECT_TRUE(std::filesystem::exists(dir / made)) << made;
    }
    writeBytes(dir / "config.ini",
               utf8ToGbk("[备份设置]\r\n备份文件源地址=D:\\工作\\数据\r\n定时时刻=9:30:00\r\n"
                         "备份频率=星期一;星期日;\r\n备份个数=0\r\n"));
    presenter.show();
    EXPECT_EQ(view.form.text(Setting::Source), "D:\\工作\\数据");
    EXPECT_EQ(view.form.time(), (TimeOfDay{9, 30, 0}));
    EXPECT_EQ(view.form.days(), (std::array<bool, 7>{1, 0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(view.form.text(Setting::Keep), "0");  // as loaded, not raised
    EXPECT_EQ(view.panel0, "工作目录：" + pathToUtf8(dir.path()));
    EXPECT_TRUE(view.messages.empty());
    EXPECT_FALSE(view.ticking);
    view.form.setText(Setting::Source, "F:\\other");  // showing again does not reload
    presenter.show();
    EXPECT_EQ(view.form.text(Setting::Source), "F:\\other");
}

// The rules and the counts go through the fields and come back as saved, a count read by the
// same rule as config.ini's (a tab around it is no fault). 预览 lists what vantrel-cli excluded
// does.
TEST_F(JobPresenterTest, RulesAndCountsGoThroughTheFieldsAndBack) {
    fillValid();
    writeBytes(dir / "src/data/sub/x.tmp", "tmp");
    view.form.setText(Setting::ExcludeRules, withPatterns("*.tmp|cache/", "*.tmp|*.temp"));
    EXPECT_EQ(view.form.text(Setting::ExcludeRules), "*.tmp|cache/|*.temp");
    view.form.setText(Setting::KeepMonthly, "\t6 ");
    presenter.save();
    presenter.previewExclusions();
    EXPECT_EQ(view.messages, (std::vector<std::string>{"排除 1 项，共 3 B"}));
    EXPECT_EQ(view.lists.back(), (std::vector<std::string>{"sub/x.tmp\t3 B"}));

    test::FakeJobView other;
    JobPresenter reopened{dir.path(), files, clock, other};
    reopened.show();
    EXPECT_EQ(other.form.text(Setting::ExcludeRules), "*.tmp|cache/|*.temp");
    EXPECT_EQ(other.form.text(Setting::KeepMonthly), "6");
    EXPECT_EQ(other.form.text(Setting::KeepYearly), "");  // 0 is shown blank

    view.messages.clear();
    view.form.setText(Setting::KeepYearly, "x");
    presenter.save();
    EXPECT_EQ(view.messages, (std::vector<std::string>{"按年保留的个数输入不合法！"}));
}

TEST_F(JobPresenterTest, SaveAndStartRefuseWhatCouldNeverRun) {
    const struct {
        const char *source, *target;
        bool day;
        const char *keep, *message;
    } cases[] = {{"", "", false, "", "请输入要备份的文件地址！"},
                 {"/d", "", false, "", "请输入备份文件的目的地址！"},
                 {"/d", "/b", false, "3", "请选定备份日期！"},
                 {"/d", "/b", true, "  ", "请输入备份个数！"},
                 {"/d", "/b", true, "0", "备份个数输入不合法！"},
                 {"/d", "/d/bak", true, "3", "备份文件的目的地址不能位于源地址之内！"}};
    for (const auto& c : cases) {
        view.messages.clear();
        view.form = {};
        view.form.setText(Setting::Source, c.source);
        view.form.setText(Setting::Target, c.target);
        view.form.setDay(Friday, c.day);
        view.form.setText(Setting::Keep, c.keep);
        presenter.save();
        presenter.startTimetable();
        EXPECT_EQ(view.messages, std::vector<std::string>(2, c.message));
        EXPECT_FALSE(std::filesystem::exists(dir / "config.ini"));
        EXPECT_FALSE(view.ticking);
    }
}

TEST_F(JobPresenterTest, TheTimetableStartsAtLaunchWhenTheFileSaysSo) {
    for (const std::string value : {"1", "0", ""}) {
        test::TempDir job;
        test::FakeJobView window;
        JobPresenter launched{job.path(), files, clock, window};
        launched.create();
        std::filesystem::create_directories(job / "src");
        writeBytes(job / "src/a.txt", "alpha");  // an empty source would warn
        std::string ini = "[备份设置]\r\n备份文件源地址=" + pathToUtf8(job / "src") +
                          "\r\n备份文件目的地址=" + pathToUtf8(job / "bak") +
                          "\r\n定时时刻=10:00:00\r\n备份频率=星期四;\r\n备份个数=2\r\n";
        if (!value.empty()) {
            ini += "启动时执行备份计划=" + value + "\r\n";
        }
        writeBytes(job / "config.ini", utf8ToGbk(ini));
        launched.show();
        const bool started = value == "1";
        EXPECT_EQ(window.ticking, started) << value;
        EXPECT_EQ(window.form.flag(Setting::StartAtLaunch), started);
        EXPECT_EQ(window.health.nextRun,
                  started ? "下次备份：2014-05-15 09:59:50（星期四）" : "下次备份：备份计划未启动");
        if (started) {  // and it runs at the set time
            clock.set(at(2014, 5, 15, 9, 59, 50, 900));
            launched.tick();
            launched.waitForRun();
            window.deliver();
            EXPECT_TRUE(std::filesystem::is_directory(job / "bak/src_20140515"));
        }
        EXPECT_TRUE(window.messages.empty()) << window.messages.front();
    }
}

// The tray's tooltip names the job's folder, unless it is named after the program.
TEST_F(JobPresenterTest, TheTrayToolTipNamesTheFolderButNotTheProgramTwice) {
    for (const std::string name : {"财务", "Vantrel", "VANTREL"}) {
        std::filesystem::create_directories(dir / name);
        test::FakeJobView window;
        JobPresenter job{dir / name, files, clock, window};
        job.create();
        job.show();
        const std::string folderLine = name.starts_with("财") ? name + "\n" : "";
        EXPECT_EQ(window.trayText,
                  "Vantrel\n" + folderLine + "备份状态：从未备份\n下次备份：备份计划未启动");
    }
}

// A bad value is named, the rest shown, and the timetable waits for settings the file holds.
TEST_F(JobPresenterTest, ABadValueIsNamedTheRestShownAndTheTimetableNotStarted) {
    writeBytes(dir / "config.ini",
               utf8ToGbk("[备份设置]\r\n备份文件源地址=/src\r\n定时时刻=25:00\r\n备份个数=2\r\n"
                         "备份频率=星期四;\r\n启动时执行备份计划=1\r\n"));
    presenter.show();
    ASSERT_EQ(view.messages.size(), 1u);
    EXPECT_TRUE(view.messages[0].starts_with("config.ini 中“定时时刻”的值“25:00”无效"))
        << view.messages[0];
    EXPECT_EQ(std::tie(view.form.text(Setting::Source), view.form.text(Setting::Keep)),
              std::tie("/src", "2"));
    EXPECT_TRUE(view.form.flag(Setting::StartAtLaunch));
    EXPECT_FALSE(view.ticking);
}

// 启动备份计划 holds across restarts until 终止备份计划; a job whose timetable is set but not
// running says so in its health.
TEST_F(JobPresenterTest, AStartedTimetableStartsAgainWithTheWindowUntilStopped) {
    fillValid();
    {
        test::FakeJobView first;
        JobPresenter before{dir.path(), files, clock, first};
        before.show();
        first.form = view.form;
        before.startTimetable();
        EXPECT_TRUE(first.ticking);
    }
    for (const bool stopFirst : {false, true}) {
        SCOPED_TRACE(stopFirst);
        test::FakeJobView window;
        JobPresenter restarted{dir.path(), files, clock, window};
        restarted.create();
        restarted.show();
        EXPECT_EQ(window.ticking, !stopFirst);
        EXPECT_EQ(window.health.summary.find("备份计划未启动") != std::string::npos, stopFirst);
        EXPECT_TRUE(window.messages.empty());
        if (!stopFirst) {
            restarted.stopTimetable();
            EXPECT_TRUE(startsWith(window.health.summary, "备份状态：从未备份（备份计划未启动"));
        }
    }
}

// The alert settings have no field yet: a save from the window keeps them as loaded.
TEST_F(JobPresenterTest, ASaveFromTheWindowKeepsTheAlertSettings) {
    const std::string alerts = "通知网址=https://h/x\r\n通知所有结果=1\r\n通知密钥=SEC\r\n";
    writeBytes(dir / "config.ini", utf8ToGbk("[备份设置]\r\n" + alerts));
    presenter.show();
    fillValid();
    presenter.save();
    EXPECT_NE(readBytes(dir / "config.ini").find(utf8ToGbk(alerts)), std::string::npos);
}

// The system's scheduler as the presenter uses it: what was registered, by name.
struct FakeScheduler final : SystemScheduler {
    void install(const std::string& name, const std::string& definition) override {
        tasks[name] = definition;
    }
    bool remove(const std::string& name) override { return tasks.erase(name) > 0; }
    std::optional<std::string> status(const std::string& name) override {
        return tasks.contains(name) ? std::optional<std::string>("registered") : std::nullopt;
    }
    std::vector<std::string> jobEntries() override { return {}; }
    std::map<std::string, std::string> tasks;
};

// With 关闭窗口后也按计划备份 on, every save registers the job's task anew, with the timetable
// as saved; off, a save removes it. A registered task counts as a running timetable.
TEST_F(JobPresenterTest, TheSystemTaskFollowsEverySave) {
    FakeScheduler scheduler;
    presenter.setSystemScheduler(&scheduler, "/opt/vantrel/vantrel");
    presenter.show();
    fillValid();
    view.form.setFlag(Setting::SystemTask, true);
    presenter.save();
    ASSERT_EQ(scheduler.tasks.size(), 1u);
#ifdef _WIN32
    const std::string thursday = "<Thursday />", monday = "<Monday />";
#else
    const std::string thursday = "Thu *-*-* ", monday = "Mon,Thu *-*-* ";
#endif
    EXPECT_NE(scheduler.tasks.begin()->second.find(thursday), std::string::npos);
    view.form.setDay(Monday, true);
    presenter.save();
    ASSERT_EQ(scheduler.tasks.size(), 1u);
    EXPECT_NE(scheduler.tasks.begin()->second.find(monday), std::string::npos);
    EXPECT_NE(readBytes(dir / "config.ini").find(utf8ToGbk("系统计划任务=1")), std::string::npos);
    presenter.minuteTick();
    EXPECT_EQ(view.health.summary.find("备份计划未启动"), std::string::npos);
    view.form.setFlag(Setting::SystemTask, false);
    presenter.save();
    EXPECT_TRUE(scheduler.tasks.empty());
}

TEST_F(JobPresenterTest, AManualRunCopiesOnceOnItsWorkerAndReportsItsOutcome) {
    const auto source = fillValid();
    view.form.setText(Setting::Source, pathToUtf8(dir / "missing"));
    presenter.backUpNow();
    finish();
    ASSERT_EQ(view.messages.size(), 1u);
    EXPECT_NE(view.messages[0].find("missing"), std::string::npos) << view.messages[0];
    EXPECT_EQ(view.status, "文件备份失败！");
    EXPECT_FALSE(view.running);
    view.messages.clear();

    view.folders = {pathToUtf8(source), pathToUtf8(dir / "bak"), std::nullopt};
    presenter.pickSource();
    presenter.pickTarget();
    presenter.pickSource();  // cancelled: changes nothing
    EXPECT_EQ(view.prompts[0], "请选择备份文件源地址");
    EXPECT_EQ(view.prompts[1], "请选择备份文件目的地址，文件将备份到指定位置");
    EXPECT_EQ(view.form.text(Setting::Source), pathToUtf8(source));

    presenter.startTimetable();  // a started timetable ticks during the run below
    const int copiesBefore = files.copies;
    clock.set(at(2014, 5, 15, 9, 59, 50, 900));
    presenter.backUpNow();
    EXPECT_TRUE(view.running);
    presenter.backUpNow();  // neither a command nor a tick starts a second run
    presenter.tick();
    finish();
    EXPECT_EQ(files.copies, copiesBefore + 1);
    EXPECT_TRUE(view.messages.empty());
    EXPECT_TRUE(startsWith(view.status, "文件备份完毕！用时 ")) << view.status;
    EXPECT_FALSE(view.running);
    const auto copy = dir / "bak/data_20140515";
    EXPECT_EQ(readBytes(copy / "sub/b.txt"), "beta");
    EXPECT_NE(gbkToUtf8(readBytes(dir / "Log/FileBackupLog.log"))
                  .find("   成功备份至   " + pathToUtf8(copy)),
              std::string::npos);
    EXPECT_EQ(records(), 1u);
    EXPECT_EQ(view.health.summary, "备份状态：正常");
}

TEST_F(JobPresenterTest, ASecondRunByHandLeavesTheDaysPinnedCopyWhole) {
    const auto source = fillValid();
    presenter.backUpNow();
    finish();
    BackupRecordStore(dir / "wenjianming.mdb").setPinned(1, true);
    std::filesystem::remove(source / "sub/b.txt");
    view.messages.clear();
    presenter.backUpNow();
    finish();
    ASSERT_EQ(view.messages.size(), 1u);
    EXPECT_NE(view.messages[0].find("已永久保留"), std::string::npos) << view.messages[0];
    EXPECT_EQ(readBytes(dir / "bak/data_20140515/sub/b.txt"), "beta");
    EXPECT_EQ(records(), 1u);
}

TEST_F(JobPresenterTest, EndingDuringARunWaitsForItsRecord) {
    fillValid();
    {
        test::FakeJobView window;
        window.form = view.form;
        JobPresenter closing{dir.path(), files, clock, window};
        closing.backUpNow();
    }
    EXPECT_EQ(records(), 1u);
}

// At log-off or shutdown the run is cancelled and recorded before the window ends, which it
// may do before the outcome reaches it.
TEST_F(JobPresenterTest, TheSessionEndingCancelsARunAndItsRowSaysWhy) {
    fillValid();
    files.afterCopy = [this] { presenter.cancelForSessionEnd(); };
    presenter.backUpNow();
    presenter.waitForRun();
    for (const auto& e : std::filesystem::directory_iterator(dir / "bak")) {
        EXPECT_FALSE(e.is_directory()) << e.path();
    }
    const auto rows = RunHistory(dir / "wenjianming.mdb").list();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].outcome, RunOutcome::Cancelled);
    EXPECT_EQ(rows[0].message, "已取消：系统关机或注销");
}

TEST_F(JobPresenterTest, CancelLeavesNothingBehind) {
    fillValid();
    files.afterCopy = [this] { presenter.cancelRun(); };
    presenter.backUpNow();
    finish();
    EXPECT_EQ(view.status, "文件备份已取消");
    EXPECT_TRUE(view.messages.empty());
    EXPECT_FALSE(view.running);
    for (const auto& e : std::filesystem::directory_iterator(dir / "bak")) {
        EXPECT_FALSE(e.is_directory()) << e.path();  // neither copy nor staging
    }
    EXPECT_EQ(OperationLog(dir / "Log/FileBackupLog.log").size(), 0u);
    EXPECT_EQ(records(), 0u);
    const auto rows = RunHistory(dir / "wenjianming.mdb").list();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].outcome, RunOutcome::Cancelled);
}

// Closing during a run says first that it will be cancelled; No leaves it going, Yes
// cancels it as 取消 does and returns once it has ended, recorded.
TEST_F(JobPresenterTest, ClosingDuringARunCancelsItFirstAfterSayingSo) {
    fillValid();
    // The copy waits at its first file until the run is told to stop (at most 10 seconds).
    files.afterCopy = [this] {
        for (int i = 0; i < 10'000 && !presenter.cancelRequested(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };
    presenter.backUpNow();
    view.answers = {false, true};
    EXPECT_FALSE(presenter.mayClose(false));
    EXPECT_TRUE(presenter.running() && !presenter.cancelRequested());
    EXPECT_TRUE(presenter.mayClose(false));
    EXPECT_EQ(view.questions,
              std::vector<std::string>(2,
                                       "正在备份，退出将取消这次备份，未完成的备份会被删除。\n"
                                       "您确定要退出该系统吗？"));
    for (const auto& e : std::filesystem::directory_iterator(dir / "bak")) {
        EXPECT_FALSE(e.is_directory()) << e.path();
    }
    const auto rows = RunHistory(dir / "wenjianming.mdb").list();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].outcome, RunOutcome::Cancelled);
}

TEST_F(JobPresenterTest, ScheduledRunsCopyAndPruneAndAFailureSaysWhichJob) {
    presenter.show();
    fillValid();
    view.form.setDay(Friday, true);
    view.form.setTime({10, 0, 0});
    presenter.startTimetable();
    EXPECT_TRUE(view.ticking);
    EXPECT_EQ(view.status, "启动备份计划");
    EXPECT_NE(readBytes(dir / "config.ini").find(utf8ToGbk("备份频率=星期四;星期五;")),
              std::string::npos);
    EXPECT_EQ(view.health.nextRun, "下次备份：2014-05-15 09:59:50（星期四）");
    tickAt(15, 50);
    EXPECT_TRUE(std::filesystem::is_directory(dir / "bak/data_20140515"));
    // Next day the new copy is made and the older one pruned down to the one kept.
    tickAt(16, 50);
    EXPECT_TRUE(view.messages.empty());
    EXPECT_TRUE(std::filesystem::is_directory(dir / "bak/data_20140516"));
    EXPECT_FALSE(std::filesystem::exists(dir / "bak/data_20140515"));
    EXPECT_EQ(records(), 1u);
    EXPECT_EQ(view.health.summary, "备份状态：正常");

    std::filesystem::remove_all(dir / "src");
    tickAt(22, 50);
    ASSERT_EQ(view.messages.size(), 1u);
    EXPECT_TRUE(startsWith(view.messages[0], "备份计划的定时备份失败（工作目录：" +
                                                 pathToUtf8(dir.path()) + "）：\n文件备份失败！"))
        << view.messages[0];
    EXPECT_TRUE(startsWith(view.health.summary, "备份状态：失败"));
    EXPECT_TRUE(view.health.alarm && view.trayAlarm);
    EXPECT_EQ(view.health.colour, 0xc62828u);
    tickAt(23, 50);  // the same failure again: no second box
    EXPECT_EQ(view.messages.size(), 1u);

    presenter.stopTimetable();
    EXPECT_FALSE(view.ticking);
    EXPECT_EQ(view.status, "终止备份计划");
    EXPECT_EQ(view.health.nextRun, "下次备份：备份计划未启动");
}

TEST_F(JobPresenterTest, InTheTrayAnOutcomeIsOneBalloonAndNeverABox) {
    presenter.show();
    const auto source = fillValid();
    presenter.setInTray(true);
    view.inTray = true;
    presenter.backUpNow();
    finish();
    EXPECT_TRUE(view.notifications.empty());  // success stays quiet
    std::filesystem::remove_all(source);
    presenter.backUpNow();
    finish();
    ASSERT_EQ(view.notifications.size(), 1u);
    EXPECT_TRUE(startsWith(view.notifications[0],
                           "Vantrel：" + pathToUtf8(dir.path()) + "|备份失败：文件备份失败！"))
        << view.notifications[0];
    EXPECT_TRUE(view.messages.empty());
    // First the program, then which job, its health and its next run.
    EXPECT_EQ(view.trayText, "Vantrel\n" + pathToUtf8(dir.path().filename()) + "\n" +
                                 view.health.summary + "\n下次备份：备份计划未启动");
    EXPECT_TRUE(startsWith(view.health.summary, "备份状态：失败"));
}

TEST_F(JobPresenterTest, ClosingAsksUnlessTheSessionEnds) {
    view.answers = {false, true};
    EXPECT_FALSE(presenter.mayClose(false));
    EXPECT_TRUE(presenter.mayClose(false));
    EXPECT_TRUE(presenter.mayClose(true));
    EXPECT_EQ(view.questions, std::vector<std::string>(2, "您确定要退出该系统吗？"));
}

// After Yes to the close question, fields that differ from config.ini are offered for
// saving: 取消 keeps the window, a save refused keeps it too, 保存 writes them, 不保存 drops them.
TEST_F(JobPresenterTest, UnsavedFieldsAreOfferedForSavingOnClose) {
    presenter.show();
    EXPECT_FALSE(presenter.unsavedChanges());
    fillValid();
    view.form.setText(Setting::KeepMonthly, " 6");
    view.answers = {true, true, true, true};
    view.saveAnswers = {SaveAnswer::Cancel, SaveAnswer::Save};
    EXPECT_FALSE(presenter.mayClose(false));
    view.form.setText(Setting::KeepYearly, "x");
    EXPECT_FALSE(presenter.mayClose(false));
    EXPECT_EQ(view.messages, (std::vector<std::string>{"按年保留的个数输入不合法！"}));
    EXPECT_FALSE(std::filesystem::exists(dir / "config.ini"));
    view.form.setText(Setting::KeepYearly, "");
    view.saveAnswers = {SaveAnswer::Save};
    EXPECT_TRUE(presenter.mayClose(false));
    EXPECT_FALSE(presenter.unsavedChanges());  // " 6" is saved as 6: nothing left to ask
    TimeOfDay time = view.form.time();
    time.second = 59;  // a field without seconds drops them
    view.form.setTime(time);
    EXPECT_FALSE(presenter.unsavedChanges());
    const std::string saved = readBytes(dir / "config.ini");

    view.form.setDay(Monday, true);
    view.saveAnswers = {SaveAnswer::Discard};
    EXPECT_TRUE(presenter.mayClose(false));
    EXPECT_EQ(readBytes(dir / "config.ini"), saved);
    EXPECT_EQ(std::count(view.questions.begin(), view.questions.end(),
                         "配置信息已修改，尚未保存。退出前保存吗？"),
              4);
}

// The tray menu offers what the window would: the timetable command that applies, nothing that
// starts a run while one goes; 退出 asks as closing does.
TEST_F(JobPresenterTest, TheTrayMenuFollowsTheTimetableAndExitAsks) {
    using Command = JobPresenter::TrayCommand;
    presenter.show();
    fillValid();
    const auto captions = [this] {
        std::string all;
        for (const auto& item : presenter.trayMenu()) {
            all += std::string(item.caption) + (item.enabled ? "|" : "(off)|");
        }
        return all;
    };
    EXPECT_EQ(captions(), "打开主界面|立即备份|启动备份计划|恢复文件…|退出|");
    presenter.trayCommand(Command::StartTimetable);
    EXPECT_TRUE(view.ticking);
    EXPECT_EQ(captions(), "打开主界面|立即备份|终止备份计划|恢复文件…|退出|");
    presenter.trayCommand(Command::Open);
    presenter.trayCommand(Command::Restore);
    EXPECT_EQ(view.shownAgain, 1);
    EXPECT_EQ(view.restoreWindows.size(), 1u);

    files.afterCopy = [this] {
        for (int i = 0; i < 10'000 && !presenter.cancelRequested(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };
    presenter.trayCommand(Command::BackUpNow);
    EXPECT_EQ(captions(), "打开主界面|立即备份(off)|终止备份计划(off)|恢复文件…|退出|");
    view.answers = {false, true};
    presenter.trayCommand(Command::Exit);
    EXPECT_FALSE(view.ended);
    EXPECT_TRUE(presenter.running());
    presenter.trayCommand(Command::Exit);  // saved by the start: only the close question
    EXPECT_TRUE(view.ended);
    EXPECT_TRUE(presenter.cancelRequested());
    EXPECT_EQ(view.questions.size(), 2u);
}

// A preset's patterns are added once; 排除文件夹… adds a folder inside the source as a pattern
// that leaves out that folder only, and refuses the source itself and folders outside it.
TEST_F(JobPresenterTest, PresetsAndPickedFoldersAddTheirPatterns) {
    const auto source = fillValid();
    std::filesystem::create_directories(source / "sub/sub");
    writeBytes(source / "sub/sub/c.txt", "gamma");
    view.form.setText(Setting::ExcludeRules, "*.tmp");
    presenter.addExclusionPreset(1);
    EXPECT_EQ(exclusionPresets()[1].caption, "Office 临时文件");
    EXPECT_EQ(view.form.text(Setting::ExcludeRules), "*.tmp|~$*|Thumbs.db|desktop.ini");

    view.form.setText(Setting::ExcludeRules, "");
    view.folders = {pathToUtf8(source / "sub" / "sub"), pathToUtf8(source),
                    pathToUtf8(dir / "src")};
    presenter.excludeFolder();
    EXPECT_EQ(view.form.text(Setting::ExcludeRules), "/sub/sub/");
    presenter.excludeFolder();
    presenter.excludeFolder();
    ASSERT_EQ(view.messages.size(), 2u);
    EXPECT_EQ(view.messages[0], "所选文件夹就是备份文件源地址本身：排除它，备份就是空的。");
    EXPECT_TRUE(startsWith(view.messages[1],
                           "所选文件夹“" + pathToUtf8(dir / "src") + "”不在备份文件源地址“"));
    EXPECT_EQ(view.form.text(Setting::ExcludeRules), "/sub/sub/");
    presenter.previewExclusions();  // the folder itself, not sub/b.txt beside it
    EXPECT_EQ(view.lists.back(), (std::vector<std::string>{"sub/sub/\t5 B"}));
}

TEST_F(JobPresenterTest, TheKeepCountTakesItsShortestFormAndAtLeastOne) {
    const std::pair<const char*, const char*> cases[] = {
        {"3.00", "3"}, {"2,5", "2.5"}, {"0.5", "1"}, {"", ""}};
    for (const auto& [typed, committed] : cases) {
        view.form.setText(Setting::Keep, typed);
        presenter.commitKeepCount();
        EXPECT_EQ(view.form.text(Setting::Keep), committed) << typed;
    }
    EXPECT_TRUE(JobPresenter::keepCountAccepts("12.5"));
    EXPECT_FALSE(JobPresenter::keepCountAccepts("1x2"));
}

TEST_F(JobPresenterTest, OpeningTheLogMakesTheFileFirst) {
    presenter.openLog();
    ASSERT_EQ(view.logViewers.size(), 1u);
    EXPECT_TRUE(std::filesystem::exists(view.logViewers[0]));
}

TEST_F(JobPresenterTest, TheRestoreWindowNeedsASourceAndHeldChangesAreConfirmedAfterAsking) {
    presenter.openRestore();
    EXPECT_EQ(view.messages, std::vector<std::string>{"请输入要备份的文件地址！"});
    fillValid();
    presenter.openRestore();
    EXPECT_EQ(view.restoreWindows, std::vector<std::string>{view.form.text(Setting::Source)});

    presenter.backUpNow();
    finish();
    ChangeGuard(dir / "wenjianming.mdb").hold({1, clock.now(), 40, 50});
    presenter.minuteTick();
    EXPECT_TRUE(view.health.changesHeld);
    EXPECT_EQ(view.health.state, JobHealth::State::Warning);
    presenter.confirmChanges();  // No
    EXPECT_TRUE(view.health.changesHeld);
    view.answers = {true};
    presenter.confirmChanges();
    EXPECT_FALSE(view.health.changesHeld);
    EXPECT_EQ(view.status, "已确认这些变化，旧备份将照常清理");
}

class FakeLogView final : public LogView {
public:
    void showLines(const std::vector<std::string>& l) override { lines = l; }
    bool confirm(std::string_view question) override {
        questions.emplace_back(question);
        return answer;
    }
    void showMessage(std::string_view text) override { messages.emplace_back(text); }
    void showHistory(const std::vector<std::vector<std::string>>& rows) override { history = rows; }

    std::vector<std::string> lines, questions, messages;
    std::vector<std::vector<std::string>> history;
    bool answer = false;
};

TEST(LogPresenter, LoadsOnShowAndReloadAndEmptiesOnlyWhenAskedYes) {
    test::TempDir dir;
    const auto file = dir / "Log/FileBackupLog.log";
    OperationLog(file).Append("first");
    FakeLogView view;
    LogPresenter presenter(file, view);
    presenter.show();
    EXPECT_EQ(view.lines, std::vector<std::string>{"first"});
    OperationLog(file).Append("second");
    presenter.show();  // a viewer does not follow the file
    EXPECT_EQ(view.lines.size(), 1u);
    presenter.reload();
    EXPECT_EQ(view.lines.size(), 2u);
    presenter.empty();  // No
    EXPECT_EQ(OperationLog(file).size(), readBytes(file).size());
    EXPECT_EQ(view.lines.size(), 2u);
    view.answer = true;
    presenter.empty();
    EXPECT_EQ(view.questions, std::vector<std::string>(2, "您确定要清除现有的日志信息吗？"));
    EXPECT_TRUE(view.lines.empty());
    EXPECT_EQ(readBytes(file), "");

    // The run history beside it, failures included, with four-digit years.
    RunRecord failed;
    failed.started = failed.ended = at(2026, 12, 1, 9, 0, 0);
    failed.outcome = RunOutcome::Failed;
    failed.message = "文件备份失败！";
    failed.bytes = 300310;
    RunHistory(dir / "wenjianming.mdb").add(failed);
    LogPresenter withHistory(file, view, dir / "wenjianming.mdb");
    withHistory.show();
    ASSERT_EQ(view.history.size(), 1u);
    EXPECT_EQ(view.history[0][0], "2026-12-01 09:00:00");
    EXPECT_EQ(view.history[0][3], "失败");
    EXPECT_EQ(view.history[0][5], "293.3 KB");  // as the status bar gives sizes
    EXPECT_EQ(view.history[0].back(), "文件备份失败！");
}

}  // namespace
}  // namespace vantrel
