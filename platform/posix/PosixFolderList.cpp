#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "platform/FileOps.h"
#include "platform/posix/PosixFd.h"
#include "platform/posix/PosixStat.h"

namespace vantrel {

namespace fs = std::filesystem;
using posix::Fd;

// Each entry is looked at relative to its folder, never by a path walked from the top again.
std::error_code RealFileOps::listStats(const fs::path& folder, std::vector<FolderEntry>& entries) {
    Fd dir(::open(folder.c_str(), posix::kDirFlags));
    if (!dir) {
        return {errno, std::system_category()};
    }
    std::vector<std::string> names;
    if (const int err = posix::listNames(dir.get(), names)) {
        return {err, std::system_category()};
    }
    entries.reserve(entries.size() + names.size());
    for (std::string& name : names) {
        struct stat st;
        if (::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;  // gone since the folder was read
        }
        entries.push_back({fs::path(std::move(name)), posix::entryStatOf(st)});
    }
    return {};
}

}  // namespace vantrel
