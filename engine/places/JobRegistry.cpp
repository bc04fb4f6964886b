#include "engine/places/JobRegistry.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <fstream>
#include <iterator>
#include <optional>
#include <system_error>
#include <thread>

#include "engine/BackupSettings.h"
#include "engine/Settings.h"
#include "engine/TextRules.h"
#include "engine/places/JobPlaces.h"
#include "engine/places/SourcePath.h"
#include "engine/run/CopyNaming.h"
#include "platform/FileOpsCommon.h"
#include "platform/IniFileOs.h"
#include "platform/RunLock.h"
#include "platform/TextCodec.h"
#include "platform/UserFolders.h"

namespace vantrel {

namespace fs = std::filesystem;

namespace {

// Nobody hears about a job looked up.
class QuietUi final : public BackupUi {
public:
    void setStatus(std::string_view) override {}
    void showMessage(std::string_view) override {}
};

bool holdsJob(const fs::path& dir) {
    std::error_code ec;
    return fs::is_regular_file(dir / "config.ini", ec);
}

std::vector<fs::path> readList(const fs::path& file) {
    std::vector<fs::path> dirs;
    std::ifstream in(file, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        // Only whole absolute paths: a line that is not means nothing wherever the reader runs.
        if (isValidUtf8(line) && pathFromUtf8(line).is_absolute()) {
            dirs.push_back(pathFromUtf8(line));
        }
    }
    return dirs;
}

// The lock is held only for a read and a small write; another program holding it is
// waited for a little, then the list is left as it is.
std::optional<RunLock> lockList(const fs::path& lockFile) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        try {
            if (auto lock = RunLock::tryAcquire(lockFile)) {
                return lock;
            }
        } catch (const std::system_error&) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return std::nullopt;
}

// Rewrites the list as `dirs`, holding the lock. False when it could not.
bool writeList(const fs::path& file, const std::vector<fs::path>& dirs) {
    std::string text;
    for (const fs::path& d : dirs) {
        text += pathToUtf8(d) + "\n";
    }
    try {
        detail::writeAndReplace(file, fs::path(file).concat(".new-" + detail::uniqueSuffix()), text,
                                fs::perms::owner_read | fs::perms::owner_write);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// Reads the list under its lock, lets `change` edit it, and writes it back when it changed.
template <typename Change>
std::vector<fs::path> updateList(const fs::path& folder, const fs::path& file, Change change) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    const auto lock = lockList(folder / "jobs.lock");
    std::vector<fs::path> dirs = readList(file);
    const std::vector<fs::path> before = dirs;
    change(dirs);
    if (lock && dirs != before && !writeList(file, dirs)) {
        return before;
    }
    return dirs;
}

std::size_t depthOf(const fs::path& p) {
    return static_cast<std::size_t>(std::distance(p.begin(), p.end()));
}

// `p` below `root`, name by name; empty for `root` itself.
fs::path rest(const fs::path& p, const fs::path& root) {
    auto it = p.begin();
    std::advance(it, std::min(depthOf(root), depthOf(p)));
    fs::path r;
    for (; it != p.end(); ++it) {
        if (!it->empty()) {
            r /= *it;
        }
    }
    return r;
}

struct Match {
    std::size_t depth = 0;
    JobForPath job;
};

// Where `job` holds `p` (and `real`, `p` with its links followed): in its source, or in one of
// its copies.
std::optional<Match> matchJob(FileOps& files, const Clock& clock, const fs::path& dir,
                              const fs::path& p, const fs::path& real) {
    QuietUi ui;
    Workspace ws{dir, files, clock, ui};
    TBackupSettings settings;
    try {
        LoadSettings(ws, settings);
    } catch (const std::exception&) {
        return std::nullopt;  // a job whose settings cannot be read holds nothing
    }
    if (settings.SourcePath.empty()) {
        return std::nullopt;
    }
    const JobPlaces places = placesOf(ws, settings);
    std::optional<Match> best;
    const auto consider = [&best, &dir](std::size_t depth, const fs::path& mapped) {
        if (!best || depth > best->depth) {
            best = Match{depth, {dir, pathToUtf8(mapped)}};
        }
    };
    for (const fs::path& root : {places.source, places.realSource}) {
        for (const fs::path& given : {p, real}) {
            if (isWithin(given, root)) {
                consider(depthOf(root), given);
            }
        }
    }
    if (!settings.TargetFolder.empty()) {
        const fs::path target = detail::withoutTrailingSeparator(
            resolveInWorkDir(dir, settings.TargetFolder).lexically_normal());
        std::vector<fs::path> targets{target};
        if (const auto realTarget = files.resolveLinks(target)) {
            targets.push_back(*realTarget);
        }
        for (const fs::path& root : targets) {
            for (const fs::path& given : {p, real}) {
                if (!isWithin(given, root) || pathKey(given) == pathKey(root)) {
                    continue;
                }
                const fs::path below = rest(given, root);
                const fs::path copy = *below.begin();
                if (!isCopyOf(pathToUtf8(copy), places.stem)) {
                    continue;
                }
                fs::path mapped = places.source;
                for (auto it = std::next(below.begin()); it != below.end(); ++it) {
                    mapped /= *it;
                }
                consider(depthOf(root) + 1, mapped);
            }
        }
    }
    return best;
}

}  // namespace

JobRegistry::JobRegistry(fs::path folder) : m_folder(std::move(folder)) {}

JobRegistry JobRegistry::forUser() {
    return JobRegistry(userConfigFolder());
}

bool JobRegistry::remember(const fs::path& jobDir) const {
    if (m_folder.empty()) {
        return false;
    }
    std::error_code ec;
    const fs::path dir =
        detail::withoutTrailingSeparator(fs::absolute(jobDir, ec).lexically_normal());
    const std::string key = pathKey(dir);
    const auto dirs = updateList(m_folder, listFile(), [&](std::vector<fs::path>& list) {
        if (!list.empty() && pathKey(list.front()) == key) {
            return;  // already first: nothing to write
        }
        std::erase_if(list, [&key](const fs::path& d) { return pathKey(d) == key; });
        list.insert(list.begin(), dir);
    });
    return !dirs.empty() && pathKey(dirs.front()) == key;
}

std::vector<fs::path> JobRegistry::jobs() const {
    if (m_folder.empty()) {
        return {};
    }
    std::vector<fs::path> listed = readList(listFile());
    if (std::all_of(listed.begin(), listed.end(), holdsJob)) {
        return listed;  // the usual case: nothing to prune, no lock taken
    }
    auto dirs = updateList(m_folder, listFile(), [](std::vector<fs::path>& list) {
        std::erase_if(list, [](const fs::path& d) { return !holdsJob(d); });
    });
    std::erase_if(dirs, [](const fs::path& d) { return !holdsJob(d); });
    return dirs;
}

JobForPath findJobFor(FileOps& files, const Clock& clock, const std::vector<fs::path>& jobs,
                      std::string_view path) {
    std::error_code ec;
    const fs::path p =
        detail::withoutTrailingSeparator(fs::absolute(pathFromUtf8(path), ec).lexically_normal());
    const fs::path real = files.resolveLinks(p).value_or(p);
    std::optional<Match> best;
    for (const fs::path& dir : jobs) {
        if (auto m = matchJob(files, clock, dir, p, real); m && (!best || m->depth > best->depth)) {
            best = std::move(m);
        }
    }
    if (!best) {
        throw RequestRefused("没有备份任务包含“" + std::string(path) + "”");
    }
    return best->job;
}

}  // namespace vantrel
