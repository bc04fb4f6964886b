#include "engine/CopyListing.h"

#include <filesystem>
#include <set>
#include <string>
#include <system_error>

#include "engine/TextRules.h"
#include "platform/TextCodec.h"

namespace vantrel {

std::vector<ListedCopy> listCopies(const Workspace& ws) {
    std::vector<ListedCopy> listed;
    std::error_code ec;
    if (!std::filesystem::exists(ws.databaseFile(), ec)) {
        return listed;
    }
    std::set<std::string> places;
    for (BackupRecord& record : BackupRecordStore(ws.databaseFile()).List()) {
        const auto place = resolveInWorkDir(ws.dir, record.path).lexically_normal();
        auto key = pathCaseKey(pathToUtf8(place));
        while (key.size() > 1 && isPathSeparator(key.back())) {
            key.pop_back();
        }
        if (!places.insert(key).second) {
            continue;
        }
        const bool onDisk = std::filesystem::exists(std::filesystem::symlink_status(place, ec));
        listed.push_back({std::move(record), onDisk});
    }
    return listed;
}

}  // namespace vantrel
