#pragma once

#include <vector>

#include "engine/BackupRecordStore.h"
#include "engine/Workspace.h"

namespace vantrel {

// A recorded copy as the user is shown it.
struct ListedCopy {
    BackupRecord record;
    bool onDisk = false;  // the copy still exists where its row says
};

// The job's copies, newest first. A row for a place a newer row also names (an earlier run of
// the same day, replaced by the later one) is left out. Reads only: a working directory
// without a record database has no copies, and none is made.
std::vector<ListedCopy> listCopies(const Workspace& ws);

}  // namespace vantrel
