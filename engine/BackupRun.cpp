#include "engine/BackupRun.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "engine/BackupError.h"
#include "engine/BackupRecordStore.h"
#include "engine/CopyPlan.h"
#include "engine/CopySlot.h"
#include "engine/OperationLog.h"
#include "engine/Settings.h"
#include "engine/TextRules.h"
#include "platform/ErrorText.h"
#include "platform/RunLock.h"
#include "platform/TextCodec.h"

namespace vantrel {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kTargetInsideSource = "备份文件的目的地址不能位于源地址之内！";
constexpr std::string_view kBusy = "另一个备份正在进行中，请稍后再试！";
constexpr std::string_view kCopied = "文件备份完毕！";
constexpr std::string_view kCopyFailed = "文件备份失败！";

// Shortens `s` to at most `n` bytes without splitting a UTF-8 character.
std::string_view cutAt(std::string_view s, size_t n) {
    if (n >= s.size()) {
        return s;
    }
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) {
        --n;
    }
    return s.substr(0, n);
}

std::string dateDigits(LocalTime when) {
    const std::chrono::year_month_day ymd{std::chrono::floor<std::chrono::days>(when)};
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04d%02u%02u", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()));
    return buf;
}

// Normalised, without a trailing separator, and on Windows compared without case.
std::vector<std::string> components(const fs::path& p) {
    std::vector<std::string> parts;
    for (const auto& part : p.lexically_normal()) {
        auto text = pathToUtf8(part);
        if (text.empty()) {
            continue;  // the empty name after a trailing separator
        }
        text = pathCaseKey(text);
#ifdef _WIN32
        std::replace(text.begin(), text.end(), '\\', '/');
#endif
        parts.push_back(std::move(text));
    }
    return parts;
}

bool isWithin(const fs::path& inner, const fs::path& outer) {
    const auto in = components(inner);
    const auto out = components(outer);
    return in.size() >= out.size() && std::equal(out.begin(), out.end(), in.begin());
}

// Whether the target lies in the source or is it: as written, and with links resolved for
// the parts that exist.
bool targetInsideSource(const fs::path& target, const fs::path& source) {
    if (isWithin(target, source)) {
        return true;
    }
    std::error_code ec1, ec2;
    const auto realTarget = fs::weakly_canonical(target, ec1);
    const auto realSource = fs::weakly_canonical(source, ec2);
    if (!ec1 && !ec2 && isWithin(realTarget, realSource)) {
        return true;
    }
    // Bind mounts and other aliases: the source is one of the target's existing ancestors.
    const auto sourceId = fileIdOf(source);
    if (!sourceId) {
        return false;
    }
    for (auto p = target.parent_path(); !p.empty(); p = p.parent_path()) {
        if (fileIdOf(p) == sourceId) {
            return true;
        }
        if (p == p.root_path() || p.parent_path() == p) {
            break;
        }
    }
    return false;
}

[[noreturn]] void failCopy(BackupUi& ui, const FileOpResult& result, const fs::path& fallback) {
    ui.setStatus(kCopyFailed);
    const auto& path = result.failedPath.empty() ? fallback : result.failedPath;
    throw BackupError(std::string(kCopyFailed) + "“" + pathToUtf8(path) + "”：" +
                      describeError(result.error));
}

bool pathExists(const fs::path& p) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(p, ec));
}

fs::path followed(const fs::path& p) {
    std::error_code ec;
    auto real = fs::canonical(p, ec);
    return ec ? p : real;
}

bool isEmptyFolder(const fs::path& p) {
    std::error_code ec;
    return fs::is_directory(p, ec) && fs::is_empty(p, ec) && !ec;
}

// Whether this job's newest copy still on disk is a folder holding something.
bool newestCopyHoldsFiles(BackupRecordStore& store, const fs::path& workDir) {
    for (const auto& row : store.List()) {
        const auto place = resolveInWorkDir(workDir, row.path);
        std::error_code ec;
        if (fs::is_directory(place, ec)) {
            return !fs::is_empty(place, ec);
        }
    }
    return false;
}

// The source's last component, as its copies are named.
std::string copyStem(std::string_view sourcePath) {
    std::string tail = NameTail(sourcePath);
    if (!tail.empty() && isPathSeparator(tail.front())) {
        tail.erase(0, 1);
    }
    return tail;
}

}  // namespace

std::string NameTail(std::string_view sourcePath) {
    const size_t limit = trimControls(sourcePath).size();
    size_t pos = sourcePath.size();
    while (pos > 0 && !isPathSeparator(sourcePath[pos - 1])) {
        --pos;
    }
    if (pos == 0) {
        return std::string(cutAt(sourcePath, limit));
    }
    return std::string(cutAt(sourcePath.substr(pos - 1), limit));
}

std::string MakeTargetPath(std::string_view sourcePath, std::string_view targetFolder,
                           LocalTime when) {
    std::string path(targetFolder);
    std::string tail = NameTail(sourcePath);
    // A folder that ends in its separator ("E:\bak\", a drive root "E:\") takes no second one.
    if (!path.empty() && isPathSeparator(path.back()) && !tail.empty() &&
        isPathSeparator(tail.front())) {
        tail.erase(0, 1);
    }
    path += tail;
    path += '_';
    path += dateDigits(when);
    return path;
}

RunReport RunBackup(Workspace& ws, const TBackupSettings& settings, PruneAfterRun prune,
                    const RunControl& control) {
    BackupUi& ui = ws.ui;
    RunReport report;
    if (settings.SourcePath.empty()) {
        ui.showMessage(kNoSourceMessage);
        return report;
    }
    if (settings.TargetFolder.empty()) {
        ui.showMessage(kNoTargetMessage);
        return report;
    }

    const LocalTime started = ws.clock.now();
    const std::string targetText =
        MakeTargetPath(settings.SourcePath, settings.TargetFolder, started);
    // A source that is a link (a folder moved to another disk) means the folder it names.
    const fs::path source = followed(resolveInWorkDir(ws.dir, settings.SourcePath));
    const fs::path target = resolveInWorkDir(ws.dir, targetText).lexically_normal();
    // Copying a folder into itself would never end, and each copy would hold the earlier ones.
    if (targetInsideSource(target, source)) {
        ui.showMessage(kTargetInsideSource);
        return report;
    }

    // One run at a time per working directory, from the copy to the end of the prune.
    std::optional<RunLock> lock;
    try {
        lock = RunLock::tryAcquire(ws.lockFile());
    } catch (const std::system_error& e) {
        throw BackupError("无法打开文件“" + pathToUtf8(ws.lockFile()) + "”：" +
                          describeError(e.code()));
    }
    if (!lock) {
        throw BackupError(std::string(kBusy));
    }

    // The record file and the log are tried before the copy, so one that cannot be written
    // refuses the run instead of leaving a copy that no row or line names.
    BackupRecordStore::CreateIfMissing(ws.databaseFile());
    BackupRecordStore store(ws.databaseFile());
    store.checkWritable();
    OperationLog(ws.logFile()).checkWritable();

    const std::string date = dateDigits(started);
    CopySlot slot(ws, store, target, targetText, date);
    slot.recover();

    // The dated path is replaced only when it is this job's own copy.
    if (pathExists(target) && !store.namesPlace(target)) {
        throw BackupError("备份目的地址“" + pathToUtf8(target) +
                          "”已存在，但不是本备份任务的备份；它未被改动，本次未备份！");
    }
    // An empty source where the last copy holds files is most likely a disk not connected.
    if (isEmptyFolder(source) && newestCopyHoldsFiles(store, ws.dir)) {
        throw BackupError("备份文件源地址“" + settings.SourcePath +
                          "”是空文件夹（也许磁盘未连接），本次未备份！");
    }

    CopyPlan plan(ws, settings, source, target, prune == PruneAfterRun::IfKeepCountSet);
    std::optional<TreeSize> count;
    if (control.countSource) {
        count = control.countSource();
    } else if (control.counted != nullptr) {
        count = *control.counted;
    }
    if (count) {
        plan.useCount(*count);
    }
    plan.prepare();

    ui.setStatus(kCopyingStatus);

    CopyOptions options = plan.options();
    options.skipFailedEntries = true;
    options.cancel = control.cancel;
    if (const auto id = fileIdOf(target.parent_path())) {
        options.skipFolders.push_back(*id);
    }
    auto cancelled = [&] { return control.cancel && control.cancel->load(); };
    slot.discard();
    const auto copied = ws.files.copyTree(source, slot.staging(), options,
                                          [&ui](const CopyProgress& p) { ui.showProgress(p); });
    if (cancelled() || copied.error == std::errc::operation_canceled) {
        slot.discard();
        ui.setStatus(BackupCancelled().what());
        throw BackupCancelled();
    }
    if (!copied.ok()) {
        slot.discard();
        failCopy(ui, copied, source);
    }

    std::vector<FailedEntry> failed;
    for (const auto& entry : copied.skipped) {
        failed.push_back({pathToUtf8(entry.path), describeError(entry.error)});
    }
    const auto line =
        OperationLog::composeLine(ws.clock.now(), settings.SourcePath, targetText, failed.size());
    const std::chrono::year_month_day day{std::chrono::floor<std::chrono::days>(started)};
    char dateText[16];
    std::snprintf(dateText, sizeof dateText, "%04d-%02u-%02u", static_cast<int>(day.year()),
                  static_cast<unsigned>(day.month()), static_cast<unsigned>(day.day()));
    try {
        slot.commit(line, dateText, failed);
    } catch (const BackupError&) {
        ui.setStatus(kCopyFailed);
        throw;
    }
    plan.recordManifest(targetText);
    ui.setStatus(failed.empty()
                     ? std::string(kCopied)
                     : "文件备份完毕，但有 " + std::to_string(failed.size()) + " 项未能复制！");

    report.ran = true;
    report.targetPath = targetText;
    report.skipped = copied.skipped;
    report.copied = copied.done;
    report.shared = copied.shared;
    report.shareFallbacks = copied.shareFallbacks;
    report.sharingUnsupported = plan.sharingUnsupported();
    if (prune == PruneAfterRun::IfKeepCountSet && settings.KeepCount) {
        const PruneScope scope{target.parent_path(), copyStem(settings.SourcePath)};
        report.pruneFailures = store.PruneBackups(settings.KeepCount, ws.files, scope);
        for (const auto& f : report.pruneFailures) {
            ui.showMessage("无法删除旧备份“" + f.path + "”：" + f.reason);
        }
    }
    report.duration =
        std::chrono::duration_cast<std::chrono::milliseconds>(ws.clock.now() - started);
    return report;
}

bool TargetInsideSource(const Workspace& ws, const TBackupSettings& settings) {
    const std::string targetText =
        MakeTargetPath(settings.SourcePath, settings.TargetFolder, ws.clock.now());
    return targetInsideSource(resolveInWorkDir(ws.dir, targetText),
                              resolveInWorkDir(ws.dir, settings.SourcePath));
}

std::string_view TargetInsideSourceMessage() {
    return kTargetInsideSource;
}

bool IsBusyRefusal(const std::exception& error) {
    return error.what() == kBusy;
}

}  // namespace vantrel
