#pragma once

#include <string_view>

#include "engine/Restore.h"
#include "engine/Workspace.h"

namespace vantrel::cli {

// Exit statuses of the commands.
// kWarning: the backup was made, but some entries could not be copied or an old copy could
// not be deleted. `status` exits with the job's health instead: 0 OK, 3 warning, 4 failed,
// overdue or never backed up.
enum ExitStatus { kOk = 0, kFailed = 1, kRefused = 2, kWarning = 3 };

// Each command works on the workspace of the current directory and returns its exit status.
int runBackup(Workspace& ws);
int runSchedule(Workspace& ws);
int printLog(Workspace& ws);
int printList(Workspace& ws);
int printStatus(Workspace& ws);
int printHistory(Workspace& ws);
// Checks the newest copy, or the newest of `date` ("yyyymmdd"), against its manifest.
int verifyCopy(Workspace& ws, std::string_view date);
// The versions of a file or folder in the job's copies, newest first.
int printVersions(Workspace& ws, std::string_view path);
// Brings files back from the copies.
int restore(Workspace& ws, const RestoreRequest& request);
// What the newest copy, or the copy of `date`, changed against the job's previous copy.
int printChanges(Workspace& ws, std::string_view date);
// Confirms the changes the guard holds pruning back for.
int confirmChanges(Workspace& ws);

}  // namespace vantrel::cli
