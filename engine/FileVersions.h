#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "engine/BackupSettings.h"
#include "engine/Manifest.h"
#include "engine/Workspace.h"

namespace vantrel {

// One copy's version of a file or folder.
struct FileVersion {
    std::int64_t copyId = 0;  // the copy's row
    std::string date;         // the copy's date, "yyyy-mm-dd"
    char type = 'f';
    // A file's size and time; for a folder, the sizes of the files under it added up and the
    // latest time among them (its own when it holds no file).
    std::uint64_t size = 0;
    std::int64_t mtimeNs = 0;
    bool sameAsNewer = false;  // the same as the version of the next newer copy that holds it

    // "yyyy-mm-dd\tsize\tyyyy-mm-dd hh:mm:ss" and "\t同上" when it is the same as the one above.
    std::string line() const;
};

// The versions of `path` (absolute, or relative to the source; "." the source itself) in the
// job's copies on disk that hold it, newest first. Throws RequestRefused for a path outside
// the source.
std::vector<FileVersion> versionsOf(const Workspace& ws, const TBackupSettings& settings,
                                    std::string_view path);

}  // namespace vantrel
