// RealFileOps' questions about single entries and folders: the OS's own answers come from
// FileStatPosix.cpp or FileStatWin.cpp and the file operations of each OS; the rest is the
// same everywhere. The OS is asked with the long form of a path, so that on Windows entries
// past 260 characters are reached; what comes back is spelt as the caller spelt the path.
#include <system_error>

#include "platform/FileOps.h"
#include "platform/FileStat.h"
#include "platform/LongPath.h"

namespace vantrel {

namespace fs = std::filesystem;

std::optional<EntryStat> RealFileOps::stat(const fs::path& path, bool followLink) {
    return followLink ? statFollowed(path) : statEntry(path);
}

std::optional<FileId> RealFileOps::fileId(const fs::path& path) {
    return fileIdOf(path);
}

namespace {

// The path `call` gives, or none when it reports an error.
template <class Call>
std::optional<fs::path> pathOrNone(Call call) {
    std::error_code ec;
    fs::path result = call(ec);
    if (ec) {
        return std::nullopt;
    }
    return result;
}

}  // namespace

std::optional<fs::path> RealFileOps::readLink(const fs::path& path) {
    return pathOrNone([&](std::error_code& ec) { return fs::read_symlink(longPath(path), ec); });
}

std::optional<fs::path> RealFileOps::resolveLinks(const fs::path& path) {
    return pathOrNone([&](std::error_code& ec) { return fs::weakly_canonical(path, ec); });
}

std::optional<bool> RealFileOps::isEmptyFolder(const fs::path& path) {
    std::error_code ec;
    const fs::path asked = longPath(path);
    if (!fs::is_directory(asked, ec)) {
        return std::nullopt;
    }
    const bool empty = fs::is_empty(asked, ec);
    if (ec) {
        return std::nullopt;
    }
    return empty;
}

std::vector<fs::path> RealFileOps::list(const fs::path& folder) {
    std::vector<fs::path> entries;
    std::error_code ec;
    for (fs::directory_iterator it(longPath(folder), ec), end; !ec && it != end; it.increment(ec)) {
        entries.push_back(folder / it->path().filename());
    }
    return entries;
}

void RealFileOps::walk(const fs::path& root, const Visit& visit) {
    walkTree(root, [&](const fs::path& path, const fs::path& relative) {
        if (const auto st = statEntry(path)) {
            visit(root / relative, *st);
        }
    });
}

std::optional<std::uint64_t> RealFileOps::availableSpace(const fs::path& path) {
    fs::path probe = path;
    std::error_code ec;
    while (!probe.empty() && !fs::exists(probe, ec)) {
        const auto parent = probe.parent_path();
        if (parent == probe) {
            break;
        }
        probe = parent;
    }
    const auto info = fs::space(probe, ec);
    if (ec) {
        return std::nullopt;
    }
    return info.available;
}

FileOpResult RealFileOps::createFolders(const fs::path& folder) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) {
        return {folder, ec};
    }
    return {};
}

LinkSupport RealFileOps::probeLinks(const fs::path& folder, const fs::path& probeName) {
    return vantrel::probeLinks(folder, probeName);
}

}  // namespace vantrel
