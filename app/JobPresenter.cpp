#include "app/JobPresenter.h"

#include "app/ExclusionPresets.h"
#include "app/RunReports.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <system_error>
#include <utility>
#include <vector>

#include "engine/Settings.h"
#include "engine/TextRules.h"
#include "engine/Texts.h"
#include "engine/records/BackupRecordStore.h"
#include "engine/records/OperationLog.h"
#include "engine/records/RunHistory.h"
#include "engine/rules/ChangeGuard.h"
#include "engine/rules/Exclusions.h"
#include "engine/rules/KeepCount.h"
#include "engine/rules/SystemTask.h"
#include "platform/ErrorText.h"
#include "platform/TextCodec.h"

namespace vantrel {

namespace {

constexpr std::string_view kSourcePrompt = "请选择备份文件源地址";
constexpr std::string_view kTargetPrompt = "请选择备份文件目的地址，文件将备份到指定位置";
constexpr std::string_view kTimetableOff = "备份计划未启动，不会按时备份";
constexpr std::string_view kCloseQuestion = "您确定要退出该系统吗？";
constexpr std::string_view kCloseWhileRunningNotice =
    "正在备份，退出将取消这次备份，未完成的备份会被删除。\n";
constexpr std::string_view kUnsavedQuestion = "配置信息已修改，尚未保存。退出前保存吗？";
constexpr std::string_view kExcludeFolderPrompt = "请选择要排除的文件夹（须在备份文件源地址之内）";
constexpr std::string_view kConfirmChangesQuestion =
    "确认这些变化是您有意为之（而不是误删或勒索软件造成的）吗？确认后旧备份将照常清理。";

std::uint32_t colourOf(JobHealth::State state) {
    switch (state) {
        case JobHealth::State::Ok:
            return 0x2e7d32;  // green
        case JobHealth::State::Warning:
            return 0xef6c00;  // orange
        case JobHealth::State::Failed:
        case JobHealth::State::Overdue:
            return 0xc62828;  // red
        case JobHealth::State::Never:
            break;
    }
    return 0x757575;  // grey
}

// Whether the fields say what config.ini holds: each setting as saving would write it.
// Seconds, which a time field may not show, are not compared.
bool sameSettings(const TBackupSettings& a, const TBackupSettings& b) {
    for (const SettingRow& row : settingRows()) {
        if (row.stored == SettingStored::ByTimetable) {
            continue;
        }
        const bool same = row.id == Setting::Time ? a.RunTime.hour == b.RunTime.hour &&
                                                        a.RunTime.minute == b.RunTime.minute
                                                  : row.format(a) == row.format(b);
        if (!same) {
            return false;
        }
    }
    return true;
}

}  // namespace

JobPresenter::JobPresenter(std::filesystem::path workDir, FileOps& files, const Clock& clock,
                           JobView& view)
    : m_view(view),
      m_engineUi(std::make_unique<RunReports>(
          view, [this](std::string_view text) { setStatus(text); },
          // Only the copy's own status is extended; a later status text is never overwritten.
          [this] { return m_running && m_status.starts_with(kCopyingStatus); })),
      m_ws{std::move(workDir), files, clock, *m_engineUi},
      m_job(m_ws),
      m_outcomes(m_ws.dir) {}

JobPresenter::~JobPresenter() {
    if (m_worker.joinable()) {
        m_worker.join();
    }
}

void JobPresenter::guarded(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const std::exception& e) {
        m_view.showMessage(e.what());
    }
}

void JobPresenter::setStatus(std::string_view text) {
    m_status = text;
    m_view.showStatus(text);
}

bool JobPresenter::create() {
    // The log and the spare folder live in the working directory, where the log is written.
    std::error_code ignored;
    std::filesystem::create_directories(m_ws.dir / "Log", ignored);
    std::filesystem::create_directories(m_ws.dir / "TempBackupFile", ignored);
    bool made = false;
    guarded([&] { openOrMakeRecords(m_ws, &made); });
    return made;
}

void JobPresenter::show() {
    if (m_shown) {
        return;
    }
    m_shown = true;
    TBackupSettings s = settings();
    std::optional<std::string> problem;
    try {
        LoadSettings(m_ws, s);
    } catch (const std::exception& e) {
        problem = e.what();
    }
    m_loaded = s;
    m_saved = s;
    m_view.showFields(
        FormFields::of(s));  // with bad values: every good one filled, the bad left out
    m_view.showWorkingDirectory("工作目录：" + pathToUtf8(m_ws.dir));
    if (problem) {
        m_view.showMessage(*problem);
    }
    refreshHealth();
    // Not with settings other than the file's: the user mends and saves them first.
    if (!problem) {
        startTimetableAtLaunch();
    }
}

void JobPresenter::startTimetableAtLaunch() {
    const TBackupSettings s = settings();
    // A timetable the user started runs until they stop it, across restarts and log-ons.
    if ((!s.StartScheduleAtLaunch && !m_loaded.TimetableStarted) || m_job.started()) {
        return;
    }
    // A timetable that could never succeed is not started; the reason is shown.
    if (const auto refusal = m_job.timetableRefusal(s)) {
        m_view.showMessage(*refusal);
        return;
    }
    try {
        m_job.startTimetable();
    } catch (const std::exception& e) {
        m_view.showMessage(e.what());  // another window or process runs this timetable
        return;
    }
    m_view.setTicking(true);
    setStatus("启动备份计划");
    refreshHealth();
}

TBackupSettings JobPresenter::settings() const {
    TBackupSettings s = m_view.fields().settings();
    s.TimetableStarted = false;  // kept by rememberTimetable alone
    // No field yet: the file's alert settings are kept as loaded.
    s.NotifyUrl = m_loaded.NotifyUrl;
    s.NotifyAll = m_loaded.NotifyAll;
    s.NotifySecret = m_loaded.NotifySecret;
    return s;
}

void JobPresenter::previewExclusions() {
    guarded([this] {
        const std::vector<ExcludedEntry> entries = previewExcluded(m_ws, settings());
        std::vector<std::string> lines;
        for (const ExcludedEntry& entry : entries) {
            lines.push_back(excludedLine(entry));
        }
        m_view.showList(excludedSummary(entries), lines);
    });
}

void JobPresenter::addExclusionPreset(std::size_t index) {
    const auto& presets = exclusionPresets();
    if (index < presets.size()) {
        m_view.showExcludeRules(
            withPatterns(m_view.fields().text(Setting::ExcludeRules), presets[index].patterns));
    }
}

void JobPresenter::excludeFolder() {
    const FormFields f = m_view.fields();
    if (f.text(Setting::Source).empty()) {
        m_view.showMessage(kNoSourceMessage);
        return;
    }
    const auto folder = m_view.pickFolder(kExcludeFolderPrompt);
    if (!folder) {
        return;
    }
    guarded([&] {
        const std::filesystem::path source = resolveInWorkDir(m_ws.dir, f.text(Setting::Source));
        const std::filesystem::path picked = pathFromUtf8(*folder);
        std::string pattern;
        try {
            pattern = folderPattern(source, picked);
        } catch (const BackupError&) {
            // A source that is a link: the picker gives the folder it leads to.
            const auto real = m_ws.files.resolveLinks(source);
            if (!real || *real == source) {
                throw;
            }
            pattern = folderPattern(*real, picked);
        }
        m_view.showExcludeRules(withPatterns(f.text(Setting::ExcludeRules), pattern));
    });
}

void JobPresenter::pickSource() {
    if (const auto folder = m_view.pickFolder(kSourcePrompt)) {
        m_view.showSource(*folder);
    }
}

void JobPresenter::pickTarget() {
    if (const auto folder = m_view.pickFolder(kTargetPrompt)) {
        m_view.showTarget(*folder);
    }
}

void JobPresenter::save() {
    saveFields();
}

// True once the fields are in config.ini: refused values and a file that could not be
// written leave them unsaved.
bool JobPresenter::saveFields() {
    bool saved = false;
    guarded([&] {
        const TBackupSettings s = settings();
        if (SaveSettings(m_ws, s)) {
            syncSystemTask(s);
            rememberSaved();
            saved = !unsavedChanges();
        }
    });
    return saved;
}

// The fields as config.ini now holds them; a file that could not be written holds the old.
void JobPresenter::rememberSaved() {
    TBackupSettings s = settings();
    try {
        LoadSettings(m_ws, s);
    } catch (const std::exception&) {
        // What was read before the bad value stands; the rest is as the fields say.
    }
    m_saved = s;
}

bool JobPresenter::unsavedChanges() const {
    return m_shown && !sameSettings(settings(), m_saved);
}

void JobPresenter::syncSystemTask(const TBackupSettings& s) {
    if (m_scheduler == nullptr) {
        return;
    }
    const SystemTaskEntry entry = systemTaskEntry(m_ws, s, m_program);
    try {
        if (s.SystemTask) {
            m_scheduler->install(entry.name, entry.definition);
        } else {
            m_scheduler->remove(entry.name);
        }
    } catch (const std::exception& e) {
        m_view.showMessage(std::string(s.SystemTask ? "未能登记" : "未能删除") + "系统计划任务：" +
                           e.what());
    }
}

void JobPresenter::startTimetable() {
    guarded([this] {
        // A start while started saves again and keeps the timer's period.
        const TBackupSettings s = settings();
        if (m_job.StartSchedule(s)) {
            rememberSaved();
            m_view.setTicking(true);
            syncSystemTask(s);
            try {
                rememberTimetable(m_ws, true);
            } catch (const std::exception&) {
                // The status already says the file could not be written.
            }
        }
    });
    refreshHealth();
}

void JobPresenter::stopTimetable() {
    m_view.setTicking(false);
    guarded([this] {
        m_job.StopSchedule();
        if (m_ws.files.stat(m_ws.configFile(), true)) {
            rememberTimetable(m_ws, false);
        }
    });
    refreshHealth();
}

void JobPresenter::backUpNow() {
    startRun(RunRequest::forTrigger(RunTrigger::Manual));
}

void JobPresenter::openLog() {
    guarded([this] {
        OperationLog(m_ws.logFile()).EnsureExists();
        m_view.openLogViewer(m_ws.logFile(), m_ws.databaseFile());
    });
}

void JobPresenter::openRestore() {
    const TBackupSettings s = settings();
    if (s.SourcePath.empty()) {
        m_view.showMessage(kNoSourceMessage);
        return;
    }
    m_view.openRestoreWindow(m_ws, s);
}

void JobPresenter::confirmChanges() {
    if (!m_view.confirm(kConfirmChangesQuestion)) {
        return;
    }
    guarded([this] {
        const auto records = openRecords(m_ws);
        const bool any = records && ChangeGuard(*records).confirm(m_ws.clock.now()) > 0;
        setStatus(any ? kChangesConfirmed : kNothingToConfirm);
    });
    refreshHealth();
}

void JobPresenter::cancelRun() {
    if (m_running) {
        m_cancel = true;
    }
}

void JobPresenter::cancelForSessionEnd() {
    if (m_running) {
        m_cancelReason = kCancelledBySessionEnd;
        m_cancel = true;
    }
}

void JobPresenter::tick() {
    // A tick during a run is skipped; the next one after it still finds the day's fire
    // instant, so nothing is lost and no second run starts meanwhile.
    if (m_running) {
        return;
    }
    guarded([this] {
        if (const auto due = m_job.isDue(settings())) {
            startRun(*due);
        }
    });
}

void JobPresenter::minuteTick() {
    refreshHealth(true);
}

bool JobPresenter::keepCountAccepts(std::string_view candidate) {
    return candidate.empty() || vantrel::keepCountAccepts(candidate);
}

void JobPresenter::commitKeepCount() {
    guarded([this] {
        m_view.showKeepText(vantrel::commitKeepCount(m_view.fields().text(Setting::Keep)));
    });
}

bool JobPresenter::mayClose(bool sessionEnding) {
    if (sessionEnding) {
        return true;
    }
    const std::string question =
        m_running ? std::string(kCloseWhileRunningNotice) + std::string(kCloseQuestion)
                  : std::string(kCloseQuestion);
    if (!m_view.confirm(question)) {
        return false;
    }
    if (unsavedChanges()) {
        switch (m_view.askSave(kUnsavedQuestion)) {
            case SaveAnswer::Cancel:
                return false;
            case SaveAnswer::Save:
                if (!saveFields()) {
                    return false;  // the window stays, with what was refused said
                }
                break;
            case SaveAnswer::Discard:
                break;
        }
    }
    // A run under way is cancelled, as 取消 does: its unfinished copy removed and its history
    // row written before the program ends.
    if (m_running) {
        cancelRun();
        waitForRun();
    }
    return true;
}

std::vector<JobPresenter::TrayMenuItem> JobPresenter::trayMenu() const {
    // While a run goes, as in the window: no second run, the timetable left as it is.
    const bool idle = !m_running;
    return {{TrayCommand::Open, "打开主界面"},
            {TrayCommand::BackUpNow, "立即备份", idle},
            timetableOn() ? TrayMenuItem{TrayCommand::StopTimetable, "终止备份计划", idle}
                          : TrayMenuItem{TrayCommand::StartTimetable, "启动备份计划", idle},
            {TrayCommand::Restore, "恢复文件…"},
            {TrayCommand::Exit, "退出"}};
}

void JobPresenter::trayCommand(TrayCommand command) {
    switch (command) {
        case TrayCommand::Open:
            m_view.showWindow();
            break;
        case TrayCommand::BackUpNow:
            backUpNow();
            break;
        case TrayCommand::StartTimetable:
            if (!m_running) {
                startTimetable();
            }
            break;
        case TrayCommand::StopTimetable:
            if (!m_running) {
                stopTimetable();
            }
            break;
        case TrayCommand::Restore:
            openRestore();
            break;
        case TrayCommand::Exit:
            if (mayClose(false)) {
                m_view.endProgram();
            }
            break;
    }
}

void JobPresenter::startRun(const RunRequest& request) {
    if (m_running) {
        return;
    }
    const TBackupSettings s = settings();
    m_running = true;
    m_cancel = false;
    m_cancelReason = nullptr;
    m_view.showRunning(true);
    m_worker = std::thread([this, s, request] {
        RunControl control{&m_cancel};
        control.cancelReason = &m_cancelReason;
        // execute() records every outcome and never throws.
        RunResult result = m_job.execute(s, request, control);
        m_view.post([this, result = std::move(result)] { finishRun(result); });
    });
}

void JobPresenter::finishRun(const RunResult& result) {
    if (m_worker.joinable()) {
        m_worker.join();
    }
    m_running = false;
    m_view.showRunning(false);
    m_job.finished(result);
    refreshHealth();
    // The guard's warning stays in the status until the next text.
    if (result.report.massChange) {
        setStatus(*result.report.massChange);
    }
    m_outcomes.tell(m_view, result, m_engineUi->takeRunMessages(), m_health, m_inTray);
}

void JobPresenter::refreshHealth(bool byClock) {
    guarded([this, byClock] {
        const JobHealth::State before = m_health.state;
        const TBackupSettings s = settings();
        m_health = m_job.health(s);
        // A job with a timetable set that no timetable runs makes no scheduled backups.
        const bool timetableSet = !s.SourcePath.empty() && !s.TargetFolder.empty() &&
                                  std::find(s.Days.begin(), s.Days.end(), true) != s.Days.end();
        if (timetableSet && !m_health.nextRun && !(s.SystemTask && m_scheduler != nullptr)) {
            if (m_health.state == JobHealth::State::Ok) {
                m_health.state = JobHealth::State::Warning;
            }
            m_health.reason += (m_health.reason.empty() ? "" : "；") + std::string(kTimetableOff);
        }
        const LocalTime now = m_ws.clock.now();
        HealthView view;
        view.state = m_health.state;
        view.colour = colourOf(m_health.state);
        view.summary = m_health.summaryLine();
        view.lastComplete = m_health.lastCompleteLine(now);
        view.lastCheck = m_health.lastCheckLine;
        view.nextRun = m_health.nextRunLine();
        view.alarm = m_health.state == JobHealth::State::Failed ||
                     m_health.state == JobHealth::State::Overdue;
        view.changesHeld = m_health.changesHeld;
        m_view.showHealth(view);
        m_view.showTray(trayToolTip(), view.alarm);
        // A job that falls overdue while nothing runs says so once.
        if (byClock && m_inTray && m_health.state == JobHealth::State::Overdue &&
            before != JobHealth::State::Overdue) {
            m_view.notify("Vantrel：" + pathToUtf8(m_ws.dir), "备份已逾期：" + m_health.reason,
                          Severity::Warning);
        }
    });
}

// The program, the job's folder, its health and next run. A folder named after the program
// (the installer's job folder) is not named twice.
std::string JobPresenter::trayToolTip() const {
    const std::string folder = pathToUtf8(m_ws.dir.filename());
    std::string lower = folder;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    const bool programsName = lower == "vantrel";
    return "Vantrel\n" + (programsName ? "" : folder + "\n") + m_health.summaryLine() + "\n" +
           m_health.nextRunLine();
}

void JobPresenter::waitForRun() {
    if (m_worker.joinable()) {
        m_worker.join();
    }
}

}  // namespace vantrel
