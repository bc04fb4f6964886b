#pragma once

#include <filesystem>
#include <functional>

// The repeat scenarios of copy_bench: a second backup of an unchanged or slightly changed
// tree through the whole run, sharing unchanged files, against `cp -a` + sync; and the cost
// of hashing for the manifest while copying.
namespace vantrel::bench {

struct BenchSteps {
    // Syncs, drops the page cache where allowed and reads the tree once; false when the
    // cache could not be dropped.
    std::function<bool(const std::filesystem::path& source)> prepare;
    // Seconds `cp -a from to` takes, followed by sync.
    std::function<double(const std::filesystem::path& from, const std::filesystem::path& to)>
        timeCpSynced;
};

// `source` is the small tree; `work` a folder on the file system to measure.
void benchRepeat(const std::filesystem::path& source, const std::filesystem::path& work, int rounds,
                 const BenchSteps& steps);

// `source` is the big tree: copy + syncfs with and without hashing each file for a manifest.
void benchHashing(const std::filesystem::path& source, const std::filesystem::path& work,
                  int rounds, const BenchSteps& steps);

// `source` is the small tree: a whole backup run with ten exclusion rules that match nothing
// (every entry is asked, none left out) against the same run without rules, alternating; and
// the rules asked alone for every entry of the tree.
void benchExclusions(const std::filesystem::path& source, const std::filesystem::path& work,
                     int rounds, const BenchSteps& steps);

}  // namespace vantrel::bench
