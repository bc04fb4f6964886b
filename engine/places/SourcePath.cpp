#include "engine/places/SourcePath.h"

#include <algorithm>
#include <iterator>
#include <optional>
#include <system_error>

#include "engine/TextRules.h"
#include "engine/manifest/Manifest.h"
#include "engine/places/JobPlaces.h"
#include "engine/run/CopyNaming.h"
#include "platform/FileOpsCommon.h"
#include "platform/TextCodec.h"

namespace vantrel {

namespace fs = std::filesystem;

fs::path sourceRoot(const Workspace& ws, const TBackupSettings& settings) {
    // Only a source that exists is followed: a missing one is the place as written.
    return placesOf(ws, settings).realSource;
}

namespace {

// The path below `root` in the copies' form, or none when it does not lie there. Names are
// compared as the file system compares them (on Windows, in any case); what is below keeps
// the spelling given.
std::optional<std::string> below(const fs::path& p, const fs::path& root) {
    if (!isWithin(p, root)) {
        return std::nullopt;
    }
    const auto depth = std::distance(root.begin(), root.end());
    fs::path rel;
    auto it = p.begin();
    std::advance(it, std::min(depth, std::distance(p.begin(), p.end())));
    for (; it != p.end(); ++it) {
        if (!it->empty() && *it != ".") {
            rel /= *it;
        }
    }
    return manifestPath(rel);
}

}  // namespace

std::string sourceRelative(const Workspace& ws, const TBackupSettings& settings,
                           std::string_view path) {
    const fs::path written = detail::withoutTrailingSeparator(
        resolveInWorkDir(ws.dir, settings.SourcePath).lexically_normal());
    const fs::path real = detail::withoutTrailingSeparator(sourceRoot(ws, settings));
    const fs::path given = pathFromUtf8(path);
    // Relative paths count from the source, as it is written and as the links lead.
    for (const fs::path& root : {written, real}) {
        const fs::path p = detail::withoutTrailingSeparator(
            (given.is_absolute() ? given : root / given).lexically_normal());
        if (auto rel = below(p, root)) {
            return *rel;
        }
    }
    // An absolute path that reaches the source through a link.
    if (const auto resolved = ws.files.resolveLinks(given); given.is_absolute() && resolved) {
        if (auto rel = below(detail::withoutTrailingSeparator(*resolved), real)) {
            return *rel;
        }
    }
    throw RequestRefused("“" + std::string(path) + "”不在备份文件源地址“" + settings.SourcePath +
                         "”之内");
}

}  // namespace vantrel
