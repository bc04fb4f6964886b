#include "engine/rules/Retention.h"

#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <utility>

#include "engine/run/CopyNaming.h"
#include "platform/TextCodec.h"

namespace vantrel {

std::optional<std::size_t> copiesToKeep(std::optional<double> keepValue) {
    if (!keepValue || !(*keepValue >= 1)) {
        return std::nullopt;
    }
    const double wanted = std::ceil(*keepValue);
    return wanted >= 1.0e18 ? std::numeric_limits<std::size_t>::max()
                            : static_cast<std::size_t>(wanted);
}

Place placeOf(FileOps& files, const std::filesystem::path& path) {
    return {pathKey(path), files.fileId(path)};
}

bool inPruneScope(FileOps& files, const std::filesystem::path& place, const PruneScope& scope) {
    return samePlace(placeOf(files, place.parent_path()), placeOf(files, scope.targetFolder)) &&
           isCopyOf(pathToUtf8(place.filename()), scope.copyStem);
}

bool holdsFileOfSource(FileOps& files, const std::filesystem::path& copy,
                       const std::filesystem::path& source) {
    const auto top = files.stat(copy, false);
    if (!top || !files.stat(source, true)) {
        return false;
    }
    if (top->type != EntryType::Folder) {
        return true;  // a copy of a single file, which is still there
    }
    // Thrown at the first file found: nothing more needs reading.
    struct Found {};
    try {
        files.walk(copy, [&](const std::filesystem::path& path, const EntryStat& st) {
            if (st.type == EntryType::Folder) {
                return;
            }
            const auto now = files.stat(source / path.lexically_relative(copy), false);
            if (now && now->type != EntryType::Folder) {
                throw Found{};
            }
        });
    } catch (const Found&) {
        return true;
    }
    return false;
}

std::optional<RetentionPolicy> retentionOf(const TBackupSettings& settings) {
    const auto keep = copiesToKeep(settings.KeepCount);
    if (!keep) {
        return std::nullopt;
    }
    const auto count = [](int n) { return n > 0 ? static_cast<std::size_t>(n) : std::size_t{0}; };
    return RetentionPolicy{*keep, count(settings.KeepMonthly), count(settings.KeepYearly)};
}

namespace {

// Keeps, for each of the `periods` most recent periods holding a complete copy, the oldest
// complete copy in it; `periodOf` names a date's period so that later periods compare greater.
template <class PeriodOf>
void keepOldestPerPeriod(const std::vector<RetentionRow>& rows,
                         const std::vector<Verdict>& verdicts, std::size_t periods,
                         PeriodOf periodOf, bool KeepReasons::*reason, std::vector<Verdict>& out) {
    if (periods == 0) {
        return;
    }
    // Newest first, so the last row met in a period is its oldest.
    std::map<int, std::size_t, std::greater<>> oldest;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (verdicts[i].fate != Fate::Superseded && rows[i].inScope && rows[i].complete &&
            rows[i].date) {
            oldest[periodOf(*rows[i].date)] = i;
        }
    }
    for (const auto& [period, i] : oldest) {
        if (periods-- == 0) {
            break;
        }
        out[i].reasons.*reason = true;
    }
}

}  // namespace

std::vector<Verdict> selectPrunable(const std::vector<RetentionRow>& newestFirst,
                                    const RetentionPolicy& policy) {
    using namespace std::chrono;
    const std::size_t n = newestFirst.size();
    const std::size_t keep = policy.newest;
    std::vector<Verdict> verdicts(n);
    std::vector<bool> pinned(n), held(n);
    for (std::size_t i = 0; i < n; ++i) {
        pinned[i] = newestFirst[i].pinned;
        held[i] = newestFirst[i].held;
    }
    // A row whose place a newer row names is superseded, not a copy of its own; what it was
    // pinned or held for, the place keeps.
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t newer = 0; newer < i; ++newer) {
            if (samePlace(newestFirst[newer].place, newestFirst[i].place)) {
                verdicts[i].fate = Fate::Superseded;
                verdicts[i].supersededBy = newer;
                pinned[newer] = pinned[newer] || pinned[i];
                held[newer] = held[newer] || held[i];
                break;
            }
        }
    }
    const auto open = [&](std::size_t i) { return verdicts[i].fate != Fate::Superseded; };
    const auto counts = [&](std::size_t i) { return open(i) && newestFirst[i].inScope; };
    // The newest complete copies; pinned ones are kept anyway and not counted.
    std::size_t completeSeen = 0;
    std::size_t oldestKeptComplete = 0;
    for (std::size_t i = 0; i < n && completeSeen < keep; ++i) {
        if (counts(i) && newestFirst[i].complete && !pinned[i]) {
            ++completeSeen;
            verdicts[i].reasons.newest = true;
            oldestKeptComplete = i;
        }
    }
    std::size_t incompleteSeen = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (!counts(i) || pinned[i] || verdicts[i].reasons.newest) {
            continue;
        }
        if (completeSeen >= keep) {
            verdicts[i].reasons.newest = i < oldestKeptComplete;  // newer than the oldest kept
        } else if (!newestFirst[i].complete && incompleteSeen < keep) {
            ++incompleteSeen;  // too few complete copies: keep the newest incomplete ones too
            verdicts[i].reasons.newest = true;
        }
    }
    keepOldestPerPeriod(
        newestFirst, verdicts, policy.monthly,
        [](const year_month_day& d) {
            return static_cast<int>(d.year()) * 12 + static_cast<int>(unsigned(d.month()));
        },
        &KeepReasons::monthly, verdicts);
    keepOldestPerPeriod(
        newestFirst, verdicts, policy.yearly,
        [](const year_month_day& d) { return static_cast<int>(d.year()); }, &KeepReasons::yearly,
        verdicts);
    for (std::size_t i = 0; i < n; ++i) {
        if (counts(i) && newestFirst[i].holdsSourceFiles) {
            // Among the newest it is kept anyway, and said to be.
            verdicts[i].reasons.lastWithSourceFiles = !verdicts[i].reasons.newest;
            break;
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (open(i)) {
            verdicts[i].reasons.pinned = pinned[i];
            verdicts[i].reasons.held = held[i];
            verdicts[i].reasons.elsewhere = !newestFirst[i].inScope;
            if (verdicts[i].reasons.any()) {
                verdicts[i].fate = Fate::Kept;
            }
        }
    }
    // A copy goes from disk only in scope, and never while a kept row names it.
    for (std::size_t i = 0; i < n; ++i) {
        if (verdicts[i].fate != Fate::Forgotten || !newestFirst[i].inScope) {
            continue;
        }
        bool namedByKeptRow = false;
        for (std::size_t k = 0; k < n && !namedByKeptRow; ++k) {
            namedByKeptRow = verdicts[k].fate == Fate::Kept &&
                             samePlace(newestFirst[k].place, newestFirst[i].place);
        }
        if (!namedByKeptRow) {
            verdicts[i].fate = Fate::Deleted;
        }
    }
    return verdicts;
}

std::string verdictText(const Verdict& verdict, const RetentionPolicy& policy) {
    switch (verdict.fate) {
        case Fate::Deleted:
            return "将删除";
        case Fate::Forgotten:
        case Fate::Superseded:
            return "将删除记录（备份不在目标文件夹中，不会删除）";
        case Fate::Kept:
            break;
    }
    const KeepReasons& r = verdict.reasons;
    const std::pair<bool, std::string> reasons[] = {
        {r.newest, "保留（最近 " + std::to_string(policy.newest) + " 个）"},
        {r.monthly, "保留（每月）"},
        {r.yearly, "保留（每年）"},
        {r.pinned, "保留（永久保留）"},
        {r.held, "保留（异常变化保护）"},
        {r.elsewhere, "保留（来自以前的源或目标文件夹，不会删除）"},
        {r.lastWithSourceFiles, "保留（最后一个含有源中现有文件的备份）"}};
    std::string text;
    for (const auto& [applies, words] : reasons) {
        if (applies) {
            text += (text.empty() ? "" : "；") + words;
        }
    }
    return text;
}

}  // namespace vantrel
