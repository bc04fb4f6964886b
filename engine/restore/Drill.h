#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/BackupSettings.h"
#include "engine/records/BackupRecordStore.h"
#include "engine/run/Workspace.h"

namespace vantrel {

// How many files a drill restores at random when not told; the largest few come on top.
inline constexpr std::size_t kDrillFiles = 20;
inline constexpr std::size_t kDrillLargest = 3;

// A restore drill: files of the newest complete copy brought back into a scratch folder and
// compared with the hashes recorded when the copy was made.
struct DrillResult {
    std::optional<BackupRecord> copy;  // the copy drilled, when one was found
    std::string refusal;               // why nothing was restored; empty when it was
    std::uint64_t files = 0;           // files restored and compared
    std::uint64_t bytes = 0;
    std::vector<std::string> failed;  // "<path>：<why>", each file that failed

    bool passed() const { return refusal.empty() && failed.empty() && files > 0; }
    // "恢复演练通过：N 个文件，X", or what failed, counted, or the refusal.
    std::string summary() const;
};

// Picks `count` files at random from the newest complete copy, and the largest few, restores
// them through restoreFiles into a new folder in the system's temporary folder (never inside
// the source or the target), compares each with its recorded hash, removes the folder and
// records the drill in the job's log of checks. The source and the target are not written.
// Throws BackupError when the records cannot be read, and as restoreFiles does (busy).
DrillResult runDrill(const Workspace& ws, const TBackupSettings& settings,
                     std::size_t count = kDrillFiles);

}  // namespace vantrel
