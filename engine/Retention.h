#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/FileOps.h"

namespace vantrel {

// Which copies pruning keeps: the one rule that pruning follows and that the free-space check
// uses to say what pruning would free.

// How many copies a keep count keeps: the count rounded up, so rounding never deletes more
// copies than were asked to be kept; none when absent or below 1, which prunes nothing.
std::optional<std::size_t> copiesToKeep(std::optional<double> keepValue);

// Where a row says its copy is, in the two forms that tell one place: the key of its spelling,
// and the identity of what is there, when anything is.
struct Place {
    std::string key;
    std::optional<FileId> id;

    friend bool samePlace(const Place& a, const Place& b) {
        return a.key == b.key || (a.id && a.id == b.id);
    }
};
Place placeOf(FileOps& files, const std::filesystem::path& path);

// Where pruning may delete on disk: directly in the current target folder, under the
// current source's name followed by "_" and eight digits.
struct PruneScope {
    std::filesystem::path targetFolder;  // absolute
    std::string copyStem;                // the source's last component (UTF-8)
};

// One recorded copy as retention sees it.
struct RetentionRow {
    bool complete = true;
    Place place;
    // Directly in the current target folder, under the current source's name and a date:
    // only such a copy is deleted on disk.
    bool inScope = false;
    // Held by the guard against mass changes: kept, whatever the keep count says.
    bool held = false;
};

enum class Fate {
    Kept,        // the row stays
    Superseded,  // a newer row names its place: the row goes, the copy (the newer row's) stays
    Forgotten,   // the row goes; its copy is left on disk (out of scope, or a kept row's)
    Deleted,     // its copy is deleted, then the row goes
};

// The fate of each row, given newest first. Keeps the newest `keep` complete copies and every
// copy newer than the oldest of them; with fewer complete copies than that, every complete
// copy and as many of the newest incomplete ones; and every held row. Pure.
std::vector<Fate> selectPrunable(const std::vector<RetentionRow>& newestFirst, std::size_t keep);

}  // namespace vantrel
