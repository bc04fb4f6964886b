#pragma once

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/JobView.h"
#include "app/OutcomeNotice.h"
#include "engine/notice/Notice.h"
#include "engine/rules/JobHealth.h"
#include "engine/run/BackupJob.h"
#include "engine/run/BackupUi.h"
#include "engine/run/Workspace.h"
#include "platform/Clock.h"
#include "platform/FileOps.h"
#include "platform/SystemScheduler.h"

namespace vantrel {

class RunReports;

// The main window's behaviour, whatever draws it: one backup job (the working directory) with
// its settings, timetable, runs, health and notifications. A window forwards its commands and
// ticks here and draws what it is told through JobView. Every method is called on the
// window's thread; a run copies on a worker thread and reports back through JobView::post.
class JobPresenter {
public:
    JobPresenter(std::filesystem::path workDir, FileOps& files, const Clock& clock, JobView& view);
    // Waits for a run under way: a copy is never cut off half-way.
    ~JobPresenter();
    JobPresenter(const JobPresenter&) = delete;
    JobPresenter& operator=(const JobPresenter&) = delete;

    // When the window is made: prepares the working directory (Log, TempBackupFile, the
    // record database). True when the record database was made just now.
    bool create();
    // When the window is first shown (or first brought back from the tray): loads config.ini
    // into the fields, shows the health, and starts the timetable when the settings say so.
    // Later calls do nothing, so unsaved changes survive hiding and showing.
    void show();
    bool shown() const { return m_shown; }

    // The system's scheduler and the window's own program: with 关闭窗口后也按计划备份 on
    // (系统计划任务), each save and start registers the job's system task again, and a save
    // with it off removes one. None: the window leaves the system's scheduler alone.
    void setSystemScheduler(SystemScheduler* scheduler, std::filesystem::path program) {
        m_scheduler = scheduler;
        m_program = std::move(program);
    }

    // The commands, named after the buttons that give them.
    void pickSource();      // Button4 ("..."): the source folder browser
    void pickTarget();      // Button5 ("..."): the target folder browser
    void save();            // Button6 保存配置信息
    void startTimetable();  // Button8 启动备份计划
    void stopTimetable();   // Button9 终止备份计划
    void backUpNow();       // Button10 手动执行备份
    void openLog();         // Button7 查看操作日志
    void openRestore();     // 恢复文件…: the restore window
    // 确认变化, in the health area while the guard holds pruning: after asking, confirms the
    // changes, and later runs prune as before.
    void confirmChanges();
    void cancelRun();  // 取消, beside the progress bar
    // The session ends (log-off or shutdown): a run under way is cancelled, its unfinished copy
    // removed, and its history row says "已取消：系统关机或注销". waitForRun() then waits until
    // that is done.
    void cancelForSessionEnd();

    // FileTimer2, every second while the timetable is on: starts the run that is due.
    void tick();
    // Every minute: keeps the health and its age current; says once when the job falls
    // overdue while the window is in the tray.
    void minuteTick();

    // 预览 beside 排除规则: what the rules in the field leave out of the source now, the list
    // vantrel-cli excluded prints, under its summary.
    void previewExclusions();
    // The presets menu of 排除规则 (app/ExclusionPresets.h): the preset at `index` added to the
    // field's rules.
    void addExclusionPreset(std::size_t index);
    // 排除文件夹…: a folder picked inside the source is added to the rules; one outside it is
    // refused, saying why.
    void excludeFolder();

    // The keep-count field: whether it may hold `candidate` (its text after a key press), and
    // its text once the user leaves it (a typed value below 1 becomes 1).
    static bool keepCountAccepts(std::string_view candidate);
    void commitKeepCount();

    // The window went into the tray or came back: notifications replace boxes while there.
    void setInTray(bool inTray) { m_inTray = inTray; }
    bool inTray() const { return m_inTray; }
    // Asked before the program ends: true when it may (the user said Yes, or the session is
    // ending, which never asks). During a run the question says first that the run will be
    // cancelled. Fields that differ from config.ini are then offered for saving (保存, 不保存,
    // 取消; a save refused keeps the window). A run is cancelled last, and this returns once
    // it has ended.
    bool mayClose(bool sessionEnding);
    // Whether the fields differ from the settings last loaded or saved.
    bool unsavedChanges() const;

    // The tray icon's menu, in order, and its commands. 退出 asks as closing the window does.
    enum class TrayCommand { Open, BackUpNow, StartTimetable, StopTimetable, Restore, Exit };
    struct TrayMenuItem {
        TrayCommand command;
        std::string_view caption;
        bool enabled = true;
    };
    std::vector<TrayMenuItem> trayMenu() const;
    void trayCommand(TrayCommand command);

    bool running() const { return m_running; }
    bool cancelRequested() const { return m_cancel; }
    bool timetableOn() const { return m_job.started(); }
    const JobHealth& health() const { return m_health; }
    std::string trayToolTip() const;
    Workspace& workspace() { return m_ws; }
    BackupJob& job() { return m_job; }

    // Blocks until a run under way has ended; its outcome is then posted to the window.
    void waitForRun();

private:
    TBackupSettings settings() const;
    void guarded(const std::function<void()>& fn);
    void setStatus(std::string_view text);
    void startTimetableAtLaunch();
    void startRun(const RunRequest& request);
    void finishRun(const RunResult& result);
    bool saveFields();
    void rememberSaved();
    void refreshHealth(bool byClock = false);
    void syncSystemTask(const TBackupSettings& settings);

    JobView& m_view;
    SystemScheduler* m_scheduler = nullptr;
    std::filesystem::path m_program;
    std::unique_ptr<RunReports> m_engineUi;
    Workspace m_ws;
    BackupJob m_job;
    JobHealth m_health;
    std::thread m_worker;
    std::atomic<bool> m_cancel{false};
    std::atomic<const char*> m_cancelReason{nullptr};
    bool m_running = false;
    std::string m_status;  // status panel 1 as last set
    bool m_shown = false;
    bool m_inTray = false;
    TBackupSettings m_loaded;  // as config.ini held them: for fields a window does not show
    TBackupSettings m_saved;   // as config.ini holds them now, to tell unsaved changes
    OutcomeNotice m_outcomes;
};

}  // namespace vantrel
