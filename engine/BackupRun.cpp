#include "engine/BackupRun.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "engine/BackupError.h"
#include "engine/BackupRecordStore.h"
#include "engine/CopyPlan.h"
#include "engine/OperationLog.h"
#include "engine/Settings.h"
#include "engine/TextRules.h"
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
    return !ec1 && !ec2 && isWithin(realTarget, realSource);
}

[[noreturn]] void failCopy(BackupUi& ui, const FileOpResult& result, const fs::path& fallback) {
    ui.setStatus(kCopyFailed);
    const auto& path = result.failedPath.empty() ? fallback : result.failedPath;
    throw BackupError(std::string(kCopyFailed) + "“" + pathToUtf8(path) + "”：" +
                      result.error.message());
}

bool pathExists(const fs::path& p) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(p, ec));
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
    path += NameTail(sourcePath);
    path += '_';
    path += dateDigits(when);
    return path;
}

RunReport RunBackup(Workspace& ws, const TBackupSettings& settings, PruneAfterRun prune,
                    const RunControl& control) {
    (void)control;
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
    const fs::path source = resolveInWorkDir(ws.dir, settings.SourcePath);
    const fs::path target = resolveInWorkDir(ws.dir, targetText);
    // Copying a folder into itself would never end.
    if (targetInsideSource(target, source)) {
        ui.showMessage(kTargetInsideSource);
        return report;
    }

    // One run at a time per working directory, from the copy to the end of the prune.
    std::optional<RunLock> lock;
    try {
        lock = RunLock::tryAcquire(ws.lockFile());
    } catch (const std::system_error& e) {
        throw BackupError("无法打开文件“" + pathToUtf8(ws.lockFile()) + "”：" + e.code().message());
    }
    if (!lock) {
        throw BackupError(std::string(kBusy));
    }

    // Opened before the copy, so an unusable database refuses the run instead of leaving a
    // copy that no row names.
    BackupRecordStore::CreateIfMissing(ws.databaseFile());
    BackupRecordStore store(ws.databaseFile());

    CopyPlan plan(ws, settings, source, target, prune == PruneAfterRun::IfKeepCountSet);
    plan.prepare();

    ui.setStatus(kCopyingStatus);
    ui.repaint();

    // The copy is made under a staging name and renamed only once complete, so a dated name
    // never holds half a copy and an earlier copy of the same day survives a failed run.
    const fs::path staging = pathFromUtf8(pathToUtf8(target) + ".partial");
    if (auto r = ws.files.removeTree(staging); !r.ok()) {
        failCopy(ui, r, staging);
    }
    const auto copied = ws.files.copyTree(source, staging, plan.options(),
                                          [&ui](const CopyProgress& p) { ui.showProgress(p); });
    if (!copied.ok()) {
        ws.files.removeTree(staging);
        failCopy(ui, copied, source);
    }
    if (pathExists(target)) {
        if (auto r = ws.files.removeTree(target); !r.ok()) {
            ws.files.removeTree(staging);
            failCopy(ui, r, target);
        }
    }
    if (auto r = ws.files.rename(staging, target); !r.ok()) {
        ws.files.removeTree(staging);
        failCopy(ui, r, target);
    }

    OperationLog(ws.logFile())
        .Append(OperationLog::composeLine(ws.clock.now(), settings.SourcePath, targetText));
    ui.setStatus(kCopied);
    store.Add(targetText,
              std::chrono::year_month_day{std::chrono::floor<std::chrono::days>(started)});
    plan.recordManifest(targetText);

    if (prune == PruneAfterRun::IfKeepCountSet && !trimControls(settings.KeepCountText).empty()) {
        store.PruneBackups(settings.KeepCountText, settings.KeepCount, ws.files);
    }
    report.ran = true;
    report.targetPath = targetText;
    report.copied = copied.done;
    report.shared = copied.shared;
    report.shareFallbacks = copied.shareFallbacks;
    report.sharingUnsupported = plan.sharingUnsupported();
    report.duration =
        std::chrono::duration_cast<std::chrono::milliseconds>(ws.clock.now() - started);
    return report;
}

}  // namespace vantrel
