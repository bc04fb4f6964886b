#include "app/JobPresenter.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <system_error>
#include <utility>
#include <vector>

#include "engine/BackupRecordStore.h"
#include "engine/ChangeGuard.h"
#include "engine/Exclusions.h"
#include "engine/KeepCount.h"
#include "engine/OperationLog.h"
#include "engine/RunHistory.h"
#include "engine/Settings.h"
#include "engine/SystemTask.h"
#include "engine/Texts.h"
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

}  // namespace

// The run's reports for the window. Status and progress go to the window's thread at once;
// messages a run gives on its worker thread are kept and shown with its outcome, so a run in
// the tray never opens a box over other windows.
class JobPresenter::EngineUi final : public BackupUi {
public:
    explicit EngineUi(JobPresenter& presenter)
        : m_presenter(presenter), m_uiThread(std::this_thread::get_id()) {}

    void setStatus(std::string_view text) override {
        onUiThread([this, s = std::string(text)] { m_presenter.setStatus(s); });
    }

    void showMessage(std::string_view text) override {
        if (onUiThread()) {
            m_presenter.m_view.showMessage(text);
            return;
        }
        std::lock_guard lock(m_mutex);
        m_runMessages.emplace_back(text);
    }

    void setProgressTotal(const TreeSize& total) override {
        std::lock_guard lock(m_mutex);
        m_total = total;
        m_done = {};
        m_copyStart = std::chrono::steady_clock::now();
    }

    void showProgress(const CopyProgress& progress) override {
        {
            std::lock_guard lock(m_mutex);
            m_done = progress;
        }
        // Progress comes far faster than it can be drawn: one update waits at a time.
        if (!m_progressPosted.exchange(true)) {
            onUiThread([this] { applyProgress(); });
        }
    }

    // The messages the run gave, taken once it has ended.
    std::vector<std::string> takeRunMessages() {
        std::lock_guard lock(m_mutex);
        return std::exchange(m_runMessages, {});
    }

private:
    bool onUiThread() const { return std::this_thread::get_id() == m_uiThread; }

    void onUiThread(std::function<void()> fn) {
        if (onUiThread()) {
            fn();
        } else {
            m_presenter.m_view.post(std::move(fn));
        }
    }

    void applyProgress() {
        m_progressPosted = false;  // first, so a value stored meanwhile posts a fresh update
        CopyProgress done;
        TreeSize total;
        std::chrono::milliseconds elapsed{0};
        {
            std::lock_guard lock(m_mutex);
            done = m_done;
            total = m_total;
            elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - m_copyStart);
        }
        // Only the copy's own status is extended; a later status text is never overwritten.
        if (!m_presenter.m_running || !m_presenter.m_status.starts_with(kCopyingStatus)) {
            return;
        }
        m_presenter.m_view.showProgress({progressStatus(done, total), progressPermille(done, total),
                                         timeLeftText(done, total, elapsed)});
    }

    JobPresenter& m_presenter;
    const std::thread::id m_uiThread;
    std::mutex m_mutex;  // guards the four below
    std::vector<std::string> m_runMessages;
    TreeSize m_total;
    CopyProgress m_done;
    std::chrono::steady_clock::time_point m_copyStart;
    std::atomic<bool> m_progressPosted{false};
};

JobPresenter::JobPresenter(std::filesystem::path workDir, FileOps& files, const Clock& clock,
                           JobView& view)
    : m_view(view),
      m_engineUi(std::make_unique<EngineUi>(*this)),
      m_ws{std::move(workDir), files, clock, *m_engineUi},
      m_job(m_ws) {}

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

const std::vector<JobPresenter::ExclusionPreset>& JobPresenter::exclusionPresets() {
    static const std::vector<ExclusionPreset> presets = {
        {"临时文件", "*.tmp|*.temp|~$*|Thumbs.db|desktop.ini|.DS_Store"},
        {"缓存与依赖", "node_modules/|__pycache__/|.cache/|*.pyc"},
        {"回收站", "$RECYCLE.BIN/|System Volume Information/"}};
    return presets;
}

std::string JobPresenter::withPreset(std::string_view rules, std::string_view patterns) {
    std::string text(rules);
    const auto holds = [&](std::string_view pattern) {
        for (std::size_t start = 0; start <= text.size();) {
            const std::size_t end = std::min(text.find('|', start), text.size());
            if (std::string_view(text).substr(start, end - start) == pattern) {
                return true;
            }
            start = end + 1;
        }
        return false;
    };
    for (std::size_t start = 0; start < patterns.size();) {
        const std::size_t end = std::min(patterns.find('|', start), patterns.size());
        const std::string_view pattern = patterns.substr(start, end - start);
        start = end + 1;
        if (!holds(pattern)) {
            text += (text.empty() ? "" : "|") + std::string(pattern);
        }
    }
    return text;
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
    guarded([this] {
        const TBackupSettings s = settings();
        if (SaveSettings(m_ws, s)) {
            syncSystemTask(s);
        }
    });
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
    if (!m_running) {
        return m_view.confirm(kCloseQuestion);
    }
    // A run under way is cancelled first, as 取消 does: its unfinished copy removed and its
    // history row written before the program ends.
    if (!m_view.confirm(std::string(kCloseWhileRunningNotice) + std::string(kCloseQuestion))) {
        return false;
    }
    cancelRun();
    waitForRun();
    return true;
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
    showOutcome(result, m_engineUi->takeRunMessages());
}

void JobPresenter::showOutcome(const RunResult& result, const std::vector<std::string>& messages) {
    NoticeContext context;
    context.jobDir = pathToUtf8(m_ws.dir);
    context.messages = messages;
    if (m_health.state == JobHealth::State::Overdue) {
        context.overdue = m_health.reason;
    }
    context.lastUnattendedFailure = &m_lastUnattendedFailure;
    const RunNotice notice = makeNotice(result, context);
    if (notice.repeatsLast) {
        return;
    }
    // One notification per outcome: a balloon while in the tray, the boxes while shown.
    if (notifyInTray(notice)) {
        return;
    }
    for (const std::string& message : notice.messages) {
        m_view.showMessage(message);
    }
    if (!notice.entries.empty()) {
        std::vector<std::string> notCopied;
        for (const NoticeEntry& entry : notice.entries) {
            notCopied.push_back(entry.path + "：" + entry.reason);
        }
        m_view.showList(notice.entriesHeading(), notCopied);
    }
    if (notice.failure) {
        m_view.showMessage(*notice.failure);
    }
}

bool JobPresenter::notifyInTray(const RunNotice& notice) {
    if (!m_inTray) {
        return false;
    }
    if (notice.text.empty()) {
        return true;  // success stays quiet
    }
    const Severity severity =
        notice.level == NoticeLevel::Critical ? Severity::Critical : Severity::Warning;
    return m_view.notify(notice.title, notice.text, severity);
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
