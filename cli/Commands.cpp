#include "cli/Commands.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "engine/BackupError.h"
#include "engine/Settings.h"
#include "engine/Texts.h"
#include "engine/manifest/CopyChecks.h"
#include "engine/manifest/CopyEntries.h"
#include "engine/manifest/CopyListing.h"
#include "engine/manifest/ManifestCheck.h"
#include "engine/notice/Alert.h"
#include "engine/notice/Notice.h"
#include "engine/places/SourcePath.h"
#include "engine/records/BackupRecordStore.h"
#include "engine/records/OperationLog.h"
#include "engine/records/RunHistory.h"
#include "engine/restore/Drill.h"
#include "engine/restore/FileVersions.h"
#include "engine/rules/ChangeGuard.h"
#include "engine/rules/Exclusions.h"
#include "engine/rules/SystemTask.h"
#include "engine/run/BackupJob.h"
#include "engine/run/BackupRun.h"
#include "platform/ErrorText.h"
#include "platform/SystemScheduler.h"
#include "platform/TextCodec.h"

namespace vantrel::cli {

namespace {

volatile std::sig_atomic_t g_stopRequested = 0;
std::atomic<bool> g_cancelRun{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

extern "C" void requestStop(int) {
    g_stopRequested = 1;
}

extern "C" void requestCancel(int) {
    g_cancelRun = true;
}

std::atomic<const char*> g_cancelReason{nullptr};
std::atomic<bool> g_running{false};

#ifndef _WIN32
extern "C" void cancelOnSignal(int signal) {
    cancelForShutdown(signal == SIGHUP ? "已取消：终端已断开或用户已注销（SIGHUP）"
                                       : "已取消：收到结束信号（SIGTERM），如系统关机或服务停止");
}
#endif

// The control of a run that a signal or the console's close can cancel.
RunControl cancellable() {
    RunControl control{&g_cancelRun};
    control.cancelReason = &g_cancelReason;
    return control;
}

// Marks a run under way for as long as it lives.
struct UnderWay {
    UnderWay() { g_running = true; }
    ~UnderWay() { g_running = false; }
    UnderWay(const UnderWay&) = delete;
    UnderWay& operator=(const UnderWay&) = delete;
};

void printOut(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
}

// Reads the settings from "config.ini". Shows why and returns false when they cannot be read.
bool loadSettings(Workspace& ws, TBackupSettings& settings) {
    try {
        LoadSettings(ws, settings);
        return true;
    } catch (const std::exception& e) {
        ws.ui.showMessage(e.what());
        return false;
    }
}

// Reads the settings and checks them as the timetable's start does, without writing the file.
// Shows the refusal and returns false when a timetable could not run with them.
bool loadTimetableSettings(Workspace& ws, const BackupJob& job, TBackupSettings& settings) {
    if (!loadSettings(ws, settings)) {
        return false;
    }
    if (const auto refusal = job.timetableRefusal(settings)) {
        ws.ui.showMessage(*refusal);
        return false;
    }
    return true;
}

// What identifies one version of the settings file: its time stamp and size.
struct FileStamp {
    std::filesystem::file_time_type time{};
    std::uintmax_t size = 0;
    bool exists = false;

    friend bool operator==(const FileStamp&, const FileStamp&) = default;
};

FileStamp stampOf(const std::filesystem::path& file) {
    std::error_code ec;
    FileStamp stamp;
    stamp.time = std::filesystem::last_write_time(file, ec);
    if (ec) {
        return {};
    }
    stamp.size = std::filesystem::file_size(file, ec);
    stamp.exists = !ec;
    return stamp;
}

// Sleeps about one tick, waking early when asked to stop.
void waitOneTick() {
    using namespace std::chrono_literals;
    for (int i = 0; i < 10 && !g_stopRequested; ++i) {
        std::this_thread::sleep_for(100ms);
    }
}

// What a run shared with the previous copy, each entry it could not copy, and its failure.
void printDetails(Workspace& ws, const RunResult& result) {
    const RunReport& report = result.report;
    if (report.shared > 0 || report.shareFallbacks > 0) {
        ws.ui.setStatus("与上一个备份共享未改动的文件 " + std::to_string(report.shared) +
                        " 个，链接失败改为复制 " + std::to_string(report.shareFallbacks) + " 个");
    }
    NoticeContext context;
    context.jobDir = pathToUtf8(ws.dir);
    const RunNotice notice = makeNotice(result, context);
    // One line per entry, each standing on its own (a log or grep keeps it whole).
    for (const NoticeEntry& entry : notice.entries) {
        ws.ui.showMessage("未能复制“" + entry.path + "”：" + entry.reason);
    }
    if (notice.failure) {
        ws.ui.showMessage(*notice.failure);
    }
}

// Reads the settings for a command that needs the source. Shows why and returns false when
// they cannot be read or name no source.
bool loadSource(Workspace& ws, TBackupSettings& settings) {
    if (!loadSettings(ws, settings)) {
        return false;
    }
    if (settings.SourcePath.empty()) {
        ws.ui.showMessage(kNoSourceMessage);
        return false;
    }
    return true;
}

}  // namespace

void cancelForShutdown(const char* why) {
    g_cancelReason = why;
    g_cancelRun = true;
    g_stopRequested = 1;
}

bool runUnderWay() {
    return g_running;
}

int runBackup(Workspace& ws) {
    TBackupSettings settings;
    if (!loadSettings(ws, settings)) {
        return kRefused;
    }
    // SIGINT, SIGTERM and SIGHUP cancel the copy; the run then leaves nothing behind, and its
    // history row says why when it was not the user's interrupt.
    std::signal(SIGINT, requestCancel);
#ifdef _WIN32
    std::signal(SIGTERM, requestCancel);
#else
    std::signal(SIGTERM, cancelOnSignal);
    std::signal(SIGHUP, cancelOnSignal);
#endif
    BackupJob job(ws);
    const UnderWay underWay;
    const RunResult result =
        job.execute(settings, RunRequest::forTrigger(RunTrigger::CommandLine), cancellable());
    if (result.error) {
        printDetails(ws, result);
        return kFailed;
    }
    switch (result.record.outcome) {
        case RunOutcome::Refused:
            return kRefused;
        case RunOutcome::Cancelled:
            return kFailed;
        default:
            break;
    }
    printDetails(ws, result);
    return result.report.hasWarning() ? kWarning : kOk;
}

int runSchedule(Workspace& ws) {
    BackupJob job(ws);
    TBackupSettings settings;
    if (!loadTimetableSettings(ws, job, settings)) {
        return kRefused;
    }
    // SIGINT ends the timetable once a run under way has ended; SIGTERM and SIGHUP (the
    // session or the service ending) cancel that run as well.
    std::signal(SIGINT, requestStop);
#ifdef _WIN32
    std::signal(SIGTERM, requestStop);
#else
    std::signal(SIGTERM, cancelOnSignal);
    std::signal(SIGHUP, cancelOnSignal);
#endif

    try {
        job.startTimetable();
    } catch (const std::exception& e) {
        ws.ui.showMessage(e.what());  // another window or process runs this timetable
        return kFailed;
    }
    ws.ui.setStatus("启动备份计划");
    FileStamp stamp = stampOf(ws.configFile());
    while (!g_stopRequested) {
        waitOneTick();
        if (g_stopRequested) {
            break;
        }
        // A setting saved from the window, or edited by hand, takes effect at the next tick.
        if (const FileStamp now = stampOf(ws.configFile()); now != stamp) {
            stamp = now;
            TBackupSettings fresh;
            if (loadTimetableSettings(ws, job, fresh)) {
                settings = fresh;
                ws.ui.setStatus("已重新读取配置文件");
            } else {
                ws.ui.showMessage("配置文件未采用，继续使用原来的设置");
            }
        }
        try {
            const UnderWay underWay;
            if (const auto result = job.CheckSchedule(settings, cancellable())) {
                printDetails(ws, *result);
            }
        } catch (const std::exception& e) {
            ws.ui.showMessage(e.what());  // ends this run only; the timetable goes on
        }
    }
    job.StopSchedule();
    return kOk;
}

int notifyTest(Workspace& ws) {
    TBackupSettings settings;
    if (!loadSettings(ws, settings)) {
        return kRefused;
    }
    if (settings.NotifyUrl.empty()) {
        ws.ui.showMessage("config.ini 中没有设置通知网址");
        return kRefused;
    }
    const auto http = HttpClient::system();
    const auto epochMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
    const AlertFacts facts = testAlert(settings, pathToUtf8(ws.dir), ws.clock.now());
    if (const auto failure = sendAlert(*http, composeAlert(settings, facts, epochMs))) {
        ws.ui.showMessage(*failure);
        return kFailed;
    }
    printOut("测试通知已发送，服务器已收到");
    return kOk;
}

int manageTask(Workspace& ws, std::string_view action, const std::filesystem::path& windowProgram) {
    const auto scheduler = SystemScheduler::make();
    const std::string name = systemTaskEntry(ws, {}, windowProgram).name;
    if (action == "install") {
        BackupJob job(ws);
        TBackupSettings settings;
        if (!loadTimetableSettings(ws, job, settings)) {
            return kRefused;
        }
        scheduler->install(name, systemTaskEntry(ws, settings, windowProgram).definition);
        printOut(scheduler->status(name).value_or("已登记"));
        return kOk;
    }
    if (action == "remove") {
        printOut(scheduler->remove(name) ? "已删除此任务的系统计划任务"
                                         : "此任务没有登记系统计划任务");
        return kOk;
    }
    const auto status = scheduler->status(name);
    printOut(status.value_or("此任务没有登记系统计划任务"));
    return status ? kOk : kFailed;
}

int removeEveryTask() {
    const auto scheduler = SystemScheduler::make();
    const RemovedEntries removed = removeEveryJobEntry(*scheduler);
    printOut("已删除 " + std::to_string(removed.count) + " 个系统计划任务");
    if (!removed.firstError.empty()) {
        std::fputs((removed.firstError + "\n").c_str(), stderr);
        return kFailed;
    }
    return kOk;
}

int printLog(Workspace& ws) {
    OperationLog log(ws.logFile());
    std::error_code ec;
    if (!std::filesystem::exists(log.file(), ec)) {
        return kOk;
    }
    for (const std::string& line : log.LoadLines()) {
        printOut(line);
    }
    return kOk;
}

int printStatus(Workspace& ws) {
    TBackupSettings settings;
    try {
        LoadSettings(ws, settings);
    } catch (const std::exception& e) {
        ws.ui.showMessage(e.what());  // the health is still worth knowing
    }
    BackupJob job(ws);
    const JobHealth health = job.health(settings);
    printOut("Vantrel " + pathToUtf8(ws.dir));
    printOut(health.summaryLine());
    printOut(health.lastCompleteLine(ws.clock.now()));
    printOut(health.lastCheckLine);
    printOut(health.nextRunLine());
    return health.exitStatus();
}

int printHistory(Workspace& ws) {
    // A job that never ran has no record database, and reading its history makes none.
    const auto records = openRecords(ws);
    if (!records) {
        return kOk;
    }
    RunHistory history(*records);
    for (const RunRecord& r : history.list()) {
        std::vector<std::string> fields = shownFields(r);
        if (fields.back().empty()) {
            fields.pop_back();  // no message
        }
        std::string line;
        for (const std::string& field : fields) {
            line += (line.empty() ? "" : "\t") + field;
        }
        printOut(line);
    }
    return kOk;
}

int printList(Workspace& ws) {
    // Settings that cannot be read still leave the records to list, unmarked.
    TBackupSettings settings;
    try {
        LoadSettings(ws, settings);
    } catch (const std::exception&) {
        settings = TBackupSettings{};
    }
    for (const ListedCopy& copy : listCopies(ws, settings)) {
        const BackupRecord& record = copy.record;
        const std::string state =
            !copy.onDisk ? "已不存在"
            : record.complete()
                ? "完整"
                : "不完整：" + notCopiedText(record.failed.size(), record.carriedOver());
        printOut(std::to_string(record.id) + "\t" + record.date + "\t" + record.path + "\t" +
                 state + (record.pinned ? "\t永久保留" : "") +
                 (copy.elsewhere ? "\t以前的源或目标文件夹" : ""));
    }
    return kOk;
}

int printExcluded(Workspace& ws) {
    TBackupSettings settings;
    if (!loadSettings(ws, settings)) {
        return kRefused;
    }
    std::vector<ExcludedEntry> entries;
    try {
        entries = previewExcluded(ws, settings);
    } catch (const BackupError& e) {
        ws.ui.showMessage(e.what());
        return settings.SourcePath.empty() ? kRefused : kFailed;
    }
    for (const ExcludedEntry& entry : entries) {
        printOut(excludedLine(entry));
    }
    printOut(excludedSummary(entries));
    return kOk;
}

int pinCopy(Workspace& ws, std::string_view date, bool pinned) {
    const std::string day = dateTextOfDigits(date);
    const std::vector<BackupRecord> marked = pinCopies(ws, day, pinned);
    if (marked.empty()) {
        ws.ui.showMessage("没有 " + day + " 的备份。");
        return kFailed;
    }
    for (const BackupRecord& record : marked) {
        printOut((pinned ? "已永久保留：" : "已取消永久保留：") + record.path);
    }
    return kOk;
}

int previewPrune(Workspace& ws) {
    TBackupSettings settings;
    if (!loadSettings(ws, settings)) {
        return kRefused;
    }
    std::vector<PreviewedCopy> copies;
    try {
        copies = vantrel::previewPrune(ws, settings);
    } catch (const BackupError& e) {
        ws.ui.showMessage(e.what());
        return kRefused;
    }
    for (const PreviewedCopy& copy : copies) {
        printOut(std::to_string(copy.record.id) + "\t" + copy.record.date + "\t" +
                 copy.record.path + "\t" + copy.verdict);
    }
    return kOk;
}

int printVersions(Workspace& ws, std::string_view path) {
    TBackupSettings settings;
    if (!loadSource(ws, settings)) {
        return kRefused;
    }
    try {
        const auto versions = versionsOf(ws, settings, path);
        // A record row that leads elsewhere is left out of the list, and said so.
        for (const CopyEntries& copy : jobCopies(ws, settings)) {
            if (!copy.trusted()) {
                ws.ui.showMessage(untrustedRecordText(copy.record().path) + "，未列出");
            }
        }
        if (versions.empty()) {
            ws.ui.showMessage("没有备份包含“" + std::string(path) + "”");
            return kFailed;
        }
        for (const FileVersion& v : versions) {
            printOut(v.line());
        }
        return kOk;
    } catch (const RequestRefused& e) {
        ws.ui.showMessage(e.what());
        return kRefused;
    }
}

int restore(Workspace& ws, const RestoreRequest& request) {
    TBackupSettings settings;
    if (!loadSource(ws, settings)) {
        return kRefused;
    }
    RestoreOutcome out;
    try {
        RealFilePlacer placer;
        out = restoreFiles(ws, settings, request, placer);
    } catch (const RequestRefused& e) {
        ws.ui.showMessage(e.what());
        return kRefused;
    }
    for (const std::string& line : out.sources) {
        printOut(line);
    }
    for (const auto* kept : {&out.foldersBeside, &out.besides}) {
        for (const KeptBeside& b : *kept) {
            printOut(keptBesideText(b));
        }
    }
    for (const FailedEntry& f : out.failed) {
        ws.ui.showMessage(notRestoredText(f));
    }
    printOut(out.summary());
    return out.exitStatus();
}

int printChanges(Workspace& ws, std::string_view date) {
    const std::string wanted = date.empty() ? std::string() : dateTextOfDigits(date);
    // Only copies of the current source, compared with each other; unreadable settings
    // compare every copy.
    TBackupSettings settings;
    try {
        LoadSettings(ws, settings);
    } catch (const std::exception&) {
        settings = TBackupSettings{};
    }
    std::vector<CopyEntries> copies = jobCopies(ws, settings);
    auto copy = std::find_if(copies.begin(), copies.end(), [&](const CopyEntries& c) {
        return wanted.empty() || c.record().date == wanted;
    });
    if (copy == copies.end()) {
        ws.ui.showMessage(wanted.empty() ? "没有备份记录"
                                         : "没有日期为 " + std::string(date) + " 的备份");
        return kFailed;
    }
    if (!copy->trusted()) {
        ws.ui.showMessage(untrustedRecordText(copy->record().path));
        return kFailed;
    }
    if (!copy->onDisk()) {
        ws.ui.showMessage("备份“" + copy->record().path + "”已不存在");
        return kFailed;
    }
    // The job's previous copy: the next older one still on disk.
    const auto previous =
        std::find_if(copy + 1, copies.end(), [](const CopyEntries& c) { return c.onDisk(); });
    auto older = previous == copies.end() ? streamOf(Manifest{}) : previous->stream();
    auto newer = copy->stream();
    // What the copy's own rules left out was not deleted, whatever the rules say now.
    const Exclusions rules = Exclusions::stored(copy->record().rules);
    const ChangeCounts counts = compareEntries(
        *older, *newer,
        [](ChangeKind kind, const ManifestEntry& e) {
            // As `verify` prints names: one line each, in UTF-8 whatever the bytes.
            printOut(std::string(changeWord(kind)) + "\t" + escapedName(e.path));
        },
        &rules);
    printOut(counts.summary());
    return kOk;
}

int confirmChanges(Workspace& ws) {
    std::size_t confirmed = 0;
    if (const auto records = openRecords(ws)) {
        confirmed = ChangeGuard(*records).confirm(ws.clock.now());
    }
    ws.ui.setStatus(confirmed > 0 ? kChangesConfirmed : kNothingToConfirm);
    return kOk;
}

int drill(Workspace& ws, std::size_t files) {
    TBackupSettings settings;
    if (!loadSource(ws, settings)) {
        return kRefused;
    }
    DrillResult result;
    try {
        result = runDrill(ws, settings, files);
    } catch (const RequestRefused& e) {
        ws.ui.showMessage(e.what());
        return kFailed;
    }
    if (!result.refusal.empty()) {
        ws.ui.showMessage(result.refusal);
        return kFailed;
    }
    for (const std::string& failed : result.failed) {
        printOut("未通过：" + failed);
    }
    printOut(result.summary());
    return result.passed() ? kOk : kFailed;
}

int verifyCopy(Workspace& ws, std::string_view date) {
    const VerifyResult result = checkAndRecord(ws, date);
    if (!result.checked()) {
        ws.ui.showMessage(result.refusal);
        return kFailed;
    }
    const auto print = [](std::string_view label, const std::vector<std::string>& paths) {
        for (const std::string& path : paths) {
            printOut(std::string(label) + (path.empty() ? std::string(".") : escapedName(path)));
        }
    };
    print("缺少：", result.diff.missing);
    for (std::size_t i = 0; i < result.diff.changed.size(); ++i) {
        const std::string& path = result.diff.changed[i];
        printOut("已改动：" + (path.empty() ? std::string(".") : escapedName(path)) + "（" +
                 result.diff.changedWhy[i] + "）");
    }
    print("多出：", result.diff.extra);
    printOut(result.summary());
    return result.intact() ? kOk : kFailed;
}

}  // namespace vantrel::cli
