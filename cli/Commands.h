#pragma once

#include <string_view>

#include "engine/Workspace.h"

namespace vantrel::cli {

// Exit statuses of the commands.
// kWarning: the backup was made, but some entries could not be copied or an old copy could
// not be deleted.
enum ExitStatus { kOk = 0, kFailed = 1, kRefused = 2, kWarning = 3 };

// Each command works on the workspace of the current directory and returns its exit status.
int runBackup(Workspace& ws);
int runSchedule(Workspace& ws);
int printLog(Workspace& ws);
int printList(Workspace& ws);
// Checks the newest copy, or the newest of `date` ("yyyymmdd"), against its manifest.
int verifyCopy(Workspace& ws, std::string_view date);

}  // namespace vantrel::cli
