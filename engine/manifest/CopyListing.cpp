#include "engine/manifest/CopyListing.h"

#include <filesystem>
#include <set>
#include <string>
#include <system_error>

#include "engine/BackupError.h"
#include "engine/places/JobPlaces.h"
#include "engine/places/RunTarget.h"
#include "engine/rules/ChangeGuard.h"
#include "engine/rules/Retention.h"
#include "engine/run/CopyNaming.h"

namespace vantrel {

std::vector<ListedCopy> listCopies(const Workspace& ws, const PruneScope* scope) {
    std::vector<ListedCopy> listed;
    const auto records = openRecords(ws);
    if (!records) {
        return listed;
    }
    std::set<std::string> places;
    for (BackupRecord& record : BackupRecordStore(*records).list()) {
        const auto place = record.place(ws.dir);
        if (!places.insert(pathKey(place)).second) {
            continue;
        }
        const bool onDisk = ws.files.stat(place, false).has_value();
        const bool elsewhere = scope && !recordInScope(ws.files, record, place, *scope);
        listed.push_back({std::move(record), onDisk, elsewhere});
    }
    return listed;
}

std::vector<ListedCopy> listCopies(const Workspace& ws, const TBackupSettings& settings) {
    std::optional<PruneScope> scope;
    try {
        const ResolvedRun run = resolveRun(ws, settings, ws.clock.now());
        if (!run.refusal || (run.refusal->reason != RefusalReason::NoSource &&
                             run.refusal->reason != RefusalReason::NoTarget)) {
            scope = run.target.pruneScope();
        }
    } catch (const BackupError&) {
        // A malformed rule says nothing of where the copies go; they are listed unmarked.
    }
    return listCopies(ws, scope ? &*scope : nullptr);
}

std::vector<PreviewedCopy> previewPrune(const Workspace& ws, const TBackupSettings& settings) {
    const ResolvedRun run = resolveRun(ws, settings, ws.clock.now());
    if (run.refusal && (run.refusal->reason == RefusalReason::NoSource ||
                        run.refusal->reason == RefusalReason::NoTarget)) {
        throw BackupError(run.refusal->text);
    }
    std::vector<PreviewedCopy> previewed;
    const auto records = openRecords(ws);
    if (!records) {
        return previewed;
    }
    BackupRecordStore store(*records);
    if (!run.target.retention) {
        for (ListedCopy& copy : listCopies(ws)) {
            previewed.push_back({std::move(copy.record), std::string(kKeptWithoutKeepCount)});
        }
        return previewed;
    }
    // Copies the guard against mass changes holds are kept, as the prune after a run keeps them.
    const std::optional<ChangeHold> hold = ChangeGuard(*records).active();
    PruneSelection selection = store.selectPrune(
        ws.files, *run.target.retention, run.target.pruneScope(), std::nullopt, std::nullopt,
        hold ? std::optional<std::int64_t>(hold->recordId) : std::nullopt);
    for (std::size_t i = 0; i < selection.rows.size(); ++i) {
        if (selection.verdicts[i].fate != Fate::Superseded) {
            previewed.push_back({std::move(selection.rows[i]),
                                 verdictText(selection.verdicts[i], *run.target.retention)});
        }
    }
    return previewed;
}

namespace {

// Marks the listed copies `which` picks, in one place for the date and the row alike.
template <class Which>
std::vector<BackupRecord> pinListed(const Workspace& ws, bool pinned, Which which) {
    std::vector<BackupRecord> marked;
    for (ListedCopy& copy : listCopies(ws)) {
        if (which(copy.record)) {
            marked.push_back(std::move(copy.record));
        }
    }
    if (!marked.empty()) {
        const auto records = openOrMakeRecords(ws);
        BackupRecordStore store(*records);
        for (BackupRecord& record : marked) {
            store.setPinned(record.id, pinned);
            record.pinned = pinned;
        }
    }
    return marked;
}

}  // namespace

std::vector<BackupRecord> pinCopies(const Workspace& ws, std::string_view date, bool pinned) {
    return pinListed(ws, pinned, [date](const BackupRecord& r) { return r.date == date; });
}

std::optional<BackupRecord> pinCopy(const Workspace& ws, std::int64_t id, bool pinned) {
    std::vector<BackupRecord> marked =
        pinListed(ws, pinned, [id](const BackupRecord& r) { return r.id == id; });
    if (marked.empty()) {
        return std::nullopt;
    }
    return std::move(marked.front());
}

}  // namespace vantrel
