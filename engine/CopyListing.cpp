#include "engine/CopyListing.h"

#include <filesystem>
#include <set>
#include <string>
#include <system_error>

#include "engine/CopyNaming.h"

namespace vantrel {

std::vector<ListedCopy> listCopies(const Workspace& ws) {
    std::vector<ListedCopy> listed;
    if (!ws.files.stat(ws.databaseFile(), true)) {
        return listed;
    }
    std::set<std::string> places;
    for (BackupRecord& record : BackupRecordStore(ws.databaseFile()).list()) {
        const auto place = record.place(ws.dir);
        if (!places.insert(pathKey(place)).second) {
            continue;
        }
        const bool onDisk = ws.files.stat(place, false).has_value();
        listed.push_back({std::move(record), onDisk});
    }
    return listed;
}

}  // namespace vantrel
