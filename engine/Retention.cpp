#include "engine/Retention.h"

#include <cmath>
#include <limits>

#include "engine/CopyNaming.h"

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

std::vector<Fate> selectPrunable(const std::vector<RetentionRow>& newestFirst, std::size_t keep) {
    const std::size_t n = newestFirst.size();
    std::vector<Fate> fates(n, Fate::Forgotten);
    // A row whose place a newer row names is superseded, not a copy of its own.
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t newer = 0; newer < i; ++newer) {
            if (samePlace(newestFirst[newer].place, newestFirst[i].place)) {
                fates[i] = Fate::Superseded;
                break;
            }
        }
    }
    std::size_t completeSeen = 0;
    std::size_t oldestKeptComplete = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (fates[i] != Fate::Superseded && newestFirst[i].complete && completeSeen < keep) {
            ++completeSeen;
            fates[i] = Fate::Kept;
            oldestKeptComplete = i;
        }
    }
    std::size_t incompleteSeen = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (fates[i] == Fate::Forgotten && newestFirst[i].held) {
            fates[i] = Fate::Kept;  // held, and not counted against the keep count
        }
        if (fates[i] != Fate::Forgotten) {
            continue;
        }
        if (completeSeen >= keep) {
            if (i < oldestKeptComplete) {
                fates[i] = Fate::Kept;  // newer than the oldest kept complete copy
            }
        } else if (!newestFirst[i].complete && incompleteSeen < keep) {
            ++incompleteSeen;  // too few complete copies: keep the newest incomplete ones too
            fates[i] = Fate::Kept;
        }
    }
    // A copy goes from disk only in scope, and never while a kept row names it.
    for (std::size_t i = 0; i < n; ++i) {
        if (fates[i] != Fate::Forgotten || !newestFirst[i].inScope) {
            continue;
        }
        bool namedByKeptRow = false;
        for (std::size_t k = 0; k < n && !namedByKeptRow; ++k) {
            namedByKeptRow =
                fates[k] == Fate::Kept && samePlace(newestFirst[k].place, newestFirst[i].place);
        }
        if (!namedByKeptRow) {
            fates[i] = Fate::Deleted;
        }
    }
    return fates;
}

}  // namespace vantrel
