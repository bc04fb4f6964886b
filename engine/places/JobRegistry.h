#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Clock.h"
#include "platform/FileOps.h"

namespace vantrel {

// The job folders this user's programs have worked in, the one used last first: a file
// "jobs.txt" in the user's own folder (one absolute path a line, UTF-8), so that a path the
// file manager hands over can be matched to its job. Written whole under a new name and
// renamed into place, while holding "jobs.lock", so that two programs adding at once lose
// neither entry and a reader never sees half a list.
class JobRegistry {
public:
    // `folder` holds the list; made when missing.
    explicit JobRegistry(std::filesystem::path folder);
    // The list in the user's own folder (see userConfigFolder).
    static JobRegistry forUser();

    const std::filesystem::path& folder() const { return m_folder; }
    std::filesystem::path listFile() const { return m_folder / "jobs.txt"; }

    // Puts `jobDir` first in the list. Best effort: a list that cannot be written leaves the
    // job unlisted and the caller's work undisturbed; false then.
    bool remember(const std::filesystem::path& jobDir) const;
    // The folders listed that still hold a config.ini, the one used last first. Those that no
    // longer do are taken off the list.
    std::vector<std::filesystem::path> jobs() const;

private:
    std::filesystem::path m_folder;
};

// The job a path lies in, and the path as it lies in that job's source.
struct JobForPath {
    std::filesystem::path dir;  // the job's folder (its config.ini's)
    std::string path;           // absolute, UTF-8; a path inside a copy maps to the source's
};

// The job among `jobs` whose source folder holds `path` (absolute, or relative to the
// current directory), or whose copies do: a path inside "<target>/<name>_yyyymmdd" stands for
// the same path in the source. When several hold it, the deepest folder wins; when two are
// equally deep, the one earlier in `jobs`. Throws RequestRefused ("没有备份任务包含“…”")
// when none does.
JobForPath findJobFor(FileOps& files, const Clock& clock,
                      const std::vector<std::filesystem::path>& jobs, std::string_view path);

}  // namespace vantrel
