#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/BackupSettings.h"
#include "engine/manifest/CopyEntries.h"
#include "engine/manifest/Manifest.h"
#include "engine/run/Workspace.h"

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

// `text` as names are matched against it: ASCII letters in lower case.
std::string nameSearchKey(std::string_view text);

// Calls `each` for every entry of `copy` below its top whose name (the last name of its path)
// holds `key` (from nameSearchKey), ASCII letters in either case, in path order; entries whose
// path would lead out of the copy are passed over. The entries are read one at a time from
// the copy's manifest, or from the copy on disk, and never held together. Stops when `each`
// returns false, or when `carryOn`, asked every few hundred entries, does; true when every
// entry was looked at. Throws BackupError when the manifest turns out damaged on the way.
bool findByName(CopyEntries& copy, std::string_view key,
                const std::function<bool(const ManifestEntry&)>& each,
                const std::function<bool()>& carryOn = {});

}  // namespace vantrel
