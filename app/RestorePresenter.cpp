#include "app/RestorePresenter.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <map>
#include <utility>

#include "engine/BackupError.h"
#include "engine/Texts.h"
#include "engine/manifest/CopyChecks.h"
#include "engine/manifest/CopyListing.h"
#include "engine/places/SourcePath.h"
#include "engine/records/RunHistory.h"
#include "engine/restore/FileVersions.h"
#include "engine/run/BackupRun.h"
#include "platform/FileStat.h"
#include "platform/LongPath.h"
#include "platform/TextCodec.h"

namespace vantrel {

namespace fs = std::filesystem;

namespace {

// A search shows no more than a list can usefully hold; more text narrows it down.
constexpr std::size_t kMostHits = 1000;

// A path below the source as the system writes paths: "\" between names on Windows.
std::string shownPath(std::string path) {
    if constexpr (fs::path::preferred_separator != '/') {
        std::replace(path.begin(), path.end(), '/',
                     static_cast<char>(fs::path::preferred_separator));
    }
    return path;
}

std::string parentOf(const std::string& path) {
    const auto cut = path.rfind('/');
    return cut == std::string::npos ? std::string() : path.substr(0, cut);
}

RestoreEntryRow entryRow(const ManifestEntry& e) {
    RestoreEntryRow row;
    row.path = e.path;
    const auto cut = e.path.rfind('/');
    row.name = cut == std::string::npos ? e.path : e.path.substr(cut + 1);
    row.folder = e.type == 'd';
    row.size = e.type == 'f' ? sizeText(e.size) : std::string();
    row.modified = formatLocalTime(localTimeOf(e.mtimeNs));
    return row;
}

constexpr std::string_view kGone = "已删除";
constexpr std::string_view kHoldsGone = "含已删除的文件";

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
    : m_ws(ws),
      m_settings(std::move(settings)),
      m_view(view),
      m_placer(placer),
      m_searcher(ws, m_settings, [this](CopySearch::Batch&& batch) {
          m_view.post([this, batch = std::move(batch)]() mutable { searchFound(batch); });
      }) {}

RestorePresenter::~RestorePresenter() {
    m_searcher.stop();
    waitForRestore();
}

void RestorePresenter::waitForSearch() {
    m_searcher.wait();
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
        showFolderOrHits();
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
    if (const auto records = openRecords(m_ws)) {
        for (RunRecord& r : RunHistory(*records).list()) {
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
            showFolderOrHits();
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
            showFolderOrHits();
            return;
        }
    }
}

void RestorePresenter::openFolder(const std::string& path) {
    endSearch();
    if (path == "..") {
        m_folder = parentOf(m_folder);
    } else {
        m_folder = path;
    }
    showFolder();
}

void RestorePresenter::openAt(const std::string& path) {
    try {
        const std::string rel = sourceRelative(m_ws, m_settings, path);
        endSearch();
        if (m_copy == nullptr) {
            return;
        }
        std::optional<ManifestEntry> entry = m_copy->find(rel);
        for (auto it = m_copies.begin(); !entry && it != m_copies.end(); ++it) {
            if (&*it != m_copy && it->onDisk() && (entry = it->find(rel))) {
                relist(it->record().id);  // the newest copy that holds it, chosen
            }
        }
        if (entry && entry->type == 'd') {
            m_folder = rel;
            showFolder();
            return;
        }
        // The folder it lies in, or the nearest one above that the copy holds.
        m_folder = parentOf(rel);
        while (!m_folder.empty() && !m_copy->find(m_folder)) {
            m_folder = parentOf(m_folder);
        }
        if (!entry) {
            showFolder();
            m_view.showMessage("没有哪一份备份含有“" + shownPath(rel) + "”");
            return;
        }
        showFolder(rel);
        select({rel});
    } catch (const std::exception& e) {
        m_view.showMessage(e.what());
    }
}

void RestorePresenter::setFilter(const std::string& text) {
    if (text == m_filter) {
        return;
    }
    m_filter = text;
    if (m_filter.empty()) {
        endSearch();
        showFolder();
    } else {
        startSearch();
    }
}

void RestorePresenter::setShowDeleted(bool on) {
    m_showDeleted = on;
    showFolderOrHits();
}

void RestorePresenter::showFolderOrHits() {
    if (m_filter.empty()) {
        showFolder();
    } else {
        startSearch();
    }
}

void RestorePresenter::endSearch() {
    if (!m_filter.empty()) {
        m_filter.clear();
        m_searcher.stop();
        m_search = 0;
        m_view.showFilter("");
    }
}

void RestorePresenter::startSearch() {
    m_selected.clear();
    m_view.showVersions({});
    m_hits = 0;
    if (m_copy == nullptr) {
        m_searcher.stop();
        m_search = 0;
        m_view.showHits("查找“" + m_filter + "”：没有可查找的备份", {}, true);
        return;
    }
    // Whether each find is still in the source is asked on the search's thread: the source
    // may be slow to answer, and only what is found is asked about.
    const fs::path source = sourceRoot(m_ws, m_settings);
    const bool onlyDeleted = m_showDeleted;
    FileOps& files = m_ws.files;
    m_search = m_searcher.start(
        m_copy->record().id, nameSearchKey(m_filter), kMostHits,
        [source, onlyDeleted, &files](const ManifestEntry& e) -> std::optional<RestoreEntryRow> {
            RestoreEntryRow row = entryRow(e);
            const std::string folder = parentOf(e.path);
            row.where = folder.empty() ? "（源文件夹）" : shownPath(folder);
            if (onlyDeleted) {
                if (files.stat(longPath(source / pathFromUtf8(e.path)), false)) {
                    return std::nullopt;
                }
                row.deleted = kGone;
            }
            return row;
        });
    m_view.showHits("查找“" + m_filter + "”……", {}, true);
}

void RestorePresenter::searchFound(CopySearch::Batch& batch) {
    if (batch.search != m_search || m_filter.empty()) {
        return;  // a search no longer shown
    }
    m_hits += batch.rows.size();
    const std::string head = "查找“" + m_filter + "”";
    std::string status;
    if (!batch.error.empty()) {
        status = head + "：" + batch.error;
    } else if (!batch.done) {
        status = head + "…… 已找到 " + std::to_string(m_hits) + " 项";
    } else if (batch.more) {
        status = head + "：只显示前 " + std::to_string(m_hits) + " 项，请输入更多文字缩小范围";
    } else if (m_hits == 0) {
        status = head + (m_showDeleted ? "：没有找到已删除的项" : "：没有找到");
    } else {
        status = head + "：找到 " + std::to_string(m_hits) + " 项";
    }
    m_view.showHits(status, batch.rows, false);
}

void RestorePresenter::showFolder(const std::string& chosen) {
    m_selected.clear();
    m_view.showVersions({});
    std::vector<RestoreEntryRow> rows;
    if (m_copy == nullptr) {
        m_view.showEntries(shownPath(m_folder), rows);
        return;
    }
    const fs::path source = sourceRoot(m_ws, m_settings);
    const auto inSource = [&](const std::string& path) {
        return m_ws.files.stat(longPath(source / pathFromUtf8(path)), false).has_value();
    };
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
            RestoreEntryRow row = entryRow(*e);
            row.chosen = e->path == chosen;
            at = byName.emplace(name, rows.size()).first;
            rows.push_back(std::move(row));
            if (m_showDeleted && !inSource(e->path)) {
                rows[at->second].deleted = kGone;  // and so is everything under it
            }
        } else if (m_showDeleted && at != byName.end() && rows[at->second].deleted.empty() &&
                   !inSource(e->path)) {
            // A folder the source still has, that lost something under it.
            rows[at->second].deleted = kHoldsGone;
        }
    }
    if (m_showDeleted) {
        std::erase_if(rows, [](const RestoreEntryRow& row) { return row.deleted.empty(); });
    }
    std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
        return a.folder != b.folder ? a.folder : a.name < b.name;
    });
    m_view.showEntries(shownPath(m_folder), rows);
}

void RestorePresenter::select(const std::vector<std::string>& paths) {
    m_selected = paths;
    if (paths.size() != 1) {
        m_view.showVersions({});
        return;
    }
    try {
        std::vector<RestoreVersionRow> rows;
        for (const FileVersion& v : versionsOf(m_ws, m_settings, paths.front())) {
            rows.push_back({v.date, sizeText(v.size), formatLocalTime(localTimeOf(v.mtimeNs)),
                            v.sameAsNewer ? "同上" : ""});
        }
        m_view.showVersions(rows);
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
    // Among a search's finds, the folder of the one chosen.
    const std::string folder =
        !m_filter.empty() && m_selected.size() == 1 ? parentOf(m_selected.front()) : m_folder;
    m_view.openInFileManager(folder.empty() ? m_copy->place()
                                            : m_copy->place() / pathFromUtf8(folder));
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
    // The entries chosen; without a choice, the folder shown. A search's finds are chosen
    // one by one: the whole folder behind them is not what was looked for.
    request.paths = m_selected;
    if (request.paths.empty() && !m_filter.empty()) {
        m_view.showMessage("请在查找到的项中选择要恢复的文件或文件夹");
        return;
    }
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
                m_view.showProgress({progressStatus(done, total, ProgressVerb::Restore),
                                     progressPermille(done, total),
                                     timeLeftText(done, total, elapsed)});
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
    // Names never hold the separator on Windows: every "/" there stands between names.
    for (std::string& line : details) {
        line = shownPath(std::move(line));
    }
    m_view.showSummary(restoreHeadline(out), details);
    if (m_filter.empty() || m_showDeleted) {
        showFolderOrHits();  // what is deleted may be back
    }
}

std::string restoreHeadline(const RestoreOutcome& out) {
    std::string text = std::string(out.cancelled ? "恢复已取消：" : "恢复完毕：") + "已恢复 " +
                       std::to_string(out.restored + out.besides.size()) + " 个文件";
    if (!out.besides.empty()) {
        text += "（其中 " + std::to_string(out.besides.size()) + " 个以新名称保存）";
    }
    return text + "，" + std::to_string(out.identical) + " 个文件已相同，" +
           std::to_string(out.failed.size()) + " 项未能恢复";
}

}  // namespace vantrel
