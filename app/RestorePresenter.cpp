#include "app/RestorePresenter.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <map>
#include <utility>

#include "engine/BackupError.h"
#include "engine/BackupRun.h"
#include "engine/CopyChecks.h"
#include "engine/CopyListing.h"
#include "engine/FileVersions.h"
#include "engine/RunHistory.h"
#include "engine/SourcePath.h"
#include "engine/Texts.h"
#include "platform/FileStat.h"
#include "platform/LongPath.h"
#include "platform/TextCodec.h"

namespace vantrel {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kRestoringStatus = "正在恢复……";

std::string lowerAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

std::string checkText(const std::optional<CopyCheck>& check) {
    if (!check) {
        return "未核对";
    }
    const std::string when = formatLocalTime(check->when).substr(0, 10) + " 核对";
    if (check->intact && !check->contentsChecked) {
        return "完好（" + when + "，未核对内容）";  // no hashes were recorded to compare with
    }
    return (check->intact ? "完好（" : "与清单不符（") + when + "）";
}

}  // namespace

RestorePresenter::RestorePresenter(Workspace& ws, TBackupSettings settings, RestoreView& view,
                                   FilePlacer& placer)
    : m_ws(ws), m_settings(std::move(settings)), m_view(view), m_placer(placer) {}

RestorePresenter::~RestorePresenter() {
    waitForRestore();
}

void RestorePresenter::waitForRestore() {
    if (m_worker.joinable()) {
        m_worker.join();
    }
}

void RestorePresenter::show() {
    try {
        relist(0);
        m_folder.clear();
        showFolder();
    } catch (const std::exception& e) {
        m_view.showMessage(e.what());
    }
}

bool RestorePresenter::relist(std::int64_t keep) {
    const std::int64_t before = m_copy != nullptr ? m_copy->record().id : 0;
    m_copy = nullptr;
    m_copies = jobCopies(m_ws, m_settings);
    // The files and size each run counted, by the copy it made.
    std::map<std::string, RunRecord> runs;
    if (m_ws.files.stat(m_ws.databaseFile(), true)) {
        for (RunRecord& r : RunHistory(m_ws.databaseFile()).list()) {
            if (!r.targetPath.empty()) {
                runs.emplace(r.targetPath, std::move(r));  // newest first: the first stays
            }
        }
    }
    const auto checks = copyChecks(m_ws.files, m_ws.databaseFile());
    std::vector<RestoreCopyRow> rows;
    for (const CopyEntries& copy : m_copies) {
        const BackupRecord& r = copy.record();
        RestoreCopyRow row;
        row.id = r.id;
        row.date = r.date;
        row.state = !copy.trusted()  ? "记录有误"
                    : !copy.onDisk() ? "已不存在"
                    : r.complete()   ? "完整"
                                     : "不完整";
        if (const auto run = runs.find(r.path);
            run != runs.end() && run->second.started.time_since_epoch().count() != 0 &&
            dateText(run->second.started) == r.date) {
            row.files = std::to_string(run->second.files);
            row.size = sizeText(run->second.bytes);
        }
        const auto check = checks.find(r.id);
        row.verified =
            checkText(check == checks.end() ? std::nullopt : std::optional(check->second));
        row.pinned = r.pinned;
        rows.push_back(std::move(row));
    }
    const auto kept = std::find_if(m_copies.begin(), m_copies.end(), [keep](const CopyEntries& c) {
        return c.onDisk() && c.record().id == keep;
    });
    const auto onDisk = kept != m_copies.end()
                            ? kept
                            : std::find_if(m_copies.begin(), m_copies.end(),
                                           [](const CopyEntries& c) { return c.onDisk(); });
    m_copy = onDisk == m_copies.end() ? nullptr : &*onDisk;
    m_view.showCopies(rows, m_copy != nullptr ? m_copy->record().id : 0);
    showPinCommand();
    return (m_copy != nullptr ? m_copy->record().id : 0) != before;
}

void RestorePresenter::showPinCommand() {
    const bool pinned = m_copy != nullptr && m_copy->record().pinned;
    m_view.showPinCommand(pinned ? "取消永久保留" : "永久保留", m_copy != nullptr);
}

void RestorePresenter::togglePin() {
    if (m_copy == nullptr) {
        return;
    }
    const BackupRecord chosen = m_copy->record();
    try {
        if (!pinCopy(m_ws, chosen.id, !chosen.pinned)) {
            m_view.showMessage("备份“" + chosen.path + "”已不在备份记录中");
        }
        // The folder shown stays, unless the copy is gone meanwhile.
        if (relist(chosen.id)) {
            m_folder.clear();
            showFolder();
        }
    } catch (const std::exception& e) {
        m_view.showMessage(e.what());
    }
}

void RestorePresenter::chooseCopy(std::int64_t id) {
    for (CopyEntries& copy : m_copies) {
        if (copy.record().id == id) {
            if (!copy.onDisk()) {
                m_view.showMessage("备份“" + copy.record().path + "”已不存在");
                return;
            }
            m_copy = &copy;
            showPinCommand();
            // The same folder in the other copy, when it has one.
            if (!m_folder.empty() && !m_copy->find(m_folder)) {
                m_folder.clear();
            }
            showFolder();
            return;
        }
    }
}

void RestorePresenter::openFolder(const std::string& path) {
    if (path == "..") {
        const auto cut = m_folder.rfind('/');
        m_folder = cut == std::string::npos ? std::string() : m_folder.substr(0, cut);
    } else {
        m_folder = path;
    }
    showFolder();
}

void RestorePresenter::setFilter(const std::string& text) {
    m_filter = lowerAscii(text);
    showFolder();
}

void RestorePresenter::setShowDeleted(bool on) {
    m_showDeleted = on;
    showFolder();
}

void RestorePresenter::showFolder() {
    m_selected.clear();
    m_view.showVersions({});
    std::vector<RestoreEntryRow> rows;
    if (m_copy == nullptr) {
        m_view.showEntries(m_folder, rows);
        return;
    }
    const fs::path source = sourceRoot(m_ws, m_settings);
    std::map<std::string, std::size_t> byName;  // direct children, by name
    auto entries = m_copy->stream(m_folder);
    const std::size_t skip = m_folder.empty() ? 0 : m_folder.size() + 1;
    while (const ManifestEntry* e = entries->next()) {
        if (e->path == m_folder) {
            continue;
        }
        const std::string rest = e->path.substr(skip);
        const auto slash = rest.find('/');
        const std::string name = rest.substr(0, slash);
        auto at = byName.find(name);
        if (slash == std::string::npos) {
            RestoreEntryRow row;
            row.path = e->path;
            row.name = name;
            row.folder = e->type == 'd';
            row.size = e->type == 'f' ? sizeText(e->size) : std::string();
            row.modified = formatLocalTime(localTimeOf(e->mtimeNs));
            at = byName.emplace(name, rows.size()).first;
            rows.push_back(std::move(row));
        }
        // What the source no longer has marks its row, or the folder it lies in.
        if (m_showDeleted && at != byName.end() && !rows[at->second].deleted &&
            !m_ws.files.stat(longPath(source / pathFromUtf8(e->path)), false)) {
            rows[at->second].deleted = true;
        }
    }
    std::erase_if(rows, [this](const RestoreEntryRow& row) {
        return (m_showDeleted && !row.deleted) ||
               (!m_filter.empty() && lowerAscii(row.name).find(m_filter) == std::string::npos);
    });
    std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
        return a.folder != b.folder ? a.folder : a.name < b.name;
    });
    m_view.showEntries(m_folder, rows);
}

void RestorePresenter::select(const std::vector<std::string>& paths) {
    m_selected = paths;
    if (paths.size() != 1) {
        m_view.showVersions({});
        return;
    }
    try {
        std::vector<std::string> lines;
        for (const FileVersion& v : versionsOf(m_ws, m_settings, paths.front())) {
            lines.push_back(v.line());
        }
        m_view.showVersions(lines);
    } catch (const std::exception& e) {
        m_view.showMessage(e.what());
    }
}

void RestorePresenter::openAt(const std::string& path) {
    try {
        const std::string rel = sourceRelative(m_ws, m_settings, path);
        const auto holds = [&rel](CopyEntries& c) { return c.onDisk() && c.find(rel); };
        if (m_copy == nullptr || !holds(*m_copy)) {
            const auto newest = std::find_if(m_copies.begin(), m_copies.end(), holds);
            if (newest != m_copies.end()) {
                relist(newest->record().id);
            }
        }
        const auto entry = m_copy != nullptr ? m_copy->find(rel) : std::optional<ManifestEntry>();
        if (rel.empty() || (entry && entry->type == 'd')) {
            m_folder = rel;
            showFolder();
            return;
        }
        // A file: its folder, or the nearest one above it that the copy has.
        std::string folder = rel;
        do {
            const auto cut = folder.rfind('/');
            folder = cut == std::string::npos ? std::string() : folder.substr(0, cut);
        } while (!folder.empty() && (m_copy == nullptr || !m_copy->find(folder)));
        m_folder = folder;
        showFolder();
        if (!entry) {
            m_view.showMessage("没有备份包含“" + path + "”");
            return;
        }
        m_view.showChosenEntry(rel);
        select({rel});
    } catch (const std::exception& e) {
        m_view.showMessage(e.what());
    }
}

void RestorePresenter::restoreToOriginal() {
    startRestore("");
}

void RestorePresenter::restoreTo() {
    if (m_restoring) {
        return;
    }
    if (const auto folder = m_view.pickFolder("请选择恢复到的文件夹")) {
        startRestore(*folder);
    }
}

void RestorePresenter::openBackupFolder() {
    if (m_copy == nullptr) {
        return;
    }
    m_view.openInFileManager(m_folder.empty() ? m_copy->place()
                                              : m_copy->place() / pathFromUtf8(m_folder));
}

void RestorePresenter::cancel() {
    if (m_restoring) {
        m_cancel = true;
    }
}

void RestorePresenter::startRestore(const std::string& to) {
    if (m_restoring || m_copy == nullptr) {
        return;
    }
    RestoreRequest request;
    // The entries chosen; without a choice, the folder shown.
    request.paths = m_selected;
    if (request.paths.empty()) {
        request.paths.push_back(m_folder.empty() ? "." : m_folder);
    }
    request.fromCopy = m_copy->record().id;
    request.to = to;
    m_restoring = true;
    m_cancel = false;
    m_view.showRestoring(true);
    m_view.showProgress({std::string(kRestoringStatus), -1, {}});
    waitForRestore();
    m_worker = std::thread([this, request] {
        RestoreOutcome out;
        std::string error;
        const auto started = std::chrono::steady_clock::now();
        RestoreControl control;
        control.cancel = &m_cancel;
        // Progress comes far faster than it can be drawn: a few updates a second.
        auto shown = started;
        control.progress = [this, started, &shown](const RestoreProgress& p) {
            const auto now = std::chrono::steady_clock::now();
            if (now - shown < std::chrono::milliseconds(200) && p.files != p.totalFiles) {
                return;
            }
            shown = now;
            const CopyProgress done{p.files, p.bytes};
            const TreeSize total{p.totalFiles, 0, p.totalBytes, 0};
            const auto elapsed =
                std::chrono::duration_cast<std::chrono::milliseconds>(now - started);
            m_view.post([this, done, total, elapsed] {
                std::string status = progressStatus(done, total);
                status.replace(0, kCopyingStatus.size(), kRestoringStatus);
                m_view.showProgress(
                    {status, progressPermille(done, total), timeLeftText(done, total, elapsed)});
            });
        };
        try {
            out = restoreFiles(m_ws, m_settings, request, m_placer, control);
        } catch (const std::exception& e) {
            error = e.what();  // refused, or the records could not be read
        }
        m_view.post(
            [this, out = std::move(out), error = std::move(error)] { finishRestore(out, error); });
    });
}

void RestorePresenter::finishRestore(const RestoreOutcome& out, const std::string& error) {
    waitForRestore();
    m_restoring = false;
    m_view.showRestoring(false);
    if (!error.empty()) {
        m_view.showMessage(error);
        return;
    }
    std::vector<std::string> details = out.sources;
    for (const auto* kept : {&out.foldersBeside, &out.besides}) {
        for (const KeptBeside& b : *kept) {
            details.push_back(keptBesideText(b));
        }
    }
    for (const FailedEntry& f : out.failed) {
        details.push_back(notRestoredText(f));
    }
    m_view.showSummary(out.summary(), details);
    showFolder();  // what is deleted may be back
}

}  // namespace vantrel
